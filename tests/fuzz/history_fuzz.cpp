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
// again, so that mutations reach the checks behind the checksum.
//
// Seeds: histories made by this build from the parameter files below
// (scripts/fuzz.sh makes them).
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <string_view>
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
