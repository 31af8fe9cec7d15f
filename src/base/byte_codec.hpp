// Little-endian fixed-width fields in a byte string, for files that hold
// the state of a run: byte_writer appends them, byte_reader reads them back
// and checks every length against the bytes that are left before it
// allocates or copies anything, so that a damaged length gives an error
// instead of a huge allocation or a read past the end. Each saved type
// encodes and decodes itself with these beside its own code; the file that
// holds them frames their bytes.
#pragma once
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace qm {

// Data that ends early, or a length that does not fit the data; what() names
// the data (the reader's label) and what was being read. A saved type's
// decoder throws it too for values that cannot be, or parts that do not fit
// together; what() then says what is wrong, and the caller names the file.
struct decode_error : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// A value that the format cannot hold, found while writing; what() names
// the value and where it is.
struct encode_error : std::runtime_error {
  using std::runtime_error::runtime_error;
};

class byte_writer {
 public:
  explicit byte_writer(std::string& out) : out_(out) {}
  void u8(uint8_t v) { out_.push_back(static_cast<char>(v)); }
  void i16(int16_t v) { put(static_cast<uint16_t>(v), 2); }
  void u32(uint32_t v) { put(v, 4); }
  void i32(int32_t v) { put(static_cast<uint32_t>(v), 4); }
  void u64(uint64_t v) { put(v, 8); }
  void i64(int64_t v) { put(static_cast<uint64_t>(v), 8); }
  void f64(double v);
  // A length (u64) and the bytes.
  void text(std::string_view s);
  void raw(const void* p, size_t n) { out_.append(static_cast<const char*>(p), n); }
  // n words, each as u64.
  void u64s(const uint64_t* w, size_t n);
  size_t size() const { return out_.size(); }
  // Overwrites the u64 at offset at (a length known only later).
  void patch_u64(size_t at, uint64_t v);

 private:
  void put(uint64_t v, int n) {
    for (int k = 0; k < n; ++k) out_.push_back(static_cast<char>((v >> (8 * k)) & 0xFFu));
  }
  std::string& out_;
};

class byte_reader {
 public:
  // label names the data in messages ("section MAP of h.qmh").
  byte_reader(std::string_view in, std::string label) : in_(in), label_(std::move(label)) {}
  uint8_t u8() { return static_cast<uint8_t>(get(1, "a byte")); }
  int16_t i16() { return static_cast<int16_t>(static_cast<uint16_t>(get(2, "a 16-bit number"))); }
  uint32_t u32() { return static_cast<uint32_t>(get(4, "a 32-bit number")); }
  int32_t i32() { return static_cast<int32_t>(static_cast<uint32_t>(get(4, "a 32-bit number"))); }
  uint64_t u64() { return get(8, "a 64-bit number"); }
  int64_t i64() { return static_cast<int64_t>(get(8, "a 64-bit number")); }
  double f64();
  std::string text();
  // A count of elements of elem_bytes bytes each that follow: decode_error
  // when they cannot all be in what is left.
  size_t count(size_t elem_bytes, const char* what);
  std::string_view take(size_t n, const char* what);
  void u64s(uint64_t* w, size_t n);
  size_t left() const { return in_.size() - at_; }
  // decode_error unless every byte was read.
  void expect_end() const;
  const std::string& label() const { return label_; }

 private:
  uint64_t get(int n, const char* what);
  [[noreturn]] void short_of(size_t need, const char* what) const;
  std::string_view in_;
  size_t at_ = 0;
  std::string label_;
};

}  // namespace qm
