// Tests that send packets or resolve names run only inside the private network namespace
// that ./test.sh makes (loopback only, our own resolver). Anywhere else they skip, so a
// developer's test run can never reach a real network or the machine's resolver.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "base/ScopeExit.h"

// True when this process runs inside the test namespace (./test.sh sets PELLAMAR_NETNS=1
// only after the namespace, loopback and resolv.conf are in place).
bool InLoopbackNamespace();

// The namespace's scratch folder, where the loopback servers keep what they made (keys,
// certificates, trust anchors); empty outside the namespace.
std::string NetnsRunDir();

// Has the window and the companion trust the signed test tree's root key (they read its
// file from PELLAMAR_TRUST_ANCHOR) until the returned guard goes.
[[nodiscard]] inline auto TrustSignedTreeAnchor() {
  ::setenv("PELLAMAR_TRUST_ANCHOR", (NetnsRunDir() + "/dnssec/root.anchor").c_str(), 1);
  return ScopeExit([] { ::unsetenv("PELLAMAR_TRUST_ANCHOR"); });
}

// What a shell command prints on both streams (for the reference tools: delv, kdig).
std::string CommandOutput(const std::string& command);

#define REQUIRE_LOOPBACK_NAMESPACE()                                                   \
  do {                                                                                 \
    if (!InLoopbackNamespace())                                                        \
      GTEST_SKIP() << "needs the private network namespace: run through ./test.sh or " \
                      "tests/netns/run-in-netns.sh";                                   \
  } while (0)
