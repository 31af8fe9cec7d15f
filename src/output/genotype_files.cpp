#include "output/genotype_files.hpp"

#include <algorithm>
#include <string>
#include <vector>

#include "base/atomic_file.hpp"
#include "base/fixed.hpp"
#include "base/messages.hpp"
#include "output/genotype_view.hpp"
#include "output/plink.hpp"
#include "output/reference_genome.hpp"
#include "output/vcf.hpp"

namespace qm {

namespace {

std::string identifier(int64_t v) {
  char b[32];
  return std::string(b, put_imin(b, v, 6, 6));
}

std::string marker_name(int32_t chromosome, int32_t j) {
  std::string s = "chr" + std::to_string(chromosome) + "-";
  add_imin(s, j, 4, 4);
  return s;
}

variant_info variant_of(const locus_position& l, std::string name, bool nucleotide, int64_t seed) {
  variant_info v{l.chromosome, std::move(name), 100.0 * l.morgan, l.base_pair + 1};
  if (nucleotide) {
    const nucleotide_pair b = bases_at(seed, v.chromosome, v.bp);
    v.ref = b.ref;
    v.alt = b.alt;
  }
  return v;
}

class genotype_files : public generation_observer {
 public:
  explicit genotype_files(const run_options& o)
      : folder_(o.outdir),
        plink_(o.plink),
        plink_qtl_(o.plink_qtl),
        vcf_(o.vcf),
        vcf_qtl_(o.vcf_qtl),
        nucleotide_(o.alleles == "nucleotide"),
        fam_all_(o.fam_parents == "all"),
        all_markers_(o.all_markers) {}

  void plan_files(const run_parameters&, const stage_plan& plan, file_plan& files) const override {
    if (!plink_ && !vcf_) return;
    bool any = false;
    for (const planned_stage& stage : plan)
      stage.for_each_generation([&](const generation_step& g) {
        if (!g.files_due) return;
        any = true;
        if (plink_)
          for (const char* n : plink_names) files.names.insert(result_name(g.file_generation, n));
        if (vcf_)
          for (const char* n : vcf_names) files.names.insert(result_name(g.file_generation, n));
      });
    if (any && nucleotide_) {
      files.names.insert(reference_fasta_name);
      for (const char* n : reference_index_names) files.names.insert(n);
    }
  }
  void name_patterns(std::vector<file_name_pattern>& patterns) const override {
    for (const char* n : plink_names) patterns.push_back({n, true});
    for (const char* n : vcf_names) patterns.push_back({n, true});
    patterns.push_back({reference_fasta_name});
    for (const char* n : reference_index_names) patterns.push_back({n});
  }

  void on_generation(const generation_view& v) override {
    if (!v.step.files_due || (!plink_ && !vcf_)) return;
    const std::string prefix = folder_.file(result_name(v.step.file_generation, "geno"));
    try {
      if (nucleotide_ && !reference_written_) {
        write_reference_genome(folder_.file(reference_fasta_name), v.map, v.seed);
        reference_written_ = true;
      }
      animals(v);
      markers(v);
      const bool with_qtl = v.architecture && ((plink_ && plink_qtl_) || (vcf_ && vcf_qtl_));
      if (with_qtl) markers_and_qtl(v);
      if (plink_) {
        if (plink_qtl_ && with_qtl) write_plink(prefix, qtl_view_, qtl_variants_, animals_, v.params.threads);
        else write_plink(prefix, view_, written_variants(), animals_, v.params.threads);
      }
      if (vcf_) {
        vcf_header_info info;
        info.version = QM_VERSION;
        info.parameter_file = v.params.parafile;
        info.seed = v.seed;
        if (nucleotide_) info.reference = reference_fasta_name;
        for (int32_t c = 1; c <= v.map.nchr; ++c) info.contig_length.push_back(v.map.chromosome_base_pairs(c) + 1);
        if (vcf_qtl_ && with_qtl) write_vcf(prefix, qtl_view_, qtl_variants_, animals_, info, v.params.threads);
        else write_vcf(prefix, view_, written_variants(), animals_, info, v.params.threads);
      }
      combined_.release();
    } catch (const file_error& e) {
      stop(e.what());
    }
  }

