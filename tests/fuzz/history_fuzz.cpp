// libFuzzer target: the history reader on arbitrary bytes, then the checks
// of what the values mean against the parameter file the history names in
// its stage-1 records (one of those the seeds were made from), and for a
// history that passes them a short run from it: stage 2 and stage 3, as a
// run that starts from the history makes them.
//
// The checksum of a history has no key, so anyone who edits a file can seal
// it again. The custom mutator does that after every mutation: it mutates
// the payload of one section at a time (or the whole file, or one field with
// a value from a list of edges: NaN, infinities, 2^40, 2^62, 10^8, ...),
// then makes the frames, the size in the header and the SHA-256 trailer
// again, so that mutations reach the checks behind the checksum. Or it
// changes the meaning itself: it decodes the file, changes one value of the
// state (a list shortened or lengthened, a position, a parent, a bit, a
// size) and encodes it again.
//
// Seeds: histories made by this build from the parameter files below
// (scripts/fuzz.sh makes them).
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "base/byte_codec.hpp"
#include "base/messages.hpp"
#include "base/output_folder.hpp"
#include "base/sha256.hpp"
#include "config/parameters.hpp"
#include "config/stage_plan.hpp"
#include "run/generation.hpp"
#include "run/history_file.hpp"
#include "run/history_state.hpp"
#include "run/run_state.hpp"
#include "stats/summary_observer.hpp"

extern "C" size_t LLVMFuzzerMutate(uint8_t* data, size_t size, size_t max_size);

