#include "config/parameters.hpp"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <set>
#include <utility>

#include <sys/stat.h>
#include <vector>

#include "base/messages.hpp"
#include "config/scheme_file.hpp"

namespace qm {

namespace {

// ---------------------------------------------------------------- reading

// What a problem met in the reading does.
enum class on_problem {
  stop,     // stops the run: the first problem is the only one
  collect,  // --check: collected; the check goes on after the record
  keep,     // a stage block read ahead: kept for when its stage begins
};

// on_problem::collect: the problem abandons the rest of its record; the
// check goes on with the next record at its place in the layout
// (reader::section).
struct record_failure {};

// on_problem::keep: the message to give when the stage begins.
struct quiet_failure {
  std::string message;
};

// Where the problems of one reading go. Every reading and every check makes
// its own, so that nothing of one is left for the next.
class problem_sink {
 public:
  explicit problem_sink(on_problem mode) : mode_(mode) {}

  bool collecting() const { return mode_ == on_problem::collect; }

  // A problem that abandons the rest of its record (or stops the run).
  [[noreturn]] void raise(const std::string& msg) {
    if (mode_ == on_problem::keep) throw quiet_failure{msg};
    if (mode_ == on_problem::collect) {
      collect(msg);
      throw record_failure{};
    }
    stop(msg);
  }

  // A problem that abandons nothing: reported by a check only (a run stops
  // on it later with a stop of its own).
  void note(const std::string& msg) {
    if (collecting()) collect(msg);
  }

  // A problem that stops a run at once, and that a check collects before it
  // goes on with what follows.
  void report(const std::string& msg) {
    if (collecting())
      collect(msg);
    else
      raise(msg);
  }

  // A problem of a key of a scheme file: a rule that binds its value to
  // others is not reported again for the same place.
  void report_key(const std::string& msg) {
    if (!collecting()) raise(msg);
    places_.insert(msg.substr(0, msg.find(": ")));
    found_.push_back(msg);
  }

  // The problems collected, in the order they were found.
  std::vector<std::string> take() { return std::move(found_); }

 private:
  on_problem mode_;
  std::vector<std::string> found_;
  std::set<std::string> places_;  // of a scheme file: one problem for each value

  void collect(const std::string& msg) {
    if (msg.starts_with("Scheme file ") && places_.count(msg.substr(0, msg.find(": ")))) return;
    found_.push_back(msg);
  }
};

struct reader {
  problem_sink& sink;  // where a failure goes
  std::string file;
  // The records, line ends removed; shared by the readers of one file (the
  // stage blocks are read from their places in the same copy).
  std::shared_ptr<std::vector<std::string>> store = std::make_shared<std::vector<std::string>>();
  const std::vector<std::string>& rec() const { return *store; }
  size_t next = 0;               // index of the next record to read
  std::vector<std::string>* warnings = nullptr;  // values a record holds and no read uses

  explicit reader(problem_sink& problems) : sink(problems) {}
  // A reader of the records of same_file from the first, with problems of its own.
  reader(problem_sink& problems, const reader& same_file)
      : sink(problems), file(same_file.file), store(same_file.store), warnings(same_file.warnings) {}

  int recno() const { return static_cast<int>(next) + 1; }

  [[noreturn]] void fail(const std::string& msg) const { sink.raise(msg); }

  // Runs one section of the file; when the problems are collected, a
  // problem in it moves the reading on to the record where the next section
  // starts.
  template <class F>
  void section(size_t next_record, F&& read) {
    if (!sink.collecting()) return read();
    try {
      read();
    } catch (const record_failure&) {
      next = next_record - 1;
    }
  }

  [[noreturn]] void ended(const std::string& what) const {
    fail("Parameter file " + file + " ends before record " + std::to_string(recno()) +
         ": expected " + what + ".");
  }

  void skip(size_t n, const std::string& what) {
    if (next + n > rec().size()) {
      next = rec().size();
      ended(what);
    }
    next += n;
  }

  // The next k values, starting at a new record and going on to the next
  // records when one does not hold enough. Returns the values as text with
  // the record number of each.
  std::vector<std::pair<std::string, int>> values(size_t k, const std::string& what) {
    std::vector<std::pair<std::string, int>> out;
    while (out.size() < k) {
      if (next >= rec().size()) ended(what);
      const std::string& line = rec()[next];
      const int rn = recno();
      ++next;
      size_t i = 0;
      bool comma_pending = false, any = false;
      while (out.size() < k) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
        if (i >= line.size()) break;
        if (line[i] == ',') {
          if (comma_pending || !any)
            fail("Parameter file " + file + ", record " + std::to_string(rn) +
                 ": an empty value between commas; expected " + what + ". Write every value.");
          comma_pending = true;
          ++i;
          continue;
        }
        size_t j = i;
        while (j < line.size() && line[j] != ' ' && line[j] != '\t' && line[j] != ',') ++j;
        out.emplace_back(line.substr(i, j - i), rn);
        i = j;
        any = true;
        comma_pending = false;
      }
      if (out.size() == k) warn_unused_numbers(line.substr(i), rn, what);
    }
    return out;
  }

