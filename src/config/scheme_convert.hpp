// quillmere convert: a classic parameter file as a scheme file (TOML) and
// back. Both directions write every value so that it reads back as the same
// bits (numbers in their shortest exact form), and the converter reads what
// it wrote again to make sure of it.
#pragma once
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "config/parameters.hpp"
#include "config/scheme_keys.hpp"

namespace qm {

// The scheme text of parameters read from a classic file; classic_text is
// that file (its title and headings become comments), source its name.
std::string scheme_text_of(const run_parameters& p, std::string_view classic_text, const std::string& source);

struct classic_conversion {
  std::string text;                       // the classic file (empty when keys stand in the way)
  std::vector<std::string> without_form;  // keys the scheme gives that have no classic record
};
// The classic text of parameters read from a scheme file. keys: the
// declarations to go by (every key of this build unless a test gives others).
classic_conversion classic_text_of(const run_parameters& p, std::span<const scheme_key> keys = scheme_keys());

// Reads FILE (either kind), converts it and writes the other kind to out
// (standard output when empty; otherwise replaced whole or not at all).
// Returns the exit status: 0 when written, 1 when the file cannot be read
// or converted (the reason on standard error).
int convert_command(const std::string& file, const std::string& out);

}  // namespace qm
