#include "stats/merge.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>
#include <map>
#include <new>

#include "base/atomic_file.hpp"
#include "base/input_file.hpp"
#include "base/messages.hpp"
#include "output/manifest.hpp"
#include "stats/scheme_results.hpp"

namespace qm {

namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

bool exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

std::string in(const std::string& folder, const char* name) { return folder + "/" + name; }

// Continued fraction of the incomplete beta function (modified Lentz).
double beta_fraction(double a, double b, double x) {
  constexpr double tiny = 1e-300, eps = 1e-16;
  const double qab = a + b, qap = a + 1.0, qam = a - 1.0;
  double c = 1.0, d = 1.0 - qab * x / qap;
  if (std::fabs(d) < tiny) d = tiny;
  d = 1.0 / d;
  double h = d;
  for (int m = 1; m <= 10000; ++m) {
    const double m2 = 2.0 * m;
    double aa = m * (b - m) * x / ((qam + m2) * (a + m2));
    d = 1.0 + aa * d;
    if (std::fabs(d) < tiny) d = tiny;
    c = 1.0 + aa / c;
    if (std::fabs(c) < tiny) c = tiny;
    d = 1.0 / d;
    h *= d * c;
    aa = -(a + m) * (qab + m) * x / ((a + m2) * (qap + m2));
    d = 1.0 + aa * d;
    if (std::fabs(d) < tiny) d = tiny;
    c = 1.0 + aa / c;
    if (std::fabs(c) < tiny) c = tiny;
    d = 1.0 / d;
    const double del = d * c;
    h *= del;
    if (std::fabs(del - 1.0) < eps) break;
  }
  return h;
}

std::string generation_text(const std::pair<int, int>& key) {
  return "stage " + std::to_string(key.first) + ", generation " + std::to_string(key.second);
}

std::string list(const std::vector<std::string>& v) {
  std::string s;
  for (size_t k = 0; k < v.size(); ++k) s += (k ? ", " : "") + v[k];
  return s;
}

}  // namespace

double incomplete_beta(double a, double b, double x) {
  if (!(a > 0) || !(b > 0) || !(x >= 0) || !(x <= 1)) return nan;
  if (x == 0.0 || x == 1.0) return x;
  const double front =
      std::exp(std::lgamma(a + b) - std::lgamma(a) - std::lgamma(b) + a * std::log(x) + b * std::log1p(-x));
  if (x < (a + 1.0) / (a + b + 2.0)) return front * beta_fraction(a, b, x) / a;
  return 1.0 - front * beta_fraction(b, a, 1.0 - x) / b;
}

double t_quantile(double p, double df) {
  if (!(p > 0.0) || !(p < 1.0) || !(df > 0.0)) return nan;
  if (p == 0.5) return 0.0;
  // P(|T| > t) = I_x(df/2, 1/2) with x = df / (df + t^2); I rises with x.
  const double tail = 2.0 * (p > 0.5 ? 1.0 - p : p);
  double lo = 0.0, hi = 1.0;
  for (int k = 0; k < 2000; ++k) {
    const double mid = 0.5 * (lo + hi);
    if (mid <= lo || mid >= hi) break;
    if (incomplete_beta(0.5 * df, 0.5, mid) < tail) lo = mid; else hi = mid;
  }
  const double x = 0.5 * (lo + hi);
  const double t = std::sqrt(df * (1.0 - x) / x);
  return p > 0.5 ? t : -t;
}

run_info read_run_info(const std::string& folder) {
  const std::string path = in(folder, "run.json");
  run_manifest m;
  try {
    m = parse_manifest(read_input_file(path, max_run_json_bytes), path);
  } catch (const input_file_error& e) {
    if (e.why == input_file_error::kind::missing)
      stop("Folder " + folder + " has no readable run.json: give only folders of finished runs (written with --outdir).");
    stop(std::string("File ") + e.what() + ". Give only folders of finished runs, with the run.json that their run wrote.");
  } catch (const file_error& e) {
    stop(e.what());
  }
  run_info r;
  r.folder = folder;
  r.version = m.version;
  r.parameter_name = m.parameter_file;
  r.parameter_sha256 = m.parameter_file_sha256;
  r.seed = m.seed;
  r.replicate = m.replicate;
  r.exit_status = m.exit_status;
  return r;
}