  // Text after the values a read needs is a comment, unless it begins with
  // a number: then the record holds more values than it uses (a decimal
  // comma splits 1,0e-3 into 1 and 0e-3, and every later value moves on).
  void warn_unused_numbers(std::string_view rest, int rn, const std::string& what) const;

  [[noreturn]] void bad(const std::pair<std::string, int>& v, size_t item, const std::string& what,
                        const char* kind) const {
    fail("Parameter file " + file + ", record " + std::to_string(v.second) + ": expected " + what +
         "; item " + std::to_string(item) + " is \"" + v.first + "\", not " + kind + ".");
  }
};

bool parse_double(const std::string& t, double& out);

void reader::warn_unused_numbers(std::string_view rest, int rn, const std::string& what) const {
  if (!warnings) return;
  std::vector<std::string> items;
  size_t i = 0;
  while (i < rest.size()) {
    while (i < rest.size() && (rest[i] == ' ' || rest[i] == '\t' || rest[i] == ',')) ++i;
    size_t j = i;
    while (j < rest.size() && rest[j] != ' ' && rest[j] != '\t' && rest[j] != ',') ++j;
    if (j > i) items.emplace_back(rest.substr(i, j - i));
    i = j;
  }
  // The numbers up to the first word (a comment may follow them).
  std::string list;
  double x = 0.0;
  for (const std::string& v : items) {
    if (!parse_double(v, x)) break;
    list += (list.empty() ? "" : " ") + v;
  }
  if (list.empty()) return;
  const size_t paren = what.find(" (");
  warnings->push_back("Parameter file " + file + ", record " + std::to_string(rn) + " holds more values than " +
                      what.substr(0, paren) + "; these are not used: " + list +
                      ". Check the record: a decimal comma (1,5) reads as two values; write 1.5.");
}

// The records of a parameter text, line ends (and a carriage return before
// them) removed.
void load_text(reader& r, const std::string& name, std::string_view text) {
  r.file = name;
  *r.store = records_of(text);
  r.next = 0;
}

// The whole file, read once. It must be a regular file of at most
// limits::max_file_bytes (a FIFO or a device could block or never end).
std::string load_or_stop(const std::string& name) {
  struct stat st{};
  if (::stat(name.c_str(), &st) != 0)
    stop("Parameter file " + name + " cannot be opened (" + std::strerror(errno) +
         "). Give the name of an existing, readable file.");
  if (!S_ISREG(st.st_mode)) {
    const char* kind = S_ISDIR(st.st_mode)    ? "a folder"
                       : S_ISFIFO(st.st_mode) ? "a pipe (FIFO)"
                       : S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode) ? "a device"
                                                                    : "not a regular file";
    stop("Parameter file " + name + " is " + kind + ". Give the name of a regular file that holds the parameters.");
  }
  if (st.st_size > limits::max_file_bytes)
    stop("Parameter file " + name + " has " + std::to_string(st.st_size) + " bytes, more than the " +
         std::to_string(limits::max_file_bytes) + " a parameter file may have. Check that it is the parameter file.");
  if (st.st_size == 0) stop("Parameter file " + name + " is empty. Give the file that holds the parameters.");
  std::ifstream in(name, std::ios::binary);
  if (!in)
    stop("Parameter file " + name + " cannot be opened (" + std::strerror(errno) +
         "). Give the name of an existing, readable file.");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad())
    stop("Parameter file " + name + " cannot be read (" + std::strerror(errno) + "). Check the file and its folder.");
  return text;
}

bool parse_int(const std::string& t, int32_t& out) {
  const char* b = t.data();
  const char* e = b + t.size();
  if (b != e && *b == '+') ++b;
  int64_t v = 0;
  auto res = std::from_chars(b, e, v);
  if (res.ec != std::errc() || res.ptr != e) return false;
  if (v < INT32_MIN || v > INT32_MAX) return false;
  out = static_cast<int32_t>(v);
  return true;
}

// Decimal or exponent notation (E or D exponent), or NaN / Inf words.
bool number_text(const std::string& t, std::string& c) {
  c = t;
  for (char& ch : c) {
    if (ch == 'd' || ch == 'D') ch = 'e';
  }
  std::string low;
  for (char ch : c) low += static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  std::string core = low;
  if (!core.empty() && (core[0] == '+' || core[0] == '-')) core.erase(0, 1);
  if (core == "nan" || core == "inf" || core == "infinity") return true;
  if (core.empty()) return false;
  for (char ch : core)
    if (!(std::isdigit(static_cast<unsigned char>(ch)) || ch == '.' || ch == 'e' || ch == '+' || ch == '-'))
      return false;
  return true;
}

bool parse_float(const std::string& t, float& out) {
  std::string c;
  if (!number_text(t, c)) return false;
  char* end = nullptr;
  errno = 0;
  out = std::strtof(c.c_str(), &end);
  return end == c.c_str() + c.size() && !c.empty();
}

bool parse_double(const std::string& t, double& out) {
  std::string c;
  if (!number_text(t, c)) return false;
  char* end = nullptr;
  out = std::strtod(c.c_str(), &end);
  return end == c.c_str() + c.size() && !c.empty();
}

