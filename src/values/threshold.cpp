#include "values/threshold.hpp"

#include <cmath>
#include <limits>
#include <string>

#include "base/fixed.hpp"
#include "base/messages.hpp"

namespace qm {

float erfc_cody(float x) {
  static const float a[5] = {3.16112374387056560f, 113.864154151050156f, 377.485237685302021f,
                             3209.37758913846947f, 0.185777706184603153f};
  static const float b[4] = {23.6012909523441209f, 244.024637934444173f, 1282.61652607737228f,
                             2844.23683343917062f};
  static const float c[9] = {0.564188496988670089f, 8.88314979438837594f, 66.1191906371416295f,
                             298.635138197400131f,  881.952221241769090f, 1712.04761263407058f,
                             2051.07837782607147f,  1230.33935479799725f, 2.15311535474403846e-8f};
  static const float d[8] = {15.7449261107098347f, 117.693950891312499f, 537.181101862009858f,
                             1621.38957456669019f, 3290.79923573345963f, 4362.61909014324716f,
                             3439.36767414372164f, 1230.33935480374942f};
  const float xbreak = 0.46875f;
  const float w = std::fabs(x);
  float r;
  if (w <= xbreak) {
    const float z = w * w;
    float num = a[4] * z, den = z;
    for (int i = 0; i < 3; ++i) {
      num = (num + a[i]) * z;
      den = (den + b[i]) * z;
    }
    r = 1.0f - x * (num + a[3]) / (den + b[3]);
  } else if (w <= 4.0f) {
    float num = c[8] * w, den = w;
    for (int i = 0; i < 7; ++i) {
      num = (num + c[i]) * w;
      den = (den + d[i]) * w;
    }
    r = (num + c[7]) / (den + d[7]);
    const float zz = std::floor(16.0f * w) / 16.0f;
    const float del = (w - zz) * (w + zz);
    r = (std::exp(-zz * zz) * std::exp(-del)) * r;
  } else {
    r = 0.0f;
  }
  return x < -xbreak ? 2.0f - r : r;
}

float erfcinv(float y) {
  static const float a[6] = {0.0137060052f, -0.305141568f, 1.52430403f, -3.05730319f, 2.71041083f, -0.886226952f};
  static const float b[5] = {-0.0531993136f, 0.631194651f, -2.43279648f, 4.17508221f, -3.3201704f};
  static const float c[6] = {0.00550475111f, 0.227968723f, 1.6975925f, 1.80293322f, -3.0933547f, -2.07759571f};
  static const float d[4] = {0.00778469583f, 0.322467119f, 2.44513416f, 3.7544086f};
  const float ylow = 0.0485000014f, yhigh = 1.95150006f;
  if (y < 0.0f || y > 2.0f) return std::numeric_limits<float>::quiet_NaN();
  float x = 0.0f;
  auto tail = [&](float q) {
    return (((((c[0] * q + c[1]) * q + c[2]) * q + c[3]) * q + c[4]) * q + c[5]) /
           ((((d[0] * q + d[1]) * q + d[2]) * q + d[3]) * q + 1.0f);
  };
  if (ylow <= y && y <= yhigh) {
    const float q = y - 1.0f;
    const float r = q * q;
    x = (((((a[0] * r + a[1]) * r + a[2]) * r + a[3]) * r + a[4]) * r + a[5]) * q /
        (((((b[0] * r + b[1]) * r + b[2]) * r + b[3]) * r + b[4]) * r + 1.0f);
  } else if (0.0f < y && y < ylow) {
    x = tail(std::sqrt(-(2.0f * std::log(0.5f * y))));
  } else if (yhigh < y && y < 2.0f) {
    x = -tail(std::sqrt(-(2.0f * std::log(1.0f - 0.5f * y))));
  }
  if (y == 0.0f) return std::numeric_limits<float>::infinity();
  const float u = (erfc_cody(x) - y) / (-1.12837923f * std::exp(-x * x));
  x = x - u / (x * u + 1.0f);
  if (y == 2.0f) x = -std::numeric_limits<float>::infinity();
  return x;
}

void classify_threshold_trait(const trait_architecture& a, population& pop) {
  const double t = static_cast<double>(a.threshold);
  for (int i = 1; i <= pop.nind; ++i) pop.phenotype_of(i, 1) = pop.phenotype_of(i, 1) < t ? 0.0 : 1.0;
}

void fix_threshold(const run_parameters& p, trait_architecture& a, population& pop) {
  const float s = std::sqrt(1.0f / p.h2[0]);
  const float y = 2.0f * p.incid;
  const float x = erfcinv(y);
  // The mean true breeding value of trait 1: breeding values are deviations
  // from the heterozygote, so the threshold is placed around their mean.
  double sum = 0.0;
  for (int i = 1; i <= pop.nind; ++i) sum += pop.tbv_of(i, 1);
  const float m = static_cast<float>(sum / static_cast<double>(pop.nind));
  a.threshold = (s * -1.41421354f) * x + m;
  if (!std::isfinite(a.threshold))
    stop("The threshold of trait 1 is not a finite number. Check incid (record 2) and h2(1) (record 8).");
  std::string line = "Threshold value=";
  list_real(line, a.threshold);
  say(line);
  classify_threshold_trait(a, pop);
}

}  // namespace qm
