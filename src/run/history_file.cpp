#include "run/history_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/atomic_file.hpp"
#include "base/byte_codec.hpp"
#include "base/messages.hpp"
#include "base/sha256.hpp"
#include "population/haplotype_bits.hpp"

namespace qm {

namespace {

constexpr uint32_t section_count = 9;
constexpr char section_tags[section_count][5] = {"RECS", "RUN ", "MAP ", "POP ", "HAPM",
                                                 "HAPQ", "PED ", "LOG ", "OBS "};

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

// ------------------------------------------------------------ writing

void put_position(byte_writer& w, const locus_position& l) {
  w.i32(l.chromosome);
  w.f64(l.morgan);
  w.i64(l.base_pair);
}

void put_registry(byte_writer& w, const allele_registry& a) {
  w.u64(a.next.size());
  for (int16_t v : a.next) w.i16(v);
  w.u64(a.top.size());
  for (int16_t v : a.top) w.i16(v);
  // The carried sets are kept only while mutation goes on; after the
  // recoding generation they no longer describe the alleles.
  w.u8(a.carried_valid ? 1 : 0);
}

void put_haplotypes(byte_writer& w, const haplotype_matrix& m, const char* kind) {
  const int64_t nw = haplotype_words(m.loci());
  w.i32(m.loci());
  w.i32(m.haplotypes());
  w.u64(static_cast<uint64_t>(nw));
  if (m.packed()) {  // the rows are the file's words
    for (int32_t h = 0; h < m.haplotypes(); ++h) w.u64s(m.row(h), static_cast<size_t>(nw));
    return;
  }
  std::vector<uint64_t> words(static_cast<size_t>(nw));
  for (int32_t h = 0; h < m.haplotypes(); ++h) {
    const int64_t bad = pack_haplotype(m.column(h), m.loci(), words.data());
    if (bad >= 0)
      throw history_error("The history cannot be saved: " + std::string(kind) + " " + std::to_string(bad + 1) +
                          " of haplotype " + std::to_string(h + 1) + " has allele " +
                          std::to_string(m.column(h)[bad]) +
                          ", but at the end of stage 1 every locus has the alleles 1 and 2 only.");
    w.u64s(words.data(), words.size());
  }
}

void begin_section(byte_writer& w, int k, size_t& length_at) {
  w.raw(section_tags[k], 4);
  w.u32(0);
  length_at = w.size();
  w.u64(0);
}

void end_section(std::string& out, byte_writer& w, size_t length_at) {
  const size_t payload = w.size() - length_at - 8;
  w.patch_u64(length_at, payload);
  while (out.size() % 8 != 0) w.u8(0);
}

// ------------------------------------------------------------ reading

[[noreturn]] void damaged(const std::string& name, const std::string& what) {
  throw history_error("History file " + name + " is damaged: " + what + "." + remake);
}

locus_position get_position(byte_reader& r) {
  locus_position l;
  l.chromosome = r.i32();
  l.morgan = r.f64();
  l.base_pair = r.i64();
  return l;
}

void get_registry(byte_reader& r, allele_registry& a, size_t nloci, const std::string& name) {
  for (std::vector<int16_t>* v : {&a.next, &a.top}) {
    const size_t n = r.count(2, "allele numbers");
    if (n != nloci) damaged(name, r.label() + " gives allele numbers for " + std::to_string(n) + " of " + std::to_string(nloci) + " loci");
    v->resize(n);
    for (int16_t& x : *v) x = r.i16();
  }
  if (r.u8() != 0) damaged(name, r.label() + " marks the carried allele sets as valid, which they are not after stage 1");
  a.carried.assign(2 * nloci, 0);
  a.carried_valid = false;
}

void get_haplotypes(byte_reader& r, haplotype_matrix& m, int32_t nloci, int32_t nhap, const std::string& name) {
  const int32_t loci = r.i32(), haps = r.i32();
  const uint64_t nw = r.u64();
  if (loci != nloci || haps != nhap || nw != static_cast<uint64_t>(haplotype_words(loci)))
    damaged(name, r.label() + " holds " + std::to_string(haps) + " haplotypes of " + std::to_string(loci) +
                      " loci in " + std::to_string(nw) + " words each; the map and the population call for " +
                      std::to_string(nhap) + " of " + std::to_string(nloci));
  if (nw > 0 && static_cast<uint64_t>(haps) > r.left() / 8 / nw)
    damaged(name, r.label() + " ends before its last haplotype");
  // Read into the packed layout (the run unpacks it when it keeps bytes);
  // the bits past the last locus are cleared.
  m.resize_packed(loci, haps);
  const uint64_t pad = loci % 64 ? ~uint64_t{0} >> (64 - loci % 64) : ~uint64_t{0};
  for (int32_t h = 0; h < haps; ++h) {
    r.u64s(m.row(h), static_cast<size_t>(nw));
    if (nw > 0) m.row(h)[nw - 1] &= pad;
  }
}

void read_sections(std::string_view bytes, const std::string& name, saved_history& h) {
  size_t at = history_header_bytes;
  const size_t end = bytes.size() - history_checksum_bytes;
  std::string_view payload[section_count];
  for (uint32_t k = 0; k < section_count; ++k) {
    if (end - at < 16) damaged(name, "it ends before section " + std::string(section_tags[k]));
    if (std::memcmp(bytes.data() + at, section_tags[k], 4) != 0)
      damaged(name, "section " + std::to_string(k + 1) + " should be " + section_tags[k] + " at byte " + std::to_string(at));
    const uint64_t n = le64(bytes.data() + at + 8);
    at += 16;
    if (n > end - at) damaged(name, "section " + std::string(section_tags[k]) + " is longer than the file");
    payload[k] = bytes.substr(at, static_cast<size_t>(n));
    at += static_cast<size_t>(n);
    while (at % 8 != 0 && at < end) {
      if (bytes[at] != 0) damaged(name, "the padding after section " + std::string(section_tags[k]) + " is not zero");
      ++at;
    }
  }
  if (at != end) damaged(name, std::to_string(end - at) + " bytes follow the last section");

  auto reader = [&](int k) { return byte_reader(payload[k], "section " + std::string(section_tags[k]) + " of " + name); };
  {
    byte_reader r = reader(0);
    const uint32_t n = r.u32();
    if (n > r.left() / 21) damaged(name, "it gives " + std::to_string(n) + " records");
    for (uint32_t k = 0; k < n; ++k) {
      stage1_record rec;
      rec.name = r.text();
      rec.record = r.i32();
      const uint8_t t = r.u8();
      if (t > 2) damaged(name, "record " + rec.name + " has the unknown kind " + std::to_string(t));
      rec.type = static_cast<stage1_record::kind>(t);
      if (rec.type == stage1_record::kind::integer) rec.integer = r.i64();
      else rec.real = r.f64();
      h.records.push_back(std::move(rec));
    }
    r.expect_end();
  }
  {
    byte_reader r = reader(1);
    h.parameter_file = r.text();
    h.replicate = r.i64();
    h.rng.state = r.i32();
    h.rng.start_seed = r.i32();
    h.mutation_on = r.u8() != 0;
    r.expect_end();
    if (h.rng.state < 1 || static_cast<uint32_t>(h.rng.state) >= rmod)
      damaged(name, "the random stream's state " + std::to_string(h.rng.state) + " is not one the stream can have");
  }
  {
    byte_reader r = reader(2);
    genome_map& m = h.map;
    m.nchr = r.i32();
    m.nmpc = r.i32();
    m.maptype = r.i32();
    for (std::vector<locus_position>* v : {&m.markers, &m.candidates}) {
      v->resize(r.count(20, "loci"));
      for (locus_position& l : *v) l = get_position(r);
    }
    for (std::vector<double>* v : {&m.recomb_left, &m.recomb_right}) {
      v->resize(r.count(8, "recombination fractions"));
      for (double& x : *v) x = r.f64();
    }
    m.gap_base_pairs.resize(r.count(8, "gaps"));
    for (int64_t& x : m.gap_base_pairs) x = r.i64();
    r.expect_end();
    const int64_t nmark = static_cast<int64_t>(m.nchr) * m.nmpc;
    if (m.nchr < 1 || m.nmpc < 2 || static_cast<int64_t>(m.markers.size()) != nmark ||
        static_cast<int64_t>(m.candidates.size()) != static_cast<int64_t>(m.nchr) * (m.nmpc - 1) ||
        m.recomb_left.size() != m.candidates.size() || m.recomb_right.size() != m.candidates.size() ||
        (!m.gap_base_pairs.empty() && m.gap_base_pairs.size() != m.markers.size()))
      damaged(name, "the genetic map's parts do not fit together");
    for (const auto* v : {&m.markers, &m.candidates})
      for (const locus_position& l : *v)
        if (l.chromosome < 1 || l.chromosome > m.nchr) damaged(name, "a locus of the map lies on no chromosome");
  }
  population& pop = h.pop;
  {
    byte_reader r = reader(3);
    pop.nind = r.i32();
    if (pop.nind < 2 || pop.nind > 100000000) damaged(name, "the population has " + std::to_string(pop.nind) + " animals");
    pop.parents.resize(r.count(8, "parent pairs"));
    for (parent_pair& pp : pop.parents) {
      pp.sire = r.i32();
      pp.dam = r.i32();
    }
    for (std::vector<int32_t>* v : {&pop.sires, &pop.dams}) {
      v->resize(r.count(4, "selected parents"));
      for (int32_t& x : *v) {
        x = r.i32();
        if (x < 1 || x > pop.nind) damaged(name, "a selected parent is animal " + std::to_string(x) + " of " + std::to_string(pop.nind));
      }
    }
    for (std::vector<double>* v : {&pop.tbv, &pop.phenotype}) {
      v->resize(r.count(8, "values"));
      for (double& x : *v) x = r.f64();
    }
    get_registry(r, pop.marker_alleles, h.map.markers.size(), name);
    get_registry(r, pop.candidate_alleles, h.map.candidates.size(), name);
    r.expect_end();
    if (pop.parents.size() != static_cast<size_t>(pop.nind)) damaged(name, "the population's parents do not match its size");
  }
  {
    byte_reader r = reader(4);
    get_haplotypes(r, pop.markers, h.map.nmark(), pop.haplotypes(), name);
    r.expect_end();
  }
  {
    byte_reader r = reader(5);
    get_haplotypes(r, pop.candidates, h.map.nqloc(), pop.haplotypes(), name);
    r.expect_end();
  }
  {
    byte_reader r = reader(6);
    const int32_t gens = r.i32();
    if (gens < 1) damaged(name, "the pedigree has no generation");
    int32_t before = r.i32();
    if (before < 1 || before > 100000000) damaged(name, "the base generation has " + std::to_string(before) + " animals");
    h.pedigree.start(before);
    std::vector<parent_pair> parents;
    for (int32_t g = 1; g < gens; ++g) {
      const size_t n = r.count(8, "parent pairs");
      if (n < 1) damaged(name, "generation " + std::to_string(g) + " of the pedigree is empty");
      parents.resize(n);
      for (parent_pair& pp : parents) {
        pp.sire = r.i32();
        pp.dam = r.i32();
        if (pp.sire < 1 || pp.sire > before || pp.dam < 1 || pp.dam > before)
          damaged(name, "generation " + std::to_string(g) + " of the pedigree has a parent outside the generation before");
      }
      h.pedigree.append(parents);
      before = static_cast<int32_t>(n);
    }
    r.expect_end();
    if (before != pop.nind) damaged(name, "the last generation of the pedigree is not the population");
  }
  {
    byte_reader r = reader(7);
    h.extras.log_text = r.text();
    h.extras.console_text = r.text();
    r.expect_end();
  }
  {
    byte_reader r = reader(8);
    const uint32_t n = r.u32();
    for (uint32_t k = 0; k < n; ++k) {
      std::string key = r.text();
      h.extras.observer_sections[key] = r.text();
    }
    r.expect_end();
  }
  // The parents of the population are numbers in the generation before it
  // (in the base generation, the animals themselves).
  const int32_t g = h.pedigree.generations() - 1;
  const int32_t before = h.pedigree.size_of(g > 0 ? g - 1 : 0);
  for (const parent_pair& pp : pop.parents)
    if (pp.sire < 1 || pp.dam < 1 || pp.sire > before || pp.dam > before)
      damaged(name, "a parent of the population lies outside the generation before");
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

}  // namespace

std::string stage1_record::text() const {
  switch (type) {
    case kind::integer: return std::to_string(integer);
    case kind::single_real: return shortest_text(static_cast<float>(real));
    case kind::double_real: return shortest_text(real);
  }
  return {};
}

bool stage1_record::same_value(const stage1_record& o) const {
  if (type != o.type) return false;
  return type == kind::integer ? integer == o.integer : real == o.real;
}

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

