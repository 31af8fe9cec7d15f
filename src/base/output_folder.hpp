// The folder that receives the files of a run, and the names of those files.
//
// Every writer of a run names its files inside the run's output_folder (the
// working folder unless the command line names another), which it is given
// when it is made. The observers of a run declare the files they write: the
// names for one run (a file_plan) and the shapes of the names they write in
// any run (file_name_pattern), from which a folder's files of an earlier run
// are told apart from the user's own.
#pragma once
#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace qm {

class output_folder {
 public:
  output_folder() = default;
  // Trailing slashes are dropped; "" and "." are the working folder.
  explicit output_folder(std::string path);
  // As given ("" for the working folder).
  const std::string& path() const { return path_; }
  // name inside the folder (name itself in the working folder).
  std::string file(std::string_view name) const;
  // The folder to list ("." for the working folder).
  std::string directory() const { return path_.empty() ? "." : path_; }

 private:
  std::string path_;
};

// The name of a file of generation g: "05" + name for generation 5, plain
// digits from 100 on.
std::string result_name(int64_t g, std::string_view name);

// Names for a message: the first 12 joined by ", ", then ", ... (N files)"
// when there are more.
std::string list_of_names(const std::vector<std::string>& names);

// NAME for NAME.tmp, the temporary name of a file being written; empty
// for every other name.
std::string_view final_name_of(std::string_view name);

// The shape of the names of one kind of file: a fixed name ("QMAP.out"), or
// a generation number as result_name writes it followed by a fixed part
// ("MTYPE.out" for "05MTYPE.out" and "123MTYPE.out").
struct file_name_pattern {
  std::string name;
  bool numbered = false;
  bool matches(std::string_view file) const;
};

// The files a run writes into its output folder.
struct file_plan {
  std::set<std::string> names;    // what a complete run leaves
  std::set<std::string> passing;  // written on the way and gone at the end (besides NAME.tmp of every name)
  // Whether the run writes a file of this name, to keep or on the way.
  bool writes(std::string_view file) const;
};

// The files of a run in its output folder.
struct run_files {
  file_plan planned;                        // this run's
  std::vector<file_name_pattern> patterns;  // the shapes of the names any run writes
  // Whether a file of this name may be one a run wrote: it has the shape of
  // one, or is the temporary name (NAME.tmp) of one left by a stopped run.
  bool is_run_file(std::string_view name) const;
  // The regular files of folder that are run files, sorted by name.
  std::vector<std::string> found_in(const std::string& folder) const;
};

}  // namespace qm
