// The stage-1 records in a history file (section RECS): the bytes field by
// field as the format gives them, read back with their values and texts;
// damaged bytes give a decode_error, never a crash or a huge allocation.
#include "run/stage1_record.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/byte_codec.hpp"
#include "support.hpp"

namespace {

using qmtest::le;
using qmtest::le_f64;
using qmtest::le_text;

std::vector<qm::stage1_record> three_kinds() {
  using k = qm::stage1_record::kind;
  std::vector<qm::stage1_record> v(3);
  v[0].name = "stage-1 nind";
  v[0].record = 18;
  v[0].integer = -40;  // kept as a signed number
  v[1].name = "chrlen";
  v[1].record = 12;
  v[1].type = k::single_real;
  v[1].real = static_cast<double>(0.3f);
  v[2].name = "mutq";
  v[2].record = 12;
  v[2].type = k::double_real;
  v[2].real = 0.002;
  return v;
}

std::string encoded(const std::vector<qm::stage1_record>& v) {
  std::string out;
  qm::byte_writer w(out);
  qm::encode_stage1_records(w, v);
  return out;
}

auto decode = [](qm::byte_reader& r) { qm::decode_stage1_records(r); };

TEST(Stage1RecordCodec, BytesAsTheFormatGivesThemAndBack) {
  const std::vector<qm::stage1_record> v = three_kinds();
  const std::string want = le(3, 4) +                                                                 //
                           le_text("stage-1 nind") + le(18, 4) + le(0, 1) + le(static_cast<uint64_t>(-40), 8) +  //
                           le_text("chrlen") + le(12, 4) + le(1, 1) + le_f64(static_cast<double>(0.3f)) +      //
                           le_text("mutq") + le(12, 4) + le(2, 1) + le_f64(0.002);
  const std::string bytes = encoded(v);
  ASSERT_EQ(bytes, want);
  qm::byte_reader r(bytes, "section RECS of h.qmh");
  const std::vector<qm::stage1_record> back = qm::decode_stage1_records(r);
  EXPECT_EQ(r.left(), 0u);
  ASSERT_EQ(back.size(), 3u);
  for (size_t k = 0; k < 3; ++k) {
    EXPECT_EQ(back[k].name, v[k].name);
    EXPECT_EQ(back[k].record, v[k].record);
    EXPECT_EQ(back[k].type, v[k].type);
    EXPECT_TRUE(back[k].same_value(v[k])) << k;
  }
  // As the parameter file shows them: the single-precision value by its
  // shortest text, not by its widened double.
  EXPECT_EQ(back[0].text(), "-40");
  EXPECT_EQ(back[1].text(), "0.3");
  EXPECT_EQ(back[2].text(), "0.002");
  // The same number of another kind is another value.
  qm::stage1_record as_double = back[1];
  as_double.type = qm::stage1_record::kind::double_real;
  EXPECT_FALSE(as_double.same_value(back[1]));
  const std::string none = le(0, 4);
  qm::byte_reader empty(none, "section RECS of h.qmh");
  EXPECT_TRUE(qm::decode_stage1_records(empty).empty());
}

TEST(Stage1RecordCodec, DamagedBytesGiveDecodeErrors) {
  const std::string bytes = encoded(three_kinds());
  EXPECT_EQ(qmtest::first_cut_accepted(bytes, decode), -1);

  // More records than the bytes can hold (21 bytes each at the least).
  std::string many = bytes;
  many.replace(0, 4, le(0xFFFFFFFFu, 4));
  EXPECT_EQ(qmtest::decode_failure(many, decode), "it gives 4294967295 records");
  // 85 bytes after the count: room for 4 records of 21 bytes, not for 5.
  ASSERT_EQ(bytes.size(), 89u);
  std::string five = bytes, four = bytes;
  five[0] = 5;
  four[0] = 4;
  EXPECT_EQ(qmtest::decode_failure(five, decode), "it gives 5 records");
  EXPECT_NE(qmtest::decode_failure(four, decode).find("ends early"), std::string::npos);

  std::string kind = bytes;  // the kind of the first record
  kind[4 + 8 + 12 + 4] = 3;
  EXPECT_EQ(qmtest::decode_failure(kind, decode), "record stage-1 nind has the unknown kind 3");

  std::string name = bytes;  // a name longer than the section
  name.replace(4, 8, le(uint64_t{1} << 40, 8));
  EXPECT_NE(qmtest::decode_failure(name, decode).find("is damaged: it gives 1099511627776 a text"), std::string::npos)
      << qmtest::decode_failure(name, decode);
}

}  // namespace