namespace {

// The interval of a mean that stays within the range of its values: the
// t interval on a scale that maps the range onto the whole line (log for a
// positive value, logit for a proportion, Fisher's z for a correlation),
// centred on the transformed mean, with the half-width sd / sqrt(n) carried
// over by the derivative of the transformation, and mapped back. Values
// outside the range (or a mean on its edge) keep the plain interval.
void keep_in_range(merged_value& m, const std::vector<double>& v, value_range range, double half) {
  if (range == value_range::any || !(half > 0.0)) return;
  const double lo = range == value_range::correlation ? -1.0 : 0.0;
  const double hi = range == value_range::positive ? INFINITY : 1.0;
  for (double x : v)
    if (!std::isnan(x) && (x < lo || x > hi)) return;
  const double x = m.mean;
  if (!(x > lo) || !(x < hi)) return;
  switch (range) {
    case value_range::positive:
      m.ci_low = x * std::exp(-half / x);
      m.ci_high = x * std::exp(half / x);
      break;
    case value_range::proportion: {
      const double z = std::log(x / (1.0 - x)), h = half / (x * (1.0 - x));
      m.ci_low = 1.0 / (1.0 + std::exp(-(z - h)));
      m.ci_high = 1.0 / (1.0 + std::exp(-(z + h)));
      break;
    }
    case value_range::correlation: {
      const double z = std::atanh(x), h = half / (1.0 - x * x);
      m.ci_low = std::tanh(z - h);
      m.ci_high = std::tanh(z + h);
      break;
    }
    case value_range::any:
      break;
  }
}

// The mean, sd and interval of the values of v that are not NaN, with
// t975(df) the 0.975 quantile of t with df degrees of freedom.
template <class Quantile>
merged_value merge_values_by(const std::vector<double>& v, Quantile t975, value_range range = value_range::any) {
  merged_value m;
  double s = 0.0;
  for (double x : v)
    if (!std::isnan(x)) {
      s += x;
      ++m.n;
    }
  if (m.n == 0) {
    m.mean = m.sd = m.ci_low = m.ci_high = nan;
    return m;
  }
  m.mean = s / m.n;
  if (m.n < 2) {
    m.sd = m.ci_low = m.ci_high = nan;
    return m;
  }
  double q = 0.0;
  for (double x : v)
    if (!std::isnan(x)) q += (x - m.mean) * (x - m.mean);
  m.sd = std::sqrt(q / (m.n - 1));
  const double half = t975(m.n - 1) * m.sd / std::sqrt(static_cast<double>(m.n));
  m.ci_low = m.mean - half;
  m.ci_high = m.mean + half;
  keep_in_range(m, v, range, half);
  return m;
}

// t(0.975, df) for df = 0 .. n - 1, worked out once: a merge asks for it
// for every value of every generation, and each costs a search.
std::vector<double> t975_table(size_t n) {
  std::vector<double> t(n, nan);
  for (size_t df = 1; df < n; ++df) t[df] = t_quantile(0.975, static_cast<double>(df));
  return t;
}

}  // namespace

merged_value merge_values(const std::vector<double>& v, value_range range) {
  return merge_values_by(v, [](int df) { return t_quantile(0.975, df); }, range);
}

value_range range_of_column(const std::string& name) {
  for (const char* p : {"tbv_var_", "phe_var_", "genic_var_", "ne_", "n_sires", "n_dams", "offspring_per_", "nind",
                        "seg_", "qtl_fixed_"})
    if (name.starts_with(p)) return value_range::positive;
  for (const char* p : {"marker_het_", "qtl_het_", "f_pedigree", "ld_r2_"})
    if (name.starts_with(p)) return value_range::proportion;
  if (name.starts_with("accuracy_")) return value_range::correlation;
  return value_range::any;
}

