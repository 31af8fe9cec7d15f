// Breeding values estimated inside the run: the EBVs of every evaluated
// generation against dense solves built independently from the run's
// pedigree history, phenotypes and haplotypes; what the run keeps; and
// whether selection on the estimates responds better than selection on
// phenotypes, from the result files of whole runs.
#include "ebv/evaluation.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <Eigen/Dense>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "pedigree/random_pedigree.hpp"
#include "run/generation.hpp"
#include "support.hpp"

namespace {

using qmtest::set_record;

// Three stages of 40 animals, a short history with frequent mutation (so
// that the QTL segregate), nested mating; seltype s2 in stage 2 and s3 in
// the three generations of stage 3.
std::string ebv_par(int s2, int s3) {
  std::string par = set_record(qmtest::small_par(), 12, "1.0 5.0e-2 5.0e-2");
  par = set_record(par, 18, "10 20 40 15");
  par = set_record(par, 24, "0 0 " + std::to_string(s2));
  par = set_record(par, 26, "10 20 40 3");
  return set_record(par, 28, "0 0 " + std::to_string(s3));
}

// What an observer saw of the generations with values (stage 2 on).
struct seen_generation {
  int32_t g = 0;                   // history generation
  std::vector<double> phe;         // trait-1 phenotypes
  std::vector<uint8_t> dosage;     // copies of allele 1, nind x markers
};

// Checks every evaluated generation against a dense solve. The pedigree
// starts `historical` stage-1 generations before stage 2 (0: the base).
struct dense_check : qm::generation_observer {
  int historical = 1;
  int32_t reference_generations = 3;
  double h2 = 0.0;
  std::vector<seen_generation> seen;
  int evaluated = 0;
  double worst = 0.0;  // largest |EBV - dense| / max |dense|

  void on_generation(const qm::generation_view& v) override {
    if (v.step.stage < 2) return;
    const qm::population& pop = v.pop;
    seen_generation s;
    s.g = v.history.generations() - 1;
    const int32_t m = pop.markers.loci();
    for (int32_t i = 1; i <= pop.nind; ++i) {
      s.phe.push_back(pop.phenotype_of(i, 1));
      for (int32_t j = 0; j < m; ++j)
        s.dosage.push_back(static_cast<uint8_t>((pop.markers.allele(j, 2 * i - 2) == 1) + (pop.markers.allele(j, 2 * i - 1) == 1)));
    }
    seen.push_back(std::move(s));
    if (!v.ebv->estimated_for(seen.back().g)) return;
    ++evaluated;
    const Eigen::VectorXd want = v.ebv->method() == qm::selection_criterion::pedigree_ebv ? pedigree_blup(v) : snp_blup(v);
    const std::span<const double> got = v.ebv->current();
    EXPECT_TRUE(v.ebv->stats().converged);
    EXPECT_GT(v.ebv->stats().iterations, 0);
    ASSERT_EQ(static_cast<Eigen::Index>(got.size()), want.size());
    const double scale = want.cwiseAbs().maxCoeff();
    ASSERT_GT(scale, 0.0);
    for (Eigen::Index i = 0; i < want.size(); ++i)
      worst = std::max(worst, std::abs(got[static_cast<size_t>(i)] - want(i)) / scale);
  }

  // y = mu + a + e on the pedigree from the base generation on, A by the
  // tabular method, the equations solved directly.
  Eigen::VectorXd pedigree_blup(const qm::generation_view& v) const {
    const qm::pedigree_history& h = v.history;
    const int32_t base = historical == 0 ? 0 : seen.front().g - historical;
    const int64_t offset = h.first_of(base) - 1;
    qmtest::pedigree ped;
    for (int64_t k = offset + 1; k <= h.size(); ++k) {
      const qm::pedigree_record& r = h.at(k);
      ped.add(r.sire > offset ? static_cast<int32_t>(r.sire - offset) : 0,
              r.dam > offset ? static_cast<int32_t>(r.dam - offset) : 0);
    }
    const int n = ped.size();
    const double lambda = (1.0 - h2) / h2;
    Eigen::MatrixXd c = Eigen::MatrixXd::Zero(n + 1, n + 1);
    Eigen::VectorXd rhs = Eigen::VectorXd::Zero(n + 1);
    for (const seen_generation& s : seen)
      for (size_t i = 0; i < s.phe.size(); ++i) {
        const int a = 1 + static_cast<int>(h.first_of(s.g) + static_cast<int64_t>(i) - 1 - offset);
        c(0, 0) += 1.0;
        c(0, a) += 1.0;
        c(a, 0) += 1.0;
        c(a, a) += 1.0;
        rhs(0) += s.phe[i];
        rhs(a) += s.phe[i];
      }
    c.bottomRightCorner(n, n) += lambda * qmtest::tabular_a(ped).inverse();
    const Eigen::VectorXd x = c.ldlt().solve(rhs);
    const int32_t nind = v.pop.nind;
    return x.segment(1 + static_cast<Eigen::Index>(h.first_of(seen.back().g) - 1 - offset), nind);
  }

