#include "dns/zvDnssecGraph.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "tests/support/NetNamespace.h"

namespace {

// Names in the graph come from the wire: whatever bytes they hold, Graphviz reads the
// file as the graph it is (one arrow stays one arrow, no attribute or node is smuggled
// in), and the names are still there to read.
TEST(DnssecGraphDot, NamesFromTheWireCannotBreakOutOfTheirQuotes) {
  if (CommandOutput("command -v dot").empty()) GTEST_SKIP() << "graphviz's dot is missing";
  const std::string hostile[] = {"a\"];b->c[label=\"x", "back\\\\slash\\", "new\nline}", "\x1b[2J"};
  for (const std::string& name : hostile) {
    SCOPED_TRACE(name);
    TzvDnssecGraph graph;
    graph.Zones.push_back({name, TzvDnssecVerdict::Bogus, name});
    TzvDnssecNode key;
    key.Id = DnssecKeyId(name, 1, 13);
    key.Zone = name;
    graph.Add(key);
    TzvDnssecNode set;
    set.Id = "rrset:" + name;
    set.Kind = TzvDnssecNodeKind::RRset;
    set.Zone = name;
    set.Owner = name;
    set.Type = "A";
    set.Reason = name;
    graph.Add(set);
    graph.Link(key.Id, set.Id, TzvDnssecEdgeKind::KeySignsSet, TzvDnssecVerdict::Bogus, name);
    graph.Reason = name;
    const std::string file = testing::TempDir() + "graph.dot";
    std::ofstream(file, std::ios::binary) << DnssecGraphDot(graph);
    // dot's plain output: a line "node ..." per node and "edge ..." per arrow.
    const std::string plain = CommandOutput("dot -Tplain '" + file + "' 2>&1 && echo parsed");
    ASSERT_TRUE(plain.ends_with("parsed\n")) << plain;
    std::size_t nodes = 0, edges = 0;
    for (std::size_t at = 0; at < plain.size(); at = plain.find('\n', at) + 1) {
      nodes += plain.compare(at, 5, "node ") == 0;
      edges += plain.compare(at, 5, "edge ") == 0;
      if (plain.find('\n', at) == std::string::npos) break;
    }
    EXPECT_EQ(nodes, 2u) << plain;
    EXPECT_EQ(edges, 1u) << plain;
  }
}

}  // namespace
