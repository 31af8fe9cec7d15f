// The generations and kinds of file a run writes: every form of --generations
// against a plain reading of what it says, over every generation number.
#include "config/output_choice.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(OutputChoice, GenerationsAgainstWhatTheySay) {
  struct choice_case {
    const char* text;
    bool (*says)(int64_t g, int64_t last);
  };
  const choice_case cases[] = {
      {"all", [](int64_t, int64_t) { return true; }},
      {"last", [](int64_t g, int64_t last) { return g == last; }},
      {"every:5", [](int64_t g, int64_t) { return g % 5 == 0; }},
      {"every:1", [](int64_t, int64_t) { return true; }},
      {"1,5,10-12", [](int64_t g, int64_t) { return g == 1 || g == 5 || (g >= 10 && g <= 12); }},
      {"7", [](int64_t g, int64_t) { return g == 7; }},
      {"3-3,last", [](int64_t g, int64_t last) { return g == 3 || g == last; }},
      {"0-2,2-4", [](int64_t g, int64_t) { return g <= 4; }},
  };
  for (const choice_case& c : cases) {
    std::string why;
    const auto g = qm::generation_choice::parse(c.text, why);
    ASSERT_TRUE(g.has_value()) << c.text << ": " << why;
    EXPECT_EQ(g->text(), c.text);
    for (int64_t last : {0, 6, 12, 30})
      for (int64_t k = 0; k <= last; ++k) EXPECT_EQ(g->contains(k, last), c.says(k, last)) << c.text << " " << k;
  }
  for (const char* bad : {"", "every:", "every:x", "every:-1", "1,,2", "3-", "-3", "4-2", "1.5", "first", "1 2",
                          "1234567890"}) {
    std::string why;
    EXPECT_FALSE(qm::generation_choice::parse(bad, why).has_value()) << bad;
    EXPECT_FALSE(why.empty()) << bad;
  }
}

TEST(OutputChoice, Kinds) {
  std::string why;
  const auto k = qm::output_choice::parse_kinds("report,plink,plink", why);
  ASSERT_TRUE(k.has_value()) << why;
  qm::output_choice c;
  c.kinds = *k;
  EXPECT_EQ(c.kinds_text(), "plink,report");  // in the order of output_kinds(), once each
  EXPECT_FALSE(c.wants("haplotypes"));
  EXPECT_FALSE(qm::output_choice::parse_kinds("plink,", why).has_value());
  EXPECT_NE(why.find("\"\" is not a kind of file"), std::string::npos) << why;
  // The default set is today's: every kind but the genotype files for other tools.
  EXPECT_EQ(qm::output_choice{}.kinds_text(), "haplotypes,values,ebv,summary,report");
}

}  // namespace
