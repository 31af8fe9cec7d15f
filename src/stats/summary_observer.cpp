#include "stats/summary_observer.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include "base/byte_codec.hpp"
#include "base/fixed.hpp"
#include "base/messages.hpp"
#include "config/stage_plan.hpp"
#include "pedigree/inbreeding.hpp"
#include "qtl/genetic_parameters.hpp"
#include "stats/line_stats.hpp"
#include "stats/report_html.hpp"
#include "stats/scheme_results.hpp"
#include "stats/summary.hpp"

namespace qm {

namespace {

constexpr double not_available = std::numeric_limits<double>::quiet_NaN();

marker_map map_of(const genome_map& m) {
  marker_map out;
  out.chromosome.reserve(m.markers.size());
  out.position_cm.reserve(m.markers.size());
  for (const locus_position& l : m.markers) {
    out.chromosome.push_back(l.chromosome);
    out.position_cm.push_back(100.0 * l.morgan);
  }
  return out;
}

// The statistics' view of one kind of locus, in either layout.
hap_columns columns_of(const haplotype_matrix& g) {
  if (g.packed()) return {nullptr, g.loci(), g.words(), g.row(0)};
  return {g.data(), g.loci(), static_cast<size_t>(g.loci()), nullptr};
}

// Row-major double copy of a column-major float matrix.
std::vector<double> row_major(const std::vector<float>& m, int n) {
  std::vector<double> out(m.size());
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j) out[static_cast<size_t>(i) * n + j] = m[static_cast<size_t>(i) + static_cast<size_t>(j) * n];
  return out;
}

// The rows of the historical generations as a history file keeps them:
// the count, then per row stage, generation, nind (i32), the two marker
// heterozygosities and the two QTL ones (f64), the segregating markers and
// QTL (i64), f_genomic, f_pedigree and the adjacent-marker r^2 (f64). The
// per-trait columns of a historical row are NA and are not stored.
std::string encode_rows(const std::vector<summary_row>& rows) {
  std::string out;
  byte_writer w(out);
  w.u64(rows.size());
  for (const summary_row& r : rows) {
    w.i32(r.stage);
    w.i32(r.generation);
    w.i32(r.nind);
    for (double x : {r.marker_het_obs, r.marker_het_exp, r.qtl_het_obs, r.qtl_het_exp}) w.f64(x);
    w.i64(r.seg_markers);
    w.i64(r.seg_qtl);
    for (double x : {r.f_genomic, r.f_pedigree, r.ld_r2_adjacent}) w.f64(x);
  }
  return out;
}

std::vector<summary_row> decode_rows(std::string_view bytes, int ntrait) {
  byte_reader r(bytes, "the summary rows of stage 1");
  std::vector<summary_row> rows(r.count(84, "rows"));
  for (summary_row& row : rows) {
    row.stage = r.i32();
    row.generation = r.i32();
    row.nind = r.i32();
    for (double* x : {&row.marker_het_obs, &row.marker_het_exp, &row.qtl_het_obs, &row.qtl_het_exp}) *x = r.f64();
    row.seg_markers = r.i64();
    row.seg_qtl = r.i64();
    for (double* x : {&row.f_genomic, &row.f_pedigree, &row.ld_r2_adjacent}) *x = r.f64();
    for (std::vector<double>* c : {&row.tbv_mean, &row.tbv_var, &row.phe_mean, &row.phe_var, &row.genic_var})
      c->assign(static_cast<size_t>(ntrait), not_available);
    // The results of the scheme stay NA (their defaults, empty per-trait vectors).
  }
  r.expect_end();
  return rows;
}

constexpr const char* history_section = "summary";

class summary_observer : public generation_observer {
 public:
  summary_observer(const output_folder& folder, bool history_rows, bool keep_history_rows, bool scheme_results,
                   bool csv, bool report)
      : folder_(folder),
        history_rows_(history_rows),
        keep_history_rows_(keep_history_rows),
        scheme_results_(scheme_results),
        csv_wanted_(csv),
        report_wanted_(report) {}

