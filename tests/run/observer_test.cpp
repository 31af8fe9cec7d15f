// Observers of the generation loop, called by the driver: the map once, the
// architecture once, every generation in order with its stage, number and
// result-file generation, and the end of the run, also when it stops. A new
// output, as docs/architecture.md shows it, is one observer that declares
// its files and one registration.
#include "run/observer.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "base/messages.hpp"
#include "base/textfile.hpp"
#include "main/observers.hpp"
#include "run/driver.hpp"
#include "support.hpp"

namespace fs = std::filesystem;

namespace {

struct seen_generation {
  int stage;
  qm::generation_kind kind;
  int64_t number, file_generation;
  bool files_due;
  bool operator==(const seen_generation&) const = default;
};

std::ostream& operator<<(std::ostream& o, const seen_generation& s) {
  return o << "{stage " << s.stage << ", kind " << static_cast<int>(s.kind) << ", number " << s.number << ", file "
           << s.file_generation << ", files " << s.files_due << "}";
}

struct record {
  std::vector<std::string> events;  // "map", "architecture", "generation", "end"
  std::vector<seen_generation> generations;
  int maps = 0, architectures = 0, ends = 0;
  bool completed = false;
  int32_t map_markers = 0, nqtl = 0, architecture_stage = 0;
  std::vector<bool> had_architecture;
  std::vector<int32_t> history_generations;
};

// Keeps what it sees in a record that outlives the observer list.
class recorder : public qm::generation_observer {
 public:
  explicit recorder(record& r) : r_(r) {}
  void on_map(const qm::run_parameters&, const qm::genome_map& m) override {
    r_.events.push_back("map");
    ++r_.maps;
    r_.map_markers = m.nmark();
  }
  void on_architecture(const qm::generation_view& v) override {
    r_.events.push_back("architecture");
    ++r_.architectures;
    r_.architecture_stage = v.step.stage;
    r_.nqtl = v.architecture ? v.architecture->nqtl() : -1;
  }
  void on_generation(const qm::generation_view& v) override {
    r_.events.push_back("generation");
    r_.generations.push_back({v.step.stage, v.step.kind, v.step.number, v.step.file_generation, v.step.files_due});
    r_.had_architecture.push_back(v.architecture != nullptr);
    r_.history_generations.push_back(v.history.generations());
    EXPECT_EQ(v.pop.nind, 40);
  }
  void on_run_end(const qm::run_parameters&, bool completed) override {
    r_.events.push_back("end");
    ++r_.ends;
    r_.completed = completed;
  }

