#include "base/folder_lock.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "support.hpp"

namespace {

// A child process that takes the lock of folder and waits to be killed;
// returns its process number once it holds the lock.
pid_t holder_in_child(const std::string& folder) {
  int ready[2];
  if (::pipe(ready) != 0) return -1;
  const pid_t pid = ::fork();
  if (pid == 0) {
    qm::folder_lock lock;
    std::string why;
    bool busy = false;
    const char ok = lock.take(folder, why, busy) ? 'y' : 'n';
    if (::write(ready[1], &ok, 1) != 1) ::_exit(2);
    ::pause();
    ::_exit(0);
  }
  char ok = 'n';
  const bool got = ::read(ready[0], &ok, 1) == 1;
  ::close(ready[0]);
  ::close(ready[1]);
  return got && ok == 'y' ? pid : -1;
}

TEST(FolderLock, ASecondTakerIsRefusedAndToldTheHolder) {
  qmtest::tempdir td;
  std::filesystem::create_directories("out");
  const pid_t holder = holder_in_child("out");
  ASSERT_GT(holder, 0);
  qm::folder_lock lock;
  std::string why;
  bool busy = false;
  EXPECT_FALSE(lock.take("out", why, busy));
  EXPECT_TRUE(busy);
  EXPECT_EQ(why, "process " + std::to_string(holder));
  EXPECT_FALSE(lock.held());

  // A holder that is killed leaves its lock file, but not its lock.
  ::kill(holder, SIGKILL);
  ::waitpid(holder, nullptr, 0);
  EXPECT_TRUE(qmtest::file_exists(std::string("out/") + qm::folder_lock_name));
  EXPECT_TRUE(lock.take("out", why, busy)) << why;
  EXPECT_EQ(qmtest::read_file(std::string("out/") + qm::folder_lock_name), std::to_string(::getpid()) + "\n");

  // A taker in the same process with its own lock is refused as well.
  qm::folder_lock second;
  EXPECT_FALSE(second.take("out", why, busy));
  EXPECT_TRUE(busy);

  // Released: the file goes, and the folder can be taken again.
  lock.release();
  EXPECT_FALSE(qmtest::file_exists(std::string("out/") + qm::folder_lock_name));
  EXPECT_TRUE(second.take("out", why, busy));
}

TEST(FolderLock, AFolderThatCannotHoldTheFileSaysWhy) {
  qmtest::tempdir td;
  qm::folder_lock lock;
  std::string why;
  bool busy = true;
  EXPECT_FALSE(lock.take("no-such-folder", why, busy));
  EXPECT_FALSE(busy);
  EXPECT_NE(why.find("No such file"), std::string::npos) << why;
  // A link in place of the lock file is not followed.
  std::filesystem::create_directories("out");
  qmtest::write_file("elsewhere.txt", "kept");
  std::filesystem::create_symlink("../elsewhere.txt", std::string("out/") + qm::folder_lock_name);
  EXPECT_FALSE(lock.take("out", why, busy));
  EXPECT_EQ(qmtest::read_file("elsewhere.txt"), "kept");
}

}  // namespace