  size_t len = 0;
  begin_section(w, 0, len);
  w.u32(static_cast<uint32_t>(s.records.size()));
  for (const stage1_record& r : s.records) {
    w.text(r.name);
    w.i32(r.record);
    w.u8(static_cast<uint8_t>(r.type));
    if (r.type == stage1_record::kind::integer) w.i64(r.integer);
    else w.f64(r.real);
  }
  end_section(out, w, len);

  begin_section(w, 1, len);
  w.text(s.parameter_file);
  w.i64(s.replicate);
  w.i32(s.rng.state);
  w.i32(s.rng.start_seed);
  w.u8(s.mutation_on ? 1 : 0);
  end_section(out, w, len);

  begin_section(w, 2, len);
  w.i32(s.map.nchr);
  w.i32(s.map.nmpc);
  w.i32(s.map.maptype);
  for (const auto* v : {&s.map.markers, &s.map.candidates}) {
    w.u64(v->size());
    for (const locus_position& l : *v) put_position(w, l);
  }
  for (const auto* v : {&s.map.recomb_left, &s.map.recomb_right}) {
    w.u64(v->size());
    for (double x : *v) w.f64(x);
  }
  w.u64(s.map.gap_base_pairs.size());
  for (int64_t x : s.map.gap_base_pairs) w.i64(x);
  end_section(out, w, len);

