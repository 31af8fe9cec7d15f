#include "stats/scheme_results.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

namespace qm {

namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

// Mean and standard deviation (divisor n - 1) of the criterion of animals
// first, first + 2, ..., 2 * count - 2 + first.
void candidates_mean_sd(std::span<const double> c, int32_t count, int first, double& mean, double& sd) {
  double s = 0.0;
  for (int32_t k = 0; k < count; ++k) s += c[static_cast<size_t>(2 * k + first - 1)];
  mean = count > 0 ? s / count : nan;
  double q = 0.0;
  for (int32_t k = 0; k < count; ++k) {
    const double d = c[static_cast<size_t>(2 * k + first - 1)] - mean;
    q += d * d;
  }
  sd = count > 1 ? std::sqrt(q / (count - 1)) : nan;
}

// The mean criterion of the chosen animals of the generation itself: a
// parent kept from an earlier generation (a number past the criterion's
// animals) was chosen among other candidates and is left out.
double selected_mean(std::span<const double> c, std::span<const int32_t> chosen) {
  double s = 0.0;
  size_t n = 0;
  for (int32_t a : chosen)
    if (a >= 1 && static_cast<size_t>(a) <= c.size()) {
      s += c[static_cast<size_t>(a - 1)];
      ++n;
    }
  return n == 0 ? nan : s / static_cast<double>(n);
}

}  // namespace

selection_result selection_of(std::span<const double> criterion, std::span<const int32_t> sires,
                              std::span<const int32_t> dams, int32_t candidates_per_sex) {
  selection_result r;
  double mean = 0, sd = 0;
  candidates_mean_sd(criterion, candidates_per_sex, 1, mean, sd);
  r.sel_diff_sires = selected_mean(criterion, sires) - mean;
  r.intensity_sires = sd > 0.0 ? r.sel_diff_sires / sd : nan;
  candidates_mean_sd(criterion, candidates_per_sex, 2, mean, sd);
  r.sel_diff_dams = selected_mean(criterion, dams) - mean;
  r.intensity_dams = sd > 0.0 ? r.sel_diff_dams / sd : nan;
  return r;
}

namespace {

// The sums of centred squares and products of x and y (the same length n >= 2).
struct centred_sums {
  double xx = 0.0, yy = 0.0, xy = 0.0;
};
centred_sums centred(std::span<const double> x, std::span<const double> y, size_t n) {
  double sx = 0.0, sy = 0.0;
  for (size_t i = 0; i < n; ++i) {
    sx += x[i];
    sy += y[i];
  }
  const double mx = sx / static_cast<double>(n), my = sy / static_cast<double>(n);
  centred_sums c;
  for (size_t i = 0; i < n; ++i) {
    const double dx = x[i] - mx, dy = y[i] - my;
    c.xx += dx * dx;
    c.yy += dy * dy;
    c.xy += dx * dy;
  }
  return c;
}

}  // namespace

double correlation(std::span<const double> x, std::span<const double> y) {
  const size_t n = std::min(x.size(), y.size());
  if (n < 2) return nan;
  const centred_sums c = centred(x, y, n);
  if (!(c.xx > 0.0) || !(c.yy > 0.0)) return nan;
  return c.xy / std::sqrt(c.xx * c.yy);
}

double least_squares_slope(std::span<const double> x, std::span<const double> y) {
  const size_t n = std::min(x.size(), y.size());
  if (n < 2) return nan;
  const centred_sums c = centred(x, y, n);
  return c.xx > 0.0 ? c.xy / c.xx : nan;
}

parent_use parent_use_of(std::span<const parent_pair> parents, std::vector<int32_t>& counts) {
  int32_t top = 0;
  for (const parent_pair& p : parents) top = std::max({top, p.sire, p.dam});
  counts.assign(static_cast<size_t>(top) + 1, 0);
  parent_use u;
  // Sires and dams are of different sexes (odd and even numbers), so one
  // count per animal number serves both.
  for (const parent_pair& p : parents) {
    int32_t& s = counts[static_cast<size_t>(p.sire)];
    if (s++ == 0) ++u.sires;
    u.max_per_sire = std::max<int64_t>(u.max_per_sire, s);
    if (p.dam == p.sire) continue;  // the base generation: every animal its own sire and dam
    int32_t& d = counts[static_cast<size_t>(p.dam)];
    if (d++ == 0) ++u.dams;
    u.max_per_dam = std::max<int64_t>(u.max_per_dam, d);
  }
  return u;
}

