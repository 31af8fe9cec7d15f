#include "config/output_choice.hpp"

#include <algorithm>
#include <charconv>

namespace qm {

const std::vector<std::string>& output_kinds() {
  static const std::vector<std::string> k = {"haplotypes", "values", "ebv", "plink", "vcf", "summary", "report"};
  return k;
}

const std::vector<std::string>& default_output_kinds() {
  static const std::vector<std::string> k = {"haplotypes", "values", "ebv", "summary", "report"};
  return k;
}

namespace {

std::vector<std::string> split(const std::string& text, char sep) {
  std::vector<std::string> parts;
  std::string cur;
  for (char c : text) {
    if (c == sep) {
      parts.push_back(cur);
      cur.clear();
    } else {
      cur += c;
    }
  }
  parts.push_back(cur);
  return parts;
}

// A generation number: decimal digits only, at most 9 of them.
std::optional<int64_t> number_of(const std::string& s) {
  if (s.empty() || s.size() > 9 || !std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return std::nullopt;
  int64_t v = 0;
  std::from_chars(s.data(), s.data() + s.size(), v);
  return v;
}

}  // namespace

std::optional<generation_choice> generation_choice::parse(const std::string& choice_text, std::string& why) {
  generation_choice c;
  c.text_ = choice_text;
  if (choice_text == "all") return c;
  if (choice_text == "last") {
    c.mode_ = mode::last;
    return c;
  }
  if (choice_text.starts_with("every:")) {
    const std::optional<int64_t> n = number_of(choice_text.substr(6));
    if (!n || *n < 1) {
      why = "\"" + choice_text + "\": every:N takes a whole number N of at least 1, such as every:5";
      return std::nullopt;
    }
    c.mode_ = mode::every;
    c.every_ = *n;
    return c;
  }
  c.mode_ = mode::listed;
  for (const std::string& item : split(choice_text, ',')) {
    if (item == "last") {
      c.with_last_ = true;
      continue;
    }
    const size_t dash = item.find('-');
    const std::optional<int64_t> lo = number_of(item.substr(0, dash));
    const std::optional<int64_t> hi = dash == std::string::npos ? lo : number_of(item.substr(dash + 1));
    if (!lo || !hi || *hi < *lo) {
      why = "\"" + item + "\" in \"" + choice_text +
            "\" is not a generation or a range of them; give all, last, every:N, or numbers and ranges "
            "such as 1,5,10-12 (last may be one of them)";
      return std::nullopt;
    }
    c.ranges_.emplace_back(*lo, *hi);
  }
  return c;
}

bool generation_choice::contains(int64_t g, int64_t last) const {
  switch (mode_) {
    case mode::all:
      return true;
    case mode::last:
      return g == last;
    case mode::every:
      return g % every_ == 0;
    case mode::listed:
      return (with_last_ && g == last) ||
             std::any_of(ranges_.begin(), ranges_.end(), [g](const auto& r) { return g >= r.first && g <= r.second; });
  }
  return true;
}

std::string output_choice::kinds_text() const {
  std::string s;
  for (const std::string& k : output_kinds())
    if (wants(k)) s += (s.empty() ? "" : ",") + k;
  return s;
}

std::optional<std::set<std::string>> output_choice::parse_kinds(const std::string& text, std::string& why) {
  if (text == "all") return std::set<std::string>(output_kinds().begin(), output_kinds().end());
  std::set<std::string> kinds;
  for (const std::string& k : split(text, ',')) {
    if (std::find(output_kinds().begin(), output_kinds().end(), k) == output_kinds().end()) {
      std::string known;
      for (const std::string& n : output_kinds()) known += (known.empty() ? "" : ", ") + n;
      why = "\"" + k + "\" is not a kind of file; the kinds are " + known + " (or all)";
      return std::nullopt;
    }
    kinds.insert(k);
  }
  return kinds;
}

}  // namespace qm