merged_replicates merge_replicates(const std::vector<std::string>& folders) {
  if (folders.empty()) stop("merge needs the folders of the replicates, e.g. quillmere merge rep-*.");
  merged_replicates m;
  for (const std::string& d : folders) m.runs.push_back(read_run_info(d));
  std::sort(m.runs.begin(), m.runs.end(), [](const run_info& a, const run_info& b) {
    return a.replicate != b.replicate ? a.replicate < b.replicate : a.folder < b.folder;
  });

  std::vector<std::string> failed;
  for (const run_info& r : m.runs)
    if (r.exit_status != 0) failed.push_back(r.folder + " (exit status " + std::to_string(r.exit_status) + ")");
  if (!failed.empty())
    stop("Cannot merge runs that did not end normally: " + list(failed) +
         ". Rerun those replicates (see log.txt in each folder) or leave them out.");
  const run_info& first = m.runs.front();
  for (const run_info& r : m.runs) {
    if (r.version != first.version)
      stop("Cannot merge runs of different program versions: " + first.folder + " was written by " + first.version +
           ", " + r.folder + " by " + r.version + ". Rerun the replicates with one version.");
    if (r.parameter_sha256 != first.parameter_sha256)
      stop("Cannot merge runs of different parameter files: " + first.folder + " ran " + first.parameter_name +
           " (sha256 " + first.parameter_sha256 + "), " + r.folder + " ran " + r.parameter_name + " (sha256 " +
           r.parameter_sha256 + "). Merge only replicates of one parameter file.");
  }
  for (size_t a = 0; a < m.runs.size(); ++a)
    for (size_t b = a + 1; b < m.runs.size(); ++b)
      if (m.runs[a].seed == m.runs[b].seed)
        stop("Folders " + m.runs[a].folder + " and " + m.runs[b].folder + " hold the same run (seed " +
             std::to_string(m.runs[a].seed) + "): give each replicate once.");

  // One summary at a time: checked on its own (every row a generation of
  // its own), then against the first (the same columns, the same
  // generations), then added to the rows keyed by (stage, generation), in
  // increasing order. Each row collects its values in merge order.
  std::map<std::pair<int, int>, std::vector<std::vector<double>>> rows;
  std::map<std::pair<int, int>, size_t> first_lines;  // line of each generation in the first summary
  std::string first_path;
  std::vector<std::string> raw_header;  // of the first summary, as written
  for (const run_info& r : m.runs) {
    const bool first = &r == &m.runs.front();
    const std::string p = in(r.folder, "summary.csv");
    if (!exists(p)) stop("Folder " + r.folder + " has no summary.csv: its run wrote no summary, it cannot be merged.");
    summary_table t = read_summary_csv(p);
    // A run with lines has a row per generation and line; averaging them by
    // generation would mix the lines.
    if (t.has_lines())
      stop("merge does not yet combine runs with lines: " + p +
           " has a line column (one row per generation and line). Compare the lines of each run from its own "
           "summary.csv, or merge runs without lines.");
    if (first) {
      first_path = p;
      m.header = raw_header = t.header;
      if (m.header.size() < 2 || m.header[0] != "stage" || m.header[1] != "generation")
        stop(p + " does not start with the columns stage,generation.");
      for (size_t c = 0; c < m.header.size(); ++c) {
        if (m.header[c].empty())
          stop("File " + p + ", line 1: column " + std::to_string(c + 1) +
               " has no name. Give the summary.csv that the run wrote.");
        for (size_t d = 0; d < c; ++d)
          if (m.header[d] == m.header[c])
            stop("File " + p + ", line 1: columns " + std::to_string(d + 1) + " and " + std::to_string(c + 1) +
                 " are both " + m.header[c] + ". Give the summary.csv that the run wrote.");
      }
    } else if (t.header != raw_header) {
      size_t c = 0;
      while (c < raw_header.size() && c < t.header.size() && raw_header[c] == t.header[c]) ++c;
      const std::string a = c < raw_header.size() ? raw_header[c] : "(none)";
      const std::string b = c < t.header.size() ? t.header[c] : "(none)";
      stop("The summary.csv headers of " + m.runs.front().folder + " and " + r.folder + " differ at column " +
           std::to_string(c + 1) + " (" + a + " against " + b + " in " + p +
           ", line 1). Merge only runs with the same summary columns.");
    }
    std::map<std::pair<int, int>, size_t> lines;
    for (size_t k = 0; k < t.rows.size(); ++k) {
      const std::pair<int, int> key{static_cast<int>(whole_cell(t, k, 0, 1, INT32_MAX, p)),
                                    static_cast<int>(whole_cell(t, k, 1, INT32_MIN, INT32_MAX, p))};
      const auto [at, added] = lines.emplace(key, t.lines[k]);
      if (!added)
        stop("File " + p + ", line " + std::to_string(t.lines[k]) + ": " + generation_text(key) +
             " again (line " + std::to_string(at->second) +
             " has it): each generation has one row. Give the summary.csv that the run wrote.");
      if (!first && !first_lines.contains(key))
        stop("File " + p + ", line " + std::to_string(t.lines[k]) + ": " + generation_text(key) + " is not in " +
             first_path + ". Replicates of one parameter file have the same generations: rerun the replicate whose "
             "summary differs, or leave it out.");
    }
    if (first) {
      first_lines = std::move(lines);
    } else {
      for (const auto& [key, line] : first_lines)
        if (!lines.contains(key))
          stop("File " + p + " has no row for " + generation_text(key) + " (" + first_path + " has it, line " +
               std::to_string(line) + "). Replicates of one parameter file have the same generations: rerun the "
               "replicate whose summary is incomplete, or leave it out.");
    }
    // The gains, responses and rates of inbreeding of this replicate, from
    // its own base and generations, before anything is averaged.
    derive_scheme_columns(t);
    if (first) m.header = t.header;
    m.headlines.push_back(headline_of(t));
    const size_t ncol = m.header.size() - 2;
    for (const std::vector<double>& row : t.rows) {
      std::vector<std::vector<double>>& v = rows[{static_cast<int>(row[0]), static_cast<int>(row[1])}];
      if (v.empty()) {
        v.resize(ncol);
        for (std::vector<double>& x : v) x.reserve(m.runs.size());
      }
      for (size_t c = 0; c < ncol; ++c) v[c].push_back(row[c + 2]);
    }
    m.replicate_rows.push_back(std::move(t));
  }
  const std::vector<double> t975 = t975_table(m.runs.size());
  const auto table = [&](int df) { return t975[static_cast<size_t>(df)]; };
  std::vector<value_range> ranges;
  for (size_t c = 2; c < m.header.size(); ++c) ranges.push_back(range_of_column(m.header[c]));
  for (const auto& [key, v] : rows) {
    m.keys.push_back(key);
    m.replicates.push_back(static_cast<int>(v.empty() ? 0 : v[0].size()));
    std::vector<merged_value> out;
    for (size_t c = 0; c < v.size(); ++c) out.push_back(merge_values_by(v[c], table, ranges[c]));
    m.values.push_back(std::move(out));
  }

  m.has_ld = std::all_of(m.runs.begin(), m.runs.end(), [](const run_info& r) { return exists(in(r.folder, "ld_decay.csv")); });
  if (m.has_ld) {
    std::vector<ld_decay> lds;
    for (const run_info& r : m.runs) lds.push_back(read_ld_decay_csv(in(r.folder, "ld_decay.csv")));
    m.ld_shape = lds.front();
    for (size_t k = 1; k < lds.size(); ++k)
      if (lds[k].pairs.size() != m.ld_shape.pairs.size() || lds[k].bin_cm != m.ld_shape.bin_cm)
        stop("The LD decay bins of " + m.runs.front().folder + " and " + m.runs[k].folder + " differ.");
    for (size_t b = 0; b < m.ld_shape.pairs.size(); ++b) {
      std::vector<double> x;
      for (const ld_decay& d : lds) x.push_back(d.mean_r2[b]);
      m.ld.push_back(merge_values_by(x, table, value_range::proportion));
      m.ld_shape.mean_r2[b] = m.ld.back().mean;
    }
  }
  return m;
}

