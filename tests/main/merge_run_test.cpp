// quillmere merge through the executable, against faults of its output
// folder and of the folders it reads: every stop exits with status 1, says
// why on standard error, writes nothing and leaves the replicate folders as
// they were (their run.json still matching their files). The merge runs
// under timeout(1), so a pipe that blocked it would fail the test in
// seconds instead of hanging it.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "output/manifest.hpp"
#include "stats/summary.hpp"
#include "support.hpp"

namespace fs = std::filesystem;

namespace {

struct result {
  int status;  // 124: still running after the time limit
  std::string err;
};

// quillmere ARGS in folder, killed after 30 s.
result quillmere(const std::string& args, const std::string& folder = ".") {
  const std::string cmd = "cd '" + folder + "' && timeout 30 '" + QM_BINARY + "' " + args +
                          " > stdout.txt 2> stderr.txt < /dev/null";
  const int rc = std::system(cmd.c_str());
  return {WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, qmtest::read_file(folder + "/stderr.txt")};
}

// Three replicates of the small test run, in rep-1, rep-2 and rep-3 (with
// enough mutation and few enough QTL that every seed finds its QTL).
void make_replicates() {
  qmtest::write_file("param.par", qmtest::set_record(qmtest::set_record(qmtest::small_par(), 12, "1.0 1.0e-2 1.0e-2"),
                                                     14, "0 3 1.0 1.0"));
  for (const char* k : {"1", "2", "3"}) ASSERT_EQ(quillmere(std::string("--replicate ") + k + " param.par").status, 0);
}

// The files of a folder with the SHA-256 of their bytes.
std::vector<std::pair<std::string, std::string>> contents(const std::string& folder) {
  std::vector<std::pair<std::string, std::string>> v;
  for (const fs::directory_entry& e : fs::directory_iterator(folder))
    if (e.path().filename() != "stdout.txt" && e.path().filename() != "stderr.txt")
      v.emplace_back(e.path().filename().string(), qmtest::sha256(qmtest::read_file(e.path().string())));
  std::sort(v.begin(), v.end());
  return v;
}

// The SHA-256 that folder/run.json lists for name.
std::string listed_sha256(const std::string& folder, const std::string& name) {
  const nlohmann::json j = nlohmann::json::parse(qmtest::read_file(folder + "/run.json"));
  for (const auto& f : j.at("files"))
    if (f.at("name") == name) return f.at("sha256");
  return "(not listed)";
}

bool merged_anything(const std::string& folder) {
  for (const char* f : {"replicates.csv", "replicates_ld.csv", "report.html", "replicates.csv.part", "report.html.part"})
    if (fs::exists(folder + "/" + f)) return true;
  return false;
}

// merge --outdir rep-1 rep-1 rep-2 rep-3 used to replace rep-1's report.html
// (so that its run.json no longer matched it); so did merge . inside rep-1.
TEST(MergeRun, AnOutputFolderOfARunIsRefusedAndLeftAsItWas) {
  qmtest::tempdir td;
  make_replicates();
  const auto before = contents("rep-1");
  ASSERT_EQ(qmtest::sha256(qmtest::read_file("rep-1/report.html")), listed_sha256("rep-1", "report.html"));
  ASSERT_EQ(::symlink("rep-1", "link"), 0);
  const std::string advice =
      ": the merge would replace that run's report.html, and its run.json would no longer match its files. "
      "Nothing was written. Give the merge a folder of its own, e.g. --outdir merged.";
  struct refused {
    std::string folder, args, message;
  };
  const refused cases[] = {
      {".", "merge --outdir rep-1 rep-1 rep-2 rep-3", "The output folder rep-1 is the replicate folder rep-1" + advice},
      {".", "merge --outdir ./rep-1/ rep-1 rep-2 rep-3", "The output folder ./rep-1/ is the replicate folder rep-1"},
      {".", "merge --outdir link rep-1 rep-2 rep-3", "The output folder link is the replicate folder rep-1"},
      {".", "merge --outdir rep-2/../rep-1 rep-1 rep-2", "The output folder rep-2/../rep-1 is the replicate folder rep-1"},
      {".", "merge --outdir param.par rep-1 rep-2", "The output folder param.par is not a folder. Name a folder with --outdir."},
      {".", "merge --outdir rep-1 rep-2 rep-3", "The output folder rep-1 holds run.json: it is the folder of a run" + advice},
      {"rep-1", "merge . ../rep-2 ../rep-3", "The output folder . is the replicate folder ." + advice},
      {"rep-1", "merge ../rep-2 ../rep-3", "The output folder . holds run.json: it is the folder of a run"},
  };
  for (const refused& c : cases) {
    const result r = quillmere(c.args, c.folder);
    EXPECT_EQ(r.status, 1) << c.args;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << c.args << ": " << r.err;
    EXPECT_EQ(contents("rep-1"), before) << c.args;
  }
  EXPECT_EQ(qmtest::sha256(qmtest::read_file("rep-1/report.html")), listed_sha256("rep-1", "report.html"));
  EXPECT_FALSE(merged_anything("."));
  // A folder of its own, made by the merge.
  const result ok = quillmere("merge --outdir merged/all rep-1 rep-2 rep-3");
  EXPECT_EQ(ok.status, 0) << ok.err;
  EXPECT_EQ(ok.err, "");
  EXPECT_NE(qmtest::read_file("merged/all/replicates.csv").find("\n3,3,tbv_mean_1,3,"), std::string::npos);
  EXPECT_TRUE(fs::exists("merged/all/report.html"));
  EXPECT_EQ(contents("rep-1"), before);
}

// Files under the names of a run's files that are not what a run wrote:
// a pipe (which used to block the merge for ever), a link to /dev/zero
// (read until the memory ran out, exit 134), summaries with a made-up
// stage, a row twice (counted as a fourth replicate), a row missing, and a
// header of other columns.
TEST(MergeRun, DamagedInputStopsWithStatusOneNamingTheFile) {
  qmtest::tempdir td;
  make_replicates();
  const std::string summary = qmtest::read_file("rep-2/summary.csv"), run_json = qmtest::read_file("rep-2/run.json");
  const auto before = contents("rep-2");
  // Line 3 of a summary: the second generation.
  const size_t line3 = summary.find('\n', summary.find('\n') + 1) + 1;
  const std::string row3 = summary.substr(line3, summary.find('\n', line3) + 1 - line3);
  const std::string key3 = row3.substr(0, row3.find(',', row3.find(',') + 1));  // "stage,generation"
  const std::string tail3 = row3.substr(row3.find(',') + 1);                  // from the generation on
  ASSERT_NE(summary.find(key3 + ",", line3 + row3.size()), line3) << summary;  // a key of its own
  struct damage {
    const char* file;
    std::string text;  // "" for a pipe, "/dev/zero" for a link to it
    std::string message;
  };
  const damage cases[] = {
      {"summary.csv", "", "File rep-2/summary.csv is a pipe (FIFO), not a regular file. Give the summary.csv that the run wrote."},
      {"run.json", "", "File rep-2/run.json is a pipe (FIFO), not a regular file. Give only folders of finished runs"},
      {"summary.csv", "/dev/zero", "File rep-2/summary.csv is a device, not a regular file."},
      {"run.json", "/dev/zero", "File rep-2/run.json is a device, not a regular file."},
      {"summary.csv", summary.substr(0, line3) + "NA," + tail3 + summary.substr(line3 + row3.size()),
       "File rep-2/summary.csv, line 3: stage is NA, not a whole number from 1 to 2147483647."},
      {"summary.csv", summary.substr(0, line3) + "1e10," + tail3 + summary.substr(line3 + row3.size()),
       "File rep-2/summary.csv, line 3: stage is 1e+10, not a whole number from 1 to 2147483647."},
      {"summary.csv", summary.substr(0, line3) + row3 + summary.substr(line3),
       "File rep-2/summary.csv, line 4: stage " + key3.substr(0, key3.find(',')) + ", generation " +
           key3.substr(key3.find(',') + 1) + " again (line 3 has it)"},
      {"summary.csv", summary.substr(0, line3) + summary.substr(line3 + row3.size()),
       "File rep-2/summary.csv has no row for stage " + key3.substr(0, key3.find(',')) + ", generation " +
           key3.substr(key3.find(',') + 1) + " (rep-1/summary.csv has it, line 3)."},
      {"summary.csv", "stage,generation,n_ind" + summary.substr(summary.find(",tbv_mean_1")),
       "The summary.csv headers of rep-1 and rep-2 differ at column 3 (nind against n_ind in rep-2/summary.csv, "
       "line 1)."},
  };
  for (const damage& c : cases) {
    const std::string path = std::string("rep-2/") + c.file;
    fs::remove(path);
    if (c.text.empty())
      ASSERT_EQ(::mkfifo(path.c_str(), 0644), 0);
    else if (c.text == "/dev/zero")
      ASSERT_EQ(::symlink("/dev/zero", path.c_str()), 0);
    else
      qmtest::write_file(path, c.text);
    const result r = quillmere("merge rep-1 rep-2 rep-3");
    EXPECT_EQ(r.status, 1) << c.message << " (124: the merge hung)";
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_FALSE(merged_anything(".")) << c.message;
    fs::remove(path);
    qmtest::write_file("rep-2/summary.csv", summary);
    qmtest::write_file("rep-2/run.json", run_json);
  }
  EXPECT_EQ(contents("rep-2"), before);
  const result ok = quillmere("merge rep-1 rep-2 rep-3");
  EXPECT_EQ(ok.status, 0) << ok.err;
  EXPECT_NE(qmtest::read_file("replicates.csv").find("\n3,3,tbv_mean_1,3,"), std::string::npos);
}

// merge --compare of a scheme against itself: compare.csv gives every
// difference as 0 with an interval that holds it, and the report shows both.
TEST(MergeRun, CompareOfASchemeWithItselfHoldsZero) {
  qmtest::tempdir td;
  fs::create_directory("scheme");
  {
    const std::string here = fs::current_path().string();
    fs::current_path("scheme");
    make_replicates();
    fs::current_path(here);
  }
  const result r = quillmere("merge --compare --outdir cmp scheme scheme");
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string csv = qmtest::read_file("cmp/compare.csv");
  std::istringstream in(csv);
  std::string line;
  std::getline(in, line);
  ASSERT_EQ(line, "key,n_a,mean_a,sd_a,n_b,mean_b,sd_b,difference,ci_low,ci_high,df");
  int rows = 0, intervals = 0;
  while (std::getline(in, line)) {
    std::vector<std::string> f;
    std::stringstream ss(line);
    for (std::string c; std::getline(ss, c, ',');) f.push_back(c);
    ASSERT_EQ(f.size(), 11u) << line;
    ++rows;
    EXPECT_EQ(f[1], "3") << line;
    if (f[8] == "NA") continue;
    ++intervals;
    EXPECT_EQ(std::stod(f[7]), 0.0) << line;
    EXPECT_LE(std::stod(f[8]), 0.0) << line;
    EXPECT_GE(std::stod(f[9]), 0.0) << line;
  }
  EXPECT_GT(rows, 10);
  EXPECT_GT(intervals, 5);
  const std::string html = qmtest::read_file("cmp/report.html");
  EXPECT_NE(html.find("id=\"table-compare\""), std::string::npos);
  EXPECT_NE(html.find("id=\"plot-gain\""), std::string::npos);
  EXPECT_EQ(std::system("xmllint --noout cmp/report.html"), 0);
  // The replicate folders are left as they were: their run.json still lists their report.
  EXPECT_EQ(listed_sha256("scheme/rep-1", "report.html"), qmtest::sha256(qmtest::read_file("scheme/rep-1/report.html")));

  // Not two schemes: a usage error; a scheme folder without replicates: a stop.
  EXPECT_EQ(quillmere("merge --compare --outdir cmp2 scheme").status, 2);
  fs::create_directory("empty");
  const result e = quillmere("merge --compare --outdir cmp2 scheme empty");
  EXPECT_EQ(e.status, 1);
  EXPECT_NE(e.err.find("The scheme folder empty holds no replicate folder"), std::string::npos) << e.err;
  EXPECT_FALSE(fs::exists("cmp2"));
}

// Memory that runs out during the merge (the address space limited with
// ulimit -v) is a stop with a message, not an abort, and leaves no file.
TEST(MergeRun, RunningOutOfMemoryIsAStop) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "AddressSanitizer reserves more address space than any limit that would leave room to run";
#else
  qmtest::tempdir td;
  // Three replicates of 100000 generations each, 4 MB per summary; merged
  // they take about 330 MB.
  const std::vector<std::string> header = qm::summary_header(1);
  std::string head;
  for (const std::string& h : header) head += (head.empty() ? "" : ",") + h;
  for (int k = 1; k <= 3; ++k) {
    const std::string d = "big-" + std::to_string(k);
    fs::create_directory(d);
    qm::run_manifest m;
    m.version = "1.0.0";
    m.seed = k;
    m.replicate = k;
    qm::write_manifest(d + "/run.json", m);
    std::string s = head + "\n";
    for (int g = 1; g <= 100000; ++g) {
      s += "2," + std::to_string(g);
      for (size_t c = 2; c < header.size(); ++c) s += ",0";
      s += '\n';
    }
    qmtest::write_file(d + "/summary.csv", s);
  }
  // The exit status of the merge with its address space limited to kb KiB.
  auto merge_within = [](int kb) {
    const int rc = std::system(("ulimit -v " + std::to_string(kb) + " && '" + std::string(QM_BINARY) +
                                "' merge big-1 big-2 big-3 > stdout.txt 2> stderr.txt < /dev/null")
                                   .c_str());
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  };
  // The merge fits in 4 GB; in 150 MB the program starts (it needs 16 MB)
  // and runs out on the way.
  ASSERT_EQ(merge_within(4000000), 0) << qmtest::read_file("stderr.txt");
  for (const char* f : {"replicates.csv", "report.html"}) ASSERT_TRUE(fs::remove(f)) << f;
  EXPECT_EQ(merge_within(150000), 1) << "(134: aborted)";
  EXPECT_NE(qmtest::read_file("stderr.txt").find("Not enough memory to merge 3 folders. Nothing was written."),
            std::string::npos)
      << qmtest::read_file("stderr.txt");
  EXPECT_FALSE(merged_anything("."));
#endif
}

}  // namespace
