// The signed test tree of the namespace (tests/netns/start-dnssec.sh), reached through its
// non-validating resolver on 127.0.0.53 and trusted from the root key made for this run.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "dns/zvDnsQuery.h"
#include "dns/zvDnssecChain.h"
#include "tests/support/NetNamespace.h"

// A question to the tree's resolver, asked as a lookup with --dnssec would ask it.
inline std::unique_ptr<TzvDnsMessage> AskTree(const std::string& name, std::int32_t type) {
  TzvDnsQuery lookup(nullptr);
  lookup.SetServer("127.0.0.53");
  return TzvDnssecQueryAsker(lookup).Ask(name, type);
}

inline std::vector<std::unique_ptr<TzvDnsRecord>> TreeAnchors() {
  return ReadTrustAnchorFile(NetnsRunDir() + "/dnssec/root.anchor");
}