namespace {
void put_value(std::string& s, const merged_value& v) {
  s += std::to_string(v.n) + ',';
  append_number(s, v.mean);
  s += ',';
  append_number(s, v.sd);
  s += ',';
  append_number(s, v.ci_low);
  s += ',';
  append_number(s, v.ci_high);
  s += '\n';
}
}  // namespace

std::string replicates_csv(const merged_replicates& m) {
  std::string s = "stage,generation,column,n,mean,sd,ci_low,ci_high\n";
  for (size_t r = 0; r < m.keys.size(); ++r)
    for (size_t c = 0; c < m.values[r].size(); ++c) {
      s += std::to_string(m.keys[r].first) + ',' + std::to_string(m.keys[r].second) + ',' + m.header[c + 2] + ',';
      put_value(s, m.values[r][c]);
    }
  return s;
}

std::string replicates_ld_csv(const merged_replicates& m) {
  std::string s = "bin_low_cm,bin_high_cm,n,mean,sd,ci_low,ci_high\n";
  for (size_t b = 0; b < m.ld.size(); ++b) {
    append_number(s, static_cast<double>(b) * m.ld_shape.bin_cm);
    s += ',';
    append_number(s, static_cast<double>(b + 1) * m.ld_shape.bin_cm);
    s += ',';
    put_value(s, m.ld[b]);
  }
  return s;
}

