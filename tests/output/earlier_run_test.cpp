#include "output/earlier_run.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "output/manifest.hpp"
#include "support.hpp"

namespace {

namespace fs = std::filesystem;
using names = std::vector<std::string>;

// A run that writes log.txt, run.json, 01BV.out and 02BV.out, and
// summary.csv.part on the way.
qm::run_files planned_files() {
  qm::run_files f;
  f.planned.names = {"log.txt", "run.json", "01BV.out", "02BV.out"};
  f.planned.passing = {"summary.csv.part"};
  f.patterns = {{"log.txt"}, {"run.json"}, {"BV.out", true}};
  return f;
}

// An earlier run in folder "out" that wrote the given files (with these
// contents), recorded in its run.json.
void earlier_run(const std::vector<std::pair<std::string, std::string>>& written) {
  fs::create_directories("out");
  qm::run_manifest m;
  m.version = "test";
  std::vector<std::string> paths;
  for (const auto& [name, text] : written) {
    qmtest::write_file("out/" + name, text);
    paths.push_back("out/" + name);
  }
  qm::record_files(m, paths);
  for (qm::manifest_file& f : m.files) f.name = fs::path(f.name).filename().string();
  qm::write_manifest("out/run.json", m);
}

TEST(EarlierRun, ARecordedFolderGivesUpOnlyUnchangedListedFiles) {
  qmtest::tempdir td;
  earlier_run({{"log.txt", "log"}, {"01BV.out", "one"}, {"02BV.out", "two"}, {"05VCF.vcf", "vcf"}, {"notes.out", "n"}});
  qmtest::write_file("out/02BV.out", "two, edited");   // changed, and this run writes it
  qmtest::write_file("out/notes.out", "mine now");     // changed, not written by this run
  qmtest::write_file("out/slurm-4242.out", "job");     // never listed
  qmtest::write_file("out/03BV.out", "user");          // has a run file's shape, never listed
  qmtest::write_file("out/05VCF.vcf.tmp", "cut");      // leftover of a listed file
  qmtest::write_file("out/summary.csv.part", "part");  // written on the way by this run
  qmtest::write_file("out/run.json.tmp", "{");         // leftover of the record

  const qm::folder_survey s = qm::survey_output_folder(qm::output_folder("out"), planned_files(), {}, true);
  EXPECT_TRUE(s.recorded);
  EXPECT_EQ(s.removable, (names{"01BV.out", "05VCF.vcf", "05VCF.vcf.tmp", "log.txt", "run.json.tmp",
                                "summary.csv.part", "run.json"}));
  EXPECT_EQ(s.changed, (names{"02BV.out", "notes.out"}));
  EXPECT_EQ(s.in_the_way, (names{"02BV.out"}));
  EXPECT_EQ(s.earlier, (names{"01BV.out", "02BV.out", "05VCF.vcf", "05VCF.vcf.tmp", "log.txt", "notes.out",
                              "run.json", "run.json.tmp", "summary.csv.part"}));

  // Without the contents compared (no --overwrite) the listed files all count as the earlier run's.
  const qm::folder_survey quick = qm::survey_output_folder(qm::output_folder("out"), planned_files(), {}, false);
  EXPECT_EQ(quick.earlier, s.earlier);
  EXPECT_TRUE(quick.changed.empty());
}

TEST(EarlierRun, NamedFilesLinksAndUnlistedNamesAreInTheWayOrLeftAlone) {
  qmtest::tempdir td;
  earlier_run({{"log.txt", "log"}, {"01BV.out", "one"}, {"param.par", "parameters"}});
  qmtest::write_file("target.txt", "kept");
  fs::create_symlink("../target.txt", "out/02BV.out");  // a link where this run writes
  const qm::folder_survey s =
      qm::survey_output_folder(qm::output_folder("out"), planned_files(), {"out/param.par", "./out/log.txt"}, true);
  // The listed, unchanged parameter file and log.txt are named on the command line: kept.
  EXPECT_EQ(s.removable, (names{"01BV.out", "run.json"}));
  EXPECT_EQ(s.in_the_way, (names{"02BV.out", "log.txt"}));
  EXPECT_EQ(qmtest::read_file("target.txt"), "kept");
}

TEST(EarlierRun, AFolderWithoutARecordGivesUpOnlyTheNamesThisRunWrites) {
  qmtest::tempdir td;
  fs::create_directories("out");
  for (const char* n : {"log.txt", "01BV.out", "01BV.out.tmp", "07BV.out", "nohup.out", "cattlegeno.bed"})
    qmtest::write_file(std::string("out/") + n, "x");
  for (const char* record : {"", "not json", "{\"files\": 3}"}) {
    if (*record) qmtest::write_file("out/run.json", record);
    const qm::folder_survey s = qm::survey_output_folder(qm::output_folder("out"), planned_files(), {}, true);
    EXPECT_FALSE(s.recorded) << record;
    const names expected = *record ? names{"01BV.out", "01BV.out.tmp", "log.txt", "run.json"}
                                   : names{"01BV.out", "01BV.out.tmp", "log.txt"};
    EXPECT_EQ(s.removable, expected) << record;
    EXPECT_EQ(s.earlier, expected) << record;
    EXPECT_TRUE(s.in_the_way.empty()) << record;
  }
}

TEST(EarlierRun, ARecordThatNamesFilesOutsideTheFolderIsNotFollowed) {
  qmtest::tempdir td;
  qmtest::write_file("precious.txt", "data");
  earlier_run({{"01BV.out", "one"}});
  // A run.json edited to list a file outside the folder, with its true hash.
  qm::run_manifest m = qm::read_manifest("out/run.json");
  m.files.push_back(qm::describe_file("precious.txt"));
  m.files.back().name = "../precious.txt";
  qm::write_manifest("out/run.json", m);
  const qm::folder_survey s = qm::survey_output_folder(qm::output_folder("out"), planned_files(), {}, true);
  EXPECT_EQ(s.removable, (names{"01BV.out", "run.json"}));
}

}  // namespace
