#include "base/fixed.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace qm {

namespace {

char* stars(char* p, int w) {
  std::memset(p, '*', static_cast<size_t>(w));
  return p + w;
}

// Decimal digits of v (v >= 0) written backwards ending at e; returns start.
char* digits_back(char* e, uint64_t v) {
  do {
    *--e = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v != 0);
  return e;
}

}  // namespace

char* put_x(char* p, int n) {
  if (n <= 0) return p;
  std::memset(p, ' ', static_cast<size_t>(n));
  return p + n;
}

char* put_im(char* p, int64_t v, int w, int m) {
  char tmp[24];
  char* e = tmp + sizeof tmp;
  const bool neg = v < 0;
  const uint64_t mag = neg ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
  char* b = (m == 0 && mag == 0) ? e : digits_back(e, mag);
  while (e - b < m) *--b = '0';
  if (neg) *--b = '-';
  const int len = static_cast<int>(e - b);
  if (len > w) return stars(p, w);
  p = put_x(p, w - len);
  std::memcpy(p, b, static_cast<size_t>(len));
  return p + len;
}

char* put_i(char* p, int64_t v, int w) { return put_im(p, v, w, 1); }

char* put_imin(char* p, int64_t v, int w, int m) {
  char tmp[24];
  char* e = tmp + sizeof tmp;
  const bool neg = v < 0;
  const uint64_t mag = neg ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
  char* b = digits_back(e, mag);
  while (e - b < m) *--b = '0';
  if (neg) *--b = '-';
  const int len = static_cast<int>(e - b);
  p = put_x(p, w - len);
  std::memcpy(p, b, static_cast<size_t>(len));
  return p + len;
}

char* put_f(char* p, double v, int w, int d) {
  if (std::isnan(v)) return put_a(p, "NaN", w);
  if (std::isinf(v)) return put_a(p, v > 0 ? "Infinity" : "-Infinity", w);
  char tmp[400];
  const double mag = std::fabs(v);
  auto r = std::to_chars(tmp + 1, tmp + sizeof tmp, mag, std::chars_format::fixed, d);
  char* b = tmp + 1;
  char* e = r.ptr;
  // A negative value keeps its sign even when it rounds to zero.
  if (std::signbit(v)) *--b = '-';
  int len = static_cast<int>(e - b);
  if (len > w) {
    // The optional leading zero of a value below one goes first.
    char* z = std::signbit(v) ? b + 1 : b;
    if (len == w + 1 && z[0] == '0' && z + 1 < e && z[1] == '.') {
      std::memmove(b + 1, b, static_cast<size_t>(z - b));
      ++b;
      --len;
    } else {
      return stars(p, w);
    }
  }
  p = put_x(p, w - len);
  std::memcpy(p, b, static_cast<size_t>(len));
  return p + len;
}

char* put_a(char* p, std::string_view s, int w) {
  if (static_cast<int>(s.size()) >= w) {
    std::memcpy(p, s.data(), static_cast<size_t>(w));
    return p + w;
  }
  p = put_x(p, w - static_cast<int>(s.size()));
  std::memcpy(p, s.data(), s.size());
  return p + s.size();
}

namespace {
template <class F>
void append(std::string& s, size_t room, F f) {
  const size_t old = s.size();
  s.resize(old + room);
  char* e = f(s.data() + old);
  s.resize(static_cast<size_t>(e - s.data()));
}
}  // namespace

void add_i(std::string& s, int64_t v, int w) {
  append(s, static_cast<size_t>(w), [&](char* p) { return put_i(p, v, w); });
}
void add_im(std::string& s, int64_t v, int w, int m) {
  append(s, static_cast<size_t>(w), [&](char* p) { return put_im(p, v, w, m); });
}
void add_imin(std::string& s, int64_t v, int w, int m) {
  append(s, static_cast<size_t>(w) + 24, [&](char* p) { return put_imin(p, v, w, m); });
}
void add_f(std::string& s, double v, int w, int d) {
  append(s, static_cast<size_t>(w), [&](char* p) { return put_f(p, v, w, d); });
}
void add_a(std::string& s, std::string_view t, int w) {
  append(s, static_cast<size_t>(w), [&](char* p) { return put_a(p, t, w); });
}

void list_real(std::string& s, float v) {
  s += ' ';
  const double a = std::fabs(static_cast<double>(v));
  if (std::isnan(v)) {
    add_a(s, "NaN", 16);
  } else if (std::isinf(v)) {
    add_a(s, v > 0 ? "Infinity" : "-Infinity", 16);
  } else if (a == 0.0 || (a >= 0.1 && a < 1e9)) {
    // Nine significant digits in fixed point, four blanks where an exponent would go.
    int intdigits = a < 1.0 ? 0 : static_cast<int>(std::floor(std::log10(a))) + 1;
    int dec = 9 - intdigits;
    if (dec < 0) dec = 0;
    char tmp[64];
    std::snprintf(tmp, sizeof tmp, "%.*f", dec, static_cast<double>(v));
    add_a(s, tmp, 12);
    s += "    ";
  } else {
    char tmp[64];
    std::snprintf(tmp, sizeof tmp, "%.8E", static_cast<double>(v));
    add_a(s, tmp, 16);
  }
}

void list_int(std::string& s, int64_t v) {
  s += ' ';
  add_i(s, v, 11);
}

}  // namespace qm