 private:
  void animals(const generation_view& v) {
    const population& pop = v.pop;
    const int64_t g = v.step.file_generation, m = v.params.idmult;
    animals_.animals.resize(static_cast<size_t>(pop.nind));
    animals_.threshold_trait = v.params.thresh == 1;
    for (int32_t i = 1; i <= pop.nind; ++i) {
      animal_info& a = animals_.animals[static_cast<size_t>(i - 1)];
      a.id = identifier(g * m + i);
      a.family = "1";
      const pedigree_record& r = v.history.at(v.history.position_in_current(i));
      a.sire = g == 0 ? "0" : identifier(v.history.file_identifier(r.sire, g, m));
      a.dam = g == 0 ? "0" : identifier(v.history.file_identifier(r.dam, g, m));
      a.sex = static_cast<int32_t>(sex_of(i));
      a.phenotype = pop.phenotype_of(i, 1);
    }
    for (const line_in_generation& l : pop.lines)
      for (int32_t i = l.first; i < l.first + l.animals; ++i)
        animals_.animals[static_cast<size_t>(i - 1)].family = v.params.lines[static_cast<size_t>(l.line)].name;
    if (!fam_all_) unknown_parents_outside(animals_);
  }

  // The markers written: the chip's when the run has one (unless
  // --all-markers), otherwise every marker.
  const std::vector<int32_t>* chip_of(const generation_view& v) const {
    return !all_markers_ && v.chip && v.chip->defined() ? &v.chip->markers : nullptr;
  }
  const std::vector<variant_info>& written_variants() const { return chip_ ? chip_variants_ : variants_; }

  void markers(const generation_view& v) {
    const haplotype_matrix& mk = v.pop.markers;
    if (variants_.empty())
      for (size_t l = 0; l < v.map.markers.size(); ++l) {
        const locus_position& pos = v.map.markers[l];
        variants_.push_back(variant_of(pos, marker_name(pos.chromosome, static_cast<int32_t>(l % v.map.nmpc) + 1),
                                      nucleotide_, v.seed));
      }
    chip_ = chip_of(v);
    if (chip_ && chip_variants_.size() != chip_->size()) {
      chip_variants_.clear();
      for (int32_t l : *chip_) chip_variants_.push_back(variants_[static_cast<size_t>(l)]);
    }
    view_ = {};
    view_.nanimals = v.pop.nind;
    view_.nloci = view_.nvariants = mk.loci();
    if (chip_) {
      view_.pick = chip_->data();
      view_.nvariants = static_cast<int32_t>(chip_->size());
    }
    if (mk.packed()) {
      rows_.resize(static_cast<size_t>(mk.haplotypes()));
      for (int32_t h = 0; h < mk.haplotypes(); ++h) rows_[static_cast<size_t>(h)] = mk.row(h);
      view_.bits = rows_.data();
    } else {
      columns_.resize(static_cast<size_t>(mk.haplotypes()));
      for (int32_t h = 0; h < mk.haplotypes(); ++h) columns_[static_cast<size_t>(h)] = mk.column(h);
      view_.haplotype = columns_.data();
    }
  }