// Where one value of a record goes, and its type.
struct slot {
  int32_t* i = nullptr;
  float* f = nullptr;
  double* d = nullptr;
  slot(int32_t* x) : i(x) {}
  slot(float* x) : f(x) {}
  slot(double* x) : d(x) {}
};

void read_record(reader& r, const std::string& what, const std::vector<slot>& dst) {
  auto v = r.values(dst.size(), what);
  for (size_t k = 0; k < dst.size(); ++k) {
    const slot& s = dst[k];
    const bool ok = s.i ? parse_int(v[k].first, *s.i) : s.f ? parse_float(v[k].first, *s.f) : parse_double(v[k].first, *s.d);
    if (!ok) r.bad(v[k], k + 1, what, s.i ? "an integer" : "a number");
  }
}

void read_floats(reader& r, std::vector<float>& dst, size_t n, const std::string& what) {
  dst.assign(n, 0.0f);
  std::vector<slot> slots;
  for (size_t k = 0; k < n; ++k) slots.emplace_back(dst.data() + k);
  read_record(r, what, slots);
}

// ---------------------------------------------------------------- checks

std::string num(double v) {
  char b[64];
  auto res = std::to_chars(b, b + sizeof b, v);
  return std::string(b, res.ptr);
}
std::string numf(float v) {
  char b[64];
  auto res = std::to_chars(b, b + sizeof b, v);
  return std::string(b, res.ptr);
}

// The rules on the values of the file, checked for one reading: a value
// that breaks one is a problem of that reading.
struct rule_checker {
  const run_parameters& p;
  problem_sink& sink;

  [[noreturn]] void reject(int rec, const std::string& name, const std::string& value, const std::string& rule) const;
  void check_correlations(const std::vector<float>& c, int rec, const char* name, const char* what) const;
  void check_nested(int rec, int64_t nsire, int64_t ndam, int32_t nind, const char* whose) const;
  void check_stage(int s, const stage_block& b, int64_t nsire_now, int64_t ndam_now) const;
  void check_architecture() const;
};

// The start of a message about the value name of record rec: the record of
// a classic file, the line, column and key of a scheme.
std::string value_place(const run_parameters& p, int rec, const std::string& name) {
  if (p.scheme) return p.scheme->where(rec, name);
  return "Parameter file " + p.parafile + ", record " + std::to_string(rec);
}

void rule_checker::reject(int rec, const std::string& name, const std::string& value, const std::string& rule) const {
  if (p.scheme)
    sink.raise(p.scheme->where(rec, name) + " = " + value + " is not allowed; required: " + scheme_places::in_keys(rule) +
               ".");
  sink.raise("Parameter file " + p.parafile + ", record " + std::to_string(rec) + ": " + name + " = " + value +
             " is not allowed; required: " + rule + ".");
}

// Cholesky of the correlation matrix of the pairs c (upper triangle row by
// row), in double precision; true when every pivot is positive.
bool positive_definite(const float* c, int n) {
  std::vector<double> a(static_cast<size_t>(n) * n, 0.0), l(static_cast<size_t>(n) * n, 0.0);
  auto A = [&](int i, int j) -> double& { return a[static_cast<size_t>(i) * n + j]; };
  auto L = [&](int i, int j) -> double& { return l[static_cast<size_t>(i) * n + j]; };
  int p = 0;
  for (int i = 0; i < n; ++i) {
    A(i, i) = 1.0;
    for (int j = i + 1; j < n; ++j) {
      A(i, j) = A(j, i) = c[p];
      ++p;
    }
  }
  for (int j = 0; j < n; ++j) {
    double s = 0.0;
    for (int k = 0; k < j; ++k) s += L(j, k) * L(j, k);
    const double d = A(j, j) - s;
    if (!(d > 0.0)) return false;
    L(j, j) = std::sqrt(d);
    for (int i = j + 1; i < n; ++i) {
      double t = 0.0;
      for (int k = 0; k < j; ++k) t += L(i, k) * L(j, k);
      L(i, j) = (A(i, j) - t) / L(j, j);
    }
  }
  return true;
}

void rule_checker::check_correlations(const std::vector<float>& c, int rec, const char* name,
                                      const char* what) const {
  for (size_t k = 0; k < c.size(); ++k)
    if (!(c[k] >= -1.0f && c[k] <= 1.0f))
      reject(rec, std::string(name) + "(" + std::to_string(k + 1) + ")", numf(c[k]),
             std::string("-1 <= ") + name + " <= 1");
  if (!positive_definite(c.data(), p.ntrait))
    reject(rec, name, "the given correlations",
           std::string("the ") + what + " correlations form a positive-definite correlation matrix");
}

// ceiling(nind / ndam) as the mating step computes it, in single precision.
int64_t litter_of(int32_t nind, int32_t ndam) {
  return static_cast<int64_t>(std::ceil(static_cast<float>(nind) / static_cast<float>(ndam)));
}