  // SNP-BLUP on the last K generations, markers centred by the reference
  // means, lambda = (1 - h2) / h2 * 2 sum p (1 - p); GEBV = Z_c g. With a
  // SNP chip the columns of its markers alone.
  Eigen::VectorXd snp_blup(const qm::generation_view& v) const {
    const int32_t all = v.pop.markers.loci(), nind = v.pop.nind;
    std::vector<int32_t> cols;
    if (v.chip && v.chip->defined()) cols = v.chip->markers;
    else
      for (int32_t j = 0; j < all; ++j) cols.push_back(j);
    const int32_t m = static_cast<int32_t>(cols.size());
    const size_t k = std::min<size_t>(seen.size(), static_cast<size_t>(reference_generations));
    const int nref = static_cast<int>(k) * nind;
    Eigen::MatrixXd x(nref, m);
    Eigen::VectorXd y(nref);
    int row = 0;
    for (size_t s = seen.size() - k; s < seen.size(); ++s)
      for (int32_t i = 0; i < nind; ++i, ++row) {
        y(row) = seen[s].phe[static_cast<size_t>(i)];
        for (int32_t j = 0; j < m; ++j)
          x(row, j) = seen[s].dosage[static_cast<size_t>(i * all + cols[static_cast<size_t>(j)])];
      }
    const Eigen::RowVectorXd centre = x.colwise().mean();
    double sum2pq = 0.0;
    for (int32_t j = 0; j < m; ++j) sum2pq += centre(j) * (1.0 - centre(j) / 2.0);
    const Eigen::MatrixXd z = x.rowwise() - centre;
    Eigen::MatrixXd c = Eigen::MatrixXd::Zero(m + 1, m + 1);
    c(0, 0) = nref;
    c.block(0, 1, 1, m) = z.colwise().sum();
    c.block(1, 0, m, 1) = z.colwise().sum().transpose();
    c.bottomRightCorner(m, m) = z.transpose() * z + (1.0 - h2) / h2 * sum2pq * Eigen::MatrixXd::Identity(m, m);
    Eigen::VectorXd rhs(m + 1);
    rhs(0) = y.sum();
    rhs.tail(m) = z.transpose() * y;
    const Eigen::VectorXd sol = c.ldlt().solve(rhs);
    return z.bottomRows(nind) * sol.tail(m);
  }
};

// observer_list owns its observers; the checks here live on the stack.
struct borrowed : qm::generation_observer {
  qm::generation_observer& o;
  explicit borrowed(qm::generation_observer& x) : o(x) {}
  void on_generation(const qm::generation_view& v) override { o.on_generation(v); }
};

// A run of every stage with the check, the evaluation planned anew
// (historical generations, reference generations) before anything is bred.
void run_checked(qmtest::run_setup& s, dense_check& d, int historical, int32_t reference_generations) {
  d.historical = historical;
  d.reference_generations = reference_generations;
  d.h2 = static_cast<double>(s.params.h2[0]);
  s.params.gblup_generations = reference_generations;
  s.st.ebv.plan(s.params, historical);
  qm::observer_list obs;
  obs.add(std::make_unique<borrowed>(d));
  for (int st = 1; st <= s.params.nstage; ++st) s.run_stage(st, obs);
}

}  // namespace

