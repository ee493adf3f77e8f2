#include "dns/zvDnssecGraph.h"

#include <algorithm>

namespace {

// DOT's quoted strings: a quote and a backslash escaped, a line break as DOT's own.
std::string Quoted(const std::string& text) {
  std::string quoted = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\')
      quoted += '\\', quoted += c;
    else if (c == '\n')
      quoted += "\\n";
    else if (static_cast<unsigned char>(c) < 0x20)
      quoted += ' ';
    else
      quoted += c;
  }
  return quoted + '"';
}

const char* Colour(TzvDnssecVerdict verdict) {
  switch (verdict) {
    case TzvDnssecVerdict::Secure:
      return "#2e7d32";
    case TzvDnssecVerdict::Insecure:
      return "#616161";
    case TzvDnssecVerdict::Bogus:
      return "#c62828";
    case TzvDnssecVerdict::Indeterminate:
      break;
  }
  return "#ef6c00";
}

std::string NodeLabel(const TzvDnssecNode& node) {
  const std::string tag = std::to_string(node.Tag), algorithm = std::to_string(node.Algorithm);
  switch (node.Kind) {
    case TzvDnssecNodeKind::Anchor:
      return "trust anchor";
    case TzvDnssecNodeKind::Key:
      return "DNSKEY " + tag + "\nalg " + algorithm + ", " + (node.Ksk ? "KSK" : "ZSK");
    case TzvDnssecNodeKind::Ds:
      return "DS " + tag + "\nalg " + algorithm + ", digest " + std::to_string(node.DigestType);
    case TzvDnssecNodeKind::NoDs:
      return "no DS (unsigned delegation)";
    case TzvDnssecNodeKind::RRset:
      return node.Owner + "/" + node.Type;
  }
  return node.Id;
}

}  // namespace

const TzvDnssecNode* TzvDnssecGraph::Find(const std::string& id) const {
  for (const TzvDnssecNode& node : Nodes)
    if (node.Id == id) return &node;
  return nullptr;
}

TzvDnssecNode& TzvDnssecGraph::Add(TzvDnssecNode node) {
  for (TzvDnssecNode& known : Nodes)
    if (known.Id == node.Id) {
      // A later finding that the node is not secure outweighs an earlier silence.
      if (!node.Reason.empty()) known.Reason = node.Reason, known.Verdict = node.Verdict;
      return known;
    }
  return Nodes.emplace_back(std::move(node));
}

void TzvDnssecGraph::Link(const std::string& from, const std::string& to, TzvDnssecEdgeKind kind,
                          TzvDnssecVerdict verdict, std::string reason) {
  for (const TzvDnssecEdge& edge : Edges)
    if (edge.From == from && edge.To == to && edge.Kind == kind) return;
  Edges.push_back({from, to, kind, verdict, std::move(reason)});
}

void TzvDnssecGraph::Merge(const TzvDnssecGraph& other) {
  for (const TzvDnssecZoneBox& zone : other.Zones)
    if (std::none_of(Zones.begin(), Zones.end(),
                     [&](const TzvDnssecZoneBox& known) { return known.Name == zone.Name; }))
      Zones.push_back(zone);
  for (const TzvDnssecNode& node : other.Nodes) Add(node);
  for (const TzvDnssecEdge& edge : other.Edges)
    Link(edge.From, edge.To, edge.Kind, edge.Verdict, edge.Reason);
}

std::string DnssecKeyId(const std::string& zone, std::uint16_t tag, std::uint8_t algorithm) {
  return "key:" + zone + ":" + std::to_string(tag) + "/" + std::to_string(algorithm);
}

std::string DnssecDsId(const std::string& zone, std::uint16_t tag, std::uint8_t algorithm,
                       std::uint8_t digest_type) {
  return "ds:" + zone + ":" + std::to_string(tag) + "/" + std::to_string(algorithm) + "/" +
         std::to_string(digest_type);
}

std::string DnssecGraphDot(const TzvDnssecGraph& graph) {
  std::string dot = "digraph \"chain of trust\" {\n";
  dot +=
      "  rankdir=TB; compound=true; node [shape=box, style=\"rounded,filled\", "
      "fontname=\"sans-serif\", fillcolor=white];\n";
  dot += "  label=" +
         Quoted("DNSSEC: " + DnssecVerdictText(graph.Verdict) +
                (graph.Reason.empty() ? "" : "\n" + graph.Reason)) +
         "; labelloc=b;\n";
  const auto write_node = [&](const TzvDnssecNode& node, const char* indent) {
    std::string label = NodeLabel(node);
    if (!node.Reason.empty()) label += "\n" + node.Reason;
    dot += std::string(indent) + Quoted(node.Id) + " [label=" + Quoted(label) +
           ", color=" + Quoted(Colour(node.Verdict)) +
           (node.Kind == TzvDnssecNodeKind::Key || node.Kind == TzvDnssecNodeKind::Anchor
                ? ", shape=ellipse"
                : "") +
           (node.Verdict == TzvDnssecVerdict::Secure ? "" : ", penwidth=2") + "];\n";
  };
  for (std::size_t i = 0; i < graph.Zones.size(); ++i) {
    const TzvDnssecZoneBox& zone = graph.Zones[i];
    std::string label = zone.Name + " (" + DnssecVerdictText(zone.Verdict) + ")";
    if (!zone.Reason.empty()) label += "\n" + zone.Reason;
    dot += "  subgraph \"cluster_" + std::to_string(i) + "\" {\n    label=" + Quoted(label) +
           "; color=" + Quoted(Colour(zone.Verdict)) + "; style=rounded;\n";
    for (const TzvDnssecNode& node : graph.Nodes)
      if (node.Zone == zone.Name) write_node(node, "    ");
    dot += "  }\n";
  }
  for (const TzvDnssecNode& node : graph.Nodes)
    if (std::none_of(graph.Zones.begin(), graph.Zones.end(),
                     [&](const TzvDnssecZoneBox& zone) { return zone.Name == node.Zone; }))
      write_node(node, "  ");
  for (const TzvDnssecEdge& edge : graph.Edges) {
    std::string label =
        edge.Kind == TzvDnssecEdgeKind::DsMatchesKey ? "DS matches key" : "key signs set";
    if (!edge.Reason.empty()) label += "\n" + edge.Reason;
    dot += "  " + Quoted(edge.From) + " -> " + Quoted(edge.To) + " [label=" + Quoted(label) +
           ", color=" + Quoted(Colour(edge.Verdict)) +
           (edge.Verdict == TzvDnssecVerdict::Secure ? "" : ", style=dashed, penwidth=2") + "];\n";
  }
  return dot + "}\n";
}
