#include "qtl/report.hpp"

#include <cmath>
#include <string>
#include <vector>

#include "output/fixed.hpp"
#include "output/textfile.hpp"
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
    tf_line(f, line);
  }
}

}  // namespace

void genetic_report(popstate& p) {
  const int n = p.ntrait;
  const size_t nn = static_cast<size_t>(n) * n;
  std::vector<float> gcov(nn, 0.0f), gcor(nn, 1.0f), rescor(nn, 1.0f);
  auto at = [n](int i, int j) { return static_cast<size_t>(i - 1) + static_cast<size_t>(j - 1) * n; };
  for (int t = 1; t <= n; ++t) gcov[at(t, t)] = n == 1 ? 1.0f : static_cast<float>(t);
  std::vector<float> w(static_cast<size_t>(p.tqtl) + 1);
  for (int q = 1; q <= p.tqtl; ++q) w[static_cast<size_t>(q)] = qtl_weight(p, p.qtlid(q));
  for (int l = 1; l <= n; ++l) {
    for (int m = 1; m < l; ++m) {
      float s = 0.0f;
      for (int q = 1; q <= p.tqtl; ++q)
        s = static_cast<float>(static_cast<double>(s) + p.qeff(q, l) * p.qeff(q, m) * static_cast<double>(w[static_cast<size_t>(q)]));
      gcov[at(l, m)] = s;
    }
    for (int m = 1; m < l; ++m) {
      gcov[at(m, l)] = gcov[at(l, m)];
      gcor[at(l, m)] = gcor[at(m, l)] = gcov[at(l, m)] / std::sqrt(gcov[at(l, l)] * gcov[at(m, m)]);
    }
  }
  p.rescov.alloc(n, n);
  for (int i = 1; i <= n; ++i) p.rescov(i, i) = (1.0f / p.h2(i) - 1.0f) * gcov[at(i, i)];
  int pr = 0;
  for (int i = 1; i < n; ++i) {
    for (int j = i + 1; j <= n; ++j) {
      const float r = p.rerr(++pr);
      p.rescov(i, j) = p.rescov(j, i) = std::sqrt(p.rescov(i, i) * p.rescov(j, j)) * r;
      rescor[at(i, j)] = rescor[at(j, i)] = r;
    }
  }
  std::vector<float> rc(p.rescov.data(), p.rescov.data() + nn);

  textfile f;
  tf_open(f, "Genetic_paramenters.out");
  std::string head = "\t";
  for (int t = 1; t <= n; ++t) {
    head += "trait";
    add_imin(head, t, 2, 2);
    head += '\t';
  }
  tf_line(f, head);
  tf_line(f, "Realized Additive Covariance matrix:");
  matrix_rows(f, gcov, n);
  tf_line(f, "Realized Additive Correlation matrix:");
  matrix_rows(f, gcor, n);
  tf_line(f, "Residual Covariance matrix:");
  matrix_rows(f, rc, n);
  tf_line(f, "Residual Correlation matrix:");
  matrix_rows(f, rescor, n);
  std::string h = "h2:\t";
  for (int t = 1; t <= n; ++t) {
    add_f(h, p.h2(t), 15, 7);
    h += '\t';
  }
  tf_line(f, h);
  tf_close(f);
}

}  // namespace qm
