// One run per output folder.
//
// A run holds an exclusive lock (flock) on the file ".quillmere.lock" inside
// its output folder from before it looks at the folder's files until its
// end; the file holds the process number of the holder. A second run that
// finds the folder locked stops at once and can say which process holds it.
// The lock file is removed by its holder at the end; one left by a killed
// run is taken over, since the kernel releases the lock of a process that
// ends in any way.
#pragma once
#include <string>

namespace qm {

inline constexpr const char* folder_lock_name = ".quillmere.lock";

class folder_lock {
 public:
  folder_lock() = default;
  ~folder_lock();
  folder_lock(folder_lock&& other) noexcept;
  folder_lock& operator=(folder_lock&& other) noexcept;
  folder_lock(const folder_lock&) = delete;
  folder_lock& operator=(const folder_lock&) = delete;

  // Takes the lock of folder ("" for the working folder). On failure the
  // lock is not held and why says what happened: the process number of
  // the holder when another process holds it ("process 1234"), or the
  // system's reason.
  bool take(const std::string& folder, std::string& why, bool& held_by_other);
  bool held() const { return fd_ >= 0; }
  // Removes the lock file and releases the lock (also done on destruction).
  void release();

 private:
  int fd_ = -1;
  std::string path_;
};

}  // namespace qm