// Pedigree BLUP of every evaluated generation (stage 2 and the three of
// stage 3) equals the dense solution on the pedigree taken from the history,
// both with the last stage-1 generation as founders (the run's choice) and
// with the whole history from the base generation on.
TEST(EvaluationTest, PedigreeBlupMatchesDenseSolve) {
  for (int historical : {1, 0}) {
    SCOPED_TRACE("historical generations " + std::to_string(historical));
    qmtest::tempdir dir;
    qmtest::console_capture con;
    qmtest::run_setup s(ebv_par(3, 3));
    dense_check d;
    run_checked(s, d, historical, 3);
    EXPECT_EQ(d.evaluated, 4);
    EXPECT_LT(d.worst, 1e-7);
    const qm::ebv_evaluation& e = s.st.ebv;
    EXPECT_TRUE(e.keeps_pedigree());
    EXPECT_FALSE(e.keeps_genotypes());
    EXPECT_EQ(e.records(), 4 * 40);
    EXPECT_EQ(e.pedigree_animals(), s.st.history.size() - e.pedigree_offset());
    EXPECT_EQ(e.pedigree_offset(), historical == 1 ? s.st.history.first_of(s.st.history.generations() - 5) - 1 : 0);
    EXPECT_EQ(e.genotyped_generations(), 0);
  }
}

// SNP-BLUP with the current and K - 1 earlier generations as reference
// equals the dense solution built from the haplotypes; past generations are
// kept packed at 2 bits, K of them.
TEST(EvaluationTest, GenomicBlupMatchesDenseSolve) {
  for (int32_t k : {1, 2, 3}) {
    SCOPED_TRACE("reference generations " + std::to_string(k));
    qmtest::tempdir dir;
    qmtest::console_capture con;
    qmtest::run_setup s(ebv_par(4, 4));
    dense_check d;
    run_checked(s, d, 1, k);
    EXPECT_EQ(d.evaluated, 4);
    EXPECT_LT(d.worst, 1e-7);
    const qm::ebv_evaluation& e = s.st.ebv;
    EXPECT_FALSE(e.keeps_pedigree());
    EXPECT_EQ(e.pedigree_animals(), 0);
    EXPECT_EQ(e.genotyped_generations(), k);
    EXPECT_EQ(e.genotype_bytes(), k * 40 * ((44 + 3) / 4));
  }
}

// With a SNP chip of 16 of the 44 markers, the equations are those of the
// chip's markers alone, and only their dosages are kept.
TEST(EvaluationTest, GenomicBlupOnAChipMatchesDenseSolveOnItsMarkers) {
  qmtest::tempdir dir;
  qmtest::console_capture con;
  qmtest::run_setup s(ebv_par(4, 4));
  s.params.chip_markers = 16;
  s.params.chip_min_maf = 0.05;
  dense_check d;
  run_checked(s, d, 1, 2);
  EXPECT_EQ(d.evaluated, 4);
  EXPECT_LT(d.worst, 1e-7);
  ASSERT_EQ(s.st.chip.size(), 16);
  EXPECT_EQ(s.st.ebv.markers_used().size(), 16u);
  EXPECT_EQ(s.st.ebv.genotype_bytes(), 2 * 40 * ((16 + 3) / 4));
}

// The dosages of chosen markers are those of a matrix of these markers alone,
// in both layouts.
TEST(EvaluationTest, DosagesOfPickedMarkersAreThoseOfTheirOwnMatrix) {
  const int32_t nind = 70, nloci = 140;
  const std::vector<int32_t> pick = {0, 3, 63, 64, 65, 100, 127, 128, 139};
  qm::haplotype_matrix all, own;
  all.resize(nloci, 2 * nind);
  own.resize(static_cast<int32_t>(pick.size()), 2 * nind);
  uint32_t x = 12345;
  for (int32_t h = 0; h < 2 * nind; ++h)
    for (int32_t l = 0; l < nloci; ++l) {
      x = x * 1103515245u + 12345u;
      all.at(l, h) = static_cast<int8_t>(1 + ((x >> 16) & 1u));
    }
  for (int32_t h = 0; h < 2 * nind; ++h)
    for (size_t k = 0; k < pick.size(); ++k) own.at(static_cast<int32_t>(k), h) = all.at(pick[k], h);
  const qm::packed_genotypes want = qm::pack_marker_dosages(own, nind, 1);
  ASSERT_EQ(want.m, static_cast<int64_t>(pick.size()));
  EXPECT_EQ(qm::pack_marker_dosages(all, nind, 2, pick).by_animal, want.by_animal);
  qm::pack_haplotypes(all);
  const qm::packed_genotypes packed = qm::pack_marker_dosages(all, nind, 3, pick);
  EXPECT_EQ(packed.m, want.m);
  EXPECT_EQ(packed.by_animal, want.by_animal);
  for (int32_t i = 0; i < nind; ++i)
    for (size_t k = 0; k < pick.size(); ++k)
      EXPECT_EQ(packed.dosage(i, static_cast<int64_t>(k)),
                (own.at(static_cast<int32_t>(k), 2 * i) == 1) + (own.at(static_cast<int32_t>(k), 2 * i + 1) == 1));
}

