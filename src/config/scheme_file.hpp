// Scheme files: the run described in TOML with named keys (docs/scheme.md),
// read with toml++ into the same run parameters as a classic parameter
// file, so that a scheme and the classic file that says the same run
// identically.
//
// Every value is checked against its key's declaration (config/scheme_keys)
// as it is read, then the rules that bind values together are checked by
// the same code as for a classic file, with the messages naming the file,
// line, column and key instead of the record.
#pragma once
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "config/parameters.hpp"

namespace qm {

// What a parameter text is, by its content (the name's extension decides
// only where the content does not).
enum class parameter_format { classic, scheme, neither };
parameter_format format_of(std::string_view name, std::string_view text);
// Why a text is neither, and what each kind would need.
std::string neither_message(const std::string& name);

struct source_place {
  int line = 0, column = 0;
};

struct scheme_places {
  std::string file;
  bool parsed = false;  // the text is TOML (false: its syntax error is the one problem)
  // "genome.chromosomes", "stage.2.sires", "traits.heritability#2" (item 2),
  // "stage.2" (the table itself), "" (the file).
  std::map<std::string, source_place> at;

  // The start of a message about the value the checks call classic_name on
  // record: "Scheme file F, line L, column C: `[stage] 2 sires`".
  std::string where(int record, std::string_view classic_name) const;
  // The rule text of a check with the classic names replaced by the keys.
  static std::string in_keys(const std::string& rule);
};

// The start of every message about the value at path.
std::string scheme_place_text(const scheme_places& s, const std::string& path);

// Reads a scheme text into p (p.parafile names it in messages) and returns
// the problems of its keys and values, in the order of the file; the rules
// that bind values together are left to the caller. Fills every run-wide
// value and every stage block (blocks are readable; their values checked).
std::vector<std::string> read_scheme_text(run_parameters& p, std::string_view text);

}  // namespace qm
