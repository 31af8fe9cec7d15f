#include "stats/report_html.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>

#include "stats/scheme_results.hpp"

namespace qm {

namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
const char* const palette[] = {"#1f77b4", "#d62728", "#2ca02c", "#9467bd", "#ff7f0e", "#8c564b", "#17becf", "#7f7f7f"};

std::string esc(const std::string& s) {
  std::string o;
  for (char c : s) {
    switch (c) {
      case '&': o += "&amp;"; break;
      case '<': o += "&lt;"; break;
      case '>': o += "&gt;"; break;
      case '"': o += "&quot;"; break;
      case '\'': o += "&#39;"; break;
      default:
        // Control characters are not allowed in XML 1.0 text.
        if (static_cast<unsigned char>(c) < 0x20 && c != '\n' && c != '\t') o += ' ';
        else o += c;
    }
  }
  return o;
}

// v with at most digits significant digits, locale-free; "NA" when not finite.
std::string num(double v, int digits = 4) {
  if (!std::isfinite(v)) return "NA";
  if (v == 0.0) return "0";
  char b[40];
  const auto r = std::to_chars(b, b + sizeof b, v, std::chars_format::general, digits);
  return std::string(b, r.ptr);
}

// A coordinate in the SVG (two decimals are plenty).
std::string px(double v) {
  char b[40];
  const auto r = std::to_chars(b, b + sizeof b, std::round(v * 100.0) / 100.0, std::chars_format::fixed, 2);
  std::string s(b, r.ptr);
  while (s.back() == '0') s.pop_back();
  if (s.back() == '.') s.pop_back();
  return s == "-0" ? "0" : s;
}

double nice_step(double span, int target) {
  const double raw = span / target;
  const double e = std::pow(10.0, std::floor(std::log10(raw)));
  const double f = raw / e;
  return (f < 1.5 ? 1.0 : f < 3.0 ? 2.0 : f < 7.0 ? 5.0 : 10.0) * e;
}

struct line {
  std::string label, color;
  bool dashed = false;
  std::vector<double> x, y, lo, hi;  // lo, hi empty: no interval
  bool bars = false;                 // intervals as bars instead of a band
  bool points = false;               // a dot at every value
  bool thin = false;                 // a replicate's own line, under the bold mean; not in the legend
};

struct axis {
  double lo = 0, hi = 1, step = 1;
};

axis make_axis(double lo, double hi, bool integer) {
  if (!(lo <= hi)) {
    lo = 0;
    hi = 1;
  }
  if (hi - lo < 1e-12 * std::max(1.0, std::fabs(hi))) {
    const double pad = lo == 0 ? 1.0 : std::fabs(lo) * 0.1;
    lo -= pad;
    hi += pad;
  }
  axis a;
  a.step = nice_step(hi - lo, 5);
  if (integer) a.step = std::max(1.0, std::round(a.step));
  a.lo = std::floor(lo / a.step) * a.step;
  a.hi = std::ceil(hi / a.step) * a.step;
  return a;
}

// One plot as an <svg> in a <figure id="id">.
std::string plot(const std::string& id, const std::string& title, const std::string& xlabel,
                 const std::string& ylabel, const std::vector<line>& lines, bool integer_x,
                 const std::string& note, bool from_zero = false) {
  constexpr double W = 760, H = 340, X0 = 72, X1 = 560, Y0 = 16, Y1 = 280;
  double xmin = INFINITY, xmax = -INFINITY, ymin = INFINITY, ymax = -INFINITY;
  double bmin = INFINITY, bmax = -INFINITY;  // of the intervals
  for (const line& l : lines)
    for (size_t k = 0; k < l.x.size(); ++k) {
      if (!std::isfinite(l.x[k]) || !std::isfinite(l.y[k])) continue;
      xmin = std::min(xmin, l.x[k]);
      xmax = std::max(xmax, l.x[k]);
      ymin = std::min(ymin, l.y[k]);
      ymax = std::max(ymax, l.y[k]);
      if (!l.lo.empty() && std::isfinite(l.lo[k]) && std::isfinite(l.hi[k])) {
        bmin = std::min(bmin, l.lo[k]);
        bmax = std::max(bmax, l.hi[k]);
      }
    }
  // The intervals widen the axis by at most the span of the lines on either
  // side: an interval of a few replicates can be many times wider than the
  // values (Ne on the log scale), and would flatten every line. Past that
  // the band is cut at the frame.
  if (ymin <= ymax) {
    const double span = std::max(ymax - ymin, 1e-9 * std::max(1.0, std::fabs(ymax)));
    if (bmin <= bmax) {
      ymin = std::min(ymin, std::max(bmin, ymin - span));
      ymax = std::max(ymax, std::min(bmax, ymax + span));
    }
  }
  std::string s = "<figure id=\"" + id + "\">\n<figcaption>" + esc(title) + "</figcaption>\n";
  s += "<svg width=\"" + px(W) + "\" height=\"" + px(H) + "\" viewBox=\"0 0 " + px(W) + " " + px(H) +
       "\" role=\"img\" aria-label=\"" + esc(title) + "\">\n";
  const bool empty = !(xmin <= xmax);
  if (from_zero && !empty) ymin = std::min(ymin, 0.0);
  const axis ax = make_axis(empty ? 0 : xmin, empty ? 1 : xmax, integer_x);
  const axis ay = make_axis(empty ? 0 : ymin, empty ? 1 : ymax, false);
  auto sx = [&](double x) { return X0 + (x - ax.lo) / (ax.hi - ax.lo) * (X1 - X0); };
  auto sy = [&](double y) { return Y1 - (y - ay.lo) / (ay.hi - ay.lo) * (Y1 - Y0); };
  // Grid and ticks.
  for (int k = 0;; ++k) {
    const double v = ay.lo + k * ay.step;
    if (v > ay.hi + ay.step * 1e-9) break;
    const std::string y = px(sy(v));
    s += "<line class=\"grid\" x1=\"" + px(X0) + "\" y1=\"" + y + "\" x2=\"" + px(X1) + "\" y2=\"" + y + "\"/>";
    s += "<text class=\"tick\" x=\"" + px(X0 - 6) + "\" y=\"" + px(sy(v) + 4) + "\" text-anchor=\"end\">" +
         num(std::fabs(v) < ay.step * 1e-9 ? 0.0 : v) + "</text>\n";
  }
  for (int k = 0;; ++k) {
    const double v = ax.lo + k * ax.step;
    if (v > ax.hi + ax.step * 1e-9) break;
    const std::string x = px(sx(v));
    s += "<line class=\"grid\" x1=\"" + x + "\" y1=\"" + px(Y0) + "\" x2=\"" + x + "\" y2=\"" + px(Y1) + "\"/>";
    s += "<text class=\"tick\" x=\"" + x + "\" y=\"" + px(Y1 + 16) + "\" text-anchor=\"middle\">" +
         num(std::fabs(v) < ax.step * 1e-9 ? 0.0 : v) + "</text>\n";
  }
  s += "<rect class=\"frame\" x=\"" + px(X0) + "\" y=\"" + px(Y0) + "\" width=\"" + px(X1 - X0) + "\" height=\"" +
       px(Y1 - Y0) + "\"/>\n";
  s += "<text class=\"label\" x=\"" + px((X0 + X1) / 2) + "\" y=\"" + px(Y1 + 38) + "\" text-anchor=\"middle\">" +
       esc(xlabel) + "</text>\n";
  s += "<text class=\"label\" transform=\"translate(18 " + px((Y0 + Y1) / 2) +
       ") rotate(-90)\" text-anchor=\"middle\">" + esc(ylabel) + "</text>\n";
  if (empty)
    s += "<text class=\"label\" x=\"" + px((X0 + X1) / 2) + "\" y=\"" + px((Y0 + Y1) / 2) +
         "\" text-anchor=\"middle\">no values</text>\n";

  // Bands first, so that the lines stay on top.
  for (const line& l : lines) {
    if (l.lo.empty() || l.bars) continue;
    size_t k = 0;
    while (k < l.x.size()) {
      auto ok = [&](size_t i) {
        return std::isfinite(l.x[i]) && std::isfinite(l.lo[i]) && std::isfinite(l.hi[i]);
      };
      if (!ok(k)) {
        ++k;
        continue;
      }
      size_t e = k;
      while (e < l.x.size() && ok(e)) ++e;
      std::string pts;
      const auto cut = [&](double y) { return std::clamp(y, ay.lo, ay.hi); };
      for (size_t i = k; i < e; ++i) pts += px(sx(l.x[i])) + "," + px(sy(cut(l.hi[i]))) + " ";
      for (size_t i = e; i-- > k;) pts += px(sx(l.x[i])) + "," + px(sy(cut(l.lo[i]))) + " ";
      pts.pop_back();
      s += "<polygon class=\"band\" fill=\"" + l.color + "\" points=\"" + pts + "\"/>\n";
      k = e;
    }
  }
  for (const line& l : lines) {
    std::string pts;
    auto flush = [&] {
      if (pts.empty()) return;
      pts.pop_back();
      s += std::string("<polyline class=\"") + (l.thin ? "thin" : "series") + "\" stroke=\"" + l.color + "\"" +
           (l.dashed ? " stroke-dasharray=\"6 4\"" : "") + " points=\"" + pts + "\"/>\n";
      pts.clear();
    };
    for (size_t k = 0; k < l.x.size(); ++k) {
      if (!std::isfinite(l.x[k]) || !std::isfinite(l.y[k])) {
        flush();
        continue;
      }
      pts += px(sx(l.x[k])) + "," + px(sy(l.y[k])) + " ";
    }
    flush();
    for (size_t k = 0; k < l.x.size(); ++k) {
      if (!std::isfinite(l.x[k]) || !std::isfinite(l.y[k])) continue;
      if (l.points)
        s += "<circle fill=\"" + l.color + "\" cx=\"" + px(sx(l.x[k])) + "\" cy=\"" + px(sy(l.y[k])) + "\" r=\"3\"/>";
      if (l.bars && !l.lo.empty() && std::isfinite(l.lo[k]) && std::isfinite(l.hi[k])) {
        const std::string x = px(sx(l.x[k])), xa = px(sx(l.x[k]) - 4), xb = px(sx(l.x[k]) + 4);
        const std::string ya = px(sy(std::clamp(l.lo[k], ay.lo, ay.hi))), yb = px(sy(std::clamp(l.hi[k], ay.lo, ay.hi)));
        s += "<path class=\"bar\" stroke=\"" + l.color + "\" d=\"M" + x + " " + ya + "V" + yb + "M" + xa + " " + ya +
             "H" + xb + "M" + xa + " " + yb + "H" + xb + "\"/>";
      }
    }
    s += "\n";
  }
  // Legend.
  double ly = Y0 + 10;
  for (const line& l : lines) {
    if (l.thin) continue;
    s += "<line class=\"series\" stroke=\"" + l.color + "\"" + (l.dashed ? " stroke-dasharray=\"6 4\"" : "") +
         " x1=\"" + px(X1 + 14) + "\" y1=\"" + px(ly) + "\" x2=\"" + px(X1 + 40) + "\" y2=\"" + px(ly) + "\"/>";
    s += "<text class=\"legend\" x=\"" + px(X1 + 46) + "\" y=\"" + px(ly + 4) + "\">" + esc(l.label) + "</text>\n";
    ly += 18;
  }
  s += "</svg>\n";
  if (!note.empty()) s += "<p class=\"note\">" + esc(note) + "</p>\n";
  s += "</figure>\n";
  return s;
}

// The values of a summary table, with bands from ci tables when given.
struct source {
  const summary_table* mean;
  const summary_table* lo = nullptr;
  const summary_table* hi = nullptr;
  const std::vector<summary_table>* replicates = nullptr;  // each replicate's own rows
  // A run with lines: the rows of each line (and of the generations without
  // lines, named ""), one curve each where a series is drawn.
  const std::vector<std::pair<std::string, summary_table>>* groups = nullptr;