 private:
  record& r_;
};

// Runs par through the driver with a recorder (and the registered observers
// when asked); true when the run stopped.
bool run(const std::string& par, record& r, bool classic_files = false) {
  qmtest::write_file("param.par", par);
  qm::observer_list list = classic_files ? qm::registered_observers(qm::run_options{}) : qm::observer_list{};
  list.add(std::make_unique<recorder>(r));
  qm::run_parameters p;
  p.parafile = "param.par";
  try {
    qm::quillmere(p, list);
  } catch (const qm::run_stop&) {
    return true;
  }
  return false;
}

using kind = qm::generation_kind;

// The generations of the test parameter file: stage 1 of 30 (20 with
// mutation, the recoding generation numbered 21, ten without mutation
// numbered 21..30), the stage-2 generation (shown as 1, files as 1), two
// stage-3 generations (2 and 3).
std::vector<seen_generation> small_run() {
  std::vector<seen_generation> v;
  for (int g = 1; g <= 20; ++g) v.push_back({1, kind::history_with_mutation, g, g, false});
  v.push_back({1, kind::recoding, 21, 21, false});
  for (int g = 21; g <= 30; ++g) v.push_back({1, kind::history_without_mutation, g, g, false});
  v.push_back({2, kind::qtl_choice, 1, 1, true});
  v.push_back({3, kind::selection, 2, 2, true});
  v.push_back({3, kind::selection, 3, 3, true});
  return v;
}

TEST(Observers, SeeTheWholeRunInOrder) {
  qmtest::tempdir dir;
  qmtest::console_capture con;
  record r;
  ASSERT_FALSE(run(qmtest::small_par(), r)) << con.text();
  EXPECT_EQ(r.maps, 1);
  EXPECT_EQ(r.map_markers, 44);
  EXPECT_EQ(r.architectures, 1);
  EXPECT_EQ(r.architecture_stage, 2);
  EXPECT_EQ(r.nqtl, 10);
  EXPECT_EQ(r.ends, 1);
  EXPECT_TRUE(r.completed);
  EXPECT_EQ(r.generations, small_run());
  // map first, the architecture right before the stage-2 generation, end last.
  ASSERT_EQ(r.events.size(), 1 + 34 + 1 + 1u);
  EXPECT_EQ(r.events.front(), "map");
  EXPECT_EQ(r.events[1 + 31], "architecture");
  EXPECT_EQ(r.events.back(), "end");
  for (size_t k = 0; k < r.had_architecture.size(); ++k) {
    EXPECT_EQ(r.had_architecture[k], k >= 31) << k;  // from the stage-2 generation on
    EXPECT_EQ(r.history_generations[k], static_cast<int32_t>(k) + 2);  // the base and every one made
  }
  // Without the registered observers no file is written.
  EXPECT_FALSE(qmtest::file_exists("01BV.out"));
  EXPECT_FALSE(qmtest::file_exists("QMAP.out"));

  // The stage-2 generation writes its files as generation ngen.
  record r2;
  ASSERT_FALSE(run(qmtest::set_record(qmtest::small_par(), 22, "10 20 40 4"), r2));
  std::vector<seen_generation> want = small_run();
  want[31].file_generation = 4;
  EXPECT_EQ(r2.generations, want);
}

TEST(Observers, RunEndNotCompletedOnAStop) {
  qmtest::tempdir dir;
  qmtest::console_capture con;
  {
    // Stage 3 selects 2 sires: the run stops in the selection of its first
    // generation, before the observers see that generation.
    record r;
    EXPECT_TRUE(run(qmtest::set_record(qmtest::small_par(), 26, "2 20 40 2"), r));
    EXPECT_EQ(r.ends, 1);
    EXPECT_FALSE(r.completed);
    EXPECT_EQ(r.events.back(), "end");
    std::vector<seen_generation> want = small_run();
    want.resize(32);
    EXPECT_EQ(r.generations, want);
    EXPECT_EQ(r.architectures, 1);
  }
  // A rejected parameter, of the run-wide records or of a later stage's
  // block (one that cannot be read, too): nothing but the end.
  for (const auto& [n, record_text] : std::vector<std::pair<int, std::string>>{
           {2, "0 0 0.2 0"}, {28, "0 two 2"}, {26, "10 20 40 -1"}}) {
    SCOPED_TRACE(record_text);
    record r;
    EXPECT_TRUE(run(qmtest::set_record(qmtest::small_par(), n, record_text), r));
    EXPECT_EQ(r.events, std::vector<std::string>{"end"});
    EXPECT_FALSE(r.completed);
  }
}

TEST(Observers, ClassicFilesStopCleanlyOnAWriteFault) {
  qmtest::tempdir dir;
  qmtest::console_capture con;
  {
    record r;
    ASSERT_FALSE(run(qmtest::small_par(), r, true));
    for (const char* f : {"01MTYPE.out", "01QTYPE.out", "01BV.out", "02BV.out", "03BV.out", "QMAP.out", "MMAP.out",
                          "Genetic_paramenters.out"})
      EXPECT_TRUE(qmtest::file_exists(f)) << f;
    EXPECT_FALSE(qmtest::file_exists("mposition.out"));  // an even map
  }
  for (const auto& f : fs::directory_iterator(".")) fs::remove(f.path());
  {
    // Room for the small files but not for the marker haplotypes.
    qm::textfile::inject_write_fault_after(2000);
    record r;
    const bool stopped = run(qmtest::small_par(), r, true);
    qm::textfile::inject_write_fault_after(-1);
    EXPECT_TRUE(stopped);
    EXPECT_EQ(r.ends, 1);
    EXPECT_FALSE(r.completed);
    EXPECT_EQ(r.generations.size(), 31u);  // the stage-2 generation did not finish
    EXPECT_NE(con.text().find("No space left on device"), std::string::npos);
    for (const auto& f : fs::directory_iterator(".")) {
      const std::string n = f.path().filename().string();
      EXPECT_FALSE(n.ends_with(".tmp")) << n;
      EXPECT_FALSE(n.ends_with("TYPE.out") || n.ends_with("BV.out")) << n;
    }
  }
}

// The worked example of docs/architecture.md: NNparents.csv, how many sires
// and dams had offspring in each generation with result files.
class parents_file : public qm::generation_observer {
 public:
  explicit parents_file(const qm::output_folder& folder) : folder_(folder) {}
  void plan_files(const qm::run_parameters&, const qm::stage_plan& plan, qm::file_plan& files) const override {
    for (const qm::planned_stage& stage : plan)
      stage.for_each_generation([&](const qm::generation_step& g) {
        if (g.files_due) files.names.insert(qm::result_name(g.file_generation, name));
      });
  }
  void name_patterns(std::vector<qm::file_name_pattern>& patterns) const override { patterns.push_back({name, true}); }
  void on_generation(const qm::generation_view& v) override {
    if (!v.step.files_due) return;
    std::set<int32_t> sires, dams;
    for (const qm::parent_pair& pp : v.pop.parents) {
      sires.insert(pp.sire);
      dams.insert(pp.dam);
    }
    qm::textfile f(folder_.file(qm::result_name(v.step.file_generation, name)));
    f.line("sires,dams");
    f.line(std::to_string(sires.size()) + "," + std::to_string(dams.size()));
    f.finish();
  }