// Without seltype 3 or 4 nothing is kept; with one of them in a later stage
// only, the phenotypes are recorded from stage 2 on all the same, and only
// what that kind of estimate needs.
TEST(EvaluationTest, KeepsOnlyWhatTheStagePlanUses) {
  qmtest::tempdir dir;
  qmtest::console_capture con;
  {
    qmtest::run_setup s(ebv_par(1, 2));
    for (int st = 1; st <= 3; ++st) s.run_stage(st);
    EXPECT_FALSE(s.st.ebv.active());
    EXPECT_EQ(s.st.ebv.records(), 0);
    EXPECT_EQ(s.st.ebv.pedigree_animals(), 0);
    EXPECT_EQ(s.st.ebv.genotyped_generations(), 0);
    EXPECT_FALSE(s.st.ebv.estimated_for(s.st.history.generations() - 1));
  }
  for (int t : {3, 4}) {
    std::string par = ebv_par(2, 2);
    par = set_record(par, 16, "4 0 12345");
    par += "stage 4\n10 20 40 1\nstage 4\n0 2 " + std::to_string(t) + "\n";
    qmtest::run_setup s(par);
    for (int st = 1; st <= 3; ++st) s.run_stage(st);
    EXPECT_TRUE(s.st.ebv.active());
    EXPECT_EQ(s.st.ebv.records(), 4 * 40);  // stage 2 and stage 3, not evaluated
    EXPECT_EQ(s.st.ebv.pedigree_animals(), 0);  // built when first needed
    EXPECT_FALSE(s.st.ebv.estimated_for(s.st.history.generations() - 1));
    EXPECT_EQ(s.st.ebv.genotyped_generations(), t == 4 ? 3 : 0);
    s.run_stage(4);
    EXPECT_TRUE(s.st.ebv.estimated_for(s.st.history.generations() - 1));
    EXPECT_EQ(s.st.ebv.records(), 5 * 40);
    EXPECT_EQ(s.st.ebv.pedigree_animals(), t == 3 ? 6 * 40 : 0);
  }
}

namespace {

// Two traits (rg 0.5, re 0.2, h2 0.3 and 0.4), seltype 2 throughout; the
// evaluations are made by the observer's own ebv_evaluation.
std::string two_trait_par() {
  std::string par = set_record(ebv_par(2, 2), 2, "2 0 0.2 0");
  par = set_record(par, 4, "0.5");
  par = set_record(par, 6, "0.2");
  return set_record(par, 8, "0.3 0.4");
}

const std::vector<double> g0 = {1.0, 0.4, 0.4, 0.8}, r0 = {2.0, 0.5, 0.5, 1.5};

// Records as the evaluation is given them: trait 2 missing on males (odd
// animals, a sex-limited trait), trait 1 missing on every seventh animal.
double recorded_value(const qm::population& pop, int32_t i, int32_t t) {
  if ((t == 2 && i % 2 == 1) || (t == 1 && i % 7 == 0)) return std::numeric_limits<double>::quiet_NaN();
  return pop.phenotype_of(i, t);
}

// A plan with an index over criterion c in stage 3 and seltype c in stage 2.
qm::run_parameters index_plan(const qm::run_parameters& p, qm::selection_criterion c) {
  qm::run_parameters q = p;
  q.stages[2].block.seltype = static_cast<int32_t>(c);
  q.stages[3].block.seltype = 5;
  q.stages[3].block.index = {c, {1.0, 2.0}};
  return q;
}

// Every generation from stage 2 on is recorded (with the missing records
// above) into an evaluation of its own, which then estimates trait 1 alone
// and both traits jointly; both are checked against dense solves built from
// the history, the phenotypes and the haplotypes.
struct trait_check : qm::generation_observer {
  qm::selection_criterion c;
  qm::ebv_evaluation e;
  std::vector<seen_generation> seen;  // phe: T values per animal, NaN missing
  int evaluated = 0;
  double worst_single = 0.0, worst_joint = 0.0, worst_index = 0.0;