namespace {

// The parameter files of the seeds, read once.
std::vector<qm::run_parameters>& parameter_sets() {
  static std::vector<qm::run_parameters> sets;
  return sets;
}

// The parameters whose stage-1 records the history lists; the first set when
// none has them (the check then names the record that differs).
const qm::run_parameters& parameters_for(const qm::saved_history& h) {
  for (const qm::run_parameters& p : parameter_sets()) {
    const std::vector<qm::stage1_record> r = qm::stage1_records(p);
    bool same = r.size() == h.records.size();
    for (size_t k = 0; same && k < r.size(); ++k)
      same = r[k].name == h.records[k].name && r[k].same_value(h.records[k]);
    if (same) return p;
  }
  return parameter_sets().front();
}

// ---------------------------------------------------------------- the file's frame

constexpr size_t header_bytes = 56, checksum_bytes = 32;

uint64_t le64(const uint8_t* p) {
  uint64_t v = 0;
  for (int k = 0; k < 8; ++k) v |= static_cast<uint64_t>(p[k]) << (8 * k);
  return v;
}
void put_le(std::string& s, size_t at, uint64_t v, int n) {
  for (int k = 0; k < n; ++k) s[at + static_cast<size_t>(k)] = static_cast<char>((v >> (8 * k)) & 0xFF);
}

struct section {
  std::string tag, payload;
};

// The sections of a file framed as a history; false when the frame does not hold.
bool split(const uint8_t* data, size_t size, std::vector<section>& out) {
  if (size < header_bytes + checksum_bytes) return false;
  size_t at = header_bytes;
  const size_t end = size - checksum_bytes;
  while (at + 16 <= end) {
    const uint64_t n = le64(data + at + 8);
    if (n > end - at - 16) return false;
    out.push_back({std::string(reinterpret_cast<const char*>(data + at), 4),
                   std::string(reinterpret_cast<const char*>(data + at + 16), static_cast<size_t>(n))});
    at = (at + 16 + static_cast<size_t>(n) + 7) / 8 * 8;
  }
  return !out.empty();
}

// The SHA-256 of everything before the trailer, written into it.
void seal(std::string& file) {
  if (file.size() < header_bytes + checksum_bytes) return;
  const std::string hex = qm::sha256_hex(std::string_view(file).substr(0, file.size() - checksum_bytes));
  for (size_t k = 0; k < checksum_bytes; ++k)
    file[file.size() - checksum_bytes + k] = static_cast<char>(std::stoi(hex.substr(2 * k, 2), nullptr, 16));
}

// The header of head, the sections framed again, the size and the trailer made.
std::string assemble(std::string_view head, const std::vector<section>& sections) {
  std::string file(head.substr(0, header_bytes));
  for (const section& s : sections) {
    file += s.tag;
    file.append(12, '\0');
    put_le(file, file.size() - 8, s.payload.size(), 8);
    file += s.payload;
    file.resize((file.size() + 7) / 8 * 8, '\0');
  }
  file.append(checksum_bytes, '\0');
  put_le(file, 16, file.size(), 8);
  seal(file);
  return file;
}

// Values at the edges of what the fields hold.
uint64_t edge_value(std::mt19937_64& rng, int width) {
  static const double reals[] = {std::nan(""), INFINITY, -INFINITY, 0.0, -0.0, 0.5, 1.0, 1e300, -1e-300, 1e8};
  static const uint64_t integers[] = {0, 1, 2, 3, 127, 128, 255, 0x7FFF, 0x8000, 0x7FFFFFFF, 0x80000000,
                                      0xFFFFFFFF, 100000000, uint64_t{1} << 40, uint64_t{1} << 62,
                                      ~uint64_t{0}, 2147483646, 2147483647};
  if (width == 8 && rng() % 2) {
    uint64_t bits;
    const double x = reals[rng() % std::size(reals)];
    std::memcpy(&bits, &x, 8);
    return bits;
  }
  uint64_t v = integers[rng() % std::size(integers)];
  if (rng() % 4 == 0) v = ~v + 1;  // negative
  return v;
}

// A value near v or at an edge.
template <class T>
T changed(std::mt19937_64& rng, T v) {
  using U = std::make_unsigned_t<T>;  // wraps instead of overflowing
  switch (rng() % 4) {
    case 0: return static_cast<T>(static_cast<U>(static_cast<U>(v) + 1u));
    case 1: return static_cast<T>(static_cast<U>(static_cast<U>(v) - 1u));
    case 2: return static_cast<T>(static_cast<U>(static_cast<U>(v) + static_cast<U>(rng() % 64) - 32u));
    default: {
      const uint64_t e = edge_value(rng, static_cast<int>(sizeof(T)));
      T out;
      std::memcpy(&out, &e, sizeof(T));
      return out;
    }
  }
}
double changed_real(std::mt19937_64& rng, double v) {
  if (rng() % 2) return v * (1.0 + static_cast<double>(static_cast<int>(rng() % 200) - 100) * 1e-3);
  const uint64_t e = edge_value(rng, 8);
  double out;
  std::memcpy(&out, &e, 8);
  return out;
}

// One element of v changed, removed, repeated, or all removed.
template <class T, class Change>
void edit_list(std::mt19937_64& rng, std::vector<T>& v, Change change) {
  const size_t k = v.empty() ? 0 : rng() % v.size();
  switch (v.empty() ? 3 : rng() % 8) {
    case 0: v.erase(v.begin() + static_cast<std::ptrdiff_t>(k)); break;
    case 1: v.insert(v.begin() + static_cast<std::ptrdiff_t>(k), v[k]); break;
    case 2: v.clear(); break;
    case 3: v.push_back(v.empty() ? T{} : v[k]); break;
    default: change(v[k]); break;
  }
}

// The parents of every generation of a pedigree after the base, as numbers
// in the generation before.
std::vector<std::vector<qm::parent_pair>> generations_of(const qm::pedigree_history& h) {
  std::vector<std::vector<qm::parent_pair>> out;
  for (int32_t g = 1; g < h.generations(); ++g) {
    const int64_t first = h.first_of(g), before = h.first_of(g - 1);
    std::vector<qm::parent_pair> parents;
    for (int32_t i = 0; i < h.size_of(g); ++i) {
      const qm::pedigree_record& r = h.at(first + i);
      parents.push_back({static_cast<int32_t>(r.sire - before + 1), static_cast<int32_t>(r.dam - before + 1)});
    }
    out.push_back(std::move(parents));
  }
  return out;
}

// A change of meaning: the file decoded, one value of the state changed
// (sizes, lists, positions, parents, numbers of the run, bits), and the
// file written again by the encoder, so that its frame is sound. False
// when the file does not decode.
bool mutate_state(std::string& file, std::mt19937_64& rng) {
  qm::saved_history h;
  try {
    h = qm::decode_history(file, "mutant");
  } catch (const qm::history_error&) {
    return false;
  }
  const auto change_i32 = [&](int32_t& x) { x = changed(rng, x); };
  const auto change_pair = [&](qm::parent_pair& pp) { (rng() % 2 ? pp.sire : pp.dam) = changed(rng, pp.sire); };
  const auto change_locus = [&](qm::locus_position& l) {
    switch (rng() % 3) {
      case 0: l.chromosome = changed(rng, l.chromosome); break;
      case 1: l.morgan = changed_real(rng, l.morgan); break;
      default: l.base_pair = changed(rng, l.base_pair); break;
    }
  };
  switch (rng() % 14) {
    case 0: edit_list(rng, rng() % 2 ? h.map.markers : h.map.candidates, change_locus); break;
    case 1:
      edit_list(rng, rng() % 2 ? h.map.recomb_left : h.map.recomb_right, [&](double& x) { x = changed_real(rng, x); });
      break;
    case 2: edit_list(rng, h.map.gap_base_pairs, [&](int64_t& x) { x = changed(rng, x); }); break;
    case 3: change_i32(rng() % 3 == 0 ? h.map.nchr : rng() % 2 ? h.map.nmpc : h.map.maptype); break;
    case 4: edit_list(rng, rng() % 2 ? h.pop.sires : h.pop.dams, change_i32); break;
    case 5: edit_list(rng, h.pop.parents, change_pair); break;
    case 6: edit_list(rng, rng() % 2 ? h.pop.tbv : h.pop.phenotype, [&](double& x) { x = changed_real(rng, x); }); break;
    case 7: {
      qm::allele_registry& a = rng() % 2 ? h.pop.marker_alleles : h.pop.candidate_alleles;
      edit_list(rng, rng() % 2 ? a.next : a.top, [&](int16_t& x) { x = changed(rng, x); });
      break;
    }
    case 8: {  // a bit of a haplotype, padding included
      qm::haplotype_matrix& m = rng() % 2 ? h.pop.markers : h.pop.candidates;
      if (m.haplotypes() > 0 && m.words() > 0)
        m.row(static_cast<int32_t>(rng() % static_cast<uint64_t>(m.haplotypes())))[rng() % m.words()] ^=
            uint64_t{1} << (rng() % 64);
      break;
    }
    case 9: {  // the pedigree made again with a change
      std::vector<std::vector<qm::parent_pair>> gens = generations_of(h.pedigree);
      int32_t base = h.pedigree.size_of(0);
      switch (gens.empty() ? 0 : rng() % 3) {
        case 0: base = std::max(1, static_cast<int>(changed(rng, base) % 100000)); break;
        case 1: gens.pop_back(); break;
        default: edit_list(rng, gens[rng() % gens.size()], change_pair); break;
      }
      qm::pedigree_history ped;
      ped.start(base);
      for (const auto& g : gens) ped.append(g);
      h.pedigree = std::move(ped);
      break;
    }
    case 10:
      switch (rng() % 4) {
        case 0: h.replicate = changed(rng, h.replicate); break;
        case 1: h.rng.start_seed = changed(rng, h.rng.start_seed); break;
        case 2: h.rng.state = changed(rng, h.rng.state); break;
        default: h.mutation_on = !h.mutation_on; break;
      }
      break;
    case 11: h.pop.nind = changed(rng, h.pop.nind); break;
    case 12: {  // a field of an observer's entry
      if (h.extras.observer_sections.empty()) break;
      std::string& bytes = h.extras.observer_sections.begin()->second;
      const int width = 1 << (rng() % 4);
      if (bytes.size() >= static_cast<size_t>(width))
        put_le(bytes, rng() % (bytes.size() - static_cast<size_t>(width) + 1), edge_value(rng, width), width);
      break;
    }
    default:
      edit_list(rng, h.records, [&](qm::stage1_record& r) {
        if (r.type == qm::stage1_record::kind::integer) r.integer = changed(rng, r.integer);
        else r.real = changed_real(rng, r.real);
      });
      break;
  }
  if (h.pop.nind < 0 || h.pop.nind > 1000000) return false;  // the encoder sizes its buffer from it
  const qm::history_source source{h.parameter_file, h.replicate, h.records, h.rng, h.mutation_on,
                                  h.map, h.pop, h.pedigree, h.extras};
  try {
    file = qm::encode_history(source);
  } catch (const qm::history_error&) {
    return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  static std::FILE* quiet = std::fopen("/dev/null", "w");
  qm::msg_set_console(quiet);
  for (const char* file : {QM_FUZZ_DATA "/data/history/random_map.par", QM_FUZZ_DATA "/fuzz/history/even_map.par"}) {
    qm::run_parameters p;
    p.parafile = file;
    qm::read_parameters(p);  // a stop here is a broken test set-up
    parameter_sets().push_back(std::move(p));
  }
  return 0;
}

extern "C" size_t LLVMFuzzerCustomMutator(uint8_t* data, size_t size, size_t max_size, unsigned int seed) {
  std::mt19937_64 rng(seed);
  std::vector<section> sections;
  const int way = static_cast<int>(rng() % 8);
  if (way >= 5) {
    std::string file(reinterpret_cast<const char*>(data), size);
    if (mutate_state(file, rng) && file.size() <= max_size) {
      std::memcpy(data, file.data(), file.size());
      return file.size();
    }
  }
  if (way == 0 || !split(data, size, sections)) {
    // The whole file, sealed again when it is long enough to have a trailer.
    size = LLVMFuzzerMutate(data, size, max_size);
    std::string file(reinterpret_cast<const char*>(data), size);
    if (rng() % 4 != 0) seal(file);
    std::memcpy(data, file.data(), file.size());
    return file.size();
  }
  section& s = sections[rng() % sections.size()];
  if (way <= 3 && !s.payload.empty()) {
    // One field of 1, 2, 4 or 8 bytes set to an edge value.
    const int width = 1 << (rng() % 4);
    if (s.payload.size() >= static_cast<size_t>(width)) {
      const size_t at = rng() % (s.payload.size() - static_cast<size_t>(width) + 1);
      put_le(s.payload, at, edge_value(rng, width), width);
    }
  } else {
    const size_t room = max_size > size ? max_size - size : 0;
    const size_t n = s.payload.size();
    s.payload.resize(n + room);
    s.payload.resize(LLVMFuzzerMutate(reinterpret_cast<uint8_t*>(s.payload.data()), n, n + room));
  }
  const std::string file = assemble(std::string_view(reinterpret_cast<const char*>(data), size), sections);
  if (file.size() > max_size) return size;
  std::memcpy(data, file.data(), file.size());
  return file.size();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  qm::saved_history h;
  try {
    h = qm::decode_history(std::string_view(reinterpret_cast<const char*>(data), size), "fuzz.qmh");
  } catch (const qm::history_error&) {
    return 0;
  }
  const qm::run_parameters& p = parameters_for(h);
  // The summary observer judges its rows (it writes nothing until the run).
  qm::observer_list judges;
  judges.add(qm::make_summary_observer(qm::output_folder{}, true, false));
  try {
    qm::check_history_fits(p, h, judges);
  } catch (const qm::history_error&) {
    return 0;
  }
  // A history that passes is one a run can start from.
  qm::run_state st(p);
  try {
    const qm::observer_list none;
    qm::resume_from_history(st, h, none);
    for (const qm::planned_stage& stage : qm::stage_plan(p, 2)) {
      const int s = stage.number();
      const qm::stage_block& b = qm::enter_stage(p, s, static_cast<int32_t>(st.pop.sires.size()),
                                                 static_cast<int32_t>(st.pop.dams.size()));
      stage.for_each_generation([&](const qm::generation_step& g) { qm::run_generation(st, b, g, none); });
    }
  } catch (const qm::run_stop&) {
    // A state the checks let pass may still stop the run with a message (no
    // QTL among the loci that segregate): a stop is not a fault.
  }
  return 0;
}
