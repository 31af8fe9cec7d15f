#include "output/manifest.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <regex>
#include <string>
#include <vector>

#include "base/atomic_file.hpp"
#include "support.hpp"

namespace {

std::string sha256sum(const std::string& file) {
  std::FILE* p = popen(("sha256sum " + file).c_str(), "r");
  char line[300] = {};
  if (!p || !std::fgets(line, sizeof line, p)) return "";
  pclose(p);
  return std::string(line, 64);
}

qm::run_manifest sample_run() {
  qm::run_manifest m;
  m.version = "1.0.0";
  m.command_line = {"quillmere", "--threads", "2", "my run.par"};
  m.parameter_file = "my run.par";
  m.parameter_file_sha256 = qm::describe_file("my run.par").sha256;
  m.seed = 20261207;
  m.threads = 2;
  m.start_time = qm::iso8601_local(1700000000);
  m.end_time = qm::iso8601_local(1700000042);
  m.wall_seconds = 42.125;
  m.peak_memory_bytes = qm::peak_memory_bytes();
  return m;
}

TEST(Manifest, RoundTripWithTheFilesOfARun) {
  qmtest::tempdir dir;
  qmtest::write_file("my run.par", "title\n1 0 0.2 0\n");
  qmtest::write_file("05MTYPE.out", std::string(100000, '1'));
  qmtest::write_file("log.txt", "done\n");
  qmtest::write_file("01BV.out", "");
  qm::run_manifest m = sample_run();
  qm::record_files(m, {"log.txt", "05MTYPE.out", "01BV.out"});
  qmtest::write_file("log.txt", "done, longer\n");  // written again later in the run
  qm::record_files(m, {"log.txt"});
  ASSERT_EQ(m.files.size(), 3u);
  qm::write_manifest("run.json", m);
  // Nothing but run.json was added; no temporary file is left.
  EXPECT_TRUE(qmtest::file_exists("run.json"));
  EXPECT_FALSE(qmtest::file_exists("run.json.tmp"));

  const qm::run_manifest back = qm::read_manifest("run.json");
  EXPECT_EQ(back.version, "1.0.0");
  EXPECT_EQ(back.command_line, m.command_line);
  EXPECT_EQ(back.parameter_file_sha256, sha256sum("'my run.par'"));
  EXPECT_EQ(back.seed, 20261207);
  EXPECT_EQ(back.replicate, 0);
  EXPECT_EQ(back.wall_seconds, 42.125);
  EXPECT_GT(back.peak_memory_bytes, 1 << 20);
  EXPECT_FALSE(back.stop_message.has_value());
  // Sorted by name, with the sizes and hashes of the files as they are now.
  ASSERT_EQ(back.files.size(), 3u);
  EXPECT_EQ(back.files[0].name, "01BV.out");
  EXPECT_EQ(back.files[1].name, "05MTYPE.out");
  EXPECT_EQ(back.files[2].name, "log.txt");
  for (const qm::manifest_file& f : back.files) {
    EXPECT_EQ(f.sha256, sha256sum(f.name)) << f.name;
    EXPECT_EQ(f.size, qmtest::read_file(f.name).size()) << f.name;
  }
  // Everything else as given.
  qm::run_manifest sorted = m;
  std::sort(sorted.files.begin(), sorted.files.end(),
            [](const qm::manifest_file& a, const qm::manifest_file& b) { return a.name < b.name; });
  EXPECT_TRUE(back == sorted);
  const std::string text = qmtest::read_file("run.json");
  EXPECT_NE(text.find("\"stop_message\": null"), std::string::npos) << text;
  EXPECT_NE(text.find("\"program\": \"quillmere\""), std::string::npos) << text;
  EXPECT_LT(text.find("\"version\""), text.find("\"files\""));

  // A stopped run, a replicate; the old run.json is replaced whole.
  m.exit_status = 1;
  m.stop_message = "Parameter nind of stage 2 must be at least 2. Change record 16.";
  m.replicate = 3;
  qm::write_manifest("run.json", m);
  const qm::run_manifest stopped = qm::read_manifest("run.json");
  EXPECT_EQ(stopped.exit_status, 1);
  EXPECT_EQ(stopped.stop_message, m.stop_message);
  EXPECT_EQ(stopped.replicate, 3);
}

// The history paths: written as given, null when not given, read back; a
// run.json without the keys (written before they were kept) reads as one
// without histories, while a missing required key is still refused.
TEST(Manifest, HistoryPathsAsGiven) {
  qmtest::tempdir dir;
  qmtest::write_file("my run.par", "title\n1 0 0.2 0\n");
  qm::run_manifest m = sample_run();
  m.from_history = "../histories/h 1.qmh";
  qm::write_manifest("run.json", m);
  const std::string text = qmtest::read_file("run.json");
  EXPECT_NE(text.find("\"from_history\": \"../histories/h 1.qmh\""), std::string::npos) << text;
  EXPECT_NE(text.find("\"save_history\": null"), std::string::npos) << text;
  EXPECT_LT(text.find("\"parameter_file_sha256\""), text.find("\"from_history\""));
  EXPECT_LT(text.find("\"save_history\""), text.find("\"seed\""));
  const qm::run_manifest back = qm::read_manifest("run.json");
  EXPECT_EQ(back.from_history, m.from_history);
  EXPECT_FALSE(back.save_history.has_value());
  EXPECT_TRUE(back == m);

  std::string older = text;
  for (const char* key : {"  \"from_history\": \"../histories/h 1.qmh\",\n", "  \"save_history\": null,\n"}) {
    ASSERT_NE(older.find(key), std::string::npos) << key;
    older.erase(older.find(key), std::string(key).size());
  }
  qmtest::write_file("older.json", older);
  const qm::run_manifest old = qm::read_manifest("older.json");
  EXPECT_FALSE(old.from_history.has_value() || old.save_history.has_value());
  EXPECT_EQ(old.seed, m.seed);
  std::string no_stop = older;
  no_stop.erase(no_stop.find("  \"stop_message\": null,\n"), std::string("  \"stop_message\": null,\n").size());
  qmtest::write_file("no_stop.json", no_stop);
  EXPECT_THROW(qm::read_manifest("no_stop.json"), qm::file_error);
}

// The same instant as date(1) shows it, in zones east and west of UTC with
// half-hour offsets (POSIX zone rules, which need no time-zone database).
TEST(Manifest, LocalTimeWithItsOffset) {
  const char* old = std::getenv("TZ");
  const std::string saved = old ? old : "";
  for (const char* tz : {"UTC0", "IST-5:30", "NST3:30"}) {
    setenv("TZ", tz, 1);
    tzset();
    const std::string s = qm::iso8601_local(1700000000);
    EXPECT_TRUE(std::regex_match(s, std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d\d:\d\d)"))) << s;
    std::FILE* p = popen("date -d @1700000000 +%Y-%m-%dT%H:%M:%S%:z", "r");
    char line[100] = {};
    ASSERT_TRUE(p && std::fgets(line, sizeof line, p));
    pclose(p);
    EXPECT_EQ(s + "\n", line) << tz;
  }
  EXPECT_EQ(qm::iso8601_local(1700000000), "2023-11-14T18:43:20-03:30");
  if (old)
    setenv("TZ", saved.c_str(), 1);
  else
    unsetenv("TZ");
  tzset();
}

// Files of many sizes hashed on three threads, the largest first: each entry
// keeps its own name, size and hash (as sha256sum gives them), in the order
// given; of two missing files, the error names the first in that order.
TEST(Manifest, FilesHashedLargestFirstKeepTheirEntries) {
  qmtest::tempdir dir;
  qmtest::write_file("my run.par", "title\n");
  std::vector<std::string> names;
  for (int k = 0; k < 12; ++k) {
    const std::string name = "f" + std::to_string(k) + ".out";
    qmtest::write_file(name, std::string(static_cast<size_t>((k * 7919) % 13) * 50000 + static_cast<size_t>(k), 'a' + k));
    names.push_back(name);
  }
  qm::run_manifest m = sample_run();
  qm::record_files(m, names, 3);
  ASSERT_EQ(m.files.size(), names.size());
  for (size_t k = 0; k < names.size(); ++k) {
    EXPECT_EQ(m.files[k].name, names[k]);
    EXPECT_EQ(m.files[k].size, qmtest::read_file(names[k]).size()) << names[k];
    EXPECT_EQ(m.files[k].sha256, sha256sum(names[k])) << names[k];
  }
  qm::run_manifest again = sample_run();
  std::vector<std::string> with_missing = names;
  with_missing.insert(with_missing.begin() + 3, "missing_b.out");
  with_missing.insert(with_missing.begin() + 9, "missing_a.out");
  try {
    qm::record_files(again, with_missing, 3);
    ADD_FAILURE() << "missing files were recorded";
  } catch (const qm::file_error& e) {
    EXPECT_EQ(e.file, "missing_b.out");
  }
}

TEST(Manifest, FailuresNameTheFile) {
  qmtest::tempdir dir;
  qmtest::write_file("my run.par", "title\n");
  qm::run_manifest m = sample_run();
  auto file_of = [](auto&& f) -> std::string {
    try {
      f();
    } catch (const qm::file_error& e) {
      return e.file;
    }
    return "(no error)";
  };
  EXPECT_EQ(file_of([&] { qm::record_files(m, {"05MTYPE.out"}); }), "05MTYPE.out");
  EXPECT_EQ(file_of([&] { qm::write_manifest("out/run.json", m); }), "out/run.json");
  EXPECT_EQ(file_of([&] { qm::read_manifest("run.json"); }), "run.json");
  qm::write_manifest("run.json", m);
  const std::string text = qmtest::read_file("run.json");
  // Cut short, and without a field.
  qmtest::write_file("cut.json", text.substr(0, text.size() / 2));
  EXPECT_EQ(file_of([&] { qm::read_manifest("cut.json"); }), "cut.json");
  std::string no_seed = text;
  no_seed.replace(no_seed.find("\"seed\""), 6, "\"sead\"");
  qmtest::write_file("noseed.json", no_seed);
  try {
    qm::read_manifest("noseed.json");
    ADD_FAILURE() << "read without a seed";
  } catch (const qm::file_error& e) {
    EXPECT_NE(std::string(e.what()).find("Run record noseed.json cannot be read"), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find("seed"), std::string::npos) << e.what();
  }
}

// Integers that a conversion would wrap or cut: an exit status of 2^32 must
// not read back as 0 (a normal end), nor a fraction or a negative size pass.
TEST(Manifest, IntegersOutsideTheirTypeAreRefused) {
  qmtest::tempdir dir;
  qmtest::write_file("my run.par", "title\n");
  qmtest::write_file("log.txt", "done\n");
  qm::run_manifest m = sample_run();
  m.exit_status = 1;
  qm::record_files(m, {"log.txt"});
  qm::write_manifest("run.json", m);
  const std::string text = qmtest::read_file("run.json");
  auto with = [&](const std::string& field, const std::string& value) {
    const size_t at = text.find("\"" + field + "\": ");
    EXPECT_NE(at, std::string::npos) << field;
    const size_t from = at + field.size() + 4, to = text.find_first_of(",\n", from);
    return text.substr(0, from) + value + text.substr(to);
  };
  auto refusal = [](const std::string& json) -> std::string {
    try {
      qm::parse_manifest(json, "run.json");
    } catch (const qm::file_error& e) {
      return e.what();
    }
    return "(read)";
  };
  // The bounds themselves read back.
  EXPECT_EQ(qm::parse_manifest(with("exit_status", "2147483647"), "run.json").exit_status, 2147483647);
  EXPECT_EQ(qm::parse_manifest(with("exit_status", "-2147483648"), "run.json").exit_status, -2147483648LL);
  EXPECT_EQ(qm::parse_manifest(with("seed", "9223372036854775807"), "run.json").seed, 9223372036854775807LL);
  EXPECT_EQ(qm::parse_manifest(with("size", "18446744073709551615"), "run.json").files.at(0).size,
            18446744073709551615ULL);
  EXPECT_EQ(qm::parse_manifest(text, "run.json"), qm::read_manifest("run.json"));
  const std::pair<std::string, std::string> cases[] = {
      {"exit_status", "4294967296"}, {"exit_status", "2147483648"}, {"exit_status", "-2147483649"},
      {"exit_status", "0.5"},        {"exit_status", "1e10"},       {"exit_status", "\"0\""},
      {"exit_status", "null"},       {"seed", "9223372036854775808"}, {"seed", "1.5"},
      {"threads", "4294967298"},     {"replicate", "-2147483649"}, {"peak_memory_bytes", "1e300"},
      {"size", "-1"},                {"size", "1.0"},
  };
  for (const auto& [field, value] : cases) {
    const std::string why = refusal(with(field, value));
    EXPECT_NE(why.find("Run record run.json cannot be read: \"" + field + "\" is "), std::string::npos) << why;
    EXPECT_NE(why.find(", not a whole number from "), std::string::npos) << field << " " << value << ": " << why;
  }
  EXPECT_NE(refusal(with("exit_status", "4294967296")).find("\"exit_status\" is 4294967296, not a whole number from "
                                                          "-2147483648 to 2147483647"),
            std::string::npos);
  // A long value is shown cut.
  EXPECT_NE(refusal(with("exit_status", "\"" + std::string(100, '9') + "\"")).find("is \"" + std::string(35, '9') + " ...,"),
            std::string::npos);
}

}  // namespace