  trait_check(const qm::run_parameters& p, qm::selection_criterion crit) : c(crit) { e.plan(index_plan(p, crit)); }

  void on_generation(const qm::generation_view& v) override {
    if (v.step.stage < 2) return;
    // The records given to the evaluation, set in place for the call and
    // then restored (the run's own values stay as they were).
    qm::population& pop = const_cast<qm::population&>(v.pop);
    const std::vector<double> kept_phenotypes = pop.phenotype;
    seen_generation s;
    s.g = v.history.generations() - 1;
    const int32_t m = pop.markers.loci();
    for (int32_t i = 1; i <= pop.nind; ++i) {
      for (int32_t t = 1; t <= 2; ++t) s.phe.push_back(recorded_value(v.pop, i, t));
      for (int32_t t = 1; t <= 2; ++t) pop.phenotype_of(i, t) = recorded_value(v.pop, i, t);
      for (int32_t j = 0; j < m; ++j)
        s.dosage.push_back(static_cast<uint8_t>((pop.markers.allele(j, 2 * i - 2) == 1) + (pop.markers.allele(j, 2 * i - 1) == 1)));
    }
    seen.push_back(std::move(s));
    e.record_generation(pop, v.history, 1);
    pop.phenotype = kept_phenotypes;
    e.estimate(c, v.history, 0.3, 1);
    e.estimate_traits(c, v.history, g0, r0, 1);
    ASSERT_TRUE(e.traits_estimated_for(seen.back().g));
    EXPECT_TRUE(e.traits_stats().converged);
    ++evaluated;
    for (const bool joint : {false, true}) {
      const Eigen::MatrixXd want = c == qm::selection_criterion::pedigree_ebv ? pedigree(v, joint) : genomic(v, joint);
      const double scale = want.cwiseAbs().maxCoeff();
      for (int t = 0; t < want.cols(); ++t) {
        const std::span<const double> got = joint ? e.current_trait(t + 1) : e.current();
        ASSERT_EQ(static_cast<Eigen::Index>(got.size()), want.rows());
        for (Eigen::Index i = 0; i < want.rows(); ++i) {
          double& w = joint ? worst_joint : worst_single;
          w = std::max(w, std::abs(got[static_cast<size_t>(i)] - want(i, t)) / scale);
        }
      }
      if (!joint) continue;
      const std::vector<double> index = e.index_of(std::vector<double>{1.0, 2.0});
      for (Eigen::Index i = 0; i < want.rows(); ++i)
        worst_index = std::max(worst_index, std::abs(index[static_cast<size_t>(i)] - (want(i, 0) + 2.0 * want(i, 1))) / scale);
    }
  }

  // The observed records of trait t of every seen generation (trait 1 only
  // or both) as rows: the equations add X_i' R_i^-1 X_i for each animal.
  template <class Incidence>
  static void add_records(const std::vector<seen_generation>& seen, int traits, Eigen::MatrixXd& c, Eigen::VectorXd& rhs,
                          Incidence incidence) {
    const Eigen::MatrixXd r = Eigen::Map<const Eigen::MatrixXd>(r0.data(), 2, 2);
    for (size_t gi = 0; gi < seen.size(); ++gi)
      for (size_t i = 0; i < seen[gi].phe.size() / 2; ++i) {
        std::vector<int> rec;
        for (int t = 0; t < traits; ++t)
          if (!std::isnan(seen[gi].phe[2 * i + static_cast<size_t>(t)])) rec.push_back(t);
        if (rec.empty()) continue;
        const int k = static_cast<int>(rec.size());
        Eigen::MatrixXd x = Eigen::MatrixXd::Zero(k, c.cols()), sub(k, k);
        Eigen::VectorXd y(k);
        for (int a = 0; a < k; ++a) {
          y(a) = seen[gi].phe[2 * i + static_cast<size_t>(rec[static_cast<size_t>(a)])];
          incidence(gi, static_cast<int>(i), rec[static_cast<size_t>(a)], x.row(a));
          for (int b = 0; b < k; ++b) sub(a, b) = traits == 1 ? 1.0 : r(rec[static_cast<size_t>(a)], rec[static_cast<size_t>(b)]);
        }
        const Eigen::MatrixXd ri = sub.inverse();
        c += x.transpose() * ri * x;
        rhs += x.transpose() * ri * y;
      }
  }

