// The chain of trust behind one DNSSEC verdict, as a graph: each zone from the trust
// anchor down, its DNSKEYs, the DS records its parent holds for it, the proof that a
// delegation has no DS, and at the bottom the answer's record sets; arrows for "this DS
// matches that key" and "this key signs that set". Every node and arrow carries its own
// verdict, and the one that broke the chain its reason in the validator's words. The
// validator records it as it proves (dns/zvDnssecChain.h); the window draws it and the
// command-line companion writes it as Graphviz DOT. Nodes hold data, not captions: each
// reader words them in its own language.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "dns/zvDnssecChain.h"

enum class TzvDnssecNodeKind {
  Anchor,  // the trust anchor a zone's key matched
  Key,     // a DNSKEY
  Ds,      // a DS record at the parent, naming a key of this zone
  NoDs,    // the parent's signed proof that this zone has no DS: unsigned below it
  RRset    // a record set of the answer (or its denial), signed by a key of its zone
};

enum class TzvDnssecEdgeKind { DsMatchesKey, KeySignsSet };

struct TzvDnssecNode {
  std::string Id;  // unique in its graph; also the DOT node's name
  TzvDnssecNodeKind Kind = TzvDnssecNodeKind::Key;
  std::string Zone;  // the zone whose box holds it ("." for the root); empty for none
  std::uint16_t Tag = 0;
  std::uint8_t Algorithm = 0;
  std::uint8_t DigestType = 0;  // DS
  bool Ksk = false;             // a DNSKEY with the SEP bit
  std::string Owner;            // RRset: owner name and type ("www.example./A")
  std::string Type;
  TzvDnssecVerdict Verdict = TzvDnssecVerdict::Indeterminate;
  std::string Reason;  // why it is not secure, when that is known of this node
};

struct TzvDnssecEdge {
  std::string From, To;
  TzvDnssecEdgeKind Kind = TzvDnssecEdgeKind::KeySignsSet;
  TzvDnssecVerdict Verdict = TzvDnssecVerdict::Secure;
  std::string Reason;
};

struct TzvDnssecZoneBox {
  std::string Name;  // "." for the root
  TzvDnssecVerdict Verdict = TzvDnssecVerdict::Indeterminate;
  std::string Reason;
};

struct TzvDnssecGraph {
  std::vector<TzvDnssecZoneBox> Zones;  // from the trust anchor down
  std::vector<TzvDnssecNode> Nodes;
  std::vector<TzvDnssecEdge> Edges;
  TzvDnssecVerdict Verdict = TzvDnssecVerdict::Indeterminate;
  std::string Reason;  // the verdict's, as the result gives it

  const TzvDnssecNode* Find(const std::string& id) const;
  TzvDnssecNode& Add(TzvDnssecNode node);  // kept once: a second node of its id is merged
  void Link(const std::string& from, const std::string& to, TzvDnssecEdgeKind kind,
            TzvDnssecVerdict verdict, std::string reason = {});
  // Adds what `other` holds that this graph does not.
  void Merge(const TzvDnssecGraph& other);
};

// The ids the validator gives its nodes.
std::string DnssecKeyId(const std::string& zone, std::uint16_t tag, std::uint8_t algorithm);
std::string DnssecDsId(const std::string& zone, std::uint16_t tag, std::uint8_t algorithm,
                       std::uint8_t digest_type);

// The graph in Graphviz's DOT language, in English: a cluster per zone, nodes coloured by
// verdict (green secure, grey insecure, red bogus, orange indeterminate), a broken arrow
// dashed and labelled with its reason.
std::string DnssecGraphDot(const TzvDnssecGraph& graph);
