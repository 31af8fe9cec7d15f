// The folder that receives every file of the run (the working folder unless
// the command line names another). Set once before the run starts.
#pragma once
#include <string>
#include <string_view>

namespace qm {

void set_output_folder(std::string folder);
const std::string& output_folder();
// name inside the output folder.
std::string output_path(std::string_view name);

}  // namespace qm
