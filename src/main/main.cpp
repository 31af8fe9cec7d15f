// quillmere: a forward-in-time simulator of a breeding population at the
// level of the genome. Reads one parameter file and writes its result files
// into the output folder. See options.hpp for the command line.
//
// Exit status: 0 for a run that ends normally, 1 for every stop, 2 for a
// command line that cannot be understood.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>

#include "base/atomic_file.hpp"
#include "base/folder_lock.hpp"
#include "base/interrupt.hpp"
#include "base/messages.hpp"
#include "base/output_folder.hpp"
#include "config/options.hpp"
#include "config/parameters.hpp"
#include "config/scheme_convert.hpp"
#include "main/observers.hpp"
#include "output/earlier_run.hpp"
#include "output/progress.hpp"
#include "output/size_estimate.hpp"
#include "output/run_record.hpp"
#include "run/driver.hpp"
#include "run/history_file.hpp"
#include "run/history_state.hpp"
#include "run/memory_estimate.hpp"
#include "run/work_estimate.hpp"
#include "stats/merge.hpp"

namespace {

// The run-wide settings of the command line in a fresh set of parameters.
qm::run_parameters parameters_of(const qm::run_options& o) {
  qm::run_parameters p;
  p.parafile = o.parafile;
  p.threads = o.threads;
  p.seed_from_command_line = o.seed;
  p.replicate = o.replicate;
  p.max_memory_bytes = o.max_memory_mb << 20;
  p.gblup_generations = o.gblup_generations;
  p.packed_genome = o.genome_layout != "bytes";
  p.save_history = o.save_history;
  p.from_history = o.from_history;
  return p;
}

// The parameters read without a word on the console, to plan the run before
// it starts; false when they cannot be read or the run does not fit the
// memory (the run stops on that itself, in its log).
bool read_quietly(qm::run_parameters& p) {
  std::FILE* quiet = std::fopen("/dev/null", "w");
  if (quiet) qm::msg_set_console(quiet);
  bool readable = true;
  try {
    qm::read_parameters(p);
    qm::check_memory_estimate(p, qm::history_sizing::of_parameters);
  } catch (const qm::run_stop&) {
    readable = false;
  }
  qm::msg_set_console(nullptr);
  if (quiet) std::fclose(quiet);
  return readable;
}

// The output folder: created when missing and locked for this run. Files of
// an earlier run stop the run before it starts unless --overwrite removes
// them; --overwrite removes only what an earlier run wrote, and a file this
// run would replace that it may not remove stops the run before anything is
// removed. Returns false (after a message on standard error) when the run
// cannot start.
bool prepare_output_folder(const qm::run_options& o, const qm::observer_list& observers, qm::folder_lock& lock) {
  std::error_code ec;
  if (!o.outdir.empty()) {
    std::filesystem::create_directories(o.outdir, ec);
    if (ec || !std::filesystem::is_directory(o.outdir)) {
      std::fprintf(stderr, "quillmere: the output folder %s cannot be created (%s). Name a folder you may write in.\n",
                   o.outdir.c_str(), ec ? ec.message().c_str() : "not a folder");
      return false;
    }
  }
  const qm::output_folder folder(o.outdir);
  std::string why;
  bool busy = false;
  if (!lock.take(o.outdir, why, busy)) {
    if (busy) {
      std::fprintf(stderr,
                   "quillmere: the output folder %s is in use by another run (%s). Wait until that run has ended, "
                   "or choose another --outdir.\n",
                   folder.directory().c_str(), why.c_str());
      return false;
    }
    std::fprintf(stderr, "quillmere: the output folder %s cannot be locked for this run (%s). Name a folder you may write in.\n",
                 folder.directory().c_str(), why.c_str());
    return false;
  }
  if (o.outdir.empty()) return true;  // the working folder: a warning in the run names earlier files

  qm::run_parameters p = parameters_of(o);
  if (!p.parafile.empty()) read_quietly(p);
  const qm::run_files files = observers.files_of(p);
  qm::folder_survey survey = qm::survey_output_folder(folder, files, {o.parafile, o.from_history}, o.overwrite);
  // The log and record of a run that stopped before writing any result are
  // replaced as --overwrite would: they hold no results to protect.
  const bool overwrite = o.overwrite || (survey.recorded && survey.stopped_before_results);
  if (overwrite && !o.overwrite)
    survey = qm::survey_output_folder(folder, files, {o.parafile, o.from_history}, true);
  if (!overwrite && !survey.earlier.empty()) {
    std::fprintf(stderr,
                 "quillmere: the output folder %s holds files of an earlier run: %s.\n"
                 "Choose another --outdir, or give --overwrite to remove them first.\n",
                 o.outdir.c_str(), qm::list_of_names(survey.earlier).c_str());
    return false;
  }
  if (!survey.in_the_way.empty()) {
    std::fprintf(stderr,
                 "quillmere: the output folder %s holds %s, which this run would replace but which %s. "
                 "Move %s away, or choose another --outdir.\n",
                 o.outdir.c_str(), qm::list_of_names(survey.in_the_way).c_str(),
                 overwrite ? "--overwrite may not remove (not written by an earlier run as it is now, not a "
                               "regular file, or named on the command line)"
                             : "no earlier run wrote (not a regular file, or named on the command line)",
                 survey.in_the_way.size() > 1 ? "them" : "it");
    return false;
  }
  if (!overwrite) return true;
  for (const std::string& n : survey.changed)
    std::fprintf(stderr, "quillmere: kept %s/%s: it has changed since the earlier run wrote it.\n", o.outdir.c_str(),
                 n.c_str());
  for (const std::string& n : survey.removable) {
    if (!std::filesystem::remove(folder.file(n), ec) || ec) {
      std::fprintf(stderr, "quillmere: %s of an earlier run cannot be removed (%s).\n", folder.file(n).c_str(),
                   ec ? ec.message().c_str() : "gone meanwhile");
      return false;
    }
  }
  return true;
}

// --from-history: the history is read and checked against the parameter
// file before anything is written, so that a damaged, edited or unfitting
// history, or one too large for the memory, stops the run with no file made
// (message on standard error, false). A parameter file that cannot be read,
// or a run too large for the memory with a history of its own size, leaves
// the history to the run, which stops on that first, in its log.
bool read_history_before_run(qm::run_options& o, const qm::observer_list& observers,
                             std::optional<qm::saved_history>& out) {
  if (o.parafile.empty()) o.parafile = qm::askfile(stdin);
  qm::run_parameters p = parameters_of(o);
  const bool readable = read_quietly(p);
  if (!readable) return true;
  try {
    out.emplace(qm::read_history_for_run(p, observers));
  } catch (const qm::history_error& e) {
    std::fprintf(stderr, "quillmere: %s\n", e.what());
    return false;
  } catch (const std::bad_alloc&) {
    std::fprintf(stderr, "quillmere: there is not enough memory to read the history file %s.\n", o.from_history.c_str());
    return false;
  }
  return true;
}

// "h:mm:ss" of whole seconds.
std::string clock_text(double seconds) {
  const long s = static_cast<long>(seconds + 0.5);
  char b[32];
  std::snprintf(b, sizeof b, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
  return b;
}

// The estimated bytes of the run's files and its time, as --check prints them.
void print_estimates(const qm::run_options& o, const qm::run_parameters& p) {
  const qm::size_estimate e = qm::estimate_file_sizes(p, o.output);
  int64_t per_generation = 0;
  for (const auto& [kind, k] : e.kinds) per_generation += k.per_generation;
  std::printf("  files: about %s in all, %s a generation with files (--files %s, --generations %s):\n",
              qm::byte_text(e.total).c_str(), qm::byte_text(per_generation).c_str(), o.output.kinds_text().c_str(),
              o.output.generations.text().c_str());
  for (const std::string& kind : qm::output_kinds()) {
    const auto it = e.kinds.find(kind);
    if (it == e.kinds.end()) continue;
    std::printf("    %-11s %10s  (%lld generation%s, %s each)\n", kind.c_str(), qm::byte_text(it->second.total).c_str(),
                static_cast<long long>(it->second.generations), it->second.generations == 1 ? "" : "s",
                qm::byte_text(it->second.per_generation).c_str());
  }
  if (e.reference > 0)
    std::printf("    %-11s %10s  (genome.fa and its indexes, the reference bases of the markers and loci)\n",
                "reference", qm::byte_text(e.reference).c_str());
  std::printf("    %-11s %10s  (maps, genetic parameters, log.txt, run.json)\n", "run-wide",
              qm::byte_text(e.run_wide).c_str());
  double seconds = 0;
  for (double w : qm::generation_weights(p, o.output)) seconds += w;
  seconds *= qm::thread_factor(p.threads);
  std::printf("  time: about %s on this machine at %d thread%s (within a factor of 2).\n", clock_text(seconds).c_str(),
              p.threads, p.threads == 1 ? "" : "s");
}

// The room the run's files may take: --max-disk, otherwise the free space
// of the output folder's disk (-1 when unknown).
int64_t disk_limit(const qm::run_options& o) {
  if (o.max_disk_mb > 0) return o.max_disk_mb << 20;
  std::error_code ec;
  const std::filesystem::space_info s =
      std::filesystem::space(o.outdir.empty() ? std::filesystem::path(".") : std::filesystem::path(o.outdir), ec);
  return ec ? -1 : static_cast<int64_t>(s.available);
}

// Whether the run's files fit in the room they may take; a message on
// standard error when they do not.
bool files_fit(const qm::run_options& o, const qm::run_parameters& p) {
  const int64_t limit = disk_limit(o);
  if (limit < 0) return true;
  const qm::size_estimate e = qm::estimate_file_sizes(p, o.output);
  if (e.total <= limit) return true;
  const std::string folder = o.outdir.empty() ? "the working folder" : "the output folder " + o.outdir;
  std::fprintf(stderr,
               "quillmere: the run's files need about %s, but %s. Write fewer files (--files, --generations; "
               "'quillmere --check' lists them by kind), choose another --outdir%s.\n",
               qm::byte_text(e.total).c_str(),
               (o.max_disk_mb > 0 ? "--max-disk allows " + qm::byte_text(limit)
                                  : "the disk of " + folder + " has " + qm::byte_text(limit) + " free")
                   .c_str(),
               o.max_disk_mb > 0 ? ", or raise --max-disk" : ", or give --max-disk if the estimate is too high");
  return false;
}

// --check: every problem of the parameter file and the memory estimate, on
// standard output; exit status 0 when there is none, 1 otherwise. With
// --from-history, also whether that history fits the parameter file and
// the memory (the estimate then counts the file as it is).
int check_only(const qm::run_options& o) {
  qm::run_parameters p = parameters_of(o);
  std::vector<std::string> problems;
  try {
    problems = qm::check_parameters(p);
    if (problems.empty()) qm::check_memory_estimate(p, qm::history_sizing::of_parameters);
  } catch (const qm::run_stop& e) {
    problems.push_back(e.what());
  }
  if (problems.empty() && !o.from_history.empty()) {
    try {
      (void)qm::read_history_for_run(p, qm::registered_observers(o));
    } catch (const qm::history_error& e) {
      problems.push_back(e.what());
    } catch (const std::bad_alloc&) {
      problems.push_back("There is not enough memory to read the history file " + o.from_history + ".");
    }
  }
  for (const std::string& w : p.warnings) std::printf("%s: warning: %s\n", p.parafile.c_str(), w.c_str());
  if (problems.empty()) {
    const std::string fits = o.from_history.empty() ? "" : "; history file " + o.from_history + " fits it";
    std::printf("%s: no problem found%s; the run needs about %lld MB of memory.\n", p.parafile.c_str(), fits.c_str(),
                static_cast<long long>((qm::estimate_peak_memory(p) + (1 << 20) - 1) >> 20));
    print_estimates(o, p);
    return 0;
  }
  std::printf("%s: %zu problem%s found:\n", p.parafile.c_str(), problems.size(), problems.size() > 1 ? "s" : "");
  for (const std::string& m : problems) std::printf("  %s\n", m.c_str());
  return 1;
}

int run_once(qm::run_options o);

int run_main(int argc, char** argv) {
  qm::run_options o;
  if (const std::optional<int> rc = qm::parse_options(argc, argv, o)) return *rc;
  if (o.merge) {
    qm::msg_set_console(stderr);  // the merge writes files, not lines: what it says is why it stopped
    try {
      if (!o.merge_compare) {
        qm::merge_command(o.merge_folders, o.merge_outdir);
      } else if (o.merge_folders.size() != 2) {
        std::fprintf(stderr, "quillmere: merge --compare takes two scheme folders, %zu given.\n"
                     "Run 'quillmere --help' for the options.\n", o.merge_folders.size());
        return 2;
      } else {
        qm::compare_command(o.merge_folders[0], o.merge_folders[1], o.merge_outdir);
      }
    } catch (const qm::run_stop&) {
      return 1;
    }
    return 0;
  }
  if (o.convert) return qm::convert_command(o.convert_file, o.convert_out);
  if (o.check_only) {
    qm::msg_set_console(stderr);  // messages of a file that cannot be read
    return check_only(o);
  }
  qm::msg_set_quiet(o.quiet);
  if (o.replicate_last == 0) return run_once(o);
  // --replicate K-L: each replicate in its own folder, in turn; the first
  // that fails ends the series with its exit status.
  for (int64_t k = o.replicate; k <= o.replicate_last; ++k) {
    qm::run_options one = o;
    one.replicate = k;
    one.replicate_last = 0;
    one.outdir = "rep-" + std::to_string(k);
    if (!o.quiet) std::printf(" Replicate %lld of %lld..%lld, in %s\n", static_cast<long long>(k),
                              static_cast<long long>(o.replicate), static_cast<long long>(o.replicate_last),
                              one.outdir.c_str());
    std::fflush(stdout);
    if (const int rc = run_once(one); rc != 0) {
      if (k < o.replicate_last)
        std::fprintf(stderr, "quillmere: replicate %lld stopped (exit status %d); replicates %lld..%lld were not run.\n",
                     static_cast<long long>(k), rc, static_cast<long long>(k + 1),
                     static_cast<long long>(o.replicate_last));
      return rc;
    }
  }
  return 0;
}

// One run of the simulation with the options o.
int run_once(qm::run_options o) {
  if (!o.save_history.empty()) {
    // Found now rather than after stage 1, which may take hours.
    std::error_code ec;
    const std::filesystem::path folder = std::filesystem::path(o.save_history).parent_path();
    if (!std::filesystem::is_directory(folder.empty() ? std::filesystem::path(".") : folder, ec)) {
      std::fprintf(stderr,
                   "quillmere: the folder of the history file %s does not exist. Create it, or give "
                   "--save-history a file in an existing folder.\n",
                   o.save_history.c_str());
      return 1;
    }
    if (std::filesystem::is_directory(o.save_history, ec)) {
      std::fprintf(stderr, "quillmere: --save-history %s names a folder. Give the name of the history file to write.\n",
                   o.save_history.c_str());
      return 1;
    }
  }
  const qm::observer_list observers = qm::registered_observers(o);
  std::optional<qm::saved_history> history;
  if (!o.from_history.empty() && !read_history_before_run(o, observers, history)) return 1;
  qm::folder_lock lock;
  if (!prepare_output_folder(o, observers, lock)) return 1;
  if (!o.parafile.empty()) {
    qm::run_parameters planned = parameters_of(o);
    if (read_quietly(planned) && !files_fit(o, planned)) return 1;
  }
  const qm::output_folder folder(o.outdir);

  qm::run_parameters p = parameters_of(o);
  qm::history_options h;
  h.save_path = o.save_history;
  h.from_path = o.from_history;
  h.from = history ? &*history : nullptr;
  const std::string log = folder.file(qm::log_file_name);
  if (!qm::msg_open_log(log.c_str())) {
    std::fprintf(stderr, "quillmere: %s cannot be created (%s). Check the permissions of the output folder.\n",
                 log.c_str(), std::strerror(errno));
    return 1;
  }
  qm::install_signal_handlers();
  qm::run_ending ending;
  ending.start = std::time(nullptr);
  const auto t0 = std::chrono::steady_clock::now();
  qm::run_outcome outcome;
  try {
    qm::quillmere(p, observers, h, outcome);
  } catch (const qm::run_stop& e) {
    ending.status = e.signal != 0 ? 128 + e.signal : 1;
    ending.stop_message = e.what();
  } catch (const std::bad_alloc&) {
    ending.stop_message = "Not enough memory for this run: reduce nind, the number of loci or the number of threads.";
    try {
      qm::stop(ending.stop_message);
    } catch (const qm::run_stop&) {
    }
    ending.status = 1;
  }
  if (!qm::msg_close_log()) {
    std::fprintf(stderr, "quillmere: %s cannot be written. Check the free space of the output folder.\n", log.c_str());
    if (ending.status == 0) ending.status = 1;
  }
  ending.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  ending.seed = outcome.seed;
  try {
    qm::write_run_record(folder, o, p, ending);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "quillmere: run.json cannot be written (%s).\n", e.what());
    if (ending.status == 0) ending.status = 1;
  }
  return ending.status;
}

}  // namespace

int main(int argc, char** argv) {
  // A stop that no step turned into a message of its own: still a message
  // and exit status 1, never an abort.
  try {
    return run_main(argc, argv);
  } catch (const std::bad_alloc&) {
    std::fprintf(stderr, "quillmere: there is not enough memory for this. Free memory, or make the run smaller.\n");
  } catch (const std::exception& e) {
    std::fprintf(stderr, "quillmere: %s\n", e.what());
  }
  return 1;
}
