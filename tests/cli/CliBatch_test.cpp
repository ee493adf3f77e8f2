// The lines of a batch file: what each asks, and what is refused with its number.
#include "cli/CliBatch.h"

#include <gtest/gtest.h>

#include <sstream>

#include "dns/zvDnsMessage.h"
#include "dns/zvDnsRecordTypes.h"

namespace {

TEST(BatchLines, EachLineAsksOneQuestionOrSaysWhyNot) {
  struct TCase {
    const char* text;
    bool question;
    const char* name;
    std::int32_t type;
    const char* problem;
  };
  const TCase cases[] = {
      {"www.example", true, "www.example", kzvDnsTypeAAAA, ""},  // the default type
      {"  www.example\tmx \r", true, "www.example", kzvDnsTypeMX, ""},
      {"TXT www.example", true, "www.example", kzvDnsTypeTXT, ""},
      {"a mx", true, "a", kzvDnsTypeMX, ""},  // NAME TYPE first, as dig reads it
      {"a#b # a comment", true, "a#b", kzvDnsTypeAAAA, ""},
      {"# nothing", false, "", 0, ""},
      {" \t", false, "", 0, ""},
      {"www.example bogus", true, "", 0, "unknown TYPE 'bogus'"},
      {"a b c", true, "", 0, "not 3 words"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.text);
    const TBatchLine line = ParseBatchLine(c.text, kzvDnsTypeAAAA);
    EXPECT_EQ(line.Question, c.question);
    EXPECT_NE(line.Problem.find(c.problem), std::string::npos) << line.Problem;
    if (*c.problem == '\0' && c.question) {
      EXPECT_EQ(line.Name, c.name);
      EXPECT_EQ(line.Type, c.type);
    }
  }
}

TEST(BatchLines, TheReaderCountsLinesAndBoundsThem) {
  std::istringstream in("one\n" + std::string(5000, 'x') + "\ntwo\r\n" + std::string("a\0b", 3) +
                        "\nlast-without-end");
  TBatchReader reader(in, kzvDnsTypeA);
  const std::pair<std::int64_t, const char*> expected[] = {
      {1, "one"}, {2, "longer than 1024 bytes"}, {3, "two"}, {4, "NUL"}, {5, "last"}};
  for (const auto& [number, what] : expected) {
    const auto line = reader.Next();
    ASSERT_TRUE(line);
    EXPECT_EQ(line->Number, number);
    EXPECT_NE((line->Name + line->Problem).find(what), std::string::npos) << number;
  }
  EXPECT_FALSE(reader.Next());
}

}  // namespace