  const population& pop = s.pop;
  begin_section(w, 3, len);
  w.i32(pop.nind);
  w.u64(pop.parents.size());
  for (const parent_pair& pp : pop.parents) {
    w.i32(pp.sire);
    w.i32(pp.dam);
  }
  for (const auto* v : {&pop.sires, &pop.dams}) {
    w.u64(v->size());
    for (int32_t x : *v) w.i32(x);
  }
  for (const auto* v : {&pop.tbv, &pop.phenotype}) {
    w.u64(v->size());
    for (double x : *v) w.f64(x);
  }
  put_registry(w, pop.marker_alleles);
  put_registry(w, pop.candidate_alleles);
  end_section(out, w, len);

  begin_section(w, 4, len);
  put_haplotypes(w, pop.markers, "marker");
  end_section(out, w, len);
  begin_section(w, 5, len);
  put_haplotypes(w, pop.candidates, "candidate locus");
  end_section(out, w, len);

  begin_section(w, 6, len);
  const pedigree_history& ped = s.pedigree;
  w.i32(ped.generations());
  w.i32(ped.size_of(0));
  for (int32_t g = 1; g < ped.generations(); ++g) {
    const int64_t first = ped.first_of(g), before = ped.first_of(g - 1);
    const int32_t n = ped.size_of(g);
    w.u64(static_cast<uint64_t>(n));
    for (int32_t i = 0; i < n; ++i) {
      const pedigree_record& r = ped.at(first + i);
      w.i32(static_cast<int32_t>(r.sire - before + 1));
      w.i32(static_cast<int32_t>(r.dam - before + 1));
    }
  }
  end_section(out, w, len);