  // The LD decay is that of the last generation with values: in a run that
  // reaches stage 2. summary.csv is summary.csv.part until the run is complete.
  void plan_files(const run_parameters&, const stage_plan& plan, file_plan& files) const override {
    if (report_wanted_) files.names.insert(report_name);
    if (!csv_wanted_) return;
    files.names.insert(csv_name);
    files.passing.insert(part_name);
    if (plan.reaches(2) && plan.stage(2).readable()) files.names.insert(ld_name);
  }
  void name_patterns(std::vector<file_name_pattern>& patterns) const override {
    for (const char* n : {csv_name, part_name, ld_name, report_name}) patterns.push_back({n});
  }

  // The historical rows are always kept for a history file, so that every
  // run that starts from it can write them (--history-summary) or not.
  void save_to_history(std::map<std::string, std::string>& sections) const override {
    sections[history_section] = encode_rows(kept_);
  }

  // The rows of every stage-1 generation, as the plan numbers them, of the
  // stage's nind animals, with the values a historical row can have (marker
  // heterozygosities, the segregating markers, the r^2 of adjacent markers,
  // nothing of QTL or inbreeding before the QTL are chosen); a history
  // without them serves only a run that does not write them.
  void check_history_section(const history_resume& r) const override {
    const auto it = r.sections.find(history_section);
    if (it == r.sections.end()) {
      if (history_rows_) throw decode_error("it holds no summary rows of stage 1, which --history-summary needs");
      return;
    }
    const std::vector<summary_row> rows = decode_rows(it->second, 0);
    if (static_cast<int64_t>(rows.size()) != r.generations)
      throw decode_error("it holds " + std::to_string(rows.size()) + " summary rows for " +
                         std::to_string(r.generations) + " generations of stage 1");
    size_t k = 0;
    planned_stage(1, r.params.stage1(), 0).for_each_generation([&](const generation_step& g) {
      const summary_row& row = rows[k++];
      const int number = static_cast<int>(g.number);  // as on_generation keeps it
      if (row.stage != 1 || row.generation != number || row.nind != r.params.stage1().nind)
        throw decode_error("summary row " + std::to_string(k) + " is of stage " + std::to_string(row.stage) +
                           ", generation " + std::to_string(row.generation) + " of " + std::to_string(row.nind) +
                           " animals; generation " + std::to_string(k) + " of stage 1 is " +
                           std::to_string(number) + " of " + std::to_string(r.params.stage1().nind));
      const auto within = [](double x, double hi) { return x >= 0.0 && x <= hi; };
      const bool fits = within(row.marker_het_obs, 1.0) && within(row.marker_het_exp, 0.5) &&
                        row.seg_markers >= 0 && row.seg_markers <= r.params.markers() && row.seg_qtl == 0 &&
                        std::isnan(row.qtl_het_obs) && std::isnan(row.qtl_het_exp) && std::isnan(row.f_genomic) &&
                        std::isnan(row.f_pedigree) &&
                        (std::isnan(row.ld_r2_adjacent) || within(row.ld_r2_adjacent, 1.0 + 1e-9));
      if (!fits) throw decode_error("summary row " + std::to_string(k) + " holds values that no generation of stage 1 has");
    });
  }

  void on_history_resumed(const history_resume& r) override {
    seen_ += r.generations;
    if (!history_rows_) return;
    const auto it = r.sections.find(history_section);
    if (it == r.sections.end())
      stop("The history file holds no summary rows of stage 1, which --history-summary needs. Make it again "
           "with --save-history, or leave out --history-summary.");
    std::vector<summary_row> rows;
    try {
      rows = decode_rows(it->second, r.params.ntrait);
    } catch (const decode_error& e) {
      stop(std::string(e.what()) + ". Make the history file again with --save-history.");
    }
    for (const summary_row& row : rows) {
      if (csv_wanted_) csv_.append(row);
      rows_.push_back(row);
    }
  }

