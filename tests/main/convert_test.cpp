// quillmere convert and the scheme file through the program: both
// directions, standard output or a file that appears whole, and the stops.
#include <gtest/gtest.h>

#include <string>

#include "support.hpp"

namespace {

using qmtest::file_exists;
using qmtest::read_file;
using qmtest::run_program;

TEST(Convert, BothWaysThroughTheProgram) {
  qmtest::tempdir td;
  qmtest::write_file("run.par", qmtest::small_par());
  // To standard output without -o.
  ASSERT_EQ(run_program("convert run.par"), 0) << read_file("stderr.txt");
  const std::string toml = read_file("stdout.txt");
  EXPECT_TRUE(toml.starts_with("# Scheme file converted by quillmere convert from run.par."));
  EXPECT_NE(toml.find("\n[[stage]]\n"), std::string::npos);
  // To a file, and back to a classic file that --check accepts as the scheme does.
  ASSERT_EQ(run_program("convert run.par -o run.toml"), 0) << read_file("stderr.txt");
  EXPECT_EQ(read_file("run.toml"), toml);
  EXPECT_FALSE(file_exists("run.toml.tmp"));
  ASSERT_EQ(run_program("convert run.toml -o back.par"), 0) << read_file("stderr.txt");
  ASSERT_EQ(run_program("--check back.par"), 0) << read_file("stdout.txt");
  ASSERT_EQ(run_program("--check run.toml"), 0) << read_file("stdout.txt");
  EXPECT_NE(read_file("stdout.txt").find("run.toml: no problem found"), std::string::npos);
  // The scheme converted back gives the same keys and values again (the
  // headings, as comments, are those the classic writer gives).
  ASSERT_EQ(run_program("convert back.par"), 0);
  const auto keys = [](const std::string& text) {
    std::string out;
    size_t at = 0;
    while (at < text.size()) {
      const size_t nl = text.find('\n', at);
      const std::string line = text.substr(at, nl - at);
      if (!line.starts_with("#")) out += line + "\n";
      at = nl + 1;
    }
    return out;
  };
  EXPECT_EQ(keys(read_file("stdout.txt")), keys(toml));
}

TEST(Convert, StopsWithAReason) {
  qmtest::tempdir td;
  // A file that cannot be read: the reader's message, no output file.
  EXPECT_EQ(run_program("convert missing.par -o out.toml"), 1);
  EXPECT_NE(read_file("stderr.txt").find("quillmere: Parameter file missing.par cannot be opened"), std::string::npos)
      << read_file("stderr.txt");
  EXPECT_FALSE(file_exists("out.toml"));
  // A classic file the reader refuses: refused with the reader's message.
  qmtest::write_file("bad.par", qmtest::set_record(qmtest::small_par(), 8, "0.0"));
  EXPECT_EQ(run_program("convert bad.par"), 1);
  EXPECT_NE(read_file("stderr.txt").find("record 8: h2(1) = 0 is not allowed; required: 0 < h2 <= 1."), std::string::npos)
      << read_file("stderr.txt");
  EXPECT_EQ(read_file("stdout.txt"), "");
  // -o naming the file itself.
  qmtest::write_file("run.par", qmtest::small_par());
  EXPECT_EQ(run_program("convert run.par -o ./run.par"), 1);
  EXPECT_NE(read_file("stderr.txt").find("names the file being converted"), std::string::npos);
  EXPECT_EQ(read_file("run.par"), qmtest::small_par());
  // No file given: a command line that cannot be understood.
  EXPECT_EQ(run_program("convert"), 2);
}

// A scheme with a fault stops the run before anything is made, with its
// place in log.txt and on standard error; the classic run of the same
// folder is not confused by it.
TEST(SchemeRun, AFaultStopsBeforeTheFirstGeneration) {
  qmtest::tempdir td;
  qmtest::write_file("run.par", qmtest::small_par());
  ASSERT_EQ(run_program("convert run.par -o run.toml"), 0);
  std::string toml = read_file("run.toml");
  const size_t at = toml.find("sires = ");
  toml.replace(at, 6, "sire ");
  qmtest::write_file("bad.toml", toml);
  EXPECT_EQ(run_program("--outdir out bad.toml"), 1);
  const std::string said = read_file("stderr.txt");
  EXPECT_NE(said.find("quillmere: Scheme file bad.toml, line "), std::string::npos) << said;
  EXPECT_NE(said.find("unknown key `sire`; did you mean `sires`?"), std::string::npos) << said;
  EXPECT_NE(read_file("out/log.txt").find("unknown key `sire`"), std::string::npos);
  EXPECT_FALSE(file_exists("out/01BV.out"));
}

// A history saved from a scheme is checked against the scheme by its keys:
// a changed genome names the key and its line.
TEST(SchemeRun, AHistoryNamesTheKeyThatDiffers) {
  qmtest::tempdir td;
  qmtest::write_file("run.par", qmtest::small_par());
  ASSERT_EQ(run_program("convert run.par -o run.toml"), 0);
  ASSERT_EQ(run_program("--save-history h.qmh --outdir first run.toml"), 0) << read_file("stderr.txt");
  std::string toml = read_file("run.toml");
  const size_t at = toml.find("chromosomes = 4");
  ASSERT_NE(at, std::string::npos);
  toml.replace(at, 15, "chromosomes = 5");
  qmtest::write_file("changed.toml", toml);
  EXPECT_EQ(run_program("--from-history h.qmh --outdir second changed.toml"), 1);
  EXPECT_NE(read_file("stderr.txt").find("was made with nchr = 4; the scheme file changed.toml has 5 (`[genome] "
                                         "chromosomes`, line "),
            std::string::npos)
      << read_file("stderr.txt");
  // The unchanged scheme starts from it.
  EXPECT_EQ(run_program("--from-history h.qmh --outdir third run.toml"), 0) << read_file("stderr.txt");
}

}  // namespace