void rule_checker::check_nested(int rec, int64_t nsire, int64_t ndam, int32_t nind, const char* whose) const {
  if (nsire < 1 || ndam < 1) return;
  if (ndam % nsire != 0)
    reject(rec, "matetype", "0",
           std::string("with matetype 0, ndam (") + std::to_string(ndam) + ") is a multiple of nsire (" +
               std::to_string(nsire) + ")" + whose);
  const int64_t litter = litter_of(nind, static_cast<int32_t>(ndam));
  if ((ndam - 1) * litter > nind)
    reject(rec, "matetype", "0",
           std::string("with matetype 0, (ndam - 1) * ceiling(nind/ndam) <= nind, here ndam = ") +
               std::to_string(ndam) + " and nind = " + std::to_string(nind) + whose);
}

// The checks of one stage block (s = 1 for the historical stage).
// nsire_now, ndam_now: the parent lists in use when stage s begins.
void rule_checker::check_stage(int s, const stage_block& b, int64_t nsire_now, int64_t ndam_now) const {
  const int r1 = s == 1 ? 18 : 4 * s + 14;
  const int r2 = r1 + 2;
  if (b.nind < 2) reject(r1, "nind", std::to_string(b.nind), "nind >= 2");
  if (b.nind > limits::max_animals)
    reject(r1, "nind", std::to_string(b.nind), "nind <= " + std::to_string(limits::max_animals));
  if (b.nsire < 1) reject(r1, "nsire", std::to_string(b.nsire), "nsire >= 1");
  if (b.nsire > b.nind) reject(r1, "nsire", std::to_string(b.nsire), "nsire <= nind");
  if (b.ndam < 1) reject(r1, "ndam", std::to_string(b.ndam), "ndam >= 1");
  if (b.ndam > b.nind) reject(r1, "ndam", std::to_string(b.ndam), "ndam <= nind");
  if (s >= 2 && b.ngen < 0) reject(r1, "ngen", std::to_string(b.ngen), "ngen >= 0 from stage 2 on");
  if (s == 1) {
    if (b.nsire > b.nind / 2) reject(r1, "nsire", std::to_string(b.nsire), "nsire <= nind/2 in stage 1");
    if (b.ndam > b.nind / 2) reject(r1, "ndam", std::to_string(b.ndam), "ndam <= nind/2 in stage 1");
  }
  // A scheme file's min_coancestry has no classic code.
  if (b.matetype < 0 || b.matetype > (p.scheme ? min_coancestry_mating : 2))
    reject(r2, "matetype", std::to_string(b.matetype), "matetype is 0, 1 or 2");
  if (selects_on_ebv(b.criterion())) {
    if (s == 1)
      reject(r2, "seltype", std::to_string(b.seltype),
             "seltype 0, 1 or 2 in stage 1: seltype 3 and 4 select on breeding values estimated from "
             "phenotypes, and stage 1 has no phenotypes (they begin in stage 2)");
    if (!p.h2.empty() && !(p.h2[0] < 1.0f))
      reject(r2, "seltype", std::to_string(b.seltype),
             "h2(1) < 1 with seltype 3 or 4: the estimated breeding values need a residual variance "
             "(here h2(1) = " + numf(p.h2[0]) + ")");
  }
  if (b.matetype == 0 && !b.allocates_matings()) {
    check_nested(r2, b.nsire, b.ndam, b.nind, "");
    if (s >= 2)
      check_nested(r2, nsire_now, ndam_now, b.nind,
                   " for the parents selected before this stage begins");
  }
}

void read_stage(reader& r, int s, stage_block& b) {
  const std::string st = " of stage " + std::to_string(s);
  read_record(r, "nsire, ndam, nind, ngen" + st + " (integers)", {&b.nsire, &b.ndam, &b.nind, &b.ngen});
  r.skip(1, "the heading before nomut, matetype, seltype" + st);
  read_record(r, "nomut, matetype, seltype" + st + " (integers)", {&b.nomut, &b.matetype, &b.seltype});
}

// Reads the block of stage s from its place in the file; a failure is kept
// as the message to give when the stage begins.
void read_stage_ahead(const reader& whole, int s, stage_entry& e) {
  const size_t heading = static_cast<size_t>(4 * s + 13);
  if (heading > whole.rec().size()) {
    // The file ends before the block: the message skip() would give, without
    // the cost of an exception for each of many missing blocks.
    e.readable = false;
    e.read_error = "Parameter file " + whole.file + " ends before record " + std::to_string(whole.rec().size() + 1) +
                   ": expected the records up to the heading of stage " + std::to_string(s) + ".";
    return;
  }
  problem_sink keep(on_problem::keep);
  reader r(keep, whole);
  try {
    r.skip(static_cast<size_t>(4 * s + 13), "the records up to the heading of stage " + std::to_string(s));
    read_stage(r, s, e.block);
    e.readable = true;
  } catch (const quiet_failure& f) {
    e.readable = false;
    e.read_error = f.message;
  }
}