  begin_section(w, 7, len);
  w.text(s.extras.log_text);
  w.text(s.extras.console_text);
  end_section(out, w, len);

  begin_section(w, 8, len);
  w.u32(static_cast<uint32_t>(s.extras.observer_sections.size()));
  for (const auto& [key, bytes] : s.extras.observer_sections) {
    w.text(key);
    w.text(bytes);
  }
  end_section(out, w, len);

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
  check_header(bytes.substr(0, bytes.size() < history_header_bytes ? bytes.size() : history_header_bytes), bytes.size(), name);
  const std::string_view body = bytes.substr(0, bytes.size() - history_checksum_bytes);
  if (digest_bytes(sha256_hex(body)) != bytes.substr(bytes.size() - history_checksum_bytes))
    throw history_error("History file " + name +
                        " is damaged: its SHA-256 checksum does not match its contents (a changed or lost byte)." +
                        remake);
  std::string version(bytes.substr(24, history_version_bytes));
  version.resize(std::strlen(version.c_str()));
  if (version != program_version())
    throw history_error("History file " + name + " was made by quillmere " + version + "; this is quillmere " +
                        program_version() +
                        ". A history continues exactly only in the version that made it." + remake);
  saved_history h;
  h.file = name;
  h.program_version = version;
  try {
    read_sections(bytes, name, h);
  } catch (const decode_error& e) {
    throw history_error("History file " + name + " is damaged: " + e.what() + "." + remake);
  }
  return h;
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
  const uint64_t size = static_cast<uint64_t>(st.st_size);
  auto read_into = [&](char* p, size_t n) {
    while (n > 0) {
      const ssize_t k = ::read(fd, p, n);
      if (k < 0 && errno == EINTR) continue;
      if (k <= 0)
        throw history_error("History file " + path + " cannot be read (" +
                            (k < 0 ? std::string(std::strerror(errno)) : std::string("it became shorter")) +
                            "). Check the file and its folder.");
      p += k;
      n -= static_cast<size_t>(k);
    }
  };
  // The header first: the whole file is read only when the header's size is the file's.
  const size_t head = static_cast<size_t>(size < history_header_bytes ? size : history_header_bytes);
  std::string bytes(head, '\0');
  read_into(bytes.data(), head);
  check_header(bytes, size, path);
  bytes.resize(static_cast<size_t>(size));
  read_into(bytes.data() + head, bytes.size() - head);
  return decode_history(bytes, path);
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

}  // namespace qm
