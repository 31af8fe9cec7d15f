// The keys of a scheme file: one declaration per key, with its table, type,
// default, range, the classic record it replaces and what it means. The
// reader (scheme_file) checks every value against its declaration, the
// converter (scheme_convert) writes every key from it, and docs/scheme.md
// holds the table that scheme_key_table() makes from the declarations (a
// test compares the two). A new key is one more entry in the list of
// scheme_keys.cpp.
#pragma once
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "config/parameters.hpp"

namespace qm {

// What a key holds.
enum class key_kind : int8_t {
  integer,       // a whole number
  single_real,   // a number kept in single precision (converted from its text as strtof does)
  double_real,   // a number kept in double precision (as strtod)
  boolean,       // true or false
  choice,        // a name out of a list (or its classic code)
  text,          // a string of one line
  reals,         // an array of numbers (single precision), or one number
  correlations,  // a correlation matrix: a square array of arrays, or its upper triangle row by row
  choices,       // an array of names out of a list (or one name)
  names,         // an array of free names (or one name)
};

// One name of a choice and the classic code it stands for.
struct named_code {
  std::string_view name;
  int32_t code;
};

// The value of a key as the reader found it, or as the run parameters hold it.
struct key_value {
  int64_t integer = 0;
  std::string number;               // single_real, double_real: the number as written (underscores removed)
  bool flag = false;
  int32_t code = 0;                 // choice
  std::vector<int32_t> codes;       // choices
  std::vector<std::string> names;   // names
  std::string text;
  std::vector<std::string> numbers;  // reals, correlations: the numbers as written, row by row
  int rows = 0;                      // correlations: the rows of a matrix as given (0: the upper triangle)
};

struct scheme_key {
  std::string_view table;  // "" for the run, "genome", "traits", "qtl", "chip", "stage", "stage.index"
  std::string_view name;
  key_kind kind;
  // Numbers: the allowed range, lo and hi included unless open.
  double lo, hi;
  bool lo_open, hi_open;
  std::span<const named_code> choices;
  std::string_view default_value;  // as documented; empty: required
  std::string_view classic;        // the classic record and value it replaces; empty: none
  std::string_view classic_name;   // the name the checks of the run give this value ("nsire")
  std::string_view meaning;
  // Into and out of the run parameters (b: the block of the stage for stage keys).
  void (*store)(run_parameters& p, stage_block& b, const key_value& v);
  key_value (*load)(const run_parameters& p, const stage_block& b);
  // The conditions below are asked once every value of the file is stored.
  // Null: always. needed: the key is required (only where default_value
  // is empty or needed says so); checked: its range binds; allowed: the key
  // may be given at all (otherwise it is refused with why_not, and the
  // converter leaves it out).
  bool (*needed)(const run_parameters& p) = nullptr;
  bool (*checked)(const run_parameters& p) = nullptr;
  bool (*allowed)(const run_parameters& p) = nullptr;
  std::string_view why_not = {};
  std::string_view range_text = {};  // the range as documented, where the numbers above do not say it all
};

// Every key, tables in the order of a scheme file, keys in the order of their table.
std::span<const scheme_key> scheme_keys();
// The key of a table by name; null when there is none.
const scheme_key* find_scheme_key(std::string_view table, std::string_view name);
// The tables a scheme file may hold (besides the run's own keys).
std::span<const std::string_view> scheme_tables();
// The tables a [[stage]] table may hold ("index" for [stage.index]).
std::span<const std::string_view> stage_subtables();

// The type, range and choices of a key as docs/scheme.md gives them.
std::string key_type_text(const scheme_key& k);
std::string key_range_text(const scheme_key& k);
// The markdown table of the keys of docs/scheme.md.
std::string scheme_key_table();

// The known name nearest to word (edit distance at most 2, or a name that
// starts with it or it with the name); empty when none is near.
std::string nearest_name(std::string_view word, const std::vector<std::string_view>& names);

}  // namespace qm