  std::vector<double> col(const summary_table& t, const std::string& name) const {
    const int c = t.column(name);
    std::vector<double> v;
    for (const std::vector<double>& r : t.rows)
      v.push_back(c >= 0 && static_cast<size_t>(c) < r.size() ? r[static_cast<size_t>(c)] : nan);
    return v;
  }
  bool has(const std::string& name) const { return mean->column(name) >= 0; }
  line series(const std::string& name, const std::string& label, int color, bool dashed) const {
    line l;
    l.label = label;
    l.color = palette[color % 8];
    l.dashed = dashed;
    l.x = col(*mean, "generation");
    l.y = col(*mean, name);
    if (lo && hi) {
      l.lo = col(*lo, name);
      l.hi = col(*hi, name);
    }
    l.points = l.x.size() < 3;
    return l;
  }
  // The same without a band: raw means of replicates that each start from
  // a level of their own have no band worth drawing.
  line plain(const std::string& name, const std::string& label, int color, bool dashed) const {
    line l = series(name, label, color, dashed);
    l.lo.clear();
    l.hi.clear();
    return l;
  }
  // A column as one curve, or one per line in a run with lines (colours
  // apart, the line's name before the label); band: with the interval of
  // replicates, where there is one.
  void put(std::vector<line>& out, const std::string& name, const std::string& label, int color, bool dashed,
           bool band = true, double shift = 0) const {
    if (!groups) {
      line l = band ? series(name, label, color, dashed) : plain(name, label, color, dashed);
      for (double& x : l.x) x += shift;
      out.push_back(std::move(l));
      return;
    }
    const int ng = static_cast<int>(groups->size());
    for (int g = 0; g < ng; ++g) {
      const auto& [group, t] = (*groups)[static_cast<size_t>(g)];
      line l;
      l.label = (group.empty() ? std::string("no line") : "line " + group) + ": " + label;
      l.color = palette[(color * ng + g) % 8];
      l.dashed = dashed;
      l.x = col(t, "generation");
      for (double& x : l.x) x += shift;
      l.y = col(t, name);
      l.points = l.x.size() < 3;
      out.push_back(std::move(l));
    }
  }
  // Each replicate's line of a column, thin, in the color of its mean.
  void add_replicates(std::vector<line>& out, const std::string& name, int color, bool dashed, double shift = 0) const {
    if (!replicates) return;
    for (const summary_table& t : *replicates) {
      line l;
      l.color = palette[color % 8];
      l.dashed = dashed;
      l.thin = true;
      l.x = col(t, "generation");
      for (double& x : l.x) x += shift;
      l.y = col(t, name);
      out.push_back(std::move(l));
    }
  }
  // A column as the thin lines of the replicates under the bold mean (with
  // its band).
  void add(std::vector<line>& out, const std::string& name, const std::string& label, int color, bool dashed,
           double shift = 0) const {
    if (groups) return put(out, name, label, color, dashed, true, shift);
    add_replicates(out, name, color, dashed, shift);
    line l = series(name, label, color, dashed);
    for (double& x : l.x) x += shift;
    out.push_back(std::move(l));
  }
};

int trait_count(const summary_table& t) {
  int n = 0;
  while (t.column("tbv_mean_" + std::to_string(n + 1)) >= 0) ++n;
  return n;
}

std::string head(const std::string& title) {
  return "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\"/>\n<title>" + esc(title) +
         "</title>\n<style>\n"
         "body{font-family:sans-serif;margin:1.5em auto;max-width:64em;color:#222;padding:0 1em}\n"
         "h1{font-size:1.5em}h2{font-size:1.2em;margin-top:1.6em;border-bottom:1px solid #ccc}\n"
         "figure{margin:1em 0}figcaption{font-weight:bold;margin-bottom:.3em}\n"
         "svg{max-width:100%;height:auto;background:#fff}\n"
         ".grid{stroke:#e4e4e4;stroke-width:1}.frame{fill:none;stroke:#888}\n"
         ".tick,.legend{font-size:12px;fill:#333}.label{font-size:13px;fill:#111}\n"
         ".series{fill:none;stroke-width:2}.thin{fill:none;stroke-width:.8;stroke-opacity:.45}.band{fill-opacity:.18;stroke:none}.bar{stroke-width:1.5;fill:none}\n"
         "table{border-collapse:collapse;margin:.5em 0}td,th{border:1px solid #ccc;padding:.2em .6em;text-align:right}\n"
         "th{background:#f2f2f2}td.key,th.key{text-align:left}.note{font-size:.9em;color:#555}\n"
         "</style>\n</head>\n<body>\n<h1>" +
         esc(title) + "</h1>\n";
}

// The plots of the results of the scheme.
std::string result_plots(const source& src, bool replicates) {
  const int nt = trait_count(*src.mean);
  const std::string band = replicates ? " Thin lines: the replicates; bold: their mean; shaded: 95% confidence "
                                        "interval of the mean, from each replicate's own gains." : "";
  std::string s = "<h2>What the scheme achieved</h2>\n";
  std::vector<line> l;
  for (int t = 1; t <= nt; ++t) src.add(l, "gain_sd_" + std::to_string(t), "trait " + std::to_string(t), t - 1, false);
  s += plot("plot-gain", "Genetic gain in standard deviations of the base", "generation", "gain (SD of the base)", l,
            true, "Mean true breeding value minus its mean in the base (the first generation with values), over "
                  "the standard deviation of the true breeding values in the base." + band, true);
  l.clear();
  src.add(l, "response_1", "realised response", 0, false);
  src.add(l, "predicted_response_1", "predicted", 1, true, 1.0);
  s += plot("plot-response", "Realised response against the breeder's equation (trait 1)", "generation",
            "response per generation (trait units)", l, true,
            "Realised: the change of the mean true breeding value from the generation before. Predicted: "
            "(i sires + i dams) / 2 x accuracy x SD of the true breeding values of the parents' generation, drawn "
            "at the generation it predicts." + band);
  l.clear();
  for (int t = 1; t <= nt; ++t)
    src.add(l, "accuracy_" + std::to_string(t), "accuracy, trait " + std::to_string(t), t - 1, false);
  src.add(l, "intensity_sires", "intensity, sires", nt, true);
  src.add(l, "intensity_dams", "intensity, dams", nt + 1, true);
  s += plot("plot-accuracy", "Accuracy and intensity of selection", "generation", "accuracy (r), intensity (SD)", l,
            true, "Accuracy: correlation of the selection criterion with the true breeding value over all animals. "
                  "Intensity: selection differential over the SD of the criterion within the sex. None under "
                  "random selection." + band, true);
  l.clear();
  src.add(l, "delta_f_pedigree", "pedigree", 0, false);
  src.add(l, "delta_f_genomic", "genomic", 1, false);
  s += plot("plot-delta-f", "Rate of inbreeding per generation", "generation", "delta F", l, true,
            "(F(t) - F(t-1)) / (1 - F(t-1)) from the mean inbreeding of each generation." + band, true);
  l.clear();
  src.add(l, "ne_pedigree", "pedigree", 0, false);
  src.add(l, "ne_genomic", "genomic", 1, false);
  s += plot("plot-ne", "Effective population size", "generation", "Ne = 1 / (2 delta F)", l, true,
            "Only where the inbreeding rose. Over a whole stage (regression of ln(1 - F) on the generation): the "
            "_stage columns of summary.csv." + band, true);
  l.clear();
  src.add(l, "n_sires", "sires used", 0, false);
  src.add(l, "n_dams", "dams used", 1, false);
  src.add(l, "offspring_per_sire_max", "largest sire family", 0, true);
  src.add(l, "offspring_per_dam_max", "largest dam family", 1, true);
  s += plot("plot-parents", "Parents used and their largest family", "generation", "animals", l, true,
            "Distinct sires and dams of the animals of each generation, and the most offspring of one of them." + band,
            true);
  return s;
}

std::string qtl_plot(const qtl_trajectories& q) {
  std::vector<line> l;
  for (size_t k = 0; k < q.qtl.size() && k < q.frequency.size(); ++k) {
    line x;
    x.label = "QTL " + std::to_string(q.qtl[k]) + " (" + num(q.effect[k], 3) + ")";
    x.color = palette[k % 8];
    x.dashed = k >= 8;
    for (int64_t g : q.generation) x.x.push_back(static_cast<double>(g));
    x.y = q.frequency[k];
    x.points = x.x.size() < 3;
    l.push_back(std::move(x));
  }
  return plot("plot-qtl-frequencies", "The ten QTL of the largest effects on trait 1", "generation",
              "frequency of the allele that raises trait 1", l, true,
              q.qtl.empty() ? "No QTL were followed in this run."
                            : "The effect on trait 1 in brackets; a line that reaches 1 (0) is a QTL fixed for the "
                              "favourable (unfavourable) allele.",
              true);
}

// The plots of a run with dominance: mean genotypic value beside the mean
// breeding value, inbreeding depression, and heterosis realised against
// predicted in a run with a cross line.
std::string dominance_plots(const source& src, int nt, const std::string& band) {
  std::string s;
  std::vector<line> l;
  for (int t = 1; t <= nt; ++t) {
    const std::string k = std::to_string(t);
    src.put(l, "tbv_mean_" + k, "trait " + k + ": breeding value", t - 1, false, false);
    src.put(l, "gv_mean_" + k, "trait " + k + ": genotypic value", t - 1, true, false);
  }
  s += plot("plot-genotypic", "Mean genotypic value and mean breeding value", "generation", "mean (trait units)", l,
            true,
            "Genotypic value: additive and dominance effects of the QTL. Breeding value: Falconer's breeding value "
            "plus the generation's mean; the two differ by the mean dominance deviation." + band);
  l.clear();
  for (int t = 1; t <= nt; ++t)
    src.put(l, "inbreeding_depression_" + std::to_string(t), "trait " + std::to_string(t), t - 1, false);
  s += plot("plot-inbreeding-depression", "Inbreeding depression", "generation", "slope of GV on F (trait units)", l,
            true,
            "Least-squares slope of the genotypic value on the pedigree inbreeding coefficient within the generation "
            "(or line); negative when inbreeding depresses the trait." + band);
  if (!src.has("heterosis_1")) return s;
  l.clear();
  for (int t = 1; t <= nt; ++t) {
    const std::string k = std::to_string(t);
    src.put(l, "heterosis_" + k, "trait " + k + ": realised", t - 1, false);
    src.put(l, "heterosis_predicted_" + k, "trait " + k + ": predicted", t - 1, true);
  }
  s += plot("plot-heterosis", "Heterosis of the crosses: realised and predicted", "generation",
            "heterosis (trait units)", l, true,
            "Realised: mean genotypic value of the cross minus the mean of its parental lines' means in the same "
            "generation. Predicted: sum over QTL of d (p1 - p2)\xc2\xb2, p1 and p2 the allele frequencies of the "
            "parental lines." + band);
  return s;
}

std::string plots(const source& src, const ld_decay& ld, const std::vector<double>* ld_lo,
                  const std::vector<double>* ld_hi, bool replicates) {
  const int nt = trait_count(*src.mean);
  const std::string band = replicates ? " Shaded: 95% confidence interval of the mean over replicates." : "";
  std::string s = "<h2>Over the generations</h2>\n";
  std::vector<line> l;
  for (int t = 1; t <= nt; ++t) {
    const std::string k = std::to_string(t);
    src.put(l, "tbv_mean_" + k, "trait " + k + ": breeding value", t - 1, false, false);
    src.put(l, "phe_mean_" + k, "trait " + k + ": phenotype", t - 1, true, false);
  }
  s += plot("plot-genetic-trend", "Genetic trend: mean true breeding value and mean phenotype", "generation",
            "mean (trait units)", l, true,
            std::string("Breeding values are deviations from the heterozygote; phenotypes add the residual.") +
                (replicates ? " Means over replicates, without a band: each replicate starts from a level of its "
                              "own; the gains above carry the interval." : ""));
  l.clear();
  for (int t = 1; t <= nt; ++t) {
    const std::string k = std::to_string(t);
    src.put(l, "tbv_var_" + k, "trait " + k + ": genetic", t - 1, false);
    src.put(l, "genic_var_" + k, "trait " + k + ": genic", t - 1, true);
  }
  s += plot("plot-variance", "Genetic variance and genic variance", "generation", "variance (trait units\xc2\xb2)", l,
            true,
            "Genetic: variance of the true breeding values (divisor n - 1). Genic: sum over QTL of 2p(1-p)a\xc2\xb2." +
                band);
  if (src.has("gv_mean_1")) s += dominance_plots(src, nt, band);
  l.clear();
  src.put(l, "marker_het_obs", "markers, observed", 0, false);
  src.put(l, "marker_het_exp", "markers, expected", 0, true);
  src.put(l, "qtl_het_obs", "QTL, observed", 1, false);
  src.put(l, "qtl_het_exp", "QTL, expected", 1, true);
  s += plot("plot-heterozygosity", "Heterozygosity of markers and QTL", "generation", "heterozygosity (0-1)", l, true,
            "Observed: share of heterozygous animals, mean over loci. Expected: 2p(1-p), mean over loci." + band);
  l.clear();
  src.put(l, "f_pedigree", "pedigree", 0, false);
  src.put(l, "f_genomic", "genomic", 1, false);
  s += plot("plot-inbreeding", "Inbreeding", "generation", "inbreeding coefficient (0-1)", l, true,
            "Genomic: 1 - observed heterozygosity / base expected heterozygosity, markers and QTL pooled." + band);
  l.clear();
  src.put(l, "ld_r2_adjacent", "adjacent markers", 0, false);
  s += plot("plot-ld-adjacent", "Linkage disequilibrium of adjacent markers", "generation", "mean r\xc2\xb2 (0-1)", l,
            true, "Pairs of adjacent markers on one chromosome, both with minor allele frequency of 0.05 or more." + band,
            true);

  s += "<h2>Linkage disequilibrium by distance</h2>\n";
  line d;
  d.label = replicates ? "mean over replicates" : "mean r\xc2\xb2";
  d.color = palette[0];
  d.points = true;
  d.bars = true;
  for (size_t b = 0; b < ld.mean_r2.size(); ++b) {
    d.x.push_back((static_cast<double>(b) + 0.5) * ld.bin_cm);
    d.y.push_back(ld.mean_r2[b]);
    if (ld_lo && ld_hi && ld_lo->size() == ld.mean_r2.size() && ld_hi->size() == ld.mean_r2.size()) {
      d.lo.push_back((*ld_lo)[b]);
      d.hi.push_back((*ld_hi)[b]);
    }
  }
  std::string note = ld.mean_r2.empty()
                         ? "LD decay was not computed for this run."
                         : "Generation " + std::to_string(ld.generation) + " (stage " + std::to_string(ld.stage) +
                               "): pairs of markers on one chromosome in bins of " + num(ld.bin_cm) +
                               " cM, both with minor allele frequency of 0.05 or more; each point at the middle of its bin.";
  if (replicates && !ld.mean_r2.empty()) note += " Bars: 95% confidence interval of the mean over replicates.";
  s += plot("plot-ld-decay", "LD decay in the last generation", "marker distance (cM)", "mean r\xc2\xb2 (0-1)", {d},
            false, note, true);
  return s;
}

// First and last generation side by side.
std::string glance(const source& src, bool replicates, const std::string& id = "table-glance",
                   const std::string& heading = "At a glance") {
  const summary_table& t = *src.mean;
  std::string s = "<h2>" + esc(heading) + "</h2>\n";
  if (t.rows.empty()) return s + "<p>No generation was summarised.</p>\n";
  const size_t a = 0, b = t.rows.size() - 1;
  auto gen = [&](size_t r) {
    return "stage " + num(t.rows[r][0], 10) + ", generation " + num(t.rows[r][1], 10);
  };
  auto cell = [&](const std::string& name, size_t r) {
    const int c = t.column(name);
    std::string v = num(t.rows[r][static_cast<size_t>(c)]);
    if (replicates && src.lo && src.hi)
      v += " [" + num(src.lo->rows[r][static_cast<size_t>(c)]) + ", " + num(src.hi->rows[r][static_cast<size_t>(c)]) + "]";
    return v;
  };
  s += "<table id=\"" + id + "\">\n<tr><th class=\"key\">statistic</th><th>" + esc(gen(a)) + "</th><th>" + esc(gen(b)) +
       "</th></tr>\n";
  const int nt = trait_count(t);
  std::vector<std::pair<std::string, std::string>> rows;
  for (int k = 1; k <= nt; ++k) {
    const std::string i = std::to_string(k);
    rows.push_back({"tbv_mean_" + i, "mean breeding value, trait " + i});
    rows.push_back({"tbv_var_" + i, "genetic variance, trait " + i});
    rows.push_back({"genic_var_" + i, "genic variance, trait " + i});
    rows.push_back({"gv_mean_" + i, "mean genotypic value, trait " + i});
    rows.push_back({"dominance_var_" + i, "dominance variance, trait " + i});
    rows.push_back({"inbreeding_depression_" + i, "inbreeding depression, trait " + i});
    rows.push_back({"heterosis_" + i, "heterosis, trait " + i});
    rows.push_back({"heterosis_predicted_" + i, "predicted heterosis, trait " + i});
  }
  for (const auto& p : std::vector<std::pair<std::string, std::string>>{
           {"marker_het_obs", "marker heterozygosity, observed"}, {"qtl_het_obs", "QTL heterozygosity, observed"},
           {"seg_markers", "segregating markers"}, {"seg_qtl", "segregating QTL"},
           {"f_pedigree", "pedigree inbreeding"}, {"f_genomic", "genomic inbreeding"},
           {"ld_r2_adjacent", "r\xc2\xb2 of adjacent markers"}})
    rows.push_back(p);
  for (const auto& [col, label] : rows)
    if (t.column(col) >= 0)
      s += "<tr><td class=\"key\">" + esc(label) + "</td><td>" + cell(col, a) + "</td><td>" + cell(col, b) + "</td></tr>\n";
  s += "</table>\n";
  if (replicates) s += "<p class=\"note\">Mean over replicates [95% confidence interval].</p>\n";
  return s;
}

std::string headline_table(const std::vector<headline_result>& h) {
  std::string s = "<h2>Results of the scheme</h2>\n<table id=\"table-headline\">\n"
                  "<tr><th class=\"key\">result</th><th>value</th></tr>\n";
  for (const headline_result& r : h)
    s += "<tr><td class=\"key\">" + esc(r.label) + "</td><td>" + num(r.value) + "</td></tr>\n";
  s += "</table>\n<p class=\"note\">Gains from the first generation with values (the base); rates of inbreeding "
       "from the regression of ln(1 - F) on the generation over all generations with values; NA where the run "
       "does not have the result (no selection, no rise of inbreeding).</p>\n";
  return s;
}

// The rows of each line of a summary with a line column, in the order the
// lines first appear; the rows without a line (historical generations,
// generations before the lines) form a group named "" when there are any.
std::vector<std::pair<std::string, summary_table>> rows_by_line(const summary_table& t) {
  std::vector<std::pair<std::string, summary_table>> out;
  for (size_t k = 0; k < t.rows.size(); ++k) {
    const std::string& name = k < t.line_names.size() ? t.line_names[k] : std::string();
    auto it = std::find_if(out.begin(), out.end(), [&](const auto& g) { return g.first == name; });
    if (it == out.end()) {
      out.emplace_back(name, summary_table{});
      it = out.end() - 1;
      it->second.header = t.header;
    }
    it->second.rows.push_back(t.rows[k]);
    it->second.line_names.push_back(name);
  }
  return out;
}

// The results of the scheme of every line, worked out within its own rows.
std::string headline_lines_table(const std::vector<std::pair<std::string, summary_table>>& groups) {
  std::vector<std::vector<headline_result>> h;
  for (const auto& g : groups) h.push_back(headline_of(g.second));
  std::string s = "<h2>Results of the scheme</h2>\n<table id=\"table-headline\">\n<tr><th class=\"key\">result</th>";
  for (const auto& g : groups) s += "<th>" + esc(g.first.empty() ? std::string("no line") : "line " + g.first) + "</th>";
  s += "</tr>\n";
  for (size_t k = 0; !h.empty() && k < h[0].size(); ++k) {
    s += "<tr><td class=\"key\">" + esc(h[0][k].label) + "</td>";
    for (const auto& one : h) s += "<td>" + num(one[k].value) + "</td>";
    s += "</tr>\n";
  }
  s += "</table>\n<p class=\"note\">Each line's results within its own rows: gains from its first generation with "
       "values, rates of inbreeding from the regression of ln(1 - F) on the generation over its rows.</p>\n";
  return s;
}

std::string headline_spread_table(const std::vector<headline_spread>& h, const std::string& id = "table-headline") {
  std::string s = id == "table-headline" ? "<h2>Results of the scheme</h2>\n" : "";
  s += "<table id=\"" + id + "\">\n<tr><th class=\"key\">result</th><th>mean</th><th>SD</th><th>replicates</th></tr>\n";
  for (const headline_spread& r : h)
    s += "<tr><td class=\"key\">" + esc(r.label) + "</td><td>" + num(r.mean) + "</td><td>" + num(r.sd) + "</td><td>" +
         std::to_string(r.n) + "</td></tr>\n";
  s += "</table>\n<p class=\"note\">Each result worked out within each replicate (gains from its own base, rates "
       "of inbreeding from its own regression), then the mean and SD over the replicates.</p>\n";
  return s;
}

std::string matrix(const std::string& title, const std::vector<double>& m, int n) {
  if (m.size() != static_cast<size_t>(n) * n || n == 0) return "";
  std::string s = "<tr><th class=\"key\" colspan=\"" + std::to_string(n + 1) + "\">" + esc(title) + "</th></tr>\n<tr><th></th>";
  for (int j = 1; j <= n; ++j) s += "<th>trait " + std::to_string(j) + "</th>";
  s += "</tr>\n";
  for (int i = 0; i < n; ++i) {
    s += "<tr><th class=\"key\">trait " + std::to_string(i + 1) + "</th>";
    for (int j = 0; j < n; ++j) s += "<td>" + num(m[static_cast<size_t>(i) * n + j]) + "</td>";
    s += "</tr>\n";
  }
  return s;
}

std::string genetics(const genetic_parameters& g) {
  std::string s = "<h2>Realised genetic parameters</h2>\n";
  const int n = g.ntrait;
  std::string body = matrix("additive genetic covariance", g.additive_cov, n) +
                     matrix("additive genetic correlation", g.additive_cor, n) +
                     matrix("residual covariance", g.residual_cov, n) + matrix("residual correlation", g.residual_cor, n);
  if (g.h2.size() == static_cast<size_t>(n) && n > 0) {
    body += "<tr><th class=\"key\">heritability</th>";
    for (double h : g.h2) body += "<td>" + num(h) + "</td>";
    body += "</tr>\n";
  }
  if (body.empty()) return s + "<p id=\"table-genetic\">Not given for this report.</p>\n";
  return s + "<table id=\"table-genetic\">\n" + body + "</table>\n";
}

std::string settings(const settings_list& v) {
  std::string s = "<h2>Settings</h2>\n<table id=\"table-settings\">\n";
  for (const auto& [k, val] : v) s += "<tr><td class=\"key\">" + esc(k) + "</td><td class=\"key\">" + esc(val) + "</td></tr>\n";
  if (v.empty()) s += "<tr><td class=\"key\">none given</td></tr>\n";
  return s + "</table>\n";
}

const char* const foot = "<p class=\"note\">Written by Quillmere.</p>\n</body>\n</html>\n";

}  // namespace

