// The trace from the root against the namespace's servers: the signed tree (root on
// 127.0.0.10, example. on .11, its children on .12) with each outcome and the DNSSEC
// verdicts per zone, the referral servers of start-nsd.sh taken as a root (127.0.0.2) for a
// delegation without glue, and Abort. Root hints are given here, so nothing is ever sent to
// the built-in ones.
#include "dns/zvDnsTrace.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <fstream>
#include <thread>

#include "dns/zvDnsRecordTypes.h"
#include "dns/zvDnssecTrace.h"
#include "tests/support/NetNamespace.h"
#include "tests/support/ScriptedDnsResponder.h"
#include "tests/support/SignedTree.h"

namespace {

using Lines = std::vector<std::string>;

// A trace whose root is the one loopback server, read from a hints file as a user's would be.
std::unique_ptr<TzvDnsTrace> TraceFrom(const std::string& root_name, const std::string& address) {
  const std::string path = ::testing::TempDir() + "/trace-" + address + ".hints";
  std::ofstream(path) << "; the namespace's root\n"
                      << ".  3600000  NS  " << root_name << "\n"
                      << root_name << "  3600000  A  " << address << "\n";
  auto trace = std::make_unique<TzvDnsTrace>();
  trace->SetRootHints(ReadRootHintsFile(path));
  trace->SetTimeOut(3000);
  return trace;
}

Lines Column(const std::vector<TzvTraceStep>& steps, std::string TzvTraceStep::*field) {
  Lines out;
  for (const auto& step : steps) out.push_back(step.*field);
  return out;
}

// The walk down the signed tree, three servers deep. The first root server given, on a
// closed port, fails at once (ICMP port unreachable) and the next one is asked.
TEST(TraceLoopback, WalksTheSignedTreeThreeServersDeep) {
  REQUIRE_LOOPBACK_NAMESPACE();
  TzvDnsTrace trace;
  trace.SetRootHints(
      ReadRootHints(". NS closed.test.\n. NS a.root-servers.example.\n"
                    "closed.test. A 127.0.0.99\na.root-servers.example. A 127.0.0.10\n"));
  const auto started = std::chrono::steady_clock::now();
  const auto steps = trace.Run("www.ed.example", kzvDnsTypeA);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
  EXPECT_EQ(Column(steps, &TzvTraceStep::Zone), (Lines{".", "example.", "ed.example."}));
  EXPECT_EQ(Column(steps, &TzvTraceStep::ServerAddress),
            (Lines{"127.0.0.10", "127.0.0.11", "127.0.0.12"}));
  EXPECT_EQ(Column(steps, &TzvTraceStep::ServerName),
            (Lines{"a.root-servers.example.", "ns1.example.", "ns2.example."}));
  EXPECT_EQ(Column(steps, &TzvTraceStep::NextZone), (Lines{"example.", "ed.example.", ""}));
  ASSERT_EQ(steps.size(), 3u);
  ASSERT_EQ(steps[0].Failures.size(), 1u);
  EXPECT_EQ(steps[0].Failures[0].rfind("127.0.0.99 (closed.test.): ", 0), 0u)
      << steps[0].Failures[0];
  EXPECT_EQ(steps[1].Servers, (std::vector<TzvTraceServer>{{"ns1.example.", {"127.0.0.11"}}}));
  const TzvTraceStep& last = steps.back();
  EXPECT_EQ(last.Outcome, TzvTraceOutcome::Answer);
  EXPECT_TRUE(last.Response->Header().IsAuthoritativeAnswer);
  EXPECT_FALSE(last.Response->Header().IsRecursionDesired);  // asked as a resolver asks
  const auto* a = dynamic_cast<const TzvDnsARecord*>(
      last.Response->Answers().FindItem("www.ed.example", kzvDnsTypeA));
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->IPAddress, "192.0.2.10");
  for (const auto& step : steps) EXPECT_GT(step.ElapsedMicroseconds, 0) << step.Zone;
}

TEST(TraceLoopback, EndsAtDenialsOfTheTree) {
  REQUIRE_LOOPBACK_NAMESPACE();
  struct TCase {
    const char* name;
    std::int32_t type;
    TzvTraceOutcome outcome;
    const char* zone;
  };
  const TCase cases[] = {
      {"nothing.ed.example", kzvDnsTypeA, TzvTraceOutcome::NameError, "ed.example."},
      {"www.ed.example", kzvDnsTypeTXT, TzvTraceOutcome::NoData, "ed.example."},
      {"www.example", kzvDnsTypeA, TzvTraceOutcome::Answer, "example."},
      {"nothing.test", kzvDnsTypeA, TzvTraceOutcome::NameError, "."},
  };
  auto trace = TraceFrom("a.root-servers.example.", "127.0.0.10");
  for (const auto& c : cases) {
    const auto steps = trace->Run(c.name, c.type);
    EXPECT_EQ(steps.back().Outcome, c.outcome) << c.name;
    EXPECT_EQ(steps.back().Zone, c.zone) << c.name;
    EXPECT_EQ(steps.back().ResponseCode, c.outcome == TzvTraceOutcome::NameError ? 3 : 0);
  }
}

