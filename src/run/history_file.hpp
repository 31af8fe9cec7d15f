// The history file: the complete state of a run at the end of stage 1, so
// that later runs can start at stage 2 from it (--save-history,
// --from-history). docs/history_format.md describes every byte.
//
// Layout: a 56-byte header (magic, format version, section count, file
// size, program version), nine sections in a fixed order (tag, length,
// payload, zero padding to a multiple of 8 bytes), and the SHA-256 of
// everything before it. All numbers are little-endian and of fixed width;
// haplotypes are stored at one bit per locus (population/haplotype_bits).
// This file frames the sections; each type of the state encodes and
// decodes its own payload beside its own code (stage1_record,
// random_stream, genome_map, population and haplotype_matrix in
// population/population_codec.hpp, pedigree_history).
//
// Reading checks, in this order: the magic, the format version, the size
// the header gives against the size of the file, the checksum, the program
// version, then every section and every length in it against the bytes
// that are left, and the consistency of the parts. Any failure is a
// history_error whose message names the file, says what is wrong and what
// to do; nothing is allocated from a length before it is checked. The
// sections are read one at a time and decoded as they come, the checksum
// made on the way; its verdict is given before any fault of a section, and
// nothing is returned before it. The checksum has no key: it finds damage,
// not a file changed on purpose and sealed again. What the values mean (a
// map, a population, a pedigree that stage 1 can leave, for the parameter
// file of the run) is checked by check_history_fits (run/history_state).
#pragma once
#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "population/genome_map.hpp"
#include "population/pedigree_history.hpp"
#include "population/population.hpp"
#include "random/stream.hpp"
#include "run/stage1_record.hpp"

namespace qm {

inline constexpr uint32_t history_format_version = 1;
inline constexpr char history_magic[8] = {'\x89', 'Q', 'M', 'H', '\r', '\n', '\x1a', '\n'};
inline constexpr size_t history_header_bytes = 56;
inline constexpr size_t history_checksum_bytes = 32;
inline constexpr size_t history_version_bytes = 32;  // program version field

struct history_error : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// What an observer or the log needs again, besides the state.
struct history_extras {
  std::string log_text, console_text;                  // what stage 1 wrote to log.txt and the console
  std::map<std::string, std::string> observer_sections;  // by observer
};

// The parts of a run at the end of stage 1, by reference, for saving.
struct history_source {
  const std::string& parameter_file;
  int64_t replicate;  // --replicate of the run that makes the file
  const std::vector<stage1_record>& records;
  const random_stream& rng;
  bool mutation_on;
  const genome_map& map;
  const population& pop;
  const pedigree_history& pedigree;
  const history_extras& extras;
};

// A history file as read.
struct saved_history {
  std::string file;             // where it was read from
  std::string program_version;  // of the program that wrote it
  std::string parameter_file;   // the parameter file it was made from
  int64_t replicate = 0;
  std::vector<stage1_record> records;
  random_stream rng;
  bool mutation_on = false;
  genome_map map;
  population pop;
  pedigree_history pedigree;
  history_extras extras;
};

// The bytes of the file for s. history_error when a locus of a haplotype
// holds an allele other than 1 or 2.
std::string encode_history(const history_source& s);
// Writes encode_history(s) to path through a temporary file (atomic_file);
// history_error or file_error on failure.
void write_history_file(const std::string& path, const history_source& s);

// Reads bytes as a history file; name is the file's name in messages.
saved_history decode_history(std::string_view bytes, const std::string& name);
// Reads the file at path (regular files only): the header is read and
// checked first, the rest only when the header's size is the file's, a
// section at a time (the memory it takes beyond the state: the largest
// section).
saved_history read_history_file(const std::string& path);

// Size in bytes of the history file of a run with n haplotype loci etc.:
// the exact size of everything but the texts (log, console, observer
// sections), for which a typical size per generation is assumed.
int64_t history_file_bytes(int64_t nind, int64_t markers, int64_t candidate_loci, int64_t generations);
// The most bytes such a file can have: history_file_bytes with room for
// long texts (the name of the parameter file, and the log, the console and
// the observers' entries of stage 1 at up to 1 KB a generation besides
// 256 KB). A larger file is not a history of these sizes.
int64_t most_history_file_bytes(int64_t nind, int64_t markers, int64_t candidate_loci, int64_t generations);

}  // namespace qm
