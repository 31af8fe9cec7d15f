// The files an output folder holds before a run starts, sorted into those of
// an earlier run, those --overwrite may remove, and those in the way.
//
// A folder with a run.json is a recorded folder: its earlier run is the
// files that run.json lists, and --overwrite removes each of them only while
// its size and SHA-256 are still those recorded (a file changed since is the
// user's now), together with run.json itself and that run's leftovers under
// temporary names. A folder without one (written by an older build, or by a
// run that was killed) is a classic folder: only the names this run's
// observers declare count as an earlier run's. Nothing else in the folder is
// touched, and never a file named on the command line (the parameter file,
// the history read), a symbolic link or anything but a regular file.
#pragma once
#include <string>
#include <vector>

#include "base/output_folder.hpp"

namespace qm {

struct folder_survey {
  bool recorded = false;               // the folder's run.json could be read
  // The recorded run stopped having written nothing but log.txt (a run that
  // could not start): its files may be replaced without --overwrite.
  bool stopped_before_results = false;
  std::vector<std::string> earlier;    // files of an earlier run
  std::vector<std::string> removable;  // what --overwrite removes (run.json last)
  std::vector<std::string> changed;    // listed in run.json, changed since: kept
  std::vector<std::string> in_the_way; // files this run writes that --overwrite may not remove
};

// Sorts the entries of folder. named_files: paths named on the command line,
// which are never removable. check_contents: compare the listed files' sizes
// and SHA-256 with the record (needed only to remove them). All lists are
// sorted by name, except that run.json comes last in removable.
folder_survey survey_output_folder(const output_folder& folder, const run_files& files,
                                   const std::vector<std::string>& named_files, bool check_contents);

}  // namespace qm
