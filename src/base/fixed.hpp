// Fixed-width fields in the manner of Fortran edit descriptors.
//
// Every writer of the system composes its lines from these primitives. Each
// one writes exactly its field width at p and returns the position after it
// (the "at least" forms write as many characters as the value needs). The
// caller provides room: w characters, or 24 for the "at least" forms.
//
//   put_i   Iw     integer right-aligned; asterisks when it does not fit
//   put_im  Iw.m   as Iw with at least m digits, zero-padded on the left
//   put_imin       at least w characters, zero-padded to m digits, never asterisks
//   put_f   Fw.d   fixed point, exact binary value rounded to d decimals (ties
//                  to even); NaN, Infinity, -Infinity right-aligned; asterisks
//                  when the value does not fit
//   put_a   Aw     text right-aligned in w (its first w characters if longer)
//   put_x   nX     n blanks
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

namespace qm {

char* put_i(char* p, int64_t v, int w);
char* put_im(char* p, int64_t v, int w, int m);
char* put_imin(char* p, int64_t v, int w, int m);
char* put_f(char* p, double v, int w, int d);
char* put_a(char* p, std::string_view s, int w);
char* put_x(char* p, int n);

// Convenience forms appending one field to a string.
void add_i(std::string& s, int64_t v, int w);
void add_im(std::string& s, int64_t v, int w, int m);
void add_imin(std::string& s, int64_t v, int w, int m);
void add_f(std::string& s, double v, int w, int d);
void add_a(std::string& s, std::string_view t, int w);

// List-directed (free-format) console items: a line starts with one blank;
// a number is preceded by a separating blank. Reals take 9 significant
// digits in fixed point (with 4 trailing blanks) between 0.1 and 1e9, and
// scientific notation otherwise; integers 11 digits wide.
void list_real(std::string& s, float v);
void list_int(std::string& s, int64_t v);

}  // namespace qm
