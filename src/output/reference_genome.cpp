#include "output/reference_genome.hpp"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <utility>

#include "base/atomic_file.hpp"

namespace qm {

namespace {

// The finaliser of SplitMix64: every input bit reaches every output bit.
uint64_t mix64(uint64_t z) {
  z += 0x9e3779b97f4a7c15ull;
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
  return z ^ (z >> 31);
}

constexpr char bases[4] = {'A', 'C', 'G', 'T'};

// Transition partner and the two transversions of each base (index in bases).
constexpr int transition_of[4] = {2, 3, 0, 1};
constexpr int transversions_of[4][2] = {{1, 3}, {0, 2}, {1, 3}, {0, 2}};

constexpr int line_bases = 60;
constexpr int line_bytes = line_bases + 1;

// ---- BGZF written directly ----------------------------------------------
//
// The text is N lines with a few bases and headers in them: apart from those,
// every byte repeats the one a line (61 bytes) before. Each block of at most
// 65280 bytes is one deflate block with the fixed Huffman codes (RFC 1951,
// 3.2.6): the first line as literals, then copies from 61 bytes back of up to
// 258 bytes wherever at least 3 bytes repeat, literals elsewhere. That is
// about 550 bytes for a block of N (a general compressor finds about 400)
// at a small fraction of its time. Every byte of the text is below 144, whose
// literal codes have 8 bits, so a block never grows beyond its text, and a
// BGZF block (at most 65536 bytes) always holds it.

constexpr size_t block_text = 0xff00;

// Deflate writes bits from the least significant up; Huffman codes go most
// significant bit first, so they are stored reversed.
constexpr uint32_t reversed(uint32_t code, int bits) {
  uint32_t r = 0;
  for (int i = 0; i < bits; ++i) r |= ((code >> i) & 1u) << (bits - 1 - i);
  return r;
}

struct fixed_code {
  uint32_t bits = 0;  // reversed code followed by the extra bits, ready to write
  int count = 0;
};

// Literal/length symbol sym (0..287) in the fixed code.
constexpr fixed_code symbol_code(int sym) {
  if (sym < 144) return {reversed(0x30u + static_cast<uint32_t>(sym), 8), 8};
  if (sym < 256) return {reversed(0x190u + static_cast<uint32_t>(sym - 144), 9), 9};
  if (sym < 280) return {reversed(static_cast<uint32_t>(sym - 256), 7), 7};
  return {reversed(0xc0u + static_cast<uint32_t>(sym - 280), 8), 8};
}

// Code and extra bits of every match length 3..258.
struct length_table {
  std::array<fixed_code, 259> code{};
  constexpr length_table() {
    constexpr int base[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                              31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
    constexpr int extra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
    for (int k = 0; k < 29; ++k) {
      const int last = k == 28 ? 258 : k == 27 ? 257 : base[k + 1] - 1;  // 284 stops at 257
      for (int len = base[k]; len <= last; ++len) {
        const fixed_code c = symbol_code(257 + k);
        code[static_cast<size_t>(len)] = {c.bits | static_cast<uint32_t>(len - base[k]) << c.count, c.count + extra[k]};
      }
    }
  }
};
constexpr length_table lengths;
// Distance 61: symbol 11 (49..64), 5 bits, and 4 extra bits of value 12.
constexpr fixed_code distance_61 = {reversed(11, 5) | 12u << 5, 9};

struct bit_writer {
  uint8_t* out;
  size_t n = 0;
  uint64_t acc = 0;
  int count = 0;
  void put(uint32_t bits, int k) {
    acc |= static_cast<uint64_t>(bits) << count;
    count += k;
    while (count >= 8) {
      out[n++] = static_cast<uint8_t>(acc);
      acc >>= 8;
      count -= 8;
    }
  }
  void finish() {
    if (count > 0) out[n++] = static_cast<uint8_t>(acc);
    acc = 0;
    count = 0;
  }
};

// Bytes from i on (at most 258) that equal the bytes a line before.
size_t repeat_length(const char* t, size_t i, size_t n) {
  const size_t end = std::min(n, i + 258);
  size_t k = i;
  while (k + 8 <= end) {
    uint64_t a, b;
    std::memcpy(&a, t + k, 8);
    std::memcpy(&b, t + k - line_bytes, 8);
    if (a != b) return k - i + static_cast<size_t>(__builtin_ctzll(a ^ b) / 8);
    k += 8;
  }
  while (k < end && t[k] == t[k - line_bytes]) ++k;
  return k - i;
}

// The deflate data of text t[0..n) into out (room for 9n / 8 + 8 bytes); returns its length.
size_t deflate_lines(const char* t, size_t n, uint8_t* out) {
  bit_writer w{out};
  w.put(1, 1);  // the last block of the stream
  w.put(1, 2);  // fixed Huffman codes
  size_t i = 0;
  while (i < n) {
    const size_t len = i >= static_cast<size_t>(line_bytes) ? repeat_length(t, i, n) : 0;
    if (len >= 3) {
      const fixed_code& c = lengths.code[len];
      w.put(c.bits, c.count);
      w.put(distance_61.bits, distance_61.count);
      i += len;
    } else {
      const fixed_code c = symbol_code(static_cast<uint8_t>(t[i]));
      w.put(c.bits, c.count);
      ++i;
    }
  }
  const fixed_code end = symbol_code(256);
  w.put(end.bits, end.count);
  w.finish();
  return w.n;
}

void put_le(uint8_t* p, uint64_t v, int bytes) {
  for (int k = 0; k < bytes; ++k) p[k] = static_cast<uint8_t>(v >> (8 * k));
}

// Text in, BGZF blocks out, and the .gzi entries of the blocks: after each
// block, its end in the compressed and in the text bytes (as htslib's
// on-the-fly index has them).
class bgzf_text {
 public:
  explicit bgzf_text(atomic_file& f) : f_(f) { text_.reserve(block_text); }
  void put(const char* p, size_t n) {
    while (n > 0) {
      const size_t k = std::min(n, block_text - text_.size());
      text_.append(p, k);
      p += k;
      n -= k;
      if (text_.size() == block_text) flush();
    }
  }
  // The last block and the empty block that marks the end of a BGZF file.
  void finish() {
    flush();
    static const uint8_t eof[28] = {0x1f, 0x8b, 8, 4, 0, 0, 0, 0, 0, 0xff, 6, 0, 'B', 'C',
                                    2,    0,    0x1b, 0, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    f_.write(eof, sizeof eof);
  }
  std::string index() const {
    std::string s(8 + 16 * ends_.size(), '\0');
    auto* p = reinterpret_cast<uint8_t*>(s.data());
    put_le(p, ends_.size(), 8);
    for (size_t k = 0; k < ends_.size(); ++k) {
      put_le(p + 8 + 16 * k, ends_[k].first, 8);
      put_le(p + 16 + 16 * k, ends_[k].second, 8);
    }
    return s;
  }

 private:
  void flush() {
    if (text_.empty()) return;
    const size_t n = deflate_lines(text_.data(), text_.size(), block_.data() + 18);
    const size_t size = 18 + n + 8;
    static const uint8_t header[16] = {0x1f, 0x8b, 8, 4, 0, 0, 0, 0, 0, 0xff, 6, 0, 'B', 'C', 2, 0};
    std::memcpy(block_.data(), header, 16);
    put_le(block_.data() + 16, size - 1, 2);
    const uLong crc = crc32(crc32(0L, Z_NULL, 0), reinterpret_cast<const Bytef*>(text_.data()),
                            static_cast<uInt>(text_.size()));
    put_le(block_.data() + 18 + n, crc, 4);
    put_le(block_.data() + 22 + n, text_.size(), 4);
    f_.write(block_.data(), size);
    compressed_ += size;
    uncompressed_ += text_.size();
    ends_.emplace_back(compressed_, uncompressed_);
    text_.clear();
  }
  atomic_file& f_;
  std::string text_;
  std::array<uint8_t, 18 + block_text / 8 * 9 + 16> block_{};  // room for 9-bit literals too
  uint64_t compressed_ = 0, uncompressed_ = 0;
  std::vector<std::pair<uint64_t, uint64_t>> ends_;
};

}  // namespace

nucleotide_pair bases_at(int64_t seed, int32_t chromosome, int64_t pos) {
  const uint64_t h = mix64(mix64(mix64(static_cast<uint64_t>(seed)) ^ static_cast<uint64_t>(chromosome)) ^
                           static_cast<uint64_t>(pos));
  const int r = static_cast<int>(h & 3u);
  const int k = static_cast<int>((h >> 2) % 6u);  // 0..3 transition, 4 and 5 the transversions
  const int a = k < 4 ? transition_of[r] : transversions_of[r][k - 4];
  return {bases[r], bases[a]};
}

bool is_transition(char a, char b) {
  return (a == 'A' && b == 'G') || (a == 'G' && b == 'A') || (a == 'C' && b == 'T') || (a == 'T' && b == 'C');
}

void write_reference_genome(const std::string& path, const genome_map& map, int64_t seed) {
  // All three are complete before any of them takes its name.
  atomic_file fa(path), fai(path + ".fai"), gzi(path + ".gzi");
  bgzf_text out(fa);

  // Text in batches of whole lines: a template of N lines, the bases of the
  // loci set into it.
  constexpr int64_t batch_lines = 16384;
  std::string text(static_cast<size_t>(batch_lines * line_bytes), 'N');
  for (int64_t l = 0; l < batch_lines; ++l) text[static_cast<size_t>(l * line_bytes + line_bases)] = '\n';
  const std::string blank = text;

  std::string index;
  uint64_t offset = 0;
  size_t marker = 0, candidate = 0;
  for (int32_t c = 1; c <= map.nchr; ++c) {
    const int64_t length = map.chromosome_base_pairs(c) + 1;
    // The 1-based positions of this chromosome's loci, in order.
    std::vector<int64_t> sites;
    for (; marker < map.markers.size() && map.markers[marker].chromosome == c; ++marker)
      sites.push_back(map.markers[marker].base_pair + 1);
    for (; candidate < map.candidates.size() && map.candidates[candidate].chromosome == c; ++candidate)
      sites.push_back(map.candidates[candidate].base_pair + 1);
    std::sort(sites.begin(), sites.end());
    sites.erase(std::unique(sites.begin(), sites.end()), sites.end());

    const std::string header = ">" + std::to_string(c) + "\n";
    out.put(header.data(), header.size());
    offset += header.size();
    index += std::to_string(c) + "\t" + std::to_string(length) + "\t" + std::to_string(offset) + "\t" +
             std::to_string(line_bases) + "\t" + std::to_string(line_bytes) + "\n";
    const int64_t lines = (length + line_bases - 1) / line_bases;
    size_t s = 0;
    std::vector<size_t> touched;
    for (int64_t first = 0; first < lines; first += batch_lines) {
      const int64_t n = std::min(batch_lines, lines - first);
      const int64_t begin = first * line_bases;  // 0-based position of the batch's first base
      const int64_t end = std::min(length, begin + n * line_bases);
      touched.clear();
      for (; s < sites.size() && sites[s] - 1 < end; ++s) {
        const int64_t p = sites[s] - 1 - begin;
        const size_t at = static_cast<size_t>(p / line_bases * line_bytes + p % line_bases);
        text[at] = bases_at(seed, c, sites[s]).ref;
        touched.push_back(at);
      }
      size_t bytes = static_cast<size_t>(n * line_bytes);
      if (end - begin < n * line_bases) {
        // The last line of the chromosome is shorter.
        const int64_t last = (end - begin) % line_bases;
        bytes = static_cast<size_t>((n - 1) * line_bytes + last + 1);
        text[bytes - 1] = '\n';
        touched.push_back(bytes - 1);
      }
      out.put(text.data(), bytes);
      offset += bytes;
      for (size_t at : touched) text[at] = blank[at];
    }
  }
  out.finish();
  fai.write(index);
  gzi.write(out.index());
  fa.commit();
  fai.commit();
  gzi.commit();
}

}  // namespace qm
