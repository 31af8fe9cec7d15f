#include "base/sha256.hpp"

#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <stdexcept>

#include "base/atomic_file.hpp"
#include "base/page_pool.hpp"

namespace qm {

namespace {

struct ctx_free {
  void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};
using ctx_ptr = std::unique_ptr<EVP_MD_CTX, ctx_free>;

ctx_ptr start() {
  ctx_ptr c(EVP_MD_CTX_new());
  if (!c || EVP_DigestInit_ex(c.get(), EVP_sha256(), nullptr) != 1)
    throw std::runtime_error("SHA-256 is not available from the OpenSSL library.");
  return c;
}

void update(EVP_MD_CTX* c, const void* p, size_t n) {
  if (EVP_DigestUpdate(c, p, n) != 1) throw std::runtime_error("SHA-256 update failed in the OpenSSL library.");
}

std::string finish(EVP_MD_CTX* c) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  if (EVP_DigestFinal_ex(c, md, &n) != 1) throw std::runtime_error("SHA-256 final step failed in the OpenSSL library.");
  static const char hex[] = "0123456789abcdef";
  std::string s(2 * n, '0');
  for (unsigned int i = 0; i < n; ++i) {
    s[2 * i] = hex[md[i] >> 4];
    s[2 * i + 1] = hex[md[i] & 15];
  }
  return s;
}

}  // namespace

struct sha256_stream::context {
  ctx_ptr c = start();
};

sha256_stream::sha256_stream() : c_(std::make_unique<context>()) {}
sha256_stream::~sha256_stream() = default;
void sha256_stream::add(std::string_view bytes) { update(c_->c.get(), bytes.data(), bytes.size()); }
std::string sha256_stream::hex() { return finish(c_->c.get()); }

std::string sha256_hex(std::string_view bytes) {
  ctx_ptr c = start();
  update(c.get(), bytes.data(), bytes.size());
  return finish(c.get());
}

std::string sha256_file(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    const std::string why = std::strerror(errno);
    throw file_error(path, "File " + path + " cannot be opened to compute its SHA-256 (" + why + ").");
  }
  struct closer {
    int fd;
    ~closer() { ::close(fd); }
  } close_at_end{fd};
  ctx_ptr c = start();
  constexpr size_t chunk = size_t{1} << 20;
  page_array<char> buf(chunk);  // pages of the text blocks written before
  for (;;) {
    const ssize_t k = ::read(fd, buf.get(), chunk);
    if (k < 0) {
      if (errno == EINTR) continue;
      const std::string why = std::strerror(errno);
      throw file_error(path, "File " + path + " cannot be read to compute its SHA-256 (" + why + ").");
    }
    if (k == 0) break;
    update(c.get(), buf.get(), static_cast<size_t>(k));
  }
  return finish(c.get());
}

}  // namespace qm
