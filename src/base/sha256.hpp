// SHA-256 digests (OpenSSL libcrypto), as 64 lowercase hexadecimal digits.
#pragma once
#include <cstddef>
#include <string>
#include <string_view>

namespace qm {

// Digest of bytes in memory.
std::string sha256_hex(std::string_view bytes);
// Digest of a file, read from disk in large blocks; file_error
// (run/atomic_file.hpp) naming it when it cannot be opened or read.
std::string sha256_file(const std::string& path);

}  // namespace qm