namespace {

// The values of headline result k of every replicate.
std::vector<double> headline_values(const merged_replicates& m, size_t k) {
  std::vector<double> v;
  for (const std::vector<headline_result>& h : m.headlines) v.push_back(k < h.size() ? h[k].value : nan);
  return v;
}

std::vector<headline_spread> headline_spreads(const merged_replicates& m) {
  std::vector<headline_spread> out;
  if (m.headlines.empty()) return out;
  for (size_t k = 0; k < m.headlines.front().size(); ++k) {
    const merged_value v = merge_values(headline_values(m, k));
    out.push_back({m.headlines.front()[k].key, m.headlines.front()[k].label, v.n, v.mean, v.sd});
  }
  return out;
}

}  // namespace

comparison_row welch_difference(const std::vector<double>& a, const std::vector<double>& b) {
  const merged_value x = merge_values(a), y = merge_values(b);
  comparison_row r;
  r.n_a = x.n;
  r.n_b = y.n;
  r.mean_a = x.mean;
  r.sd_a = x.sd;
  r.mean_b = y.mean;
  r.sd_b = y.sd;
  r.difference = x.mean - y.mean;
  r.ci_low = r.ci_high = r.df = nan;
  if (x.n < 2 || y.n < 2) return r;
  const double va = x.sd * x.sd / x.n, vb = y.sd * y.sd / y.n, se = std::sqrt(va + vb);
  if (!(se > 0.0)) {
    r.ci_low = r.ci_high = r.difference;
    return r;
  }
  r.df = (va + vb) * (va + vb) / (va * va / (x.n - 1) + vb * vb / (y.n - 1));
  const double half = t_quantile(0.975, r.df) * se;
  r.ci_low = r.difference - half;
  r.ci_high = r.difference + half;
  return r;
}