  // Markers and QTL in map order, each haplotype copied into one column (or
  // row of bits): qtl_view_ and qtl_variants_, valid until combined_ is
  // released.
  void markers_and_qtl(const generation_view& v) {
    const trait_architecture& a = *v.architecture;
    struct locus {
      int32_t chromosome;
      int64_t bp;
      int kind;  // 0 marker, 1 QTL
      int32_t index;
    };
    std::vector<locus> order;
    const auto add_marker = [&](int32_t l) {
      const locus_position& pos = v.map.markers[static_cast<size_t>(l)];
      order.push_back({pos.chromosome, pos.base_pair, 0, l});
    };
    if (chip_)
      for (int32_t l : *chip_) add_marker(l);
    else
      for (size_t l = 0; l < v.map.markers.size(); ++l) add_marker(static_cast<int32_t>(l));
    for (int32_t q = 0; q < a.nqtl(); ++q) {
      const locus_position& c = v.map.candidates[static_cast<size_t>(a.qtl_locus[static_cast<size_t>(q)] - 1)];
      order.push_back({c.chromosome, c.base_pair, 1, q});
    }
    std::stable_sort(order.begin(), order.end(), [](const locus& x, const locus& y) {
      return x.chromosome != y.chromosome ? x.chromosome < y.chromosome : x.bp < y.bp;
    });
    std::vector<variant_info>& variants = qtl_variants_;
    variants.clear();
    for (const locus& l : order) {
      if (l.kind == 0) {
        variants.push_back(variants_[static_cast<size_t>(l.index)]);
      } else {
        std::string name = "QTL";
        add_imin(name, l.index + 1, 4, 4);
        variants.push_back(variant_of(v.map.candidates[static_cast<size_t>(a.qtl_locus[static_cast<size_t>(l.index)] - 1)],
                                      name, nucleotide_, v.seed));
      }
    }
    const population& pop = v.pop;
    const int32_t n = static_cast<int32_t>(order.size());
    genotype_view& g = qtl_view_;
    g = {};
    g.nanimals = pop.nind;
    g.nloci = g.nvariants = n;
    if (pop.markers.packed()) {
      // The combined haplotypes one bit per allele as well.
      combined_.resize_packed(n, pop.haplotypes());
      const size_t words = combined_.words();
      std::vector<const uint64_t*>& rows = qtl_rows_;
      rows.resize(static_cast<size_t>(pop.haplotypes()));
      for (int32_t h = 0; h < pop.haplotypes(); ++h) {
        const uint64_t* m = pop.markers.row(h);
        const uint64_t* c = pop.candidates.row(h);
        uint64_t* out = combined_.row(h);
        std::fill(out, out + words, uint64_t{0});
        for (int32_t k = 0; k < n; ++k) {
          const locus& l = order[static_cast<size_t>(k)];
          const int32_t x = l.kind == 0 ? l.index : a.qtl_locus[static_cast<size_t>(l.index)] - 1;
          const uint64_t bit = ((l.kind == 0 ? m : c)[x >> 6] >> (x & 63)) & 1u;
          out[k >> 6] |= bit << (k & 63);
        }
        rows[static_cast<size_t>(h)] = out;
      }
      g.bits = rows.data();
      return;
    }
    combined_.resize(n, pop.haplotypes());
    for (int32_t h = 0; h < pop.haplotypes(); ++h) {
      const int8_t* m = pop.markers.column(h);
      const int8_t* c = pop.candidates.column(h);
      int8_t* out = combined_.column(h);
      for (int32_t k = 0; k < n; ++k) {
        const locus& l = order[static_cast<size_t>(k)];
        out[k] = l.kind == 0 ? m[l.index] : c[a.qtl_locus[static_cast<size_t>(l.index)] - 1];
      }
    }
    std::vector<const int8_t*>& cols = qtl_columns_;
    cols.resize(static_cast<size_t>(pop.haplotypes()));
    for (int32_t h = 0; h < pop.haplotypes(); ++h) cols[static_cast<size_t>(h)] = combined_.column(h);
    g.haplotype = cols.data();
  }

  static constexpr const char* plink_names[] = {"geno.bed", "geno.bim", "geno.fam"};
  static constexpr const char* vcf_names[] = {"geno.vcf.gz", "geno.vcf.gz.csi"};
  output_folder folder_;
  bool plink_, plink_qtl_, vcf_, vcf_qtl_, nucleotide_, fam_all_, all_markers_;
  const std::vector<int32_t>* chip_ = nullptr;  // the markers written, when a chip chooses them
  std::vector<variant_info> chip_variants_;     // their descriptions
  bool reference_written_ = false;
  std::vector<variant_info> variants_, qtl_variants_;
  std::vector<const int8_t*> qtl_columns_;
  std::vector<const uint64_t*> qtl_rows_;
  genotype_view qtl_view_;
  std::vector<const int8_t*> columns_;
  std::vector<const uint64_t*> rows_;
  genotype_view view_;
  animal_list animals_;
  haplotype_matrix combined_;
};

}  // namespace

std::unique_ptr<generation_observer> make_genotype_files(const run_options& o) {
  return std::make_unique<genotype_files>(o);
}

}  // namespace qm