  void on_map(const run_parameters& p, const genome_map& m) override {
    map_ = map_of(m);
    const stage_plan plan(p);
    planned_ = plan.generations();
    last_of_stage_.clear();
    for (const planned_stage& st : plan)
      if (st.generations() > 0) last_of_stage_[st.number()] = st.last().number;
    extra_.clear();
    lines_ = p.some_stage_has_lines();
    dominance_ = p.with_dominance();
    crosses_ = false;
    for (const line_setting& l : p.lines) crosses_ = crosses_ || l.cross();
    crosses_ = crosses_ && dominance_;
    if (dominance_)
      for (int t = 1; t <= p.ntrait; ++t) {
        const std::string k = std::to_string(t);
        for (const char* c : {"gv_mean_", "dominance_var_", "inbreeding_depression_"}) extra_.push_back(c + k);
        if (crosses_)
          for (const char* c : {"heterosis_", "heterosis_predicted_"}) extra_.push_back(c + k);
      }
    for (size_t s = 1; s < p.stages.size(); ++s) {
      const stage_block& b = p.stages[s].block;
      if (p.stages[s].readable && b.contributions.on) contributions_ = true;
      if (p.stages[s].readable && b.ages.overlapping()) ages_ = true;
    }
    if (contributions_)
      for (const char* c : {"ocs_value", "ocs_coancestry", "ocs_limit", "ocs_sires", "ocs_dams"}) extra_.push_back(c);
    if (ages_)
      for (const char* c : {"sire_age_mean", "dam_age_mean", "generation_interval"}) extra_.push_back(c);
    if (csv_wanted_) csv_.open(folder_.directory(), p.ntrait, extra_, lines_);
  }

  void on_architecture(const generation_view& v) override {
    const realised_parameters r = realised_genetic_parameters(v.params, *v.architecture, v.pop.candidates);
    genetics_.ntrait = r.ntrait;
    genetics_.additive_cov = row_major(r.additive_cov, r.ntrait);
    genetics_.additive_cor = row_major(r.additive_cor, r.ntrait);
    genetics_.residual_cov = row_major(r.residual_cov, r.ntrait);
    genetics_.residual_cor = row_major(r.residual_cor, r.ntrait);
    genetics_.h2.assign(v.params.h2.begin(), v.params.h2.end());
  }

  void on_generation(const generation_view& v) override {
    ++seen_;
    const bool last = seen_ == planned_;
    if (!v.step.files_due && !history_rows_ && !keep_history_rows_) return;
    // A historical row kept for the history file only goes to a row of its own.
    summary_row& row = v.step.files_due || history_rows_ ? row_ : kept_row_;
    const population& pop = v.pop;
    const int n = v.params.ntrait;
    summary_input in;
    in.stage = v.step.stage;
    in.generation = static_cast<int>(v.step.files_due ? v.step.file_generation : v.step.number);
    in.nanimals = pop.nind;
    in.ntrait = n;
    in.markers = columns_of(pop.markers);
    in.candidates = columns_of(pop.candidates);
    const bool values = v.architecture && v.step.files_due;
    if (values) {
      qtl_.resize(static_cast<size_t>(v.architecture->nqtl()));
      for (size_t q = 0; q < qtl_.size(); ++q) qtl_[q] = v.architecture->qtl_locus[q] - 1;
      in.qtl_locus = qtl_;
      in.qtl_effect = {v.architecture->effects.data(), qtl_.size()};
      in.tbv = {pop.tbv.data(), static_cast<size_t>(pop.nind)};
      in.phe = {pop.phenotype.data(), static_cast<size_t>(pop.nind)};
      // The base of the genomic inbreeding is the whole first generation
      // with values, lines or not: every line's F is from the common base.
      if (!engine_.base().captured) engine_.capture_base(in, v.params.threads);
      pedigree_inbreeding(v);
      in.f_pedigree = f_current_;
    } else {
      // A historical generation: no QTL and no values yet.
      zeros_.assign(static_cast<size_t>(pop.nind) * n, 0.0);
      in.tbv = in.phe = {zeros_.data(), static_cast<size_t>(pop.nind)};
      effects_.assign(static_cast<size_t>(n), 0.0);
      in.qtl_effect = {effects_.data(), 0};
    }
    if (values && !pop.lines.empty()) {
      // One row per line, every statistic within the line's animals.
      line_rows_.resize(pop.lines.size());
      line_p_.resize(pop.lines.size());
      for (size_t k = 0; k < pop.lines.size(); ++k) {
        const line_in_generation& l = pop.lines[k];
        const generation_part part{l.line, l.first, l.animals,
                                   std::span<const int32_t>(pop.sires).subspan(static_cast<size_t>(l.first_sire),
                                                                               static_cast<size_t>(l.sires)),
                                   std::span<const int32_t>(pop.dams).subspan(static_cast<size_t>(l.first_dam),
                                                                              static_cast<size_t>(l.dams))};
        summary_row& r = line_rows_[k];
        engine_.compute(block_input(in, l.first, l.animals), map_, r, v.params.threads);
        r.line = v.params.lines[static_cast<size_t>(l.line)].name;
        line_p_[k].resize(qtl_.size());
        for (size_t q = 0; q < qtl_.size(); ++q) line_p_[k][q] = engine_.qtl_frequency(static_cast<int>(q));
        finish_row(v, part, r, values);
      }
      heterosis_columns(v);
      for (const summary_row& r : line_rows_) {
        if (csv_wanted_) csv_.append(r);
        rows_.push_back(r);
      }
    } else {
      engine_.compute(in, map_, row, v.params.threads);
      row.line.clear();
      const generation_part whole{-1, 1, pop.nind, pop.sires, pop.dams};
      finish_row(v, whole, row, values);
      if (keep_history_rows_ && v.step.stage == 1) kept_.push_back(row);
      if (v.step.files_due || history_rows_) {
        if (csv_wanted_) csv_.append(row);
        rows_.push_back(row);
      }
    }
    if (values && scheme_results_) follow_top_qtl(v);
    if (last && values) ld_ = engine_.decay(in, map_, {}, v.params.threads);
  }

