// Fixed-width little-endian fields: the bytes of known values written out by
// hand, and lengths that do not fit the data refused before anything is
// allocated or copied.
#include <gtest/gtest.h>

#include <string>

#include "base/byte_codec.hpp"

namespace {

TEST(ByteCodec, LittleEndianBytesOfKnownValues) {
  std::string out;
  qm::byte_writer w(out);
  w.i32(-2);
  w.u64(0x0102030405060708ull);
  w.i16(0x1234);
  w.f64(1.0);  // IEEE 754: 0x3FF0000000000000
  w.text("ab");
  const std::string want("\xFE\xFF\xFF\xFF"
                         "\x08\x07\x06\x05\x04\x03\x02\x01"
                         "\x34\x12"
                         "\x00\x00\x00\x00\x00\x00\xF0\x3F"
                         "\x02\x00\x00\x00\x00\x00\x00\x00"
                         "ab",
                         4 + 8 + 2 + 8 + 8 + 2);
  EXPECT_EQ(out, want);

  qm::byte_reader r(out, "test data");
  EXPECT_EQ(r.i32(), -2);
  EXPECT_EQ(r.u64(), 0x0102030405060708ull);
  EXPECT_EQ(r.i16(), 0x1234);
  EXPECT_EQ(r.f64(), 1.0);
  EXPECT_EQ(r.text(), "ab");
  EXPECT_NO_THROW(r.expect_end());
}

TEST(ByteCodec, LengthsBeyondTheDataAreRefused) {
  std::string out;
  qm::byte_writer w(out);
  w.u64(uint64_t{1} << 60);  // a count no data can hold
  w.u32(7);
  {
    qm::byte_reader r(out, "section X");
    try {
      r.count(8, "values");
      FAIL() << "no error";
    } catch (const qm::decode_error& e) {
      EXPECT_NE(std::string(e.what()).find("section X is damaged"), std::string::npos) << e.what();
    }
  }
  {
    qm::byte_reader r(out, "section X");
    EXPECT_THROW(r.text(), qm::decode_error);  // the same length read as a text
  }
  {
    qm::byte_reader r(std::string_view(out).substr(0, 3), "section Y");
    EXPECT_THROW(r.u32(), qm::decode_error);
  }
  {
    qm::byte_reader r(out, "section Z");
    r.u64();
    EXPECT_THROW(r.expect_end(), qm::decode_error);  // four bytes left over
  }
}

}  // namespace