  // Single trait (lambda from h2 0.3) or both traits (g0, r0) on the
  // pedigree from the last stage-1 generation; the EBVs of the current
  // generation, one column per trait.
  Eigen::MatrixXd pedigree(const qm::generation_view& v, bool joint) const {
    const qm::pedigree_history& h = v.history;
    const int64_t offset = h.first_of(seen.front().g - 1) - 1;
    qmtest::pedigree ped;
    for (int64_t k = offset + 1; k <= h.size(); ++k) {
      const qm::pedigree_record& r = h.at(k);
      ped.add(r.sire > offset ? static_cast<int32_t>(r.sire - offset) : 0,
              r.dam > offset ? static_cast<int32_t>(r.dam - offset) : 0);
    }
    const int n = ped.size(), t = joint ? 2 : 1;
    Eigen::MatrixXd c = Eigen::MatrixXd::Zero(t * (n + 1), t * (n + 1));
    Eigen::VectorXd rhs = Eigen::VectorXd::Zero(t * (n + 1));
    add_records(seen, t, c, rhs, [&](size_t gi, int i, int trait, auto row) {
      const int a = 1 + static_cast<int>(h.first_of(seen[gi].g) + i - 1 - offset);
      row(trait) = 1.0;
      row(t * a + trait) = 1.0;
    });
    const Eigen::MatrixXd ainv = qmtest::tabular_a(ped).inverse();
    const Eigen::MatrixXd ginv = joint ? Eigen::MatrixXd(Eigen::Map<const Eigen::MatrixXd>(g0.data(), 2, 2).inverse())
                                       : Eigen::MatrixXd::Constant(1, 1, (1.0 - 0.3) / 0.3);
    for (int i = 0; i < n; ++i)
      for (int j = 0; j < n; ++j) c.block(t * (i + 1), t * (j + 1), t, t) += ainv(i, j) * ginv;
    const Eigen::VectorXd x = c.ldlt().solve(rhs);
    const int first = static_cast<int>(h.first_of(seen.back().g) - 1 - offset);
    Eigen::MatrixXd out(v.pop.nind, t);
    for (int i = 0; i < v.pop.nind; ++i)
      for (int q = 0; q < t; ++q) out(i, q) = x(t * (first + i + 1) + q);
    return out;
  }

  // SNP-BLUP on the last three generations, the animals with a record (of
  // trait 1 alone, or of either trait) as reference, centred by their means.
  Eigen::MatrixXd genomic(const qm::generation_view& v, bool joint) const {
    const int m = v.pop.markers.loci(), nind = v.pop.nind, t = joint ? 2 : 1;
    const size_t from = seen.size() - std::min<size_t>(seen.size(), 3);
    std::vector<std::pair<size_t, int>> ref;
    for (size_t gi = from; gi < seen.size(); ++gi)
      for (int i = 0; i < nind; ++i)
        if (!std::isnan(seen[gi].phe[2 * static_cast<size_t>(i)]) || (joint && !std::isnan(seen[gi].phe[2 * static_cast<size_t>(i) + 1])))
          ref.emplace_back(gi, i);
    Eigen::RowVectorXd centre = Eigen::RowVectorXd::Zero(m);
    for (const auto& [gi, i] : ref)
      for (int j = 0; j < m; ++j) centre(j) += seen[gi].dosage[static_cast<size_t>(i * m + j)];
    centre /= static_cast<double>(ref.size());
    double k = 0.0;
    for (int j = 0; j < m; ++j) k += centre(j) * (1.0 - centre(j) / 2.0);
    std::vector<seen_generation> kept(seen.begin() + static_cast<std::ptrdiff_t>(from), seen.end());
    // Animals without the records of the model are dropped by add_records.
    Eigen::MatrixXd c = Eigen::MatrixXd::Zero(t * (m + 1), t * (m + 1));
    Eigen::VectorXd rhs = Eigen::VectorXd::Zero(t * (m + 1));
    add_records(kept, t, c, rhs, [&](size_t gi, int i, int trait, auto row) {
      row(trait) = 1.0;
      for (int j = 0; j < m; ++j) row(t * (j + 1) + trait) = kept[gi].dosage[static_cast<size_t>(i * m + j)] - centre(j);
    });
    const Eigen::MatrixXd pen = joint ? Eigen::MatrixXd(k * Eigen::Map<const Eigen::MatrixXd>(g0.data(), 2, 2).inverse())
                                      : Eigen::MatrixXd::Constant(1, 1, (1.0 - 0.3) / 0.3 * k);
    for (int j = 0; j < m; ++j) c.block(t * (j + 1), t * (j + 1), t, t) += pen;
    const Eigen::VectorXd x = c.ldlt().solve(rhs);
    Eigen::MatrixXd out = Eigen::MatrixXd::Zero(nind, t);
    for (int i = 0; i < nind; ++i)
      for (int q = 0; q < t; ++q)
        for (int j = 0; j < m; ++j)
          out(i, q) += (seen.back().dosage[static_cast<size_t>(i * m + j)] - centre(j)) * x(t * (j + 1) + q);
    return out;
  }
};

}  // namespace