// Each zone of the walk judged by the validator, from the tree's own root key.
TEST(TraceLoopback, JudgesEachZonesKeys) {
  REQUIRE_LOOPBACK_NAMESPACE();
  using V = TzvDnssecVerdict;
  struct TCase {
    const char* name;
    std::vector<V> verdicts;  // one per step
  };
  const TCase cases[] = {
      {"www.ed.example", {V::Secure, V::Secure, V::Secure}},
      {"www.rsa.example", {V::Secure, V::Secure, V::Secure}},
      {"www.insecure.example", {V::Secure, V::Secure, V::Insecure}},
      {"www.bogus-ds.example", {V::Secure, V::Secure, V::Bogus}},
  };
  auto trace = TraceFrom("a.root-servers.example.", "127.0.0.10");
  trace->SetZoneCheck(
      DnssecTraceCheck(TreeAnchors(), static_cast<std::uint32_t>(std::time(nullptr))));
  for (const auto& c : cases) {
    const auto steps = trace->Run(c.name, kzvDnsTypeA);
    ASSERT_EQ(steps.size(), c.verdicts.size()) << c.name;
    for (std::size_t i = 0; i < steps.size(); ++i) {
      ASSERT_TRUE(steps[i].Dnssec.has_value()) << c.name;
      EXPECT_EQ(steps[i].Dnssec->Verdict, c.verdicts[i])
          << c.name << " at " << steps[i].Zone << ": " << steps[i].Dnssec->Reason;
    }
  }
}

// parent.test (127.0.0.2) as the root: unglued.parent.test's server has no glue, so its
// address is traced from the root first.
TEST(TraceLoopback, FindsAGluelessServer) {
  REQUIRE_LOOPBACK_NAMESPACE();
  auto trace = TraceFrom("ns.parent.test.", "127.0.0.2");
  Lines told;
  const auto steps = trace->Run("www.unglued.parent.test", kzvDnsTypeA, [&](const TzvTraceStep& s) {
    told.push_back(std::to_string(s.Level) + " " + s.Zone + " " + s.Name + " " + s.ServerAddress);
  });
  EXPECT_EQ(told,
            (Lines{"0 . www.unglued.parent.test. 127.0.0.2", "1 . ns.unglued-host.test. 127.0.0.2",
                   "0 unglued.parent.test. www.unglued.parent.test. 127.0.0.3"}));
  EXPECT_EQ(steps.back().Outcome, TzvTraceOutcome::Answer);
}

// A referral to twenty servers with glue, none answering (each bound and silent): the
// zone's first four are asked, each within the time-out, and the step says how many were
// left, where every one used to cost a time-out.
TEST(TraceLoopback, ManySilentServersCostAFewTimeOuts) {
  REQUIRE_LOOPBACK_NAMESPACE();
  ScriptedDnsResponder root("127.0.0.181");
  std::vector<ScriptedDnsResponder::NameServer> servers;
  std::vector<int> silent;
  for (int i = 1; i <= 20; ++i) {
    servers.push_back({"ns" + std::to_string(i) + ".dead.test", "127.0.1." + std::to_string(i)});
    sockaddr_in address{AF_INET, htons(root.Port()), {}, {}};
    inet_pton(AF_INET, servers.back().glue.c_str(), &address.sin_addr);
    silent.push_back(socket(AF_INET, SOCK_DGRAM, 0));
    ASSERT_EQ(bind(silent.back(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  }
  root.SetDefaultReply(ScriptedDnsResponder::Referral(servers));
  TzvDnsTrace trace;
  trace.SetRootHints({{"root.test.", {"127.0.0.181"}}});
  trace.SetPort(root.Port());
  trace.SetTimeOut(1000);
  const auto started = std::chrono::steady_clock::now();
  EXPECT_THROW(trace.Run("www.dead.test", kzvDnsTypeA), EzvDnsError);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(8));  // no hang
  ASSERT_EQ(trace.Steps().size(), 2u);
  EXPECT_EQ(trace.Steps()[1].Failures.back(),
            "16 more servers of www.dead.test. not asked: a zone's first 4 are");
  for (const int socket : silent) close(socket);
}

// A server that never answers: Abort from another thread ends the wait at once, and the
// next Run runs normally.
TEST(TraceLoopback, AbortFromAnotherThreadEndsTheWait) {
  REQUIRE_LOOPBACK_NAMESPACE();
  const int silent = socket(AF_INET, SOCK_DGRAM, 0);
  ASSERT_GE(silent, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(5399);
  inet_pton(AF_INET, "127.0.0.77", &address.sin_addr);
  ASSERT_EQ(bind(silent, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  auto trace = std::make_unique<TzvDnsTrace>();
  trace->SetRootHints({{"silent.test.", {"127.0.0.77"}}});
  trace->SetPort(5399);
  trace->SetTimeOut(20000);
  const auto started = std::chrono::steady_clock::now();
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    trace->Abort();
  });
  try {
    trace->Run("www.example", kzvDnsTypeA);
    ADD_FAILURE() << "not stopped";
  } catch (const EzvSocketError& error) {
    EXPECT_EQ(error.ErrorCode(), kzvErrAborted) << error.what();
  }
  stopper.join();
  close(silent);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
  trace->SetRootHints({{"a.root-servers.example.", {"127.0.0.10"}}});
  trace->SetPort(53);
  EXPECT_EQ(trace->Run("www.example", kzvDnsTypeA).back().Outcome, TzvTraceOutcome::Answer);
}

}  // namespace
