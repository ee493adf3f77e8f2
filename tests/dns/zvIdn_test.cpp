#include "dns/zvIdn.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>

#include "dns/zvUtils.h"

namespace {

TEST(IdnToAscii, ConvertsUnicodeLabelsAndLeavesAsciiAlone) {
  const std::pair<const char*, const char*> table[] = {
      {"café.pellamar.test", "xn--caf-dma.pellamar.test"},
      {"CAFÉ.example", "xn--caf-dma.example"},  // UTS #46 maps to lower case
      {"straße.de", "xn--strae-oqa.de"},        // IDNA 2008: ß is kept
      {"_ldap._tcp.example", "_ldap._tcp.example"},
      {"Host4.Pellamar.Test.", "Host4.Pellamar.Test."},
      {"", ""},
  };
  for (const auto& [name, ascii] : table) EXPECT_EQ(IdnToAscii(name), ascii) << name;
}

TEST(IdnToAscii, RefusesWhatCannotBeConverted) {
  // Not UTF-8, a disallowed symbol, and a NUL hidden behind a non-ASCII letter.
  for (const std::string& name :
       {std::string("caf\xE9.test"), std::string("a\xE2\x98\x83\xEF\xB8\x8F.test\xC2\x80"),
        std::string("caf\xC3\xA9\0.x", 7)}) {
    try {
      IdnToAscii(name);
      ADD_FAILURE() << "accepted " << name;
    } catch (const EzvDnsError& e) {
      EXPECT_EQ(e.ErrorCode(), kzvDnsErrInvalidName);
      EXPECT_EQ(e.Message().rfind("Invalid international name", 0), 0u) << e.Message();
    }
  }
}

TEST(IdnToUnicode, ShowsOnlyNamesWithValidALabels) {
  EXPECT_EQ(IdnToUnicode("xn--caf-dma.pellamar.test"), "café.pellamar.test");
  EXPECT_EQ(IdnToUnicode("XN--CAF-DMA.test"), "café.test");
  EXPECT_EQ(IdnToUnicode("host4.pellamar.test"), "");
  EXPECT_EQ(IdnToUnicode("xn--.test"), "");  // not a valid A-label
  EXPECT_EQ(IdnToUnicode("axn--caf-dma.test"), "");
}

bool Idn2Loaded() {
  std::ifstream maps("/proc/self/maps");
  const std::string text((std::istreambuf_iterator<char>(maps)), std::istreambuf_iterator<char>());
  return text.find("libidn2") != std::string::npos;
}

// libidn2 costs every run start-up work, so it is loaded only when a name needs it. Checked
// in a process of its own, where no other test has loaded it yet.
TEST(IdnDeathTest, Idn2IsLoadedOnlyForNamesThatNeedIt) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        const bool before = Idn2Loaded();
        IdnToAscii("host4.pellamar.test");
        IdnToUnicode("host4.pellamar.test");
        const bool after_ascii = Idn2Loaded();
        const bool converted = IdnToAscii("café.test") == "xn--caf-dma.test";
        std::exit(!before && !after_ascii && converted && Idn2Loaded() ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
