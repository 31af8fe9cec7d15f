#include "values/selection.hpp"

#include <vector>

#include "run/messages.hpp"

namespace qm {

void heapsort_by_score(int n, float* ra1, int32_t* rb1) {
  float* ra = ra1 - 1;  // 1-based
  int32_t* rb = rb1 - 1;
  if (n < 2) return;
  int l = n / 2 + 1, ir = n;
  for (;;) {
    float x;
    int32_t y;
    if (l > 1) {
      --l;
      x = ra[l];
      y = rb[l];
    } else {
      x = ra[ir];
      y = rb[ir];
      ra[ir] = ra[1];
      rb[ir] = rb[1];
      if (--ir == 1) {
        ra[1] = x;
        rb[1] = y;
        return;
      }
    }
    int i = l, j = l + l;
    while (j <= ir) {
      if (j < ir && ra[j] < ra[j + 1]) ++j;
      if (x < ra[j]) {
        ra[i] = ra[j];
        rb[i] = rb[j];
        i = j;
        j += j;
      } else {
        break;
      }
    }
    ra[i] = x;
    rb[i] = y;
  }
}

namespace {

// k-th chosen animal of a sex: 2k - 1 for males (first = 1), 2k for females (first = 2).
void random_pick(popstate& p, arr1<int32_t>& list, int32_t want, int32_t nhalf, int first) {
  if (want == nhalf) {
    for (int32_t i = 1; i <= nhalf; ++i) list(i) = 2 * i - 2 + first;
    return;
  }
  std::vector<char> marked(static_cast<size_t>(nhalf) + 1, 0);
  for (int32_t i = 1; i <= want; ++i) {
    int32_t k;
    do k = uniform_int(p.rng, 1, nhalf);
    while (marked[static_cast<size_t>(k)]);
    marked[static_cast<size_t>(k)] = 1;
    list(i) = 2 * k - 2 + first;
  }
}

void truncation(popstate& p, arr1<int32_t>& list, int32_t want, int32_t nhalf, int first, int crit) {
  if (want == nhalf) {
    for (int32_t i = 1; i <= nhalf; ++i) list(i) = 2 * i - 2 + first;
    return;
  }
  std::vector<float> score(static_cast<size_t>(nhalf));
  std::vector<int32_t> id(static_cast<size_t>(nhalf));
  for (int32_t k = 1; k <= nhalf; ++k) {
    const int32_t a = 2 * k - 2 + first;
    score[static_cast<size_t>(k - 1)] = static_cast<float>(p.bv(a, crit, 1));
    id[static_cast<size_t>(k - 1)] = a;
  }
  heapsort_by_score(nhalf, score.data(), id.data());
  for (int32_t i = 1; i <= want; ++i) list(i) = id[static_cast<size_t>(nhalf - i)];
}

}  // namespace

void select_parents(popstate& p, int32_t seltype, int32_t nsire, int32_t ndam) {
  p.sireid.alloc(nsire);
  p.damid.alloc(ndam);
  const int32_t nhalf = p.mtype.n2 / 4;
  if (nhalf < nsire || nhalf < ndam || nsire < 3 || ndam < 3)
    stop("Parameter error in select_module! code 1");
  if (seltype == 0) {
    random_pick(p, p.sireid, nsire, nhalf, 1);
    random_pick(p, p.damid, ndam, nhalf, 2);
  } else if (seltype == 1 || seltype == 2) {
    truncation(p, p.damid, ndam, nhalf, 2, seltype);
    truncation(p, p.sireid, nsire, nhalf, 1, seltype);
  } else {
    stop("Parameter Error in select_module! code 2");
  }
}

}  // namespace qm