  void on_run_end(const run_parameters& p, bool completed) override {
    if (!completed) return;  // summary.csv.part keeps the generations that were complete
    if (csv_wanted_) {
      csv_.finish();
      if (!ld_.mean_r2.empty()) write_ld_decay_csv(folder_.file(ld_name), ld_);
    }
    if (!report_wanted_) return;
    run_report r;
    r.title = "Quillmere run of " + p.parafile;
    r.summary = summary_table_of(rows_, p.ntrait, extra_, lines_);
    r.ld = ld_;
    r.genetics = genetics_;
    r.qtl = trajectories_;
    r.settings = settings(p);
    write_report(folder_.file(report_name), render_run_report(r));
  }

 private:
  // The animals a row is of: the whole generation (line -1) or a line's
  // block, with its selected parents.
  struct generation_part {
    int32_t line = -1;
    int32_t first = 1, animals = 0;
    std::span<const int32_t> sires, dams;
  };

  // The row after the engine has filled its statistics: the results of the
  // scheme and the run's extra columns.
  void finish_row(const generation_view& v, const generation_part& part, summary_row& row, bool values) {
    if (!values || !scheme_results_) no_scheme_results(row);
    if (!values) {
      for (std::vector<double>* c : {&row.tbv_mean, &row.tbv_var, &row.phe_mean, &row.phe_var, &row.genic_var})
        c->assign(c->size(), not_available);
      row.qtl_het_obs = row.qtl_het_exp = row.f_pedigree = not_available;
      row.seg_qtl = 0;
    } else if (scheme_results_) {
      scheme_results(v, part, row);
    }
    row.extra.clear();
    dominance_columns(v, part, row, values);
    choice_columns(v, part, row);
  }

  // Per trait: gv_mean, dominance_var, inbreeding_depression and, in a run
  // with a cross line, heterosis and heterosis_predicted (filled afterwards
  // by heterosis_columns, NA here).
  void dominance_columns(const generation_view& v, const generation_part& part, summary_row& row, bool values) {
    if (!dominance_) return;
    const population& pop = v.pop;
    const size_t nt = static_cast<size_t>(v.params.ntrait), n = static_cast<size_t>(pop.nind);
    for (size_t t = 0; t < nt; ++t) {
      dominance_stats d;
      if (values && pop.tbv.size() >= n * nt) {
        const std::vector<double>& gv = pop.genotypic.size() >= n * nt ? pop.genotypic : pop.tbv;
        const size_t at = t * n + static_cast<size_t>(part.first - 1), m = static_cast<size_t>(part.animals);
        std::span<const double> f;
        if (f_current_.size() == n) f = std::span<const double>(f_current_).subspan(static_cast<size_t>(part.first - 1), m);
        d = dominance_of({gv.data() + at, m}, {pop.tbv.data() + at, m}, f);
      }
      for (double x : {d.gv_mean, d.dominance_var, d.inbreeding_depression}) row.extra.push_back(x);
      if (crosses_) row.extra.insert(row.extra.end(), 2, not_available);
    }
  }

