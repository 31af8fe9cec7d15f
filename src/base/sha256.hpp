// SHA-256 digests (OpenSSL libcrypto), as 64 lowercase hexadecimal digits.
#pragma once
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace qm {

// Digest of bytes in memory.
std::string sha256_hex(std::string_view bytes);
// Digest of a file, read from disk in large blocks; file_error
// (run/atomic_file.hpp) naming it when it cannot be opened or read.
std::string sha256_file(const std::string& path);

// A digest made piece by piece, for data read in parts: add(a); add(b)
// gives the digest of a + b. hex() ends it; add after hex() is an error.
class sha256_stream {
 public:
  sha256_stream();
  ~sha256_stream();
  sha256_stream(const sha256_stream&) = delete;
  sha256_stream& operator=(const sha256_stream&) = delete;
  void add(std::string_view bytes);
  std::string hex();

 private:
  struct context;
  std::unique_ptr<context> c_;
};

}  // namespace qm
