#include "run/history_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>

#include "base/atomic_file.hpp"
#include "base/byte_codec.hpp"
#include "base/sha256.hpp"
#include "population/haplotype_bits.hpp"
#include "population/population_codec.hpp"

namespace qm {

namespace {

const std::string remake = " Make it again with --save-history.";

std::string program_version() { return QM_VERSION; }

// The 32 raw bytes of a digest given as 64 hexadecimal digits.
std::string digest_bytes(const std::string& hex) {
  std::string out(hex.size() / 2, '\0');
  auto nib = [](char c) { return c <= '9' ? c - '0' : c - 'a' + 10; };
  for (size_t k = 0; k < out.size(); ++k) out[k] = static_cast<char>(nib(hex[2 * k]) << 4 | nib(hex[2 * k + 1]));
  return out;
}

uint32_t le32(const char* p) {
  uint32_t v = 0;
  for (int k = 0; k < 4; ++k) v |= static_cast<uint32_t>(static_cast<uint8_t>(p[k])) << (8 * k);
  return v;
}
uint64_t le64(const char* p) {
  uint64_t v = 0;
  for (int k = 0; k < 8; ++k) v |= static_cast<uint64_t>(static_cast<uint8_t>(p[k])) << (8 * k);
  return v;
}

[[noreturn]] void damaged(const std::string& name, const std::string& what) {
  throw history_error("History file " + name + " is damaged: " + what + "." + remake);
}

// ------------------------------------------------------------ sections

// The sections in file order: the tag, what writes the payload and what
// reads it back. The types of the state encode themselves beside their own
// code; the fields of the file itself (the run that made it, what stage 1
// wrote, the observers' entries) are written here. A reader may use what
// the sections before it gave: the map's and the population's sizes.
struct section_codec {
  const char* tag;
  void (*encode)(byte_writer& w, const history_source& s);
  void (*decode)(byte_reader& r, saved_history& h);
};

const section_codec sections[] = {
    {"RECS", [](byte_writer& w, const history_source& s) { encode_stage1_records(w, s.records); },
     [](byte_reader& r, saved_history& h) { h.records = decode_stage1_records(r); }},
    {"RUN ",
     [](byte_writer& w, const history_source& s) {
       w.text(s.parameter_file);
       w.i64(s.replicate);
       encode_random_stream(w, s.rng);
       w.u8(s.mutation_on ? 1 : 0);
     },
     [](byte_reader& r, saved_history& h) {
       h.parameter_file = r.text();
       h.replicate = r.i64();
       h.rng = decode_random_stream(r);
       h.mutation_on = r.u8() != 0;
     }},
    {"MAP ", [](byte_writer& w, const history_source& s) { encode_genome_map(w, s.map); },
     [](byte_reader& r, saved_history& h) { h.map = decode_genome_map(r); }},
    {"POP ", [](byte_writer& w, const history_source& s) { encode_population(w, s.pop); },
     [](byte_reader& r, saved_history& h) {
       h.pop = decode_population(r, h.map.markers.size(), h.map.candidates.size());
     }},
    {"HAPM", [](byte_writer& w, const history_source& s) { encode_haplotype_matrix(w, s.pop.markers, "marker"); },
     [](byte_reader& r, saved_history& h) {
       h.pop.markers = decode_haplotype_matrix(r, h.map.nmark(), h.pop.haplotypes());
     }},
    {"HAPQ",
     [](byte_writer& w, const history_source& s) { encode_haplotype_matrix(w, s.pop.candidates, "candidate locus"); },
     [](byte_reader& r, saved_history& h) {
       h.pop.candidates = decode_haplotype_matrix(r, h.map.nqloc(), h.pop.haplotypes());
     }},
    {"PED ", [](byte_writer& w, const history_source& s) { encode_pedigree_history(w, s.pedigree); },
     // Every generation of stage 1 has the population's size.
     [](byte_reader& r, saved_history& h) { h.pedigree = decode_pedigree_history(r, h.pop.nind); }},
    {"LOG ",
     [](byte_writer& w, const history_source& s) {
       w.text(s.extras.log_text);
       w.text(s.extras.console_text);
     },
     [](byte_reader& r, saved_history& h) {
       h.extras.log_text = r.text();
       h.extras.console_text = r.text();
     }},
    {"OBS ",
     [](byte_writer& w, const history_source& s) {
       w.u32(static_cast<uint32_t>(s.extras.observer_sections.size()));
       for (const auto& [key, bytes] : s.extras.observer_sections) {
         w.text(key);
         w.text(bytes);
       }
     },
     [](byte_reader& r, saved_history& h) {
       const uint32_t n = r.u32();
       for (uint32_t k = 0; k < n; ++k) {
         std::string key = r.text();
         h.extras.observer_sections[key] = r.text();
       }
     }},
};
constexpr uint32_t section_count = static_cast<uint32_t>(std::size(sections));
static_assert(section_count == 9, "format 1 has nine sections; another section is another format");

// ------------------------------------------------------------ writing

// Tag, reserved u32, payload length (filled in when the payload is
// written), payload, zero bytes up to a multiple of 8.
void write_section(std::string& out, byte_writer& w, const section_codec& c, const history_source& s) {
  w.raw(c.tag, 4);
  w.u32(0);
  const size_t length_at = w.size();
  w.u64(0);
  try {
    c.encode(w, s);
  } catch (const encode_error& e) {
    throw history_error("The history cannot be saved: " + std::string(e.what()) +
                        ", but at the end of stage 1 every locus has the alleles 1 and 2 only.");
  }
  w.patch_u64(length_at, w.size() - length_at - 8);
  while (out.size() % 8 != 0) w.u8(0);
}

// ------------------------------------------------------------ reading

// The bytes of a history as they are read, front to back, each added to
// the checksum: from memory, or from a file a piece at a time, so that no
// more than the largest section is held at once.
class history_input {
 public:
  history_input(std::string_view bytes) : bytes_(bytes), size_(bytes.size()) {}
  history_input(int fd, const std::string& path, uint64_t size) : fd_(fd), path_(path), size_(size) {}