  // Heterosis on the rows of cross lines: realised from the mean GVs of the
  // rows of the cross and of its parental lines, predicted from the QTL
  // allele frequencies of the parental lines; NA when a parental line is not
  // in the generation.
  void heterosis_columns(const generation_view& v) {
    if (!dominance_ || !crosses_ || !v.architecture) return;
    const trait_architecture& a = *v.architecture;
    const population& pop = v.pop;
    const size_t nt = static_cast<size_t>(v.params.ntrait), nq = qtl_.size();
    const auto row_of = [&](int32_t line) {
      for (size_t k = 0; k < pop.lines.size(); ++k)
        if (pop.lines[k].line == line) return static_cast<int>(k);
      return -1;
    };
    std::vector<double> d(nq, 0.0);
    for (size_t k = 0; k < pop.lines.size(); ++k) {
      const line_setting& l = v.params.lines[static_cast<size_t>(pop.lines[k].line)];
      if (!l.cross()) continue;
      const int s = row_of(l.sire_line), m = row_of(l.dam_line);
      if (s < 0 || m < 0) continue;
      for (size_t t = 0; t < nt; ++t) {
        for (size_t q = 0; q < nq; ++q)
          d[q] = a.with_dominance() ? a.dominance_effect(static_cast<int32_t>(q + 1), static_cast<int32_t>(t + 1)) : 0.0;
        const size_t at = t * dominance_width() + 3;
        // gv_mean is the first of the trait's columns on every line's row.
        const auto gv_mean = [&](size_t row) { return line_rows_[row].extra[t * dominance_width()]; };
        line_rows_[k].extra[at] = heterosis(gv_mean(k), gv_mean(static_cast<size_t>(s)), gv_mean(static_cast<size_t>(m)));
        line_rows_[k].extra[at + 1] = predicted_heterosis(d, line_p_[static_cast<size_t>(s)], line_p_[static_cast<size_t>(m)]);
      }
    }
  }
  size_t dominance_width() const { return crosses_ ? 5 : 3; }

  // A row without values: every result of the scheme NA.
  static void no_scheme_results(summary_row& row) {
    const summary_row none;
    for (std::vector<double>* c :
         {&row.gain, &row.gain_sd, &row.response, &row.accuracy, &row.qtl_fixed_up, &row.qtl_fixed_down})
      c->clear();
    for (double* x : {&row.sel_diff_sires, &row.sel_diff_dams, &row.intensity_sires, &row.intensity_dams,
                      &row.predicted_response_1, &row.n_sires, &row.n_dams, &row.offspring_per_sire_max,
                      &row.offspring_per_dam_max, &row.delta_f_pedigree, &row.delta_f_genomic, &row.ne_pedigree,
                      &row.ne_genomic, &row.delta_f_pedigree_stage, &row.delta_f_genomic_stage,
                      &row.ne_pedigree_stage, &row.ne_genomic_stage})
      *x = not_available;
  }

