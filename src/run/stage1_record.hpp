// One value that stage 1 took from the parameter file (or from --seed), as a
// history file keeps it (docs/history_format.md, section RECS), so that a
// run that starts from the history can compare its own parameter file
// with the one stage 1 used.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace qm {

struct stage1_record {
  enum class kind : uint8_t { integer = 0, single_real = 1, double_real = 2 };
  std::string name;    // as messages name it: "nind", "chrlen"
  int32_t record = 0;  // its record in the parameter file
  kind type = kind::integer;
  int64_t integer = 0;  // for kind::integer
  double real = 0.0;    // for the reals (a single-precision value widened)
  // The value as the parameter file would show it (shortest exact text).
  std::string text() const;
  bool same_value(const stage1_record& o) const;
};

class byte_reader;
class byte_writer;
// The records in a history file: their number (u32), then per record its
// name (text), record number (i32), kind (u8) and value (i64 for an
// integer, else f64). The decoder checks the number against the bytes left
// and refuses an unknown kind (decode_error).
void encode_stage1_records(byte_writer& w, const std::vector<stage1_record>& records);
std::vector<stage1_record> decode_stage1_records(byte_reader& r);

}  // namespace qm