  uint64_t size() const { return size_; }
  uint64_t read() const { return at_; }
  // Bytes left before the checksum.
  uint64_t left_in_body() const { return size_ - history_checksum_bytes - at_; }

  // The next n bytes, added to the checksum (n at most what is left);
  // valid until the next call.
  std::string_view next(size_t n) {
    const std::string_view v = take(n);
    digest_.add(v);
    return v;
  }
  // Everything up to the checksum, added to it without being kept.
  void pass_over_body() {
    constexpr size_t piece = size_t{1} << 20;
    while (left_in_body() > 0) next(static_cast<size_t>(std::min<uint64_t>(left_in_body(), piece)));
  }
  // Whether the last 32 bytes are the SHA-256 of all before them.
  bool checksum_matches() {
    const std::string want = digest_bytes(digest_.hex());
    return take(history_checksum_bytes) == want;
  }

 private:
  std::string_view take(size_t n) {
    if (fd_ < 0) {
      const std::string_view v = bytes_.substr(static_cast<size_t>(at_), n);
      at_ += n;
      return v;
    }
    buffer_.resize(n);
    char* p = buffer_.data();
    size_t want = n;
    while (want > 0) {
      const ssize_t k = ::read(fd_, p, want);
      if (k < 0 && errno == EINTR) continue;
      if (k <= 0)
        throw history_error("History file " + path_ + " cannot be read (" +
                            (k < 0 ? std::string(std::strerror(errno)) : std::string("it became shorter")) +
                            "). Check the file and its folder.");
      p += k;
      want -= static_cast<size_t>(k);
    }
    at_ += n;
    return buffer_;
  }