 private:
  static constexpr const char* name = "parents.csv";
  qm::output_folder folder_;
};

TEST(Observers, ANewOutputIsOneObserverAndOneRegistration) {
  qmtest::tempdir td;
  qmtest::console_capture quiet;
  qmtest::write_file("param.par", qmtest::small_par());
  fs::create_directory("out");
  qm::run_options o;
  o.outdir = "out";
  qm::observer_list list = qm::registered_observers(o);
  list.add(std::make_unique<parents_file>(qm::output_folder(o.outdir)));  // the registration
  qm::run_parameters p;
  p.parafile = "param.par";
  qm::quillmere(p, list);
  // Its files are among the run's planned files and are known as run files;
  // the folder holds exactly the plan (log.txt and run.json are written by
  // the program entry, which this test does not run).
  const qm::run_files files = list.files_of(p);
  std::set<std::string> in_folder;
  for (const auto& e : fs::directory_iterator("out")) in_folder.insert(e.path().filename().string());
  std::set<std::string> planned = files.planned.names;
  planned.erase("log.txt");
  planned.erase("run.json");
  EXPECT_EQ(in_folder, planned);
  for (const char* n : {"01parents.csv", "02parents.csv", "03parents.csv"}) {
    EXPECT_TRUE(files.planned.names.count(n)) << n;
    EXPECT_TRUE(files.is_run_file(n)) << n;
  }
  // The stage-2 generation mates the 10 sires and 20 dams selected in stage 1.
  const std::string first = qmtest::read_file("out/01parents.csv");
  const int sires = std::stoi(first.substr(first.find('\n') + 1));
  const int dams = std::stoi(first.substr(first.find(',', first.find('\n')) + 1));
  EXPECT_GE(sires, 1);
  EXPECT_LE(sires, 10);
  EXPECT_GE(dams, 1);
  EXPECT_LE(dams, 20);
}

}  // namespace

namespace {

// small_run() with stage 3 making generations 2..last.
std::vector<seen_generation> small_run_with(int64_t last) {
  std::vector<seen_generation> v = small_run();
  for (int64_t g = 4; g <= last; ++g) v.push_back({3, kind::selection, g, g, true});
  return v;
}

// An observer that plans one name per generation with files, as the result
// files do.
class planner : public recorder {
 public:
  using recorder::recorder;
  void plan_files(const qm::run_parameters&, const qm::stage_plan& plan, qm::file_plan& files) const override {
    for (const qm::planned_stage& st : plan)
      st.for_each_generation([&](const qm::generation_step& g) {
        if (g.files_due) files.names.insert(qm::result_name(g.file_generation, "X.out"));
      });
  }
};

// The choice of output in the observer list: an observer of a kind not
// chosen is never called; one of a chosen kind sees the generations whose
// files are not chosen as generations without files, in its plan as in the
// run, and so does one of the run as a whole (the note of the generations
// with complete files); one of every generation (the summary) sees every
// generation as it is.
TEST(Observers, TheChoiceOfOutputIsAppliedByTheList) {
  qmtest::tempdir dir;
  qmtest::console_capture con;
  qmtest::write_file("param.par", qmtest::set_record(qmtest::small_par(), 26, "10 20 40 5"));  // files 1..6
  qm::output_choice c;
  std::string why;
  c.kinds = {"values"};
  c.generations = *qm::generation_choice::parse("2,last", why);
  record chosen, not_chosen, every, whole;
  qm::observer_list list(c);
  list.add_kind(std::make_unique<planner>(chosen), "values");
  list.add_kind(std::make_unique<planner>(not_chosen), "plink");
  list.add_every_generation(std::make_unique<planner>(every));
  list.add(std::make_unique<recorder>(whole));
  qm::run_parameters p;
  p.parafile = "param.par";
  qm::quillmere(p, list);
  EXPECT_TRUE(not_chosen.events.empty());
  ASSERT_EQ(every.generations, small_run_with(6));
  ASSERT_EQ(chosen.generations.size(), every.generations.size());
  ASSERT_EQ(chosen.generations.size(), whole.generations.size());
  for (size_t k = 0; k < chosen.generations.size(); ++k) {
    const seen_generation& g = every.generations[k];
    seen_generation masked = g;
    masked.files_due = g.files_due && (g.file_generation == 2 || g.file_generation == 6);
    EXPECT_EQ(chosen.generations[k], masked);
    EXPECT_EQ(whole.generations[k], masked);
  }
  EXPECT_EQ(chosen.ends, 1);
  // The plan: names of the chosen generations only, from the chosen kinds;
  // the every-generation observer plans all of them.
  qm::read_parameters(p);
  const std::set<std::string> planned = list.files_of(p).planned.names;
  EXPECT_EQ(planned, (std::set<std::string>{"01X.out", "02X.out", "03X.out", "04X.out", "05X.out", "06X.out"}));
  qm::observer_list only_chosen(c);
  only_chosen.add_kind(std::make_unique<planner>(chosen), "values");
  only_chosen.add_kind(std::make_unique<planner>(not_chosen), "plink");
  EXPECT_EQ(only_chosen.files_of(p).planned.names, (std::set<std::string>{"02X.out", "06X.out"}));
}

}  // namespace