std::string render_run_report(const run_report& r) {
  source src{&r.summary};
  if (!r.summary.has_lines())
    return head(r.title) + headline_table(headline_of(r.summary)) + result_plots(src, false) + qtl_plot(r.qtl) +
           glance(src, false) + plots(src, r.ld, nullptr, nullptr, false) + genetics(r.genetics) +
           settings(r.settings) + foot;
  // A run with lines: the results of each line side by side, one curve per line.
  const std::vector<std::pair<std::string, summary_table>> groups = rows_by_line(r.summary);
  src.groups = &groups;
  std::string s = head(r.title) + headline_lines_table(groups) + result_plots(src, false) + qtl_plot(r.qtl);
  for (size_t g = 0; g < groups.size(); ++g) {
    const source one{&groups[g].second};
    s += glance(one, false, "table-glance-" + std::to_string(g + 1),
                "At a glance: " + (groups[g].first.empty() ? std::string("generations without lines")
                                                           : "line " + groups[g].first));
  }
  return s + plots(src, r.ld, nullptr, nullptr, false) + genetics(r.genetics) + settings(r.settings) + foot;
}

std::string render_replicate_report(const replicate_report& r) {
  source src{&r.mean, &r.ci_low, &r.ci_high, &r.replicates};
  std::string s = head(r.title) + headline_spread_table(r.headline) + result_plots(src, true) + glance(src, true) +
                  plots(src, r.ld_mean, &r.ld_low, &r.ld_high, true);
  s += "<h2>Replicates</h2>\n<table id=\"table-replicates\">\n<tr><th>stage</th><th>generation</th><th>replicates</th></tr>\n";
  for (size_t k = 0; k < r.mean.rows.size(); ++k)
    s += "<tr><td>" + num(r.mean.rows[k][0], 10) + "</td><td>" + num(r.mean.rows[k][1], 10) + "</td><td>" +
         (k < r.n.size() ? std::to_string(r.n[k]) : std::string("NA")) + "</td></tr>\n";
  s += "</table>\n";
  return s + settings(r.settings) + foot;
}

