#include "base/fixed.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <utility>

#include "support.hpp"

TEST(Support, Sha256KnownDigests) {
  EXPECT_EQ(qmtest::sha256(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(qmtest::sha256("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

namespace {

std::string f(double v, int w, int d) { std::string s; qm::add_f(s, v, w, d); return s; }
std::string i(int64_t v, int w) { std::string s; qm::add_i(s, v, w); return s; }
std::string im(int64_t v, int w, int m) { std::string s; qm::add_im(s, v, w, m); return s; }
std::string imin(int64_t v, int w, int m) { std::string s; qm::add_imin(s, v, w, m); return s; }

// What printf writes for a field that fits; asterisks when it does not.
std::string printf_field(double v, int w, int d) {
  char b[64];
  const int n = std::snprintf(b, sizeof b, "%*.*f", w, d, v);
  return n <= w ? std::string(b) : std::string(static_cast<size_t>(w), '*');
}

}  // namespace

TEST(FixedWidth, IntegersAndTexts) {
  EXPECT_EQ(i(-42, 5), "  -42");
  EXPECT_EQ(i(-1234, 5), "-1234");
  EXPECT_EQ(i(123456, 5), "*****");
  EXPECT_EQ(i(-12345, 5), "*****");
  EXPECT_EQ(im(50012, 6, 6), "050012");
  EXPECT_EQ(im(12, 8, 6), "  000012");
  EXPECT_EQ(im(-12, 7, 6), "-000012");
  EXPECT_EQ(im(-12, 6, 6), "******");
  EXPECT_EQ(im(1000012, 6, 6), "******");
  // The minimum-width form widens instead of writing asterisks.
  EXPECT_EQ(imin(1234567, 6, 6), "1234567");
  EXPECT_EQ(imin(5, 3, 2), " 05");
  EXPECT_EQ(imin(-7, 2, 2), "-07");
  EXPECT_EQ(imin(123456789012, 4, 1), "123456789012");

  std::string s = "x";
  qm::add_a(s, "abc", 6);
  EXPECT_EQ(s, "x   abc");
  s.clear();
  qm::add_a(s, "abcdefgh", 5);
  EXPECT_EQ(s, "abcde");
  char buf[8] = "zzzzzzz";
  EXPECT_EQ(qm::put_x(buf, 3), buf + 3);
  EXPECT_EQ(std::string(buf), "   zzzz");
}

TEST(FixedWidth, RealsWorkedValues) {
  EXPECT_EQ(f(1.0, 15, 7), "      1.0000000");
  EXPECT_EQ(f(-0.5, 18, 12), "   -0.500000000000");
  EXPECT_EQ(f(1e10, 15, 7), std::string(15, '*'));
  EXPECT_EQ(f(-12345.678, 10, 4), "**********");
  EXPECT_EQ(f(12345.678, 10, 4), "12345.6780");
  // Exact binary value rounded, ties to even.
  EXPECT_EQ(f(5.3289794921875, 18, 12), "    5.328979492188");
  EXPECT_EQ(f(0.125, 6, 2), "  0.12");
  EXPECT_EQ(f(-0.375, 6, 2), " -0.38");
  EXPECT_EQ(f(static_cast<double>(0.1f), 25, 16), "       0.1000000014901161");
  EXPECT_EQ(f(std::numeric_limits<double>::quiet_NaN(), 10, 3), "       NaN");
  EXPECT_EQ(f(std::numeric_limits<double>::infinity(), 15, 7), "       Infinity");
  EXPECT_EQ(f(-std::numeric_limits<double>::infinity(), 18, 12), "         -Infinity");
}

TEST(FixedWidth, RealsAgreeWithPrintf) {
  std::mt19937_64 g(20240611);
  std::uniform_real_distribution<double> mant(0.0, 1.0);
  std::uniform_int_distribution<int> ex(-9, 5), sign(0, 1);
  std::uniform_int_distribution<int64_t> k(-(int64_t{1} << 26), int64_t{1} << 26);
  std::uniform_int_distribution<uint32_t> bits(0, 0x4b000000u);
  for (int n = 0; n < 20000; ++n) {
    const double v = (sign(g) ? -1 : 1) * mant(g) * std::pow(10.0, ex(g));
    // Odd multiples of 2^-13 and 2^-8 are exact ties at 12 and 7 decimals.
    const double t12 = static_cast<float>(k(g)) / 8192.0f;
    const double t7 = static_cast<float>(k(g) / 64) / 256.0f;
    float fl;
    const uint32_t b = bits(g) | (sign(g) ? 0x80000000u : 0u);
    std::memcpy(&fl, &b, sizeof fl);
    for (double x : {v, t12, t7, static_cast<double>(fl)}) {
      ASSERT_EQ(f(x, 18, 12), printf_field(x, 18, 12)) << x;
      ASSERT_EQ(f(x, 15, 7), printf_field(x, 15, 7)) << x;
    }
  }
}

TEST(FixedWidth, ListDirectedConsoleItems) {
  // Fixed point with nine significant digits and four trailing blanks;
  // scientific notation for small values.
  for (auto [v, text] : {std::pair{0.5625f, "0.562500000    "}, std::pair{12.5f, "12.5000000    "},
                         std::pair{0.054261677f, "5.42616770E-02"}}) {
    std::string s;
    qm::list_real(s, v);
    const std::string want = text;
    ASSERT_GT(s.size(), want.size());
    EXPECT_EQ(s.substr(s.size() - want.size()), want);
    EXPECT_EQ(s.find_first_not_of(' '), s.size() - want.size());
  }
  std::string s;
  qm::list_int(s, -1234567);
  EXPECT_EQ(s, "    -1234567");
}
