#include "base/byte_codec.hpp"

#include <bit>
#include <cstring>

namespace qm {

void byte_writer::f64(double v) { u64(std::bit_cast<uint64_t>(v)); }

void byte_writer::text(std::string_view s) {
  u64(s.size());
  out_.append(s.data(), s.size());
}

void byte_writer::u64s(const uint64_t* w, size_t n) {
  if constexpr (std::endian::native == std::endian::little) {
    out_.append(reinterpret_cast<const char*>(w), 8 * n);
  } else {
    for (size_t k = 0; k < n; ++k) u64(w[k]);
  }
}

void byte_writer::patch_u64(size_t at, uint64_t v) {
  for (int k = 0; k < 8; ++k) out_[at + static_cast<size_t>(k)] = static_cast<char>((v >> (8 * k)) & 0xFFu);
}

void byte_reader::short_of(size_t need, const char* what) const {
  throw decode_error(label_ + " ends early: " + std::to_string(need) + " bytes of " + what + " are needed at byte " +
                     std::to_string(at_) + ", " + std::to_string(left()) + " are left");
}

uint64_t byte_reader::get(int n, const char* what) {
  if (left() < static_cast<size_t>(n)) short_of(static_cast<size_t>(n), what);
  uint64_t v = 0;
  for (int k = 0; k < n; ++k) v |= static_cast<uint64_t>(static_cast<uint8_t>(in_[at_ + static_cast<size_t>(k)])) << (8 * k);
  at_ += static_cast<size_t>(n);
  return v;
}

double byte_reader::f64() { return std::bit_cast<double>(u64()); }

std::string byte_reader::text() {
  const size_t n = count(1, "a text");
  return std::string(take(n, "a text"));
}

size_t byte_reader::count(size_t elem_bytes, const char* what) {
  const uint64_t n = u64();
  if (elem_bytes > 0 && n > left() / elem_bytes)
    throw decode_error(label_ + " is damaged: it gives " + std::to_string(n) + " " + what + " of " +
                       std::to_string(elem_bytes) + " bytes at byte " + std::to_string(at_) + ", but only " +
                       std::to_string(left()) + " bytes are left");
  return static_cast<size_t>(n);
}

std::string_view byte_reader::take(size_t n, const char* what) {
  if (left() < n) short_of(n, what);
  const std::string_view s = in_.substr(at_, n);
  at_ += n;
  return s;
}

void byte_reader::u64s(uint64_t* w, size_t n) {
  if (n > left() / 8) short_of(8 * n, "words");
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(w, in_.data() + at_, 8 * n);
    at_ += 8 * n;
  } else {
    for (size_t k = 0; k < n; ++k) w[k] = u64();
  }
}

void byte_reader::expect_end() const {
  if (left() != 0)
    throw decode_error(label_ + " is damaged: " + std::to_string(left()) + " bytes are left over after its last field");
}

}  // namespace qm