// Both kinds of evaluation, each of every generation from stage 2 on with
// records missing (trait 2 on males, trait 1 on some animals): trait 1
// alone leaves its missing records out (pedigree: no record; genomic: not in
// the reference, still a candidate), and the joint evaluation of both traits
// with G0 and R0 equals the dense solution of the multi-trait equations.
TEST(EvaluationTest, MissingRecordsAndJointEvaluationMatchDenseSolves) {
  for (const auto c : {qm::selection_criterion::pedigree_ebv, qm::selection_criterion::genomic_ebv}) {
    SCOPED_TRACE(static_cast<int>(c));
    qmtest::tempdir dir;
    qmtest::console_capture con;
    qmtest::run_setup s(two_trait_par());
    trait_check d(s.params, c);
    EXPECT_TRUE(d.e.keeps_traits());
    EXPECT_EQ(d.e.traits(), 2);
    qm::observer_list obs;
    obs.add(std::make_unique<borrowed>(d));
    for (int st = 1; st <= s.params.nstage; ++st) s.run_stage(st, obs);
    EXPECT_EQ(d.evaluated, 4);
    EXPECT_LT(d.worst_single, 1e-7);
    EXPECT_LT(d.worst_joint, 1e-7);
    EXPECT_LT(d.worst_index, 1e-7);
    // Trait 1 is missing on every seventh animal: 35 of 40 records each generation.
    if (c == qm::selection_criterion::pedigree_ebv) {
      EXPECT_EQ(d.e.records(), 4 * 35);
    }
    // Animals 7, 21 and 35 (males without trait 1) have no record at all.
    EXPECT_EQ(static_cast<int64_t>(d.e.trait_record_animals().size()), 4 * 37);
  }
}

