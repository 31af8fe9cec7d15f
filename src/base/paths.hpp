// The folder that receives every file of the run (the working folder unless
// the command line names another). Set once before the run starts.
#pragma once
#include <string>
#include <string_view>
#include <vector>

namespace qm {

void set_output_folder(std::string folder);
const std::string& output_folder();
// name inside the output folder.
std::string output_path(std::string_view name);

// Whether name is one of the files a run writes (result files, log.txt and
// the files beside them), or one left half-written by a stopped run.
bool is_run_file(std::string_view name);
// The run files found in folder, sorted by name.
std::vector<std::string> run_files_in(const std::string& folder);

}  // namespace qm
