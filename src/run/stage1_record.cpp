#include "run/stage1_record.hpp"

#include "base/byte_codec.hpp"
#include "base/messages.hpp"

namespace qm {

std::string stage1_record::text() const {
  switch (type) {
    case kind::integer: return std::to_string(integer);
    case kind::single_real: return shortest_text(static_cast<float>(real));
    case kind::double_real: return shortest_text(real);
  }
  return {};
}

bool stage1_record::same_value(const stage1_record& o) const {
  if (type != o.type) return false;
  return type == kind::integer ? integer == o.integer : real == o.real;
}

namespace {

// The fewest bytes a record takes: an empty name, its number, kind and value.
constexpr uint32_t least_record_bytes = 8 + 4 + 1 + 8;

}  // namespace

void encode_stage1_records(byte_writer& w, const std::vector<stage1_record>& records) {
  w.u32(static_cast<uint32_t>(records.size()));
  for (const stage1_record& r : records) {
    w.text(r.name);
    w.i32(r.record);
    w.u8(static_cast<uint8_t>(r.type));
    if (r.type == stage1_record::kind::integer) w.i64(r.integer);
    else w.f64(r.real);
  }
}

std::vector<stage1_record> decode_stage1_records(byte_reader& r) {
  const uint32_t n = r.u32();
  if (n > r.left() / least_record_bytes) throw decode_error("it gives " + std::to_string(n) + " records");
  std::vector<stage1_record> records;
  records.reserve(n);
  for (uint32_t k = 0; k < n; ++k) {
    stage1_record rec;
    rec.name = r.text();
    rec.record = r.i32();
    const uint8_t t = r.u8();
    if (t > 2) throw decode_error("record " + rec.name + " has the unknown kind " + std::to_string(t));
    rec.type = static_cast<stage1_record::kind>(t);
    if (rec.type == stage1_record::kind::integer) rec.integer = r.i64();
    else rec.real = r.f64();
    records.push_back(std::move(rec));
  }
  return records;
}

}  // namespace qm