namespace {

// One generation's result files: TBV, phenotype and (when written) EBV of trait 1.
struct generation_files {
  std::vector<double> tbv, phe, ebv;
};

generation_files read_generation(const std::string& dir, int g) {
  char name[16];
  std::snprintf(name, sizeof name, "%02d", g);
  generation_files r;
  std::istringstream bv(qmtest::read_file(dir + "/" + name + "BV.out"));
  std::string line;
  std::getline(bv, line);
  while (std::getline(bv, line)) {
    std::istringstream f(line);
    std::string id, sire, dam;
    int sex = 0, bred = 0;
    double t = 0, p = 0;
    f >> id >> sire >> dam >> sex >> bred >> t >> p;
    r.tbv.push_back(t);
    r.phe.push_back(p);
  }
  std::istringstream eb(qmtest::read_file(dir + "/" + name + "EBV.out"));
  std::getline(eb, line);
  while (std::getline(eb, line)) {
    std::istringstream f(line);
    std::string id;
    double e = 0;
    f >> id >> e;
    r.ebv.push_back(e);
  }
  return r;
}

double mean(const std::vector<double>& v) {
  double s = 0.0;
  for (double x : v) s += x;
  return s / static_cast<double>(v.size());
}

double correlation(const std::vector<double>& a, const std::vector<double>& b) {
  const double ma = mean(a), mb = mean(b);
  double sab = 0.0, saa = 0.0, sbb = 0.0;
  for (size_t i = 0; i < a.size(); ++i) {
    sab += (a[i] - ma) * (b[i] - mb);
    saa += (a[i] - ma) * (a[i] - ma);
    sbb += (b[i] - mb) * (b[i] - mb);
  }
  return sab / std::sqrt(saa * sbb);
}

// h2 = 0.1, 10 chromosomes of 101 markers, 300 animals; nested mating of 10
// sires and 50 dams (full-sib families of 6 in half-sib groups of 30); the
// stage-2 generation and 5 generations of stage 3 select with seltype t.
std::string response_par(int t) {
  return "Response to selection on phenotypes and on estimated breeding values\n"
         "1 0 0.2 0\n\n\n\n\n"
         "heritability\n0.1\n"
         "nmpc nchr maptype\n101 10 0\n"
         "chrlen mutm mutq\n1.0 1.0e-3 1.0e-3\n"
         "qtlrule nqtl qtlp1 qtlp2\n0 100 1.0 1.0\n"
         "nstage spare seed\n3 0 1\n"
         "stage 1\n50 50 300 100\nstage 1\n0 2 0\n"
         "stage 2\n10 50 300 1\nstage 2\n0 0 " + std::to_string(t) + "\n"
         "stage 3\n10 50 300 5\nstage 3\n0 0 " + std::to_string(t) + "\n";
}

}  // namespace

// With h2 = 0.1, truncation on pedigree-BLUP or SNP-BLUP EBVs raises the
// mean true breeding value more than truncation on phenotypes over five
// generations, and the EBVs rank the animals better than their phenotypes
// do (correlation with the TBV, same animals), averaged over five seeds.
TEST(EvaluationTest, SelectionOnEstimatesRespondsBetter) {
  qmtest::tempdir dir;
  const int seeds = 5;
  std::map<int, double> response, r_ebv, r_phe;
  for (int t : {2, 3, 4}) {
    qmtest::write_file("r" + std::to_string(t) + ".par", response_par(t));
    for (int seed = 1; seed <= seeds; ++seed) {
      const std::string run = "t" + std::to_string(t) + "s" + std::to_string(seed);
      const std::string cmd = "mkdir " + run + " && cd " + run + " && '" + QM_BINARY + "' --threads 1 --seed " +
                              std::to_string(1000 + seed) + " ../r" + std::to_string(t) + ".par > console.txt 2>&1";
      const int rc = std::system(cmd.c_str());
      ASSERT_TRUE(WIFEXITED(rc) && WEXITSTATUS(rc) == 0) << run << "\n" << qmtest::read_file(run + "/console.txt");
      const generation_files first = read_generation(run, 1), last = read_generation(run, 6);
      ASSERT_EQ(first.tbv.size(), 300u);
      ASSERT_EQ(last.tbv.size(), 300u);
      response[t] += (mean(last.tbv) - mean(first.tbv)) / seeds;
      for (int g = 1; g <= 6; ++g) {
        const generation_files f = read_generation(run, g);
        EXPECT_EQ(f.ebv.size(), t == 2 ? 0u : 300u) << run << " generation " << g;
        r_phe[t] += correlation(f.phe, f.tbv) / (6 * seeds);
        if (t != 2) r_ebv[t] += correlation(f.ebv, f.tbv) / (6 * seeds);
      }
    }
  }
  std::printf("response in mean TBV over 5 generations: phenotype %.3f, pedigree BLUP %.3f, SNP-BLUP %.3f\n",
              response[2], response[3], response[4]);
  std::printf("correlation with TBV: phenotype %.3f (seltype 2), %.3f / %.3f (seltype 3 / 4); "
              "EBV %.3f (pedigree BLUP), %.3f (SNP-BLUP)\n",
              r_phe[2], r_phe[3], r_phe[4], r_ebv[3], r_ebv[4]);
  EXPECT_GT(response[2], 0.0);
  EXPECT_GT(response[3], response[2]);
  EXPECT_GT(response[4], response[2]);
  EXPECT_GT(r_ebv[3], r_phe[3]);
  EXPECT_GT(r_ebv[4], r_phe[4]);
}
