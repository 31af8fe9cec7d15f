#include "output/vcf.hpp"

#include <htslib/hts.h>
#include <htslib/vcf.h>
#include <unistd.h>

#include <algorithm>
#include <memory>

#include "base/atomic_file.hpp"

namespace qm {

namespace {

[[noreturn]] void bad(const std::string& file, const std::string& what) {
  throw file_error(file, "Result file " + file + " cannot be written: " + what);
}

// Positions, contigs and header texts, before anything is created.
void check_layout(const std::string& file, const std::vector<variant_info>& variants, const vcf_header_info& info) {
  for (const std::string* t : {&info.version, &info.parameter_file, &info.reference})
    if (t->find_first_of("\n\r") != std::string::npos) bad(file, "a header text contains a line break.");
  for (size_t c = 0; c < info.contig_length.size(); ++c)
    if (info.contig_length[c] < 1)
      bad(file, "chromosome " + std::to_string(c + 1) + " has the length " + std::to_string(info.contig_length[c]) +
                    " bp.");
  std::vector<char> seen(info.contig_length.size() + 1, 0);
  int32_t chr = 0;
  int64_t last = 0;
  for (const variant_info& v : variants) {
    if (v.chromosome < 1 || static_cast<size_t>(v.chromosome) > info.contig_length.size())
      bad(file, "variant " + v.name + " is on chromosome " + std::to_string(v.chromosome) + " but " +
                    std::to_string(info.contig_length.size()) + " chromosome lengths were given.");
    if (v.chromosome != chr) {
      if (seen[static_cast<size_t>(v.chromosome)])
        bad(file, "the variants of chromosome " + std::to_string(v.chromosome) + " do not come together.");
      seen[static_cast<size_t>(v.chromosome)] = 1;
      chr = v.chromosome;
      last = 0;
    }
    if (v.bp < 1 || v.bp > info.contig_length[static_cast<size_t>(chr - 1)])
      bad(file, "variant " + v.name + " is at " + std::to_string(v.bp) + " bp, outside 1.." +
                    std::to_string(info.contig_length[static_cast<size_t>(chr - 1)]) + ".");
    if (v.bp < last)
      bad(file, "variant " + v.name + " at " + std::to_string(v.bp) + " bp follows a variant at " +
                    std::to_string(last) + " bp on chromosome " + std::to_string(chr) + ".");
    last = v.bp;
  }
}

struct hts_closer {
  void operator()(htsFile* f) const { hts_close(f); }
};
struct hdr_closer {
  void operator()(bcf_hdr_t* h) const { bcf_hdr_destroy(h); }
};
struct rec_closer {
  void operator()(bcf1_t* r) const { bcf_destroy(r); }
};

// htslib's own error lines stay off while a file is written: every failure
// reaches the caller as a file_error with a message of its own.
struct quiet_htslib {
  enum htsLogLevel old = hts_get_log_level();
  quiet_htslib() { hts_set_log_level(HTS_LOG_OFF); }
  ~quiet_htslib() { hts_set_log_level(old); }
};

// Removes the temporary files unless released.
struct temp_guard {
  std::vector<std::string> names;
  bool armed = true;
  ~temp_guard() {
    if (armed)
      for (const std::string& n : names) ::unlink(n.c_str());
  }
};

}  // namespace

std::vector<std::string> write_vcf(const std::string& prefix, const genotype_view& g,
                                   const std::vector<variant_info>& variants, const animal_list& animals,
                                   const vcf_header_info& info, int nthreads) {
  const std::string name = prefix + ".vcf.gz", index = name + ".csi";
  const std::string temp = temp_name_of(name), temp_index = temp_name_of(index);
  check_genotypes(name, g, variants, animals);
  check_layout(name, variants, info);

  const quiet_htslib quiet;
  temp_guard guard{{temp, temp_index}};
  std::unique_ptr<bcf_hdr_t, hdr_closer> hdr(bcf_hdr_init("w"));
  if (!hdr) bad(name, "no memory for the header.");
  std::vector<std::string> lines = {"##source=quillmere " + info.version,
                                    "##quillmereParameterFile=" + info.parameter_file,
                                    "##quillmereSeed=" + std::to_string(info.seed)};
  for (size_t c = 0; c < info.contig_length.size(); ++c)
    lines.push_back("##contig=<ID=" + std::to_string(c + 1) + ",length=" + std::to_string(info.contig_length[c]) +
                    ">");
  if (!info.reference.empty()) lines.push_back("##reference=" + info.reference);
  lines.push_back(info.reference.empty()
                      ? "##FORMAT=<ID=GT,Number=1,Type=String,Description=\"Phased genotype, the haplotype from the "
                        "sire first; REF A is allele 1, ALT B allele 2\">"
                      : "##FORMAT=<ID=GT,Number=1,Type=String,Description=\"Phased genotype, the haplotype from the "
                        "sire first; REF is allele 1, ALT allele 2\">");
  for (const std::string& l : lines)
    if (bcf_hdr_append(hdr.get(), l.c_str()) != 0) bad(name, "the header line " + l + " was refused.");
  for (const animal_info& a : animals.animals)
    if (bcf_hdr_add_sample(hdr.get(), a.id.c_str()) != 0) bad(name, "the animal identifier " + a.id + " is not unique.");
  if (bcf_hdr_sync(hdr.get()) != 0) bad(name, "the header could not be completed.");
  std::vector<int> rid(info.contig_length.size() + 1, -1);
  for (size_t c = 1; c < rid.size(); ++c) rid[c] = bcf_hdr_name2id(hdr.get(), std::to_string(c).c_str());

  // Compression level 3: for genotype text about five times faster than the
  // usual level 6, for a file about an eighth larger.
  std::unique_ptr<htsFile, hts_closer> fp(hts_open(temp.c_str(), "wz3"));
  if (!fp) throw_io_error(name, "created");
  if (nthreads > 1 && hts_set_threads(fp.get(), nthreads) != 0) bad(name, "no compression threads could be started.");
  if (bcf_hdr_write(fp.get(), hdr.get()) != 0) throw_io_error(name, "written");

  std::unique_ptr<bcf1_t, rec_closer> rec(bcf_init());
  if (!rec) bad(name, "no memory for a record.");
  const int32_t nhap = 2 * g.nanimals;
  std::vector<int32_t> gt(static_cast<size_t>(nhap));
  for (int32_t k = 0; k < g.nvariants; ++k) {
    const variant_info& v = variants[static_cast<size_t>(k)];
    const int32_t l = g.pick ? g.pick[k] : k;
    // Allele a (1 or 2) is index a - 1, stored as 2 * index + 2: 2a; the
    // second allele also carries the phase bit.
    uint32_t badbits = 0;
    for (int32_t h = 0; h < nhap; h += 2) {
      const int32_t a = g.allele(h, l), b = g.allele(h + 1, l);
      badbits |= static_cast<uint32_t>(a - 1) | static_cast<uint32_t>(b - 1);
      gt[static_cast<size_t>(h)] = 2 * a;
      gt[static_cast<size_t>(h) + 1] = 2 * b + 1;
    }
    if (badbits & ~1u) throw_bad_allele(name, g, variants, animals);
    const char alleles[4] = {v.ref, ',', v.alt, '\0'};
    bcf_clear(rec.get());
    rec->rid = rid[static_cast<size_t>(v.chromosome)];
    rec->pos = v.bp - 1;
    bcf_float_set_missing(rec->qual);
    if (bcf_update_id(hdr.get(), rec.get(), v.name.c_str()) < 0 ||
        bcf_update_alleles_str(hdr.get(), rec.get(), alleles) < 0 ||
        bcf_update_genotypes(hdr.get(), rec.get(), gt.data(), nhap) < 0)
      bad(name, "no memory for the record of variant " + v.name + ".");
    if (bcf_write(fp.get(), hdr.get(), rec.get()) != 0) throw_io_error(name, "written");
  }
  if (hts_close(fp.release()) != 0) throw_io_error(name, "closed");
  // The index is built from the finished file. (htslib can index while it
  // writes, but then the virtual offsets at block boundaries depend on the
  // compression threads, and the index bytes with them.)
  const int ir = bcf_index_build3(temp.c_str(), temp_index.c_str(), 14, std::max(1, nthreads));
  if (ir != 0) {
    if (ir == -4) throw_io_error(index, "written");
    bad(index, "htslib could not index it (code " + std::to_string(ir) + ").");
  }
  commit_rename(temp, name);
  guard.names = {temp_index};
  commit_rename(temp_index, index);
  guard.armed = false;
  return {name, index};
}

}  // namespace qm
