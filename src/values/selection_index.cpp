#include "values/selection_index.hpp"

#include <Eigen/Dense>
#include <cmath>
#include <map>
#include <string>

#include "base/messages.hpp"

namespace qm {

std::vector<double> smith_hazel_weights(std::span<const double> genetic, std::span<const double> residual,
                                        std::span<const double> w, std::span<const char> recorded) {
  const int n = static_cast<int>(w.size());
  if (genetic.size() != static_cast<size_t>(n) * n || residual.size() != genetic.size() ||
      recorded.size() != static_cast<size_t>(n))
    stop("Selection index: the covariance matrices and the record pattern do not fit " + std::to_string(n) +
         " economic weights.");
  std::vector<int> rec;
  for (int t = 0; t < n; ++t)
    if (recorded[static_cast<size_t>(t)]) rec.push_back(t);
  std::vector<double> b(static_cast<size_t>(n), 0.0);
  if (rec.empty()) return b;
  const int r = static_cast<int>(rec.size());
  const auto at = [n](int i, int j) { return static_cast<size_t>(i) + static_cast<size_t>(j) * n; };
  Eigen::MatrixXd P(r, r);
  Eigen::VectorXd Gw(r);
  for (int i = 0; i < r; ++i) {
    for (int j = 0; j < r; ++j) P(i, j) = genetic[at(rec[i], rec[j])] + residual[at(rec[i], rec[j])];
    double s = 0.0;
    for (int t = 0; t < n; ++t) s += genetic[at(rec[i], t)] * w[static_cast<size_t>(t)];
    Gw(i) = s;
  }
  const Eigen::LLT<Eigen::MatrixXd> llt(P);
  if (llt.info() != Eigen::Success)
    stop("Selection index: the phenotypic covariance matrix of the recorded traits is not positive definite; check "
         "the heritabilities and the residual correlations.");
  const Eigen::VectorXd x = llt.solve(Gw);
  for (int i = 0; i < r; ++i) b[static_cast<size_t>(rec[i])] = x(i);
  return b;
}

void index_of_values(const run_parameters& p, const selection_index& index, const trait_architecture& a,
                     const population& pop, std::vector<double>& out) {
  const int n = p.ntrait;
  const std::vector<double>& w = index.weights;
  if (static_cast<int>(w.size()) != n) stop("Selection index: " + std::to_string(w.size()) + " weights for " + std::to_string(n) + " traits.");
  out.assign(static_cast<size_t>(pop.nind), 0.0);
  if (index.criterion == selection_criterion::true_value) {
    for (int i = 1; i <= pop.nind; ++i) {
      double s = 0.0;
      for (int t = 1; t <= n; ++t) s += w[static_cast<size_t>(t - 1)] * pop.tbv_of(i, t);
      out[static_cast<size_t>(i - 1)] = s;
    }
    return;
  }
  if (index.criterion != selection_criterion::phenotype)
    stop("Selection index: the index on true values or phenotypes was asked for another criterion.");
  // The mean record of each trait in the generation.
  std::vector<double> mean(static_cast<size_t>(n), 0.0);
  for (int t = 1; t <= n; ++t) {
    double s = 0.0;
    int k = 0;
    for (int i = 1; i <= pop.nind; ++i)
      if (!std::isnan(pop.phenotype_of(i, t))) {
        s += pop.phenotype_of(i, t);
        ++k;
      }
    mean[static_cast<size_t>(t - 1)] = k > 0 ? s / k : 0.0;
  }
  // One b per record pattern, in the order first met.
  std::map<std::vector<char>, std::vector<double>> weights_of;
  std::vector<char> pattern(static_cast<size_t>(n));
  for (int i = 1; i <= pop.nind; ++i) {
    for (int t = 1; t <= n; ++t) pattern[static_cast<size_t>(t - 1)] = !std::isnan(pop.phenotype_of(i, t));
    auto it = weights_of.find(pattern);
    if (it == weights_of.end())
      it = weights_of.emplace(pattern, smith_hazel_weights(a.base_genetic_covariance, a.base_residual_covariance, w,
                                                           pattern)).first;
    double s = 0.0;
    for (int t = 1; t <= n; ++t)
      if (pattern[static_cast<size_t>(t - 1)])
        s += it->second[static_cast<size_t>(t - 1)] * (pop.phenotype_of(i, t) - mean[static_cast<size_t>(t - 1)]);
    out[static_cast<size_t>(i - 1)] = s;
  }
}

}  // namespace qm
