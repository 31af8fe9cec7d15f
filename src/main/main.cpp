// quillmere: a forward-in-time simulator of a breeding population at the
// level of the genome. Reads one parameter file and writes its result files
// into the working directory.
//
//   quillmere                 asks for the parameter-file name
//   quillmere FILE            takes FILE as the parameter file
//   quillmere --threads N     (with or without FILE) uses N threads
//   quillmere --help | --version
//
// Exit status: 0 for a run that ends normally, 1 for every stop, 2 for a
// command line that cannot be understood.
#include <sched.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "main/driver.hpp"
#include "run/messages.hpp"
#include "run/observers.hpp"
#include "run/parameters.hpp"

namespace {

void usage(std::FILE* f) {
  std::fputs(
      "usage: quillmere [--threads N] [PARAMETER_FILE]\n"
      "       quillmere --help | --version\n"
      "\n"
      "Runs the breeding-population simulation described by PARAMETER_FILE and\n"
      "writes its result files and log.txt into the working directory. Without\n"
      "PARAMETER_FILE the program asks for the file name on standard input.\n"
      "\n"
      "  --threads N   number of threads (default: every core the process may use);\n"
      "                the results are identical for every N\n"
      "  --help        this text\n"
      "  --version     the version\n",
      f);
}

// The cores this process may run on.
int default_threads() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    const int n = CPU_COUNT(&set);
    if (n > 0) return n;
  }
  const unsigned n = std::thread::hardware_concurrency();
  return n == 0 ? 1 : static_cast<int>(n);
}

}  // namespace

int main(int argc, char** argv) {
  qm::run_parameters p;
  p.threads = default_threads();
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      usage(stdout);
      return 0;
    }
    if (a == "--version") {
      std::printf("quillmere %s\n", QM_VERSION);
      return 0;
    }
    if (a == "--threads" || a.rfind("--threads=", 0) == 0) {
      std::string v;
      if (a == "--threads") {
        if (i + 1 >= argc) {
          std::fprintf(stderr, "quillmere: --threads needs a number of threads\n");
          return 2;
        }
        v = argv[++i];
      } else {
        v = a.substr(10);
      }
      char* end = nullptr;
      const long n = std::strtol(v.c_str(), &end, 10);
      if (v.empty() || *end != '\0' || n < 1 || n > 1024) {
        std::fprintf(stderr, "quillmere: --threads takes a whole number from 1 to 1024, not '%s'\n", v.c_str());
        return 2;
      }
      p.threads = static_cast<int>(n);
      continue;
    }
    if (a.size() > 1 && a[0] == '-') {
      std::fprintf(stderr, "quillmere: unknown option '%s'\n", a.c_str());
      usage(stderr);
      return 2;
    }
    if (!p.parafile.empty()) {
      std::fprintf(stderr, "quillmere: only one parameter file may be given ('%s' and '%s')\n",
                   p.parafile.c_str(), a.c_str());
      return 2;
    }
    p.parafile = a;
  }
  if (!qm::msg_open_log("log.txt")) {
    std::fprintf(stderr, "quillmere: log.txt cannot be created in the working folder (%s)\n", std::strerror(errno));
    return 1;
  }
  int status = 0;
  try {
    qm::quillmere(p, qm::registered_observers());
  } catch (const qm::run_stop&) {
    status = 1;
  } catch (const std::bad_alloc&) {
    qm::show("Not enough memory for this run: reduce nind, the number of loci or the number of threads.", true);
    status = 1;
  }
  qm::msg_close_log();
  return status;
}
