#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "tests/cli/CliTestSupport.h"
#include "tests/support/NetNamespace.h"

namespace {

// --graph against the signed tree: Graphviz reads what is written, and the graph it reads
// holds the zones down to the answer with the broken link where the verdict says.
TEST(CliGraph, DotReadsTheChainOfASecureAndABogusAnswer) {
  REQUIRE_LOOPBACK_NAMESPACE();
  const std::string run_dir = std::getenv("PELLAMAR_NETNS_RUN");
  const std::string anchor = run_dir + "/dnssec/root.anchor";
  struct TCase {
    const char* name;
    int status;
    const char* expected;  // in dot's own rewriting of the graph
  };
  const TCase cases[] = {
      {"www.ed.example", 0, "\"rrset:www.ed.example/A\""},
      {"www.bogus-ds.example", 5, "DS does not match any DNSKEY"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string file = run_dir + "/" + c.name + ".dot";
    const CliRun run =
        RunCliCaptured({"@127.0.0.53", "--trust-anchor", anchor, "--graph", file, c.name});
    EXPECT_EQ(run.status, c.status) << run.err;
    ASSERT_TRUE(std::filesystem::exists(file));
    // dot -Tcanon parses the file and writes it back; it fails on a syntax error.
    const std::string canon = CommandOutput("dot -Tcanon '" + file + "' 2>&1 && echo parsed");
    EXPECT_TRUE(canon.ends_with("parsed\n")) << canon;
    EXPECT_NE(canon.find(c.expected), std::string::npos) << canon;
    for (const char* zone : {"\". (secure)\"", "\"example (secure)\""})
      EXPECT_NE(canon.find(zone), std::string::npos) << zone;
  }
  // A file that cannot be written is said so, and fails the run.
  const CliRun unwritable = RunCliCaptured(
      {"@127.0.0.53", "--trust-anchor", anchor, "--graph", "/nonexistent/x.dot", "www.ed.example"});
  EXPECT_EQ(unwritable.status, 2);
  EXPECT_NE(unwritable.err.find("cannot write the graph"), std::string::npos) << unwritable.err;
  // One lookup's chain: not several servers' at once.
  EXPECT_EQ(RunCliCaptured({"@127.0.0.53", "@127.0.0.10", "--graph", "x.dot", "a"}).status, 2);
}

}  // namespace