double inbreeding_rate(double f, double f_before) {
  if (std::isnan(f) || std::isnan(f_before) || !(f_before < 1.0)) return nan;
  return (f - f_before) / (1.0 - f_before);
}

double effective_size(double delta_f) { return delta_f > 0.0 ? 1.0 / (2.0 * delta_f) : nan; }

double inbreeding_rate_by_regression(std::span<const double> generation, std::span<const double> f) {
  const size_t n = std::min(generation.size(), f.size());
  std::vector<double> x, y;  // the generations and ln(1 - f) of the points whose f is a number below 1
  for (size_t k = 0; k < n; ++k)
    if (!std::isnan(f[k]) && f[k] < 1.0 && std::isfinite(generation[k])) {
      x.push_back(generation[k]);
      y.push_back(std::log1p(-f[k]));
    }
  const double b = least_squares_slope(x, y);
  return std::isnan(b) ? nan : -std::expm1(b);
}

namespace {

void set_column(summary_table& t, const std::string& name, const std::vector<double>& v) {
  int c = t.column(name);
  if (c < 0) {
    t.header.push_back(name);
    for (std::vector<double>& r : t.rows) r.push_back(nan);
    c = static_cast<int>(t.header.size()) - 1;
  }
  for (size_t k = 0; k < t.rows.size(); ++k) {
    if (t.rows[k].size() < t.header.size()) t.rows[k].resize(t.header.size(), nan);
    t.rows[k][static_cast<size_t>(c)] = v[k];
  }
}

}  // namespace

void derive_scheme_columns(summary_table& t) {
  const size_t n = t.rows.size();
  const auto column = [&](const std::string& name) {
    std::vector<double> v(n, nan);
    const int c = t.column(name);
    if (c >= 0)
      for (size_t k = 0; k < n; ++k)
        if (static_cast<size_t>(c) < t.rows[k].size()) v[k] = t.rows[k][static_cast<size_t>(c)];
    return v;
  };
  const std::vector<double> stage = column("stage"), generation = column("generation");
  const std::vector<double> tbv1 = column("tbv_mean_1");
  std::vector<size_t> with_values;
  for (size_t k = 0; k < n; ++k)
    if (!std::isnan(tbv1[k])) with_values.push_back(k);
  for (int i = 1; t.column("tbv_mean_" + std::to_string(i)) >= 0; ++i) {
    const std::string s = std::to_string(i);
    const std::vector<double> mean = column("tbv_mean_" + s), var = column("tbv_var_" + s);
    std::vector<double> gain(n, nan), gain_sd(n, nan), response(n, nan);
    for (size_t j = 0; j < with_values.size(); ++j) {
      const size_t k = with_values[j], b = with_values[0];
      gain[k] = mean[k] - mean[b];
      const double sd = std::sqrt(var[b]);
      gain_sd[k] = sd > 0.0 ? gain[k] / sd : nan;
      if (j > 0) response[k] = mean[k] - mean[with_values[j - 1]];
    }
    set_column(t, "gain_" + s, gain);
    set_column(t, "gain_sd_" + s, gain_sd);
    set_column(t, "response_" + s, response);
  }
  for (const char* kind : {"pedigree", "genomic"}) {
    const std::string k = kind;
    const std::vector<double> f = column("f_" + k);
    std::vector<double> df(n, nan), ne(n, nan), df_stage(n, nan), ne_stage(n, nan);
    for (size_t j = 1; j < with_values.size(); ++j) {
      const size_t r = with_values[j];
      df[r] = inbreeding_rate(f[r], f[with_values[j - 1]]);
      ne[r] = effective_size(df[r]);
    }
    for (size_t j = 0; j < with_values.size();) {
      size_t e = j;
      std::vector<double> g, fs;
      while (e < with_values.size() && stage[with_values[e]] == stage[with_values[j]]) {
        g.push_back(generation[with_values[e]]);
        fs.push_back(f[with_values[e]]);
        ++e;
      }
      const size_t last = with_values[e - 1];
      df_stage[last] = inbreeding_rate_by_regression(g, fs);
      ne_stage[last] = effective_size(df_stage[last]);
      j = e;
    }
    set_column(t, "delta_f_" + k, df);
    set_column(t, "ne_" + k, ne);
    set_column(t, "delta_f_" + k + "_stage", df_stage);
    set_column(t, "ne_" + k + "_stage", ne_stage);
  }
}