// The rules of the QTL and their effects; they bind only when the run has
// stages after the first.
void rule_checker::check_architecture() const {
  if (p.nstage < 2) return;
  if (p.ntrait >= 2) {
    if (p.uncommon_QTL != 0 && p.uncommon_QTL != 1)
      reject(2, "uncommon_QTL", std::to_string(p.uncommon_QTL), "uncommon_QTL is 0 or 1");
    if (p.uncommon_QTL == 1 && p.ntrait > 2)
      reject(2, "uncommon_QTL", "1", "uncommon_QTL = 1 only with ntrait <= 2");
  }
  if (p.qtlrule != 0 && p.qtlrule != 1) reject(14, "qtlrule", std::to_string(p.qtlrule), "qtlrule is 0 or 1");
  if (p.nqtl < 1) reject(14, "nqtl", std::to_string(p.nqtl), "nqtl >= 1");
  if (!std::isfinite(p.qtlp1)) reject(14, "qtlp1", numf(p.qtlp1), "qtlp1 is a finite number");
  if (!std::isfinite(p.qtlp2)) reject(14, "qtlp2", numf(p.qtlp2), "qtlp2 is a finite number");
  if (!(p.qtlp2 > 0.0f)) reject(14, "qtlp2", numf(p.qtlp2), "qtlp2 > 0");
  if (p.qtlrule == 1 && p.ntrait == 1 && !(p.qtlp1 > 0.0f))
    reject(14, "qtlp1", numf(p.qtlp1), "qtlp1 > 0 (the shape of the gamma distribution)");
  if (p.qtlrule == 1 && p.ntrait == 1 && p.qtlp1 > limits::max_gamma_shape)
    reject(14, "qtlp1", numf(p.qtlp1),
           "qtlp1 <= " + num(limits::max_gamma_shape) + " (the shape of the gamma distribution; its draws take time in proportion to it)");
  if (p.qtlrule == 0 && p.ntrait >= 2 && !(p.qtlp1 > 0.0f))
    reject(14, "qtlp1", numf(p.qtlp1), "qtlp1 > 0 (a variance of the normal distribution)");
}

// Smallest power of ten above the largest nind of the run, at least 10000.
int64_t id_multiplier(const run_parameters& p) {
  int64_t big = 0;
  for (size_t s = 1; s < p.stages.size(); ++s)
    if (p.stages[s].readable && p.stages[s].block.nind > big) big = p.stages[s].block.nind;
  if (big <= 9999) return 10000;
  int64_t m = 10;
  while (m <= big) m *= 10;
  return m;
}

}  // namespace

std::vector<std::string> records_of(std::string_view text) {
  std::vector<std::string> out;
  size_t at = 0;
  while (at < text.size()) {
    size_t nl = text.find('\n', at);
    if (nl == std::string_view::npos) nl = text.size();
    std::string_view line = text.substr(at, nl - at);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    out.emplace_back(line);
    at = nl + 1;
  }
  return out;
}

