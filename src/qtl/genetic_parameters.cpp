#include "qtl/genetic_parameters.hpp"

#include <cmath>
#include <string>
#include <vector>

#include "base/fixed.hpp"
#include "base/textfile.hpp"
#include "qtl/choose.hpp"

namespace qm {

namespace {

void matrix_rows(textfile& f, const std::vector<float>& m, int n) {
  for (int i = 0; i < n; ++i) {
    std::string line;
    for (int j = 0; j < n; ++j) {
      add_f(line, m[static_cast<size_t>(i) + static_cast<size_t>(j) * n], 15, 7);
      line += '\t';
    }
    f.line(line);
  }
}

}  // namespace

realised_parameters realised_genetic_parameters(const run_parameters& p, const trait_architecture& a,
                                                const haplotype_matrix& candidates) {
  const int n = p.ntrait;
  const int32_t nq = a.nqtl();
  const size_t nn = static_cast<size_t>(n) * n;
  std::vector<float> gcov(nn, 0.0f), gcor(nn, 1.0f), rescor(nn, 1.0f);
  auto at = [n](int i, int j) { return static_cast<size_t>(i - 1) + static_cast<size_t>(j - 1) * n; };
  for (int t = 1; t <= n; ++t) gcov[at(t, t)] = target_variance(p, t);
  std::vector<float> w(static_cast<size_t>(nq) + 1);
  for (int q = 1; q <= nq; ++q) w[static_cast<size_t>(q)] = qtl_weight(candidates, a.qtl_locus[static_cast<size_t>(q - 1)]);
  for (int l = 1; l <= n; ++l) {
    for (int m = 1; m < l; ++m) {
      float s = 0.0f;
      for (int q = 1; q <= nq; ++q)
        s = static_cast<float>(static_cast<double>(s) + a.effect(q, l) * a.effect(q, m) * static_cast<double>(w[static_cast<size_t>(q)]));
      gcov[at(l, m)] = s;
    }
    for (int m = 1; m < l; ++m) {
      gcov[at(m, l)] = gcov[at(l, m)];
      gcor[at(l, m)] = gcor[at(m, l)] = gcov[at(l, m)] / std::sqrt(gcov[at(l, l)] * gcov[at(m, m)]);
    }
  }
  int pr = 0;
  for (int i = 1; i < n; ++i) {
    for (int j = i + 1; j <= n; ++j) {
      const float r = p.rerr[static_cast<size_t>(pr++)];
      rescor[at(i, j)] = rescor[at(j, i)] = r;
    }
  }
  return {n, std::move(gcov), std::move(gcor), a.residual_covariance, std::move(rescor)};
}


void write_genetic_parameters(const output_folder& folder, const run_parameters& p, const trait_architecture& a,
                              const haplotype_matrix& candidates) {
  const realised_parameters r = realised_genetic_parameters(p, a, candidates);
  const int n = r.ntrait;
  const std::vector<float>&gcov = r.additive_cov, &gcor = r.additive_cor, &rc = r.residual_cov,
                          &rescor = r.residual_cor;
  textfile f(folder.file("Genetic_paramenters.out"));
  std::string head = "\t";
  for (int t = 1; t <= n; ++t) {
    head += "trait";
    add_imin(head, t, 2, 2);
    head += '\t';
  }
  f.line(head);
  f.line("Realized Additive Covariance matrix:");
  matrix_rows(f, gcov, n);
  f.line("Realized Additive Correlation matrix:");
  matrix_rows(f, gcor, n);
  f.line("Residual Covariance matrix:");
  matrix_rows(f, rc, n);
  f.line("Residual Correlation matrix:");
  matrix_rows(f, rescor, n);
  std::string h = "h2:\t";
  for (int t = 1; t <= n; ++t) {
    add_f(h, p.h2[static_cast<size_t>(t - 1)], 15, 7);
    h += '\t';
  }
  f.line(h);
  f.finish();
}

}  // namespace qm