  // The results of the scheme in a generation with values, after the
  // engine has filled the row's means, variances and inbreeding. Each line
  // continues a series of its own (its base is its first generation); the
  // whole generations of a run make one series.
  void scheme_results(const generation_view& v, const generation_part& part, summary_row& row) {
    const population& pop = v.pop;
    const size_t n = static_cast<size_t>(pop.nind), nt = static_cast<size_t>(v.params.ntrait);
    const size_t first = static_cast<size_t>(part.first - 1), m = static_cast<size_t>(part.animals);
    series_state& st = series_[part.line];
    if (st.base_mean.empty()) {  // the first generation with values is the base of the gains
      st.base_mean = row.tbv_mean;
      st.base_sd.resize(nt);
      for (size_t t = 0; t < nt; ++t) st.base_sd[t] = std::sqrt(row.tbv_var[t]);
    }
    row.gain.resize(nt);
    row.gain_sd.resize(nt);
    row.response.resize(nt);
    row.accuracy.assign(nt, not_available);
    for (size_t t = 0; t < nt; ++t) {
      row.gain[t] = row.tbv_mean[t] - st.base_mean[t];
      row.gain_sd[t] = st.base_sd[t] > 0.0 ? row.gain[t] / st.base_sd[t] : not_available;
      row.response[t] = st.previous_mean.size() == nt ? row.tbv_mean[t] - st.previous_mean[t] : not_available;
    }
    st.previous_mean = row.tbv_mean;

    // The criterion the parents of the next generation were chosen on.
    const selection_criterion c = v.params.stages[static_cast<size_t>(v.step.stage)].block.criterion();
    std::span<const double> criterion;
    if (c == selection_criterion::true_value) criterion = {pop.tbv.data(), n};
    else if (c == selection_criterion::phenotype) criterion = {pop.phenotype.data(), n};
    else if (selects_on_ebv(c) && v.ebv) criterion = v.ebv->scores_for(c, v.history.generations() - 1);
    else if (c == selection_criterion::index) criterion = v.index;
    selection_result sel;
    if (criterion.size() == n && pop.tbv.size() >= n * nt) {
      for (size_t t = 0; t < nt; ++t)
        row.accuracy[t] = correlation(criterion.subspan(first, m), {pop.tbv.data() + t * n + first, m});
      sel = part.line < 0 ? selection_of(criterion, pop.sires, pop.dams, pop.candidates_per_sex())
                          : selection_in_block(criterion, part.sires, part.dams, part.first, part.animals);
    }
    row.sel_diff_sires = sel.sel_diff_sires;
    row.sel_diff_dams = sel.sel_diff_dams;
    row.intensity_sires = sel.intensity_sires;
    row.intensity_dams = sel.intensity_dams;
    row.predicted_response_1 =
        (sel.intensity_sires + sel.intensity_dams) / 2.0 * row.accuracy[0] * std::sqrt(row.tbv_var[0]);

    const parent_use u = parent_use_of(std::span<const parent_pair>(pop.parents).subspan(first, m), counts_);
    row.n_sires = static_cast<double>(u.sires);
    row.n_dams = static_cast<double>(u.dams);
    row.offspring_per_sire_max = static_cast<double>(u.max_per_sire);
    row.offspring_per_dam_max = static_cast<double>(u.max_per_dam);

    row.delta_f_pedigree = inbreeding_rate(row.f_pedigree, st.previous_f_pedigree);
    row.delta_f_genomic = inbreeding_rate(row.f_genomic, st.previous_f_genomic);
    row.ne_pedigree = effective_size(row.delta_f_pedigree);
    row.ne_genomic = effective_size(row.delta_f_genomic);
    st.previous_f_pedigree = row.f_pedigree;
    st.previous_f_genomic = row.f_genomic;

    // Over the stage: its rows so far; written on the row of its last generation.
    if (v.step.stage != st.stage_of_rows) {
      st.stage_of_rows = v.step.stage;
      st.stage_generation.clear();
      st.stage_f_pedigree.clear();
      st.stage_f_genomic.clear();
    }
    st.stage_generation.push_back(static_cast<double>(row.generation));
    st.stage_f_pedigree.push_back(row.f_pedigree);
    st.stage_f_genomic.push_back(row.f_genomic);
    row.delta_f_pedigree_stage = row.delta_f_genomic_stage = not_available;
    const auto last = last_of_stage_.find(v.step.stage);
    if (last != last_of_stage_.end() && last->second == v.step.number) {
      row.delta_f_pedigree_stage = inbreeding_rate_by_regression(st.stage_generation, st.stage_f_pedigree);
      row.delta_f_genomic_stage = inbreeding_rate_by_regression(st.stage_generation, st.stage_f_genomic);
    }
    row.ne_pedigree_stage = effective_size(row.delta_f_pedigree_stage);
    row.ne_genomic_stage = effective_size(row.delta_f_genomic_stage);
  }

