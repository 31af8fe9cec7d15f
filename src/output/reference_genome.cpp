#include "output/reference_genome.hpp"

#include <htslib/bgzf.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
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

struct bgzf_closer {
  void operator()(BGZF* f) const { bgzf_close(f); }
};

// Removes the temporary files unless released.
struct temp_guard {
  std::vector<std::string> names;
  bool armed = true;
  ~temp_guard() {
    if (armed)
      for (const std::string& n : names) ::unlink(n.c_str());
  }
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
  const std::string fai = path + ".fai", gzi = path + ".gzi";
  const std::string temp = temp_name_of(path), temp_gzi = temp_name_of(gzi);
  temp_guard guard{{temp, temp_gzi}};
  // Level 1: the text is nearly all N, which every level compresses about
  // equally well (some 600-fold).
  std::unique_ptr<BGZF, bgzf_closer> fp(bgzf_open(temp.c_str(), "w1"));
  if (!fp) throw_io_error(path, "created");
  if (bgzf_index_build_init(fp.get()) != 0) throw file_error(path, "Result file " + path + " cannot be indexed: no memory.");
  auto put = [&](const char* p, size_t n) {
    if (bgzf_write(fp.get(), p, n) != static_cast<ssize_t>(n)) throw_io_error(path, "written");
  };

  // Text in batches of whole lines: a template of N lines, the bases of the
  // loci set into it.
  constexpr int64_t batch_lines = 16384;
  std::string text(static_cast<size_t>(batch_lines * (line_bases + 1)), 'N');
  for (int64_t l = 0; l < batch_lines; ++l) text[static_cast<size_t>(l * (line_bases + 1) + line_bases)] = '\n';
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
    put(header.data(), header.size());
    offset += header.size();
    index += std::to_string(c) + "\t" + std::to_string(length) + "\t" + std::to_string(offset) + "\t" +
             std::to_string(line_bases) + "\t" + std::to_string(line_bases + 1) + "\n";
    const int64_t lines = (length + line_bases - 1) / line_bases;
    size_t s = 0;
    for (int64_t first = 0; first < lines; first += batch_lines) {
      const int64_t n = std::min(batch_lines, lines - first);
      const int64_t begin = first * line_bases;        // 0-based position of the batch's first base
      const int64_t end = std::min(length, begin + n * line_bases);
      std::vector<size_t> touched;
      for (; s < sites.size() && sites[s] - 1 < end; ++s) {
        const int64_t p = sites[s] - 1 - begin;
        const size_t at = static_cast<size_t>(p / line_bases * (line_bases + 1) + p % line_bases);
        text[at] = bases_at(seed, c, sites[s]).ref;
        touched.push_back(at);
      }
      size_t bytes = static_cast<size_t>(n * (line_bases + 1));
      if (end - begin < n * line_bases) {
        // The last line of the chromosome is shorter.
        const int64_t last = (end - begin) % line_bases;
        bytes = static_cast<size_t>((n - 1) * (line_bases + 1) + last + 1);
        text[bytes - 1] = '\n';
        touched.push_back(bytes - 1);
      }
      put(text.data(), bytes);
      offset += bytes;
      for (size_t at : touched) text[at] = blank[at];
    }
  }
  if (bgzf_flush(fp.get()) != 0) throw_io_error(path, "written");
  if (bgzf_index_dump(fp.get(), temp_gzi.c_str(), nullptr) != 0) throw_io_error(gzi, "written");
  if (bgzf_close(fp.release()) != 0) throw_io_error(path, "closed");
  atomic_file ffai(fai);
  ffai.write(index);
  ffai.commit();
  commit_rename(temp, path);
  guard.names = {temp_gzi};
  commit_rename(temp_gzi, gzi);
  guard.armed = false;
}

}  // namespace qm
