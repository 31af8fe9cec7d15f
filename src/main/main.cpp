// quillmere: a forward-in-time simulator of a breeding population at the
// level of the genome. Reads one parameter file and writes its result files
// into the output folder. See options.hpp for the command line.
//
// Exit status: 0 for a run that ends normally, 1 for every stop, 2 for a
// command line that cannot be understood.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "main/driver.hpp"
#include "run/options.hpp"
#include "output/paths.hpp"
#include "run/interrupt.hpp"
#include "run/memory_estimate.hpp"
#include "run/messages.hpp"
#include "run/observers.hpp"
#include "run/parameters.hpp"

namespace {

// The output folder: created when missing; result files of an earlier run
// stop the run before it starts unless --overwrite removes them. Returns
// false (after a message on standard error) when the run cannot start.
bool prepare_output_folder(const qm::run_options& o) {
  if (o.outdir.empty()) return true;
  std::error_code ec;
  std::filesystem::create_directories(o.outdir, ec);
  if (ec || !std::filesystem::is_directory(o.outdir)) {
    std::fprintf(stderr, "quillmere: the output folder %s cannot be created (%s). Name a folder you may write in.\n",
                 o.outdir.c_str(), ec ? ec.message().c_str() : "not a folder");
    return false;
  }
  const std::vector<std::string> old = qm::run_files_in(o.outdir);
  if (old.empty()) return true;
  if (!o.overwrite) {
    std::string names;
    for (size_t k = 0; k < old.size() && k < 12; ++k) names += (k ? ", " : "") + old[k];
    if (old.size() > 12) names += ", ... (" + std::to_string(old.size()) + " files)";
    std::fprintf(stderr,
                 "quillmere: the output folder %s holds files of an earlier run: %s.\n"
                 "Choose another --outdir, or give --overwrite to remove them first.\n",
                 o.outdir.c_str(), names.c_str());
    return false;
  }
  for (const std::string& n : old) {
    if (!std::filesystem::remove(std::filesystem::path(o.outdir) / n, ec) || ec) {
      std::fprintf(stderr, "quillmere: %s/%s of an earlier run cannot be removed (%s).\n", o.outdir.c_str(), n.c_str(),
                   ec.message().c_str());
      return false;
    }
  }
  return true;
}


// --check: every problem of the parameter file and the memory estimate, on
// standard output; exit status 0 when there is none, 1 otherwise.
int check_only(const qm::run_options& o) {
  qm::run_parameters p;
  p.parafile = o.parafile;
  p.threads = o.threads;
  p.max_memory_bytes = o.max_memory_mb << 20;
  p.gblup_generations = o.gblup_generations;
  std::vector<std::string> problems;
  try {
    problems = qm::check_parameters(p);
    if (problems.empty()) qm::check_memory_estimate(p);
  } catch (const qm::run_stop& e) {
    problems.push_back(e.what());
  }
  if (problems.empty()) {
    std::printf("%s: no problem found; the run needs about %lld MB of memory.\n", p.parafile.c_str(),
                static_cast<long long>((qm::estimate_peak_memory(p) + (1 << 20) - 1) >> 20));
    return 0;
  }
  std::printf("%s: %zu problem%s found:\n", p.parafile.c_str(), problems.size(), problems.size() > 1 ? "s" : "");
  for (const std::string& m : problems) std::printf("  %s\n", m.c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  qm::run_options o;
  if (const std::optional<int> rc = qm::parse_options(argc, argv, o)) return *rc;
  if (o.check_only) {
    qm::msg_set_console(stderr);  // messages of a file that cannot be read
    return check_only(o);
  }
  if (!prepare_output_folder(o)) return 1;
  qm::set_output_folder(o.outdir);

  qm::run_parameters p;
  p.parafile = o.parafile;
  p.threads = o.threads;
  p.seed_from_command_line = o.seed;
  p.max_memory_bytes = o.max_memory_mb << 20;
  p.gblup_generations = o.gblup_generations;
  const std::string log = qm::output_path("log.txt");
  if (!qm::msg_open_log(log.c_str())) {
    std::fprintf(stderr, "quillmere: %s cannot be created (%s). Check the permissions of the output folder.\n",
                 log.c_str(), std::strerror(errno));
    return 1;
  }
  qm::install_signal_handlers();
  int status = 0;
  try {
    qm::quillmere(p, qm::registered_observers(o));
  } catch (const qm::run_stop& e) {
    status = e.signal != 0 ? 128 + e.signal : 1;
  } catch (const std::bad_alloc&) {
    qm::show("Not enough memory for this run: reduce nind, the number of loci or the number of threads.", true);
    status = 1;
  }
  if (!qm::msg_close_log()) {
    std::fprintf(stderr, "quillmere: %s cannot be written. Check the free space of the output folder.\n", log.c_str());
    if (status == 0) status = 1;
  }
  return status;
}