  // The frequency of the allele that raises trait 1 at the ten QTL of the
  // largest effects on it (by size), for the report.
  void follow_top_qtl(const generation_view& v) {
    const trait_architecture& a = *v.architecture;
    if (trajectories_.qtl.empty()) {
      std::vector<int32_t> order(static_cast<size_t>(a.nqtl()));
      for (size_t q = 0; q < order.size(); ++q) order[q] = static_cast<int32_t>(q + 1);
      std::stable_sort(order.begin(), order.end(),
                       [&](int32_t x, int32_t y) { return std::fabs(a.effect(x, 1)) > std::fabs(a.effect(y, 1)); });
      order.resize(std::min<size_t>(order.size(), 10));
      trajectories_.qtl = order;
      for (int32_t q : order) trajectories_.effect.push_back(a.effect(q, 1));
      trajectories_.frequency.resize(order.size());
    }
    trajectories_.generation.push_back(v.step.file_generation);
    const int32_t nhap = v.pop.haplotypes();
    for (size_t k = 0; k < trajectories_.qtl.size(); ++k) {
      const int32_t q = trajectories_.qtl[k];
      const int32_t locus = a.qtl_locus[static_cast<size_t>(q - 1)] - 1;
      const int8_t up = a.effect(q, 1) >= 0.0 ? 2 : 1;
      int64_t c = 0;
      for (int32_t h = 0; h < nhap; ++h) c += v.pop.candidates.allele(locus, h) == up;
      trajectories_.frequency[k].push_back(nhap > 0 ? static_cast<double>(c) / nhap : not_available);
    }
  }

  // The columns of optimum contributions (of the selection this generation
  // made) and of the parents' ages (of this generation's animals: the mean
  // number of generations between an animal and its sire, its dam, and the
  // mean of the two).
  // On the row of a line the columns of optimum contributions are NA (they
  // are of the whole generation's selection) and the ages are the line's.
  void choice_columns(const generation_view& v, const generation_part& part, summary_row& row) const {
    if (contributions_) {
      const contribution_report* c = v.contributions;
      if (c && c->made && part.line < 0) {
        for (double x : {c->value, c->coancestry, c->limit, double(c->sires), double(c->dams)}) row.extra.push_back(x);
      } else {
        row.extra.insert(row.extra.end(), 5, not_available);
      }
    }
    if (ages_) {
      const pedigree_history& h = v.history;
      const int32_t g = h.generations() - 1;
      double sire_age = not_available, dam_age = not_available;
      if (g >= 1 && v.step.stage >= 2) {
        const int64_t first = h.first_of(g) + (part.first - 1);
        const int32_t n = part.line < 0 ? h.size_of(g) : part.animals;
        double s = 0.0, d = 0.0;
        for (int32_t i = 0; i < n; ++i) {
          const pedigree_record& r = h.at(first + i);
          s += g - h.at(r.sire).generation;
          d += g - h.at(r.dam).generation;
        }
        sire_age = s / n;
        dam_age = d / n;
      }
      for (double x : {sire_age, dam_age, (sire_age + dam_age) / 2.0}) row.extra.push_back(x);
    }
  }

  // F of the current generation, from the first generation with files on.
  void pedigree_inbreeding(const generation_view& v) {
    const pedigree_history& h = v.history;
    const int32_t g = h.generations() - 1;
    const int64_t first = h.first_of(g);
    const int32_t nind = h.size_of(g);
    if (base_generation_ < 0) {
      base_generation_ = g;
      base_position_ = first;
      sire_.assign(static_cast<size_t>(nind), 0);
      dam_.assign(static_cast<size_t>(nind), 0);
      f_.clear();
      inbreeding_append(sire_, dam_, f_);
    } else {
      for (int32_t i = 0; i < nind; ++i) {
        const pedigree_record& rec = h.at(first + i);
        sire_.push_back(rec.sire >= base_position_ ? static_cast<int32_t>(rec.sire - base_position_ + 1) : 0);
        dam_.push_back(rec.dam >= base_position_ ? static_cast<int32_t>(rec.dam - base_position_ + 1) : 0);
      }
      inbreeding_append(sire_, dam_, f_);
    }
    f_current_.assign(f_.end() - nind, f_.end());
  }