std::string askfile(std::FILE* in) {
  say("Please input the name of your parameter file.");
  std::string line;
  int ch;
  while ((ch = std::fgetc(in)) != EOF) {
    if (ch == '\n') {
      if (line.find_first_not_of(" \t\r") != std::string::npos) break;
      line.clear();
      continue;
    }
    line += static_cast<char>(ch);
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  size_t i = line.find_first_not_of(" \t");
  if (i == std::string::npos) return "";
  std::string name;
  if (line[i] == '\'' || line[i] == '"') {
    const char q = line[i];
    const size_t j = line.find(q, i + 1);
    name = line.substr(i + 1, j == std::string::npos ? std::string::npos : j - i - 1);
  } else {
    size_t j = i;
    while (j < line.size() && line[j] != ' ' && line[j] != '\t' && line[j] != ',' && line[j] != '/') ++j;
    name = line.substr(i, j - i);
  }
  if (name.size() > 20) name.resize(20);
  return name;
}

selection_criterion stage_block::criterion() const {
  switch (seltype) {
    case 0: return selection_criterion::random;
    case 1: return selection_criterion::true_value;
    case 2: return selection_criterion::phenotype;
    case 3: return selection_criterion::pedigree_ebv;
    case 4: return selection_criterion::genomic_ebv;
    case 5: return index.criterion == selection_criterion::unknown ? selection_criterion::unknown
                                                                    : selection_criterion::index;
    default: return selection_criterion::unknown;
  }
}

bool run_parameters::some_stage_uses(selection_criterion c) const {
  for (size_t s = 1; s < stages.size(); ++s)
    if (stages[s].readable && stages[s].block.criterion() == c) return true;
  return false;
}

bool run_parameters::some_index_uses(selection_criterion c) const {
  for (size_t s = 1; s < stages.size(); ++s)
    if (stages[s].readable && stages[s].block.criterion() == selection_criterion::index &&
        stages[s].block.index.criterion == c)
      return true;
  return false;
}

bool run_parameters::some_stage_has_lines() const {
  for (size_t s = 1; s < stages.size(); ++s)
    if (stages[s].readable && !stages[s].block.lines.empty()) return true;
  return false;
}

bool run_parameters::some_stage_allocates() const {
  for (size_t s = 1; s < stages.size(); ++s)
    if (stages[s].readable && stages[s].block.allocates_matings()) return true;
  return false;
}

bool run_parameters::some_stage_relates_by(relationship_source r) const {
  for (size_t s = 1; s < stages.size(); ++s) {
    if (!stages[s].readable) continue;
    const stage_block& b = stages[s].block;
    const relationship_source used = b.contributions.on ? b.contributions.relationship : relationship_source::pedigree;
    if (used == r && (b.contributions.on || b.matetype == min_coancestry_mating)) return true;
  }
  return false;
}

namespace {

void check_stage_blocks(const run_parameters& p, problem_sink& sink, bool run_rules);

// The rules on the run-wide values, one group for each record of a classic
// file; a scheme file is checked by the same groups.
void check_traits_record(const run_parameters& p, const rule_checker& rules) {
  if (p.ntrait < 1) rules.reject(2, "ntrait", std::to_string(p.ntrait), "ntrait >= 1");
  if (p.ntrait > limits::max_traits)
    rules.reject(2, "ntrait", std::to_string(p.ntrait), "ntrait <= " + std::to_string(limits::max_traits));
}
void check_incidence(const run_parameters& p, const rule_checker& rules) {
  if (p.thresh == 1 && !(p.incid > 0.0f && p.incid < 1.0f))
    rules.reject(2, "incid", numf(p.incid), "0 < incid < 1 with thresh = 1");
}
void check_heritabilities(const run_parameters& p, const rule_checker& rules) {
  for (int t = 1; t <= p.ntrait; ++t)
    if (!(p.h2[static_cast<size_t>(t - 1)] > 0.0f && p.h2[static_cast<size_t>(t - 1)] <= 1.0f))
      rules.reject(8, "h2(" + std::to_string(t) + ")", numf(p.h2[static_cast<size_t>(t - 1)]), "0 < h2 <= 1");
}
void check_markers(const run_parameters& p, const rule_checker& rules) {
  if (p.nmpc < 2) rules.reject(10, "nmpc", std::to_string(p.nmpc), "nmpc >= 2");
  if (p.nchr < 1) rules.reject(10, "nchr", std::to_string(p.nchr), "nchr >= 1");
  if (static_cast<int64_t>(p.nmpc) * p.nchr > INT32_MAX)
    rules.reject(10, "nmpc * nchr", std::to_string(static_cast<int64_t>(p.nmpc) * p.nchr), "at most 2147483647 markers");
}
void check_chromosomes(const run_parameters& p, const rule_checker& rules) {
  if (!(p.chrlen > 0.0f && std::isfinite(p.chrlen))) rules.reject(12, "chrlen", numf(p.chrlen), "chrlen > 0 and finite");
  if (!(p.mutm >= 0.0 && p.mutm <= 1.0)) rules.reject(12, "mutm", num(p.mutm), "0 <= mutm <= 1");
  if (!(p.mutq >= 0.0 && p.mutq <= 1.0)) rules.reject(12, "mutq", num(p.mutq), "0 <= mutq <= 1");
}
void check_stage_count(const run_parameters& p, const rule_checker& rules) {
  if (p.nstage < 1) rules.reject(16, "nstage", std::to_string(p.nstage), "nstage >= 1");
  if (p.nstage > limits::max_stages)
    rules.reject(16, "nstage", std::to_string(p.nstage), "nstage <= " + std::to_string(limits::max_stages));
}
void check_seed(const run_parameters& p, const rule_checker& rules) {
  if (p.seed < 0 || p.seed > 2147483646) rules.reject(16, "seed", std::to_string(p.seed), "seed is 0 or in 1..2147483646");
}

// What follows the run-wide values in both formats: the seed of the command
// line, the later stage blocks and the identifiers they need, and (for a
// run) the check of every block before anything is made.
void finish_reading(run_parameters& p, problem_sink& sink);

// A scheme file: its keys and values first (every problem of them, in the
// order of the file), then the rules that bind values together.
void read_scheme(run_parameters& p, std::string_view text, problem_sink& sink) {
  for (const std::string& m : read_scheme_text(p, text)) sink.report_key(m);
  if (!p.scheme->parsed) return;  // not TOML: nothing more to check
  const rule_checker rules{p, sink};
  const auto group = [&](auto&& check) {
    try {
      check();
    } catch (const record_failure&) {
    }
  };
  group([&] { check_traits_record(p, rules); });
  group([&] { check_incidence(p, rules); });
  if (p.ntrait >= 2) {
    group([&] { rules.check_correlations(p.rgen, 4, "rgen", "genetic"); });
    group([&] { rules.check_correlations(p.rerr, 6, "rerr", "residual"); });
  }
  group([&] { check_heritabilities(p, rules); });
  group([&] { check_markers(p, rules); });
  group([&] { check_chromosomes(p, rules); });
  group([&] { check_stage_count(p, rules); });
  group([&] { check_seed(p, rules); });
  if (p.seed_from_command_line) p.seed = *p.seed_from_command_line;
  group([&] { rules.check_architecture(); });
  if (p.stages[1].readable) group([&] { rules.check_stage(1, p.stages[1].block, 0, 0); });
  finish_reading(p, sink);
}

void read_file(run_parameters& p, const std::string_view* text, problem_sink& sink) {
  std::string whole;
  if (!text) {
    if (p.parafile.empty()) {
      p.parafile = askfile(stdin);
      if (p.parafile.empty())
        stop("No parameter-file name was given. Type the name of the parameter file at the prompt, "
             "or give it on the command line.");
    }
    whole = load_or_stop(p.parafile);
  }
  const std::string_view content = text ? *text : std::string_view(whole);
  const parameter_format format = format_of(p.parafile, content);
  if (format == parameter_format::neither) stop(neither_message(p.parafile));
  if (format == parameter_format::scheme) return read_scheme(p, content, sink);

  reader r(sink);
  r.warnings = &p.warnings;
  const rule_checker rules{p, sink};
  load_text(r, p.parafile, content);

  bool traits_ok = false;
  r.section(3, [&] {
    r.skip(1, "the title record");
    p.title = r.rec()[0];
    read_record(r, "ntrait, thresh, incid, uncommon_QTL (integer, integer, real, integer)",
                {&p.ntrait, &p.thresh, &p.incid, &p.uncommon_QTL});
    check_traits_record(p, rules);
    traits_ok = true;
    check_incidence(p, rules);
  });
  if (!traits_ok) p.ntrait = 1;  // --check goes on as if there were one trait

  r.section(5, [&] {
    r.skip(1, "the heading before the genetic correlations");
    if (p.ntrait == 1) {
      r.skip(3, "the records of the correlations (present even with one trait)");
      return;
    }
    const int64_t np = static_cast<int64_t>(p.ntrait) * (p.ntrait - 1) / 2;
    read_floats(r, p.rgen, static_cast<size_t>(np), std::to_string(np) + " genetic correlations (reals)");
    rules.check_correlations(p.rgen, 4, "rgen", "genetic");
  });
  if (p.ntrait > 1) {
    r.section(7, [&] {
      if (r.next < 4) r.next = 4;
      r.skip(1, "the heading before the residual correlations");
      const int64_t np = static_cast<int64_t>(p.ntrait) * (p.ntrait - 1) / 2;
      read_floats(r, p.rerr, static_cast<size_t>(np), std::to_string(np) + " residual correlations (reals)");
      rules.check_correlations(p.rerr, 6, "rerr", "residual");
    });
  }
  r.section(9, [&] {
    r.skip(1, "the heading before the heritabilities");
    read_floats(r, p.h2, static_cast<size_t>(p.ntrait), std::to_string(p.ntrait) + " heritabilities (reals)");
    check_heritabilities(p, rules);
  });

  r.section(11, [&] {
    r.skip(1, "the heading before nmpc, nchr, maptype");
    read_record(r, "nmpc, nchr, maptype (integers)", {&p.nmpc, &p.nchr, &p.maptype});
    check_markers(p, rules);
  });

  r.section(13, [&] {
    r.skip(1, "the heading before chrlen, mutm, mutq");
    read_record(r, "chrlen, mutm, mutq (reals)", {&p.chrlen, &p.mutm, &p.mutq});
    check_chromosomes(p, rules);
  });

  r.section(15, [&] {
    r.skip(1, "the heading before qtlrule, nqtl, qtlp1, qtlp2");
    read_record(r, "qtlrule, nqtl, qtlp1, qtlp2 (integer, integer, real, real)",
                {&p.qtlrule, &p.nqtl, &p.qtlp1, &p.qtlp2});
  });

  bool stages_ok = false;
  r.section(17, [&] {
    r.skip(1, "the heading before nstage, spare, seed");
    read_record(r, "nstage, spare, seed (integers)", {&p.nstage, &p.spare, &p.seed});
    check_stage_count(p, rules);
    stages_ok = true;
    check_seed(p, rules);
  });
  if (!stages_ok) {  // --check: without a usable nstage only stage 1 is checked
    p.nstage = 1;
    r.next = 16;
  }
  if (p.seed_from_command_line) p.seed = *p.seed_from_command_line;
  r.section(17, [&] { rules.check_architecture(); });

  p.stages.assign(static_cast<size_t>(p.nstage) + 1, stage_entry{});
  r.section(21, [&] {
    r.skip(1, "the heading of stage 1");
    stage_entry& e1 = p.stages[1];
    read_stage(r, 1, e1.block);
    e1.readable = true;
    rules.check_stage(1, e1.block, 0, 0);
  });
  // A file that ends before a block ends before every later one too: the
  // first such block keeps the message (the one a run or a check gives),
  // the later ones are left unread without a text each.
  for (int s = 2; s <= p.nstage; ++s) {
    read_stage_ahead(r, s, p.stages[static_cast<size_t>(s)]);
    if (static_cast<size_t>(4 * s + 13) > r.rec().size()) break;
  }
  finish_reading(p, sink);
}

// The blocks of stages 2 to nstage in the order the run meets them: a block
// that cannot be read, or that breaks a rule of its own or, with the nested
// design, one of the parent lists its first generation mates (those the
// last generation before the stage selects: a stage from 3 on with no
// generations keeps the lists of the stage before). A run stops on the
// first such problem before it makes anything; a check collects them all.
// With run_rules, also the rules that the run itself checks with stops of
// its own (noted for a check only: the run stops on them where it meets
// them, with its own message): the selection of every stage, the
// more-sires-than-dams stop, the seltype.
void check_stage_blocks(const run_parameters& p, problem_sink& sink, bool run_rules) {
  const rule_checker rules{p, sink};
  int64_t nsire_now = 0, ndam_now = 0;  // the parent lists the next stage mates
  for (int s = 1; s <= p.nstage; ++s) {
    const stage_entry& e = p.stages[static_cast<size_t>(s)];
    const int r1 = s == 1 ? 18 : 4 * s + 14, r2 = r1 + 2;
    // A block without a message: a scheme's block whose keys are reported
    // already, or a classic block after the first the file ends before.
    if (!e.readable && e.read_error.empty()) continue;
    if (!e.readable) {
      // A file that ends early leaves every later block unread: one line says so.
      if (s >= 2 && e.read_error.find(" ends before record ") != std::string::npos) {
        sink.report(e.read_error + (s < p.nstage ? " Stages " + std::to_string(s) + " to " +
                                                       std::to_string(p.nstage) + " have no blocks."
                                                 : std::string()));
        break;
      }
      if (s >= 2) sink.report(e.read_error);
      continue;
    }
    const stage_block& b = e.block;
    if (s >= 2) {
      try {
        rules.check_stage(s, b, nsire_now, ndam_now);
      } catch (const record_failure&) {
      }
      if (run_rules && nsire_now > ndam_now)
        sink.note(value_place(p, r1, "ndam") + ": stage " +
                  std::to_string(s) + " mates " + std::to_string(nsire_now) + " sires with " +
                  std::to_string(ndam_now) + " dams; the run would stop with \"" +
                  std::string(stop_text::more_sires_than_dams) + "\". Select at least as many dams as sires.");
    }
    const int32_t nhalf = b.nind / 2;
    if (run_rules && (b.nsire < 3 || b.ndam < 3 || b.nsire > nhalf || b.ndam > nhalf))
      sink.note(value_place(p, r1, "nsire") + ": stage " +
                std::to_string(s) + " selects nsire = " + std::to_string(b.nsire) + " and ndam = " +
                std::to_string(b.ndam) + " of nind = " + std::to_string(b.nind) +
                " animals; selection needs 3 <= nsire, ndam <= nind/2 (the run would stop with \"" +
                std::string(stop_text::select_code1) + "\").");
    if (run_rules && b.criterion() == selection_criterion::unknown)
      sink.note(value_place(p, r2, "seltype") + ": seltype = " +
                std::to_string(b.seltype) + " is not a selection type (0 random, 1 true breeding value, "
                "2 phenotype, 3 pedigree-BLUP EBV, 4 genomic-BLUP EBV); the run would stop with \"" + std::string(stop_text::select_code2) + "\".");
    const bool makes_generations = s <= 2 || b.ngen > 0;
    if (makes_generations) {
      // Parents chosen by optimum contributions, or with kept ones, are
      // paired by allocation in the next stage too, whatever its design.
      const bool allocated = b.contributions.on || b.ages.overlapping();
      nsire_now = allocated ? 0 : b.nsire;
      ndam_now = allocated ? 0 : b.ndam;
    }
  }
}

void finish_reading(run_parameters& p, problem_sink& sink) {
  p.idmult = id_multiplier(p);
  // A run stops now on a later block, not after the generations before it.
  if (!sink.collecting()) check_stage_blocks(p, sink, false);
}

// Rules that the run itself checks with stops of its own, as --check
// finds them in advance: those of the stage blocks above, and the gamma and
// correlation limits of the effect draws.
void check_run_rules(const run_parameters& p, problem_sink& sink) {
  check_stage_blocks(p, sink, true);
  if (p.nstage >= 2 && p.ntrait >= 2 && p.uncommon_QTL == 0 && p.qtlrule == 1)
    sink.note(value_place(p, 14, "qtlrule") + ": qtlrule = 1 (gamma effects) with " +
              std::to_string(p.ntrait) + " traits needs uncommon_QTL = 1; use normal effects (qtlrule 0).");
  if (p.nstage >= 2 && p.ntrait == 2 && p.uncommon_QTL == 1 && !p.rgen.empty() && p.rgen[0] != 0.0f) {
    const float rq = (0.1f + 0.8f) * p.rgen[0] / 0.8f;
    if (std::fabs(rq) > 1.0f)
      sink.note(value_place(p, 4, "rgen") + ": rgen = " + numf(p.rgen[0]) +
                " needs a correlation of the common QTL effects above 1 with uncommon QTL; use |rgen| <= 0.8.");
  }
}

}  // namespace

void read_parameters(run_parameters& p) {
  problem_sink stops(on_problem::stop);
  read_file(p, nullptr, stops);
}

void read_parameter_text(run_parameters& p, std::string_view text) {
  problem_sink stops(on_problem::stop);
  read_file(p, &text, stops);
}

std::vector<std::string> check_parameters(run_parameters& p) { return check_parameter_text(p, nullptr); }

std::vector<std::string> check_parameter_text(run_parameters& p, const std::string_view* text) {
  problem_sink collects(on_problem::collect);
  read_file(p, text, collects);
  check_run_rules(p, collects);
  return collects.take();
}

const stage_block& enter_stage(const run_parameters& p, int s, int32_t nsire_now, int32_t ndam_now) {
  const stage_entry& e = p.stages[static_cast<size_t>(s)];
  if (!e.readable) stop(e.read_error);
  problem_sink stops(on_problem::stop);
  rule_checker{p, stops}.check_stage(s, e.block, nsire_now, ndam_now);
  return e.block;
}

}  // namespace qm