std::vector<comparison_row> compare_schemes(const merged_replicates& a, const merged_replicates& b) {
  std::vector<comparison_row> rows;
  if (a.headlines.empty() || b.headlines.empty()) return rows;
  const std::vector<headline_result>& ka = a.headlines.front();
  const std::vector<headline_result>& kb = b.headlines.front();
  for (size_t i = 0; i < ka.size(); ++i)
    for (size_t j = 0; j < kb.size(); ++j)
      if (ka[i].key == kb[j].key) {
        comparison_row r = welch_difference(headline_values(a, i), headline_values(b, j));
        r.key = ka[i].key;
        r.label = ka[i].label;
        rows.push_back(std::move(r));
      }
  return rows;
}

std::string compare_csv(const std::vector<comparison_row>& rows) {
  std::string s = "key,n_a,mean_a,sd_a,n_b,mean_b,sd_b,difference,ci_low,ci_high,df\n";
  for (const comparison_row& r : rows) {
    s += r.key + ',' + std::to_string(r.n_a) + ',';
    append_number(s, r.mean_a);
    s += ',';
    append_number(s, r.sd_a);
    s += ',' + std::to_string(r.n_b) + ',';
    for (double x : {r.mean_b, r.sd_b, r.difference, r.ci_low, r.ci_high}) {
      append_number(s, x);
      s += ',';
    }
    append_number(s, r.df);
    s += '\n';
  }
  return s;
}

std::vector<std::string> scheme_replicates(const std::string& scheme) {
  std::vector<std::string> out;
  std::error_code ec;
  std::filesystem::directory_iterator it(scheme, ec);
  if (ec)
    stop("The scheme folder " + scheme + " cannot be read (" + ec.message() +
         "). Give merge --compare two folders, each holding the replicate folders of one scheme.");
  for (const std::filesystem::directory_entry& e : it) {
    std::error_code e1, e2;
    if (e.is_directory(e1) && std::filesystem::is_regular_file(e.path() / "run.json", e2))
      out.push_back(e.path().string());
  }
  std::sort(out.begin(), out.end());
  if (out.empty())
    stop("The scheme folder " + scheme + " holds no replicate folder (a folder with run.json). Give merge --compare "
         "two folders, each holding the replicate folders of one scheme.");
  return out;
}

void compare_command(const std::string& a, const std::string& b, const std::string& outdir) {
  const std::string dir = outdir.empty() ? "." : outdir;
  const std::vector<std::string> fa = scheme_replicates(a), fb = scheme_replicates(b);
  std::vector<std::string> all = fa;
  all.insert(all.end(), fb.begin(), fb.end());
  check_merge_output_folder(all, dir);
  std::string csv, html;
  try {
    const merged_replicates ma = merge_replicates(fa), mb = merge_replicates(fb);
    compare_report r;
    r.name_a = a;
    r.name_b = b;
    r.title = "Quillmere: " + a + " against " + b;
    r.a = replicate_report_of(ma);
    r.b = replicate_report_of(mb);
    r.rows = compare_schemes(ma, mb);
    r.settings = {{"first scheme", a + " (" + std::to_string(fa.size()) + " replicates of " +
                                       ma.runs.front().parameter_name + ")"},
                  {"second scheme", b + " (" + std::to_string(fb.size()) + " replicates of " +
                                        mb.runs.front().parameter_name + ")"},
                  {"interval", "95% confidence interval of the difference of the means, Welch's t"}};
    csv = compare_csv(r.rows);
    html = render_compare_report(r);
  } catch (const std::bad_alloc&) {
    stop("Not enough memory to compare " + a + " and " + b + ". Nothing was written. Run it where more memory is free.");
  }
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec) stop("The output folder " + dir + " cannot be created (" + ec.message() + "). Name a folder you may write in.");
  write_file_atomic(dir + "/compare.csv", csv);
  write_report(dir + "/report.html", html);
}