  static settings_list settings(const run_parameters& p) {
    settings_list s;
    auto floats = [](const std::vector<float>& v) {
      std::string t;
      for (size_t k = 0; k < v.size(); ++k) t += (k ? " " : "") + shortest_text(v[k]);
      return t.empty() ? std::string("none") : t;
    };
    s.emplace_back("parameter file", p.parafile);
    s.emplace_back("traits (ntrait)", std::to_string(p.ntrait) + (p.thresh == 1 ? ", trait 1 a 0/1 threshold trait" : ""));
    s.emplace_back("heritabilities (h2)", floats(p.h2));
    s.emplace_back("genetic correlations (rgen)", floats(p.rgen));
    s.emplace_back("residual correlations (rerr)", floats(p.rerr));
    s.emplace_back("chromosomes x markers (nchr x nmpc)", std::to_string(p.nchr) + " x " + std::to_string(p.nmpc));
    s.emplace_back("chromosome length (Morgan)", shortest_text(p.chrlen));
    s.emplace_back("map", p.maptype == 0 ? "even spacing" : p.maptype == 1 ? "random gaps" : "no recombination");
    s.emplace_back("mutation rates (mutm, mutq)", shortest_text(p.mutm) + ", " + shortest_text(p.mutq));
    s.emplace_back("QTL (nqtl), effects", std::to_string(p.nqtl) + ", " + (p.qtlrule == 0 ? "normal" : "gamma"));
    s.emplace_back("seed", std::to_string(p.seed));
    for (int st = 1; st <= p.nstage; ++st) {
      const stage_entry& e = p.stages[static_cast<size_t>(st)];
      if (!e.readable) continue;
      const stage_block& b = e.block;
      s.emplace_back("stage " + std::to_string(st),
                     "nsire " + std::to_string(b.nsire) + ", ndam " + std::to_string(b.ndam) + ", nind " +
                         std::to_string(b.nind) + ", ngen " + std::to_string(b.ngen) + ", matetype " +
                         std::to_string(b.matetype) + ", seltype " + std::to_string(b.seltype));
    }
    return s;
  }

  static constexpr const char* csv_name = "summary.csv";
  static constexpr const char* part_name = "summary.csv.part";
  static constexpr const char* ld_name = "ld_decay.csv";
  static constexpr const char* report_name = "report.html";
  output_folder folder_;
  bool history_rows_, keep_history_rows_, scheme_results_;
  bool csv_wanted_, report_wanted_;  // summary.csv and ld_decay.csv; report.html
  std::vector<summary_row> kept_;  // the historical rows, for a history file
  summary_row kept_row_;
  bool contributions_ = false, ages_ = false;  // the run's extra columns
  std::vector<std::string> extra_;
  marker_map map_;
  int64_t planned_ = 0, seen_ = 0;
  summary_engine engine_;
  summary_csv csv_;
  summary_row row_;
  std::vector<summary_row> rows_;
  std::vector<int32_t> qtl_;
  std::vector<double> zeros_, effects_;
  ld_decay ld_;
  genetic_parameters genetics_;
  int32_t base_generation_ = -1;
  int64_t base_position_ = 0;
  std::vector<int32_t> sire_, dam_;
  std::vector<double> f_, f_current_;
  // The results of the scheme.
  std::map<int, int64_t> last_of_stage_;  // the number of each stage's last generation
  // The series of the results of the scheme: -1 the whole generations, a
  // line's index its rows.
  struct series_state {
    std::vector<double> base_mean, base_sd, previous_mean;
    double previous_f_pedigree = not_available, previous_f_genomic = not_available;
    int stage_of_rows = 0;
    std::vector<double> stage_generation, stage_f_pedigree, stage_f_genomic;
  };
  std::map<int32_t, series_state> series_;
  // Lines and dominance: the rows of the lines of a generation and their QTL
  // allele frequencies.
  bool lines_ = false, dominance_ = false, crosses_ = false;
  std::vector<summary_row> line_rows_;
  std::vector<std::vector<double>> line_p_;
  std::vector<int32_t> counts_;
  qtl_trajectories trajectories_;
};

}  // namespace

std::unique_ptr<generation_observer> make_summary_observer(const output_folder& folder, bool history_rows,
                                                           bool keep_history_rows, bool scheme_results, bool csv,
                                                           bool report) {
  return std::make_unique<summary_observer>(folder, history_rows, keep_history_rows, scheme_results, csv, report);
}

}  // namespace qm