  std::string_view bytes_;
  int fd_ = -1;
  std::string path_;
  uint64_t size_ = 0, at_ = 0;
  std::string buffer_;
  sha256_stream digest_;
};

// What the sections must agree on beyond each type's own checks.
void check_parts_fit(const saved_history& h, const std::string& name) {
  const int32_t g = h.pedigree.generations() - 1;
  if (h.pedigree.size_of(g) != h.pop.nind) damaged(name, "the last generation of the pedigree is not the population");
  // The parents of the population are numbers in the generation before it
  // (in the base generation, the animals themselves).
  const int32_t before = h.pedigree.size_of(g > 0 ? g - 1 : 0);
  for (const parent_pair& pp : h.pop.parents)
    if (pp.sire < 1 || pp.dam < 1 || pp.sire > before || pp.dam > before)
      damaged(name, "a parent of the population lies outside the generation before");
}

// Every section in its place, one at a time: its frame (tag, reserved
// zero, a length within the file), its payload decoded, zero padding;
// nothing after the last.
void read_sections(history_input& in, const std::string& name, saved_history& h) {
  for (const section_codec& c : sections) {
    const std::string tag = c.tag;
    if (in.left_in_body() < 16) damaged(name, "it ends before section " + tag);
    const uint64_t at = in.read();
    const std::string_view frame = in.next(16);
    if (frame.substr(0, 4) != tag)
      damaged(name, "section " + std::to_string(&c - sections + 1) + " should be " + tag + " at byte " +
                        std::to_string(at));
    if (le32(frame.data() + 4) != 0) damaged(name, "the reserved field of section " + tag + " is not zero");
    const uint64_t n = le64(frame.data() + 8);
    if (n > in.left_in_body()) damaged(name, "section " + tag + " is longer than the file");
    byte_reader r(in.next(static_cast<size_t>(n)), "section " + tag + " of " + name);
    c.decode(r, h);
    r.expect_end();
    const size_t pad = static_cast<size_t>(std::min<uint64_t>((8 - in.read() % 8) % 8, in.left_in_body()));
    for (char b : in.next(pad))
      if (b != 0) damaged(name, "the padding after section " + tag + " is not zero");
  }
  if (in.left_in_body() != 0) damaged(name, std::to_string(in.left_in_body()) + " bytes follow the last section");
  check_parts_fit(h, name);
}

// The first check of a file: what the first bytes say.
void check_header(std::string_view head, uint64_t file_size, const std::string& name) {
  const size_t n = head.size() < 8 ? head.size() : 8;
  if (std::memcmp(head.data(), history_magic, n) != 0)
    throw history_error("History file " + name +
                        " is not a Quillmere history file: it does not begin with the history-file mark. "
                        "Give the file that --save-history wrote.");
  if (head.size() < history_header_bytes || file_size < history_header_bytes + history_checksum_bytes)
    throw history_error("History file " + name + " is cut short: it has " + std::to_string(file_size) +
                        " bytes, fewer than any history file has. Copy it again whole, or make it again with --save-history.");
  const uint32_t version = le32(head.data() + 8);
  if (version != history_format_version)
    throw history_error("History file " + name + " is in history-file format " + std::to_string(version) +
                        "; this quillmere (" + program_version() + ") reads format " +
                        std::to_string(history_format_version) + " only (or the file is damaged)." + remake);
  const uint64_t declared = le64(head.data() + 16);
  if (declared > file_size)
    throw history_error("History file " + name + " is cut short: it has " + std::to_string(file_size) + " of its " +
                        std::to_string(declared) +
                        " bytes. Copy it again whole, or make it again with --save-history.");
  if (declared < file_size)
    throw history_error("History file " + name + " has " + std::to_string(file_size - declared) +
                        " bytes more than its header gives (" + std::to_string(declared) +
                        "): it is damaged or something was appended to it." + remake);
}

// A history front to back. The header is checked first; then the sections
// are decoded as they are read and the checksum made on the way. Its
// verdict comes first: a fault found in a section (or another program
// version) is reported only when the checksum matches, since a changed
// byte explains any fault; nothing read is returned before it is known.
saved_history read_history(history_input& in, const std::string& name) {
  const size_t head_bytes = static_cast<size_t>(std::min<uint64_t>(in.size(), history_header_bytes));
  const std::string head(in.next(head_bytes));
  check_header(head, in.size(), name);
  std::string version = head.substr(24, history_version_bytes);
  version.resize(std::strlen(version.c_str()));
  std::string fault;
  saved_history h;
  if (version != program_version()) {
    fault = "History file " + name + " was made by quillmere " + version + "; this is quillmere " + program_version() +
            ". A history continues exactly only in the version that made it." + remake;
  } else {
    h.file = name;
    h.program_version = version;
    try {
      read_sections(in, name, h);
    } catch (const decode_error& e) {
      fault = "History file " + name + " is damaged: " + e.what() + "." + remake;
    } catch (const history_error& e) {
      fault = e.what();
    }
  }
  in.pass_over_body();
  if (!in.checksum_matches())
    throw history_error("History file " + name +
                        " is damaged: its SHA-256 checksum does not match its contents (a changed or lost byte)." +
                        remake);
  if (!fault.empty()) throw history_error(fault);
  return h;
}

}  // namespace

std::string encode_history(const history_source& s) {
  std::string out;
  out.reserve(static_cast<size_t>(history_file_bytes(s.pop.nind, s.pop.markers.loci(), s.pop.candidates.loci(),
                                                     s.pedigree.generations())));
  byte_writer w(out);
  w.raw(history_magic, 8);
  w.u32(history_format_version);
  w.u32(section_count);
  const size_t size_at = w.size();
  w.u64(0);
  std::string version = program_version();
  version.resize(history_version_bytes, '\0');
  w.raw(version.data(), version.size());

  for (const section_codec& c : sections) write_section(out, w, c, s);

  w.patch_u64(size_at, out.size() + history_checksum_bytes);
  const std::string digest = digest_bytes(sha256_hex(out));
  w.raw(digest.data(), digest.size());
  return out;
}

void write_history_file(const std::string& path, const history_source& s) {
  const std::string bytes = encode_history(s);
  atomic_file f(path);
  f.reserve(bytes.size());
  f.write(bytes);
  f.commit();
}

saved_history decode_history(std::string_view bytes, const std::string& name) {
  history_input in(bytes);
  return read_history(in, name);
}

saved_history read_history_file(const std::string& path) {
  struct stat st{};
  if (::stat(path.c_str(), &st) != 0)
    throw history_error("History file " + path + " cannot be opened (" + std::strerror(errno) +
                        "). Give the file that --save-history wrote.");
  if (!S_ISREG(st.st_mode))
    throw history_error("History file " + path + " is " + (S_ISDIR(st.st_mode) ? "a folder" : "not a regular file") +
                        ". Give the file that --save-history wrote.");
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    throw history_error("History file " + path + " cannot be opened (" + std::strerror(errno) +
                        "). Give the file that --save-history wrote.");
  struct closer {
    int fd;
    ~closer() { ::close(fd); }
  } close_at_end{fd};
  history_input in(fd, path, static_cast<uint64_t>(st.st_size));
  return read_history(in, path);
}

int64_t history_file_bytes(int64_t nind, int64_t markers, int64_t candidate_loci, int64_t generations) {
  const int64_t fixed = static_cast<int64_t>(history_header_bytes + history_checksum_bytes) + 9 * 24 + 512;
  const int64_t map = 28 + 20 * (markers + candidate_loci) + 16 * candidate_loci + 8 * markers + 40;
  const int64_t pop = 4 + 8 * nind + 8 * nind + 4 * (markers + candidate_loci) + 64;
  const int64_t haps = 2 * nind * 8 * (haplotype_words(markers) + haplotype_words(candidate_loci)) + 32;
  const int64_t ped = 8 + generations * (8 + 8 * nind);
  const int64_t text = 2 * 120 * generations + 160 * generations;  // log, console, summary rows
  return fixed + map + pop + haps + ped + text;
}

int64_t most_history_file_bytes(int64_t nind, int64_t markers, int64_t candidate_loci, int64_t generations) {
  return history_file_bytes(nind, markers, candidate_loci, generations) + (int64_t{256} << 10) + 1024 * generations;
}

}  // namespace qm