std::vector<headline_result> headline_of(const summary_table& t) {
  // The rows with values: those with a mean breeding value of trait 1.
  const int tbv1 = t.column("tbv_mean_1");
  std::vector<const std::vector<double>*> rows;
  for (const std::vector<double>& r : t.rows)
    if (tbv1 >= 0 && static_cast<size_t>(tbv1) < r.size() && !std::isnan(r[static_cast<size_t>(tbv1)]))
      rows.push_back(&r);
  const auto column = [&](const std::string& name) {
    std::vector<double> v;
    const int c = t.column(name);
    for (const std::vector<double>* r : rows)
      v.push_back(c >= 0 && static_cast<size_t>(c) < r->size() ? (*r)[static_cast<size_t>(c)] : nan);
    return v;
  };
  const auto last = [&](const std::string& name) {
    const std::vector<double> v = column(name);
    return v.empty() ? nan : v.back();
  };
  // The mean over the rows that have a value (but the last row when but_last).
  const auto mean = [&](const std::string& name, bool but_last = false) {
    std::vector<double> v = column(name);
    if (but_last && !v.empty()) v.pop_back();
    double s = 0.0;
    int n = 0;
    for (double x : v)
      if (!std::isnan(x)) {
        s += x;
        ++n;
      }
    return n ? s / n : nan;
  };
  const auto largest = [&](const std::string& name) {
    double m = nan;
    for (double x : column(name))
      if (!std::isnan(x) && !(x <= m)) m = x;
    return m;
  };
  std::vector<headline_result> h;
  int nt = 0;
  while (t.column("tbv_mean_" + std::to_string(nt + 1)) >= 0) ++nt;
  for (int k = 1; k <= nt; ++k) {
    const std::string i = std::to_string(k);
    h.push_back({"total_gain_sd_" + i, "total gain, trait " + i + " (SD of the base's breeding values)",
                 last("gain_sd_" + i)});
    h.push_back({"total_gain_" + i, "total gain, trait " + i + " (trait units)", last("gain_" + i)});
  }
  h.push_back({"accuracy_1", "mean accuracy of the selection criterion (trait 1)", mean("accuracy_1")});
  h.push_back({"intensity_sires", "mean selection intensity, sires", mean("intensity_sires")});
  h.push_back({"intensity_dams", "mean selection intensity, dams", mean("intensity_dams")});
  h.push_back({"response_1", "mean realised response per generation (trait 1)", mean("response_1")});
  // The predictions of the responses realised: those of every row but the last.
  h.push_back({"predicted_response_1", "mean predicted response per generation (trait 1)",
               mean("predicted_response_1", true)});
  const std::vector<double> g = column("generation");
  for (const char* kind : {"pedigree", "genomic"}) {
    const std::string k = kind;
    const double df = inbreeding_rate_by_regression(g, column("f_" + k));
    h.push_back({"delta_f_" + k, "rate of inbreeding per generation, " + k, df});
    h.push_back({"ne_" + k, "effective population size, " + k, effective_size(df)});
  }
  h.push_back({"n_sires", "mean sires used per generation", mean("n_sires")});
  h.push_back({"n_dams", "mean dams used per generation", mean("n_dams")});
  h.push_back({"offspring_per_sire_max", "largest family of a sire", largest("offspring_per_sire_max")});
  h.push_back({"offspring_per_dam_max", "largest family of a dam", largest("offspring_per_dam_max")});
  h.push_back({"qtl_fixed_up_1", "QTL fixed for the favourable allele (trait 1), last generation",
               last("qtl_fixed_up_1")});
  h.push_back({"qtl_fixed_down_1", "QTL fixed for the unfavourable allele (trait 1), last generation",
               last("qtl_fixed_down_1")});
  return h;
}

}  // namespace qm
