#include "values/selection.hpp"

#include <string>
#include <vector>

#include "base/messages.hpp"

namespace qm {

void heapsort_by_score(int n, float* ra1, int32_t* rb1) {
  if (n < 2) return;  // before the 1-based pointers: an empty list may have none
  float* ra = ra1 - 1;  // 1-based
  int32_t* rb = rb1 - 1;
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
void random_pick(random_stream& rng, std::vector<int32_t>& list, int32_t want, int32_t nhalf, int first) {
  list.assign(static_cast<size_t>(want), 0);
  if (want == nhalf) {
    for (int32_t i = 1; i <= nhalf; ++i) list[static_cast<size_t>(i - 1)] = 2 * i - 2 + first;
    return;
  }
  std::vector<char> marked(static_cast<size_t>(nhalf) + 1, 0);
  for (int32_t i = 1; i <= want; ++i) {
    int32_t k;
    do k = uniform_int(rng, 1, nhalf);
    while (marked[static_cast<size_t>(k)]);
    marked[static_cast<size_t>(k)] = 1;
    list[static_cast<size_t>(i - 1)] = 2 * k - 2 + first;
  }
}

// The want best of a sex by score (descending; ties as the heapsort places them).
void truncation(std::span<const double> score_of, std::vector<int32_t>& list, int32_t want, int32_t nhalf,
                int first) {
  list.assign(static_cast<size_t>(want), 0);
  if (want == nhalf) {
    for (int32_t i = 1; i <= nhalf; ++i) list[static_cast<size_t>(i - 1)] = 2 * i - 2 + first;
    return;
  }
  std::vector<float> score(static_cast<size_t>(nhalf));
  std::vector<int32_t> id(static_cast<size_t>(nhalf));
  for (int32_t k = 1; k <= nhalf; ++k) {
    const int32_t a = 2 * k - 2 + first;
    score[static_cast<size_t>(k - 1)] = static_cast<float>(score_of[static_cast<size_t>(a - 1)]);
    id[static_cast<size_t>(k - 1)] = a;
  }
  heapsort_by_score(nhalf, score.data(), id.data());
  for (int32_t i = 1; i <= want; ++i) list[static_cast<size_t>(i - 1)] = id[static_cast<size_t>(nhalf - i)];
}

}  // namespace

void select_parents(population& pop, selection_criterion criterion, int32_t nsire, int32_t ndam,
                    random_stream& rng, std::span<const double> ebv) {
  const int32_t nhalf = pop.candidates_per_sex();
  if (nhalf < nsire || nhalf < ndam || nsire < 3 || ndam < 3) stop(stop_text::select_code1);
  switch (criterion) {
    case selection_criterion::random:
      random_pick(rng, pop.sires, nsire, nhalf, 1);
      random_pick(rng, pop.dams, ndam, nhalf, 2);
      return;
    case selection_criterion::true_value:
    case selection_criterion::phenotype: {
      // Trait 1: the first nind values. With no values yet (stage 1) every score is 0.
      const std::vector<double>& v = criterion == selection_criterion::true_value ? pop.tbv : pop.phenotype;
      std::vector<double> zeros;
      const std::vector<double>* scores = &v;
      if (v.size() < static_cast<size_t>(pop.nind)) {
        zeros.assign(static_cast<size_t>(pop.nind), 0.0);
        scores = &zeros;
      }
      truncation(*scores, pop.dams, ndam, nhalf, 2);
      truncation(*scores, pop.sires, nsire, nhalf, 1);
      return;
    }
    case selection_criterion::pedigree_ebv:
    case selection_criterion::genomic_ebv:
    case selection_criterion::index:
      if (ebv.size() != static_cast<size_t>(pop.nind))
        stop(std::string(criterion == selection_criterion::index ? "Selection on an index: "
                                                                 : "Selection on estimated breeding values: ") +
             std::to_string(ebv.size()) + " values for " + std::to_string(pop.nind) + " animals; " +
             (criterion == selection_criterion::index ? "the index needs the values of the current generation."
                                                      : "seltype 3 and 4 need the estimates of the current generation."));
      truncation(ebv, pop.dams, ndam, nhalf, 2);
      truncation(ebv, pop.sires, nsire, nhalf, 1);
      return;
    case selection_criterion::unknown:
      break;
  }
  stop(stop_text::select_code2);
}

}  // namespace qm