std::string render_compare_report(const compare_report& r) {
  std::string s = head(r.title);
  s += "<h2>The two schemes compared</h2>\n<table id=\"table-compare\">\n<tr><th class=\"key\">result</th><th>" +
       esc(r.name_a) + "</th><th>" + esc(r.name_b) + "</th><th>difference</th><th>95% interval</th></tr>\n";
  for (const comparison_row& c : r.rows)
    s += "<tr><td class=\"key\">" + esc(c.label) + "</td><td>" + num(c.mean_a) + " &#177; " + num(c.sd_a) +
         "</td><td>" + num(c.mean_b) + " &#177; " + num(c.sd_b) + "</td><td>" + num(c.difference) + "</td><td>[" +
         num(c.ci_low) + ", " + num(c.ci_high) + "]</td></tr>\n";
  s += "</table>\n<p class=\"note\">Mean &#177; SD over the replicates of each scheme; difference: first scheme "
       "minus second, with the 95% confidence interval of Welch's t (an interval that holds 0: no difference "
       "shown).</p>\n";
  const source a{&r.a.mean, &r.a.ci_low, &r.a.ci_high, &r.a.replicates};
  const source b{&r.b.mean, &r.b.ci_low, &r.b.ci_high, &r.b.replicates};
  const std::string note = " Solid: " + r.name_a + "; dashed: " + r.name_b +
                           ". Thin lines: the replicates; bold: their mean; shaded: 95% confidence interval.";
  const int nt = std::max(trait_count(r.a.mean), trait_count(r.b.mean));
  std::vector<line> l;
  for (int t = 1; t <= nt; ++t) {
    const std::string k = std::to_string(t);
    a.add(l, "gain_sd_" + k, r.name_a + ", trait " + k, 2 * (t - 1), false);
    b.add(l, "gain_sd_" + k, r.name_b + ", trait " + k, 2 * (t - 1) + 1, true);
  }
  s += plot("plot-gain", "Genetic gain in standard deviations of the base", "generation", "gain (SD of the base)", l,
            true, "Each replicate's gain from its own base." + note, true);
  const std::vector<std::pair<std::string, std::string>> more = {
      {"accuracy_1", "Accuracy of selection (trait 1)"},
      {"delta_f_pedigree", "Rate of pedigree inbreeding per generation"},
      {"ne_pedigree", "Effective population size (pedigree)"},
      {"n_sires", "Sires used"}};
  for (const auto& [name, title] : more) {
    l.clear();
    a.add(l, name, r.name_a, 0, false);
    b.add(l, name, r.name_b, 1, true);
    s += plot("plot-compare-" + name, title, "generation", name, l, true, note.substr(1), true);
  }
  s += "<h2>" + esc(r.name_a) + "</h2>\n" + headline_spread_table(r.a.headline, "table-headline-a");
  s += "<h2>" + esc(r.name_b) + "</h2>\n" + headline_spread_table(r.b.headline, "table-headline-b");
  return s + settings(r.settings) + foot;
}

void write_report(const std::string& path, const std::string& html) { write_file_atomic(path, html); }

}  // namespace qm
