#include "base/sha256.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>

#include "base/atomic_file.hpp"
#include "support.hpp"

namespace {

// The test vectors published with the algorithm.
TEST(Sha256, PublishedVectors) {
  EXPECT_EQ(qm::sha256_hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(qm::sha256_hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(qm::sha256_hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  EXPECT_EQ(qm::sha256_hex(std::string(1000000, 'a')),
            "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(Sha256, FilesAgreeWithSha256sum) {
  qmtest::tempdir dir;
  qmtest::write_file("empty", "");
  qmtest::write_file("abc", "abc");
  // Several read blocks and a partial one.
  std::mt19937 rng(5);
  std::string big(3 * (1 << 20) + 12345, '\0');
  for (char& c : big) c = static_cast<char>(rng());
  qmtest::write_file("big", big);
  EXPECT_EQ(qm::sha256_file("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  for (const char* f : {"empty", "abc", "big"}) {
    std::FILE* p = popen((std::string("sha256sum ") + f).c_str(), "r");
    ASSERT_NE(p, nullptr);
    char line[200] = {};
    ASSERT_NE(std::fgets(line, sizeof line, p), nullptr);
    ASSERT_EQ(pclose(p), 0);
    EXPECT_EQ(qm::sha256_file(f), std::string(line, 64)) << f;
  }
  EXPECT_EQ(qm::sha256_file("big"), qm::sha256_hex(big));
  try {
    qm::sha256_file("missing.txt");
    ADD_FAILURE() << "no error for a missing file";
  } catch (const qm::file_error& e) {
    EXPECT_EQ(e.file, "missing.txt");
    EXPECT_NE(std::string(e.what()).find("missing.txt cannot be opened"), std::string::npos) << e.what();
  }
  // A folder opens but cannot be read.
  EXPECT_THROW(qm::sha256_file("."), qm::file_error);
}

// Pieces of any size, the empty one among them, give the digest of the
// whole: the published million-'a' vector cut at random points.
TEST(Sha256, PiecesGiveTheDigestOfTheWhole) {
  std::mt19937 rng(17);
  for (int trial = 0; trial < 20; ++trial) {
    qm::sha256_stream s;
    size_t left = 1000000;
    while (left > 0) {
      const size_t n = std::min<size_t>(left, rng() % (trial < 10 ? 200 : 300000));
      s.add(std::string(n, 'a'));
      left -= n;
    }
    EXPECT_EQ(s.hex(), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0") << trial;
  }
  qm::sha256_stream empty;
  EXPECT_EQ(empty.hex(), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

}  // namespace