replicate_report replicate_report_of(const merged_replicates& m) {
  replicate_report r;
  const run_info& f = m.runs.front();
  r.title = "Quillmere: " + std::to_string(m.runs.size()) + " replicates of " + f.parameter_name;
  for (summary_table* t : {&r.mean, &r.ci_low, &r.ci_high}) t->header = m.header;
  for (size_t k = 0; k < m.keys.size(); ++k) {
    std::vector<double> a = {double(m.keys[k].first), double(m.keys[k].second)}, lo = a, hi = a;
    for (const merged_value& v : m.values[k]) {
      a.push_back(v.mean);
      lo.push_back(v.ci_low);
      hi.push_back(v.ci_high);
    }
    r.mean.rows.push_back(std::move(a));
    r.ci_low.rows.push_back(std::move(lo));
    r.ci_high.rows.push_back(std::move(hi));
  }
  r.n = m.replicates;
  r.replicates = m.replicate_rows;
  r.headline = headline_spreads(m);
  if (m.has_ld) {
    r.ld_mean = m.ld_shape;
    for (const merged_value& v : m.ld) {
      r.ld_low.push_back(v.ci_low);
      r.ld_high.push_back(v.ci_high);
    }
  }
  std::string seeds, folders;
  for (const run_info& x : m.runs) {
    seeds += (seeds.empty() ? "" : " ") + std::to_string(x.replicate) + ":" + std::to_string(x.seed);
    folders += (folders.empty() ? "" : " ") + x.folder;
  }
  r.settings = {{"program version", f.version},
                {"parameter file", f.parameter_name},
                {"parameter file sha256", f.parameter_sha256},
                {"replicates", std::to_string(m.runs.size())},
                {"replicate:seed", seeds},
                {"folders", folders},
                {"interval", "95% confidence interval of the mean, t distribution with n - 1 degrees of freedom; "
                             "for variances, Ne and counts on the log scale, for proportions on the logit scale, "
                             "for accuracies on Fisher's z scale, so that it stays within the range of the values"}};
  return r;
}

void check_merge_output_folder(const std::vector<std::string>& folders, const std::string& outdir) {
  struct stat out{};
  if (::stat(outdir.c_str(), &out) != 0) {
    if (errno == ENOENT) return;  // made after the folders have been read
    stop("The output folder " + outdir + " cannot be opened (" + std::strerror(errno) +
         "). Name a folder you may write in with --outdir.");
  }
  if (!S_ISDIR(out.st_mode)) stop("The output folder " + outdir + " is not a folder. Name a folder with --outdir.");
  const std::string advice =
      ": the merge would replace that run's report.html, and its run.json would no longer match its files. "
      "Nothing was written. Give the merge a folder of its own, e.g. --outdir merged.";
  for (const std::string& f : folders) {
    struct stat st{};
    if (::stat(f.c_str(), &st) == 0 && st.st_dev == out.st_dev && st.st_ino == out.st_ino)
      stop("The output folder " + outdir + " is the replicate folder " + f + advice);
  }
  struct stat st{};
  if (::lstat(in(outdir, "run.json").c_str(), &st) == 0)
    stop("The output folder " + outdir + " holds run.json: it is the folder of a run" + advice);
}

void merge_command(const std::vector<std::string>& folders, const std::string& outdir) {
  const std::string dir = outdir.empty() ? "." : outdir;
  check_merge_output_folder(folders, dir);
  // Every text is made before the first is written, so that a merge that
  // runs out of memory leaves no file.
  std::string csv, ld_csv, html;
  try {
    const merged_replicates m = merge_replicates(folders);
    csv = replicates_csv(m);
    if (m.has_ld) ld_csv = replicates_ld_csv(m);
    html = render_replicate_report(replicate_report_of(m));
  } catch (const std::bad_alloc&) {
    stop("Not enough memory to merge " + std::to_string(folders.size()) +
         " folders. Nothing was written. Run the merge where more memory is free.");
  }
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec) stop("The output folder " + dir + " cannot be created (" + ec.message() + "). Name a folder you may write in.");
  write_file_atomic(dir + "/replicates.csv", csv);
  if (!ld_csv.empty()) write_file_atomic(dir + "/replicates_ld.csv", ld_csv);
  write_report(dir + "/report.html", html);
}

}  // namespace qm
