// Helpers shared by the tests.
#pragma once
#include <cstdio>
#include <string>

#include "run/state.hpp"

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

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& text);
bool file_exists(const std::string& path);

// A valid parameter file (one trait, 4 chromosomes of 11 markers, three
// stages) whose records can be changed with set_record before it is written.
std::string small_par();
// Replaces record n (1-based) of a parameter text.
std::string set_record(const std::string& par, int n, const std::string& line);

// Writes par to "param.par" in the working directory and reads it with
// readpara into p (console lines go to the capture when one is active).
void load_par(qm::popstate& p, const std::string& par);

// SHA-256 of a byte string, as 64 lowercase hex digits.
std::string sha256(const std::string& bytes);

}  // namespace qmtest
