// Helpers shared by the tests.
#pragma once
#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "base/byte_codec.hpp"
#include "config/parameters.hpp"
#include "run/observer.hpp"
#include "run/run_state.hpp"

namespace qmtest {

// Makes a fresh empty folder the working directory for the life of the
// object (the simulator writes its files into the working directory).
struct tempdir {
  std::string path, old;
  tempdir();
  ~tempdir();
};

// Sends the console lines of the simulator to a temporary file for the
// life of the object; text() returns what was written so far.
struct console_capture {
  std::FILE* f;
  console_capture();
  ~console_capture();
  std::string text();
};

// Runs the program with args (a shell command line's words) in the working
// folder, standard output to stdout.txt and standard error to stderr.txt,
// nothing on standard input; its exit status (-1 when it did not exit).
int run_program(const std::string& args);

// Writes a scheme as dir/name.toml and runs it into the folder dir/name
// (--quiet, then options), the console in dir/name.out; its exit status.
int run_scheme_in(const std::string& dir, const std::string& name, const std::string& text,
                  const std::string& options = "");

// The message of the invariant_error that f throws ("" when none).
std::string invariant_fault(const std::function<void()>& f);

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& text);
bool file_exists(const std::string& path);
// The columns of a summary.csv by name, one vector per column (NA as NaN).
std::map<std::string, std::vector<double>> summary_columns(const std::string& file);

// A valid parameter file (one trait, 4 chromosomes of 11 markers, three
// stages) whose records can be changed with set_record before it is written.
std::string small_par();
// Replaces record n (1-based) of a parameter text.
std::string set_record(const std::string& par, int n, const std::string& line);

// Writes par to "param.par" in the working directory and reads it with
// read_parameters into p (console lines go to the capture when one is active).
void load_par(qm::run_parameters& p, const std::string& par);

// A run set up from a parameter text as the driver sets it up: param.par
// written and read, the map built and the base generation made. The stages
// can then be run one by one as the driver runs them. Not copyable: the run
// state refers to the parameters.
struct run_setup {
  qm::run_parameters params;
  qm::run_state st{params};

  explicit run_setup(const std::string& par, int threads = 1,
                     const qm::observer_list& observers = qm::observer_list{});
  run_setup(const run_setup&) = delete;
  run_setup& operator=(const run_setup&) = delete;

  qm::population& pop() { return st.pop; }
  // Every generation of stage s, as the driver makes them (a later stage's
  // block is checked as it begins).
  void run_stage(int s, const qm::observer_list& observers = qm::observer_list{});
};

// SHA-256 of a byte string, as 64 lowercase hex digits.
std::string sha256(const std::string& bytes);

// Fields of a saved layout spelled out by hand, for expected bytes that do
// not come from the encoder under test: the low n bytes of v, least
// significant first; a double as its IEEE bits in 8 such bytes; a text as
// its length (8 bytes) and its bytes.
std::string le(uint64_t v, int n);
std::string le_f64(double v);
std::string le_text(const std::string& s);

// History files edited on purpose, walked by the documented layout (a
// 56-byte header, sections of tag, reserved word, length, payload and zero
// padding to 8 bytes, a SHA-256 trailer): the payload of the section with
// tag; the file with that payload replaced, its frame, padding, the size in
// the header and the trailer made again; the trailer made again after an
// edit in place. The digest is the tests' own SHA-256.
std::string history_payload(const std::string& file, const std::string& tag);
std::string with_history_payload(const std::string& file, const std::string& tag, const std::string& payload);
void reseal_history(std::string& file);

// The message of the decode_error that decode(reader) throws on bytes, ""
// when it throws none (any other exception goes through to the test).
template <class Decode>
std::string decode_failure(const std::string& bytes, Decode decode) {
  qm::byte_reader r(bytes, "the data");
  try {
    decode(r);
  } catch (const qm::decode_error& e) {
    return e.what();
  }
  return "";
}

// The first length n < bytes.size() whose prefix decode reads without a
// decode_error, or -1 when every cut is refused.
template <class Decode>
int64_t first_cut_accepted(const std::string& bytes, Decode decode) {
  for (size_t n = 0; n < bytes.size(); ++n)
    if (decode_failure(bytes.substr(0, n), decode).empty()) return static_cast<int64_t>(n);
  return -1;
}

}  // namespace qmtest
