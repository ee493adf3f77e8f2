// The batch engine over real sockets: the 5,000 hosts of batch.pellamar.test from the two
// loopback NSD servers that hold them (127.0.0.4 and 127.0.0.5, different addresses), TC
// answered over TCP by the main server, a closed port, and the scripted responder for resends
// on the wire and Abort. The engine's rules are tested in the pure file.
#include "dns/zvDnsBatch.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "net/zvSocketUtils.h"
#include "net/zvStop.h"
#include "tests/support/NetNamespace.h"
#include "tests/support/ScriptedDnsResponder.h"
#include "tests/support/TcpPeers.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Responder = ScriptedDnsResponder;

// What the caller kept of one answer.
struct TSeen {
  std::string Name;
  bool Answered = false;
  std::int32_t ResponseCode = -1, ErrorCode = 0;
  bool Truncated = false;
  std::vector<std::string> Addresses{};  // of the A records answered
};

std::vector<std::string> Hosts(int count, const std::string& zone = "batch.pellamar.test") {
  std::vector<std::string> names;
  for (int i = 0; i < count; ++i) names.push_back("h" + std::to_string(i) + "." + zone);
  return names;
}

// Asks every name of server:port in turn; what came back, in the order handed over (which
// must be the input's).
std::vector<TSeen> RunNames(TzvDnsBatch& batch, const std::string& server, int port,
                            const std::vector<std::string>& names) {
  batch.SetServer(server);
  batch.SetPort(port);
  std::vector<TSeen> seen;
  std::size_t read = 0;
  batch.Run(
      [&](TzvBatchQuestion& question) {
        if (read == names.size()) return false;
        question.Name = names[read++];
        return true;
      },
      [&](const TzvBatchAnswer& answer) {
        EXPECT_EQ(answer.Index, static_cast<std::int64_t>(seen.size()));
        TSeen one{answer.Question.Name, answer.Answered, answer.ResponseCode, answer.ErrorCode,
                  answer.Truncated};
        for (const auto& record : answer.Message.Answers())
          if (const auto* a = dynamic_cast<const TzvDnsARecord*>(record.get()))
            one.Addresses.push_back(a->IPAddress);
        seen.push_back(std::move(one));
      });
  EXPECT_EQ(seen.size(), names.size());
  return seen;
}

// ---- the batch zone on the loopback NSD servers ----

TEST(BatchZone, EveryHostAnsweredWithItsOwnAddressInOrder) {
  REQUIRE_LOOPBACK_NAMESPACE();
  struct TCase {
    const char* Server;
    int Octet;  // the second octet of the server's addresses
    int Count, Concurrency, Sockets;
  };
  // The whole zone in flight at once on one socket: a burst of answers no socket's default
  // buffer holds.
  for (const TCase c : {TCase{"127.0.0.4", 4, 5000, 1000, 4}, TCase{"127.0.0.4", 4, 5000, 10000, 1},
                        TCase{"127.0.0.5", 5, 200, 1, 4}}) {
    SCOPED_TRACE(std::string(c.Server) + " at " + std::to_string(c.Concurrency));
    TzvDnsBatch batch;
    batch.SetConcurrency(c.Concurrency);
    batch.SetSocketCount(c.Sockets);
    // A name past the zone's last host: NXDOMAIN is an answer like the others.
    auto names = Hosts(c.Count);
    names.push_back("h5000.batch.pellamar.test");
    const auto seen = RunNames(batch, c.Server, 53, names);
    ASSERT_EQ(seen.size(), names.size());
    for (std::size_t i = 0; i < seen.size(); ++i) {
      ASSERT_EQ(seen[i].Name, names[i]);
      ASSERT_TRUE(seen[i].Answered) << seen[i].Name << ": error " << seen[i].ErrorCode;
      const std::string address = "10." + std::to_string(c.Octet) + "." + std::to_string(i / 256) +
                                  "." + std::to_string(i % 256);
      if (i + 1 == seen.size()) break;
      EXPECT_EQ(seen[i].Addresses, std::vector<std::string>{address});
    }
    EXPECT_EQ(seen.back().ResponseCode, kzvDnsResponseNameError);
  }
}

TEST(BatchZone, AnswerTooLongForTheBufferComesInFullOverTcp) {
  REQUIRE_LOOPBACK_NAMESPACE();
  // bighost's 40 addresses fit EDNS's 1,232 bytes but not the classic 512.
  for (const bool edns : {false, true}) {
    SCOPED_TRACE(edns ? "with EDNS" : "without EDNS");
    TzvDnsBatch batch;
    batch.SetUseEdns(edns);
    const auto seen = RunNames(batch, "127.0.0.1", 53,
                               {"host4.pellamar.test", "bighost.pellamar.test",
                                "multi.pellamar.test", "bighost.pellamar.test"});
    ASSERT_EQ(seen.size(), 4u);
    const std::size_t addresses[] = {1, 40, 2, 40};
    for (std::size_t i = 0; i < seen.size(); ++i) {
      ASSERT_TRUE(seen[i].Answered) << seen[i].Name << ": " << seen[i].ErrorCode;
      EXPECT_EQ(seen[i].Truncated, !edns && addresses[i] == 40) << seen[i].Name;
      EXPECT_EQ(seen[i].Addresses.size(), addresses[i]) << seen[i].Name;
    }
    EXPECT_EQ(seen[0].Addresses, std::vector<std::string>{"127.0.0.44"});
  }
}

// One answer in a hundred truncated, its retry over TCP to a server that takes the
// connection and never answers: those questions fail on their own time-out, every other is
// answered (their answers do not pile up unread meanwhile), and the batch takes one
// time-out, not one for each stalled retry. The window holds every question: one still
// waiting holds the window by design.
TEST(BatchFaults, StalledTcpRetryCostsItsOwnQuestionOnly) {
  REQUIRE_LOOPBACK_NAMESPACE();
  Responder responder;
  std::vector<Responder::Reply> replies(2000, Responder::Answer());
  for (std::size_t i = 50; i < replies.size(); i += 100) replies[i] = Responder::Truncated();
  responder.Script(replies);
  TcpLoopbackPeer peer(responder.Address(), responder.Port(),
                       [](TcpLoopbackPeer::Session& session) { session.Sleep(30s); });
  TzvDnsBatch batch;
  batch.SetTimeOut(1000);
  batch.SetConcurrency(2000);
  const auto started = Clock::now();
  const auto seen = RunNames(batch, responder.Address(), responder.Port(), Hosts(2000));
  EXPECT_LT(Clock::now() - started, 4s);
  for (std::size_t i = 0; i < seen.size(); ++i) {
    const bool stalled = i % 100 == 50;
    EXPECT_EQ(seen[i].Answered, !stalled) << seen[i].Name << ": error " << seen[i].ErrorCode;
    EXPECT_EQ(seen[i].Truncated, stalled) << seen[i].Name;
    if (stalled) {
      EXPECT_EQ(seen[i].ErrorCode, kzvErrTimeout) << seen[i].Name;
    }
  }
}

// ---- over connections ----

// The batch zone through the namespace's Unbound on 127.0.0.80, over its plain TCP port,
// over TLS and over HTTPS, the certificate checked against the test CA.
TzvDnsExchangeSettings OverConnection(TzvDnsTransport transport) {
  TzvDnsExchangeSettings settings;
  settings.Server = "dns.pellamar.test";
  settings.Transport = transport;
  settings.Port = transport == TzvDnsTransport::dtTls     ? 853
                  : transport == TzvDnsTransport::dtHttps ? 443
                                                          : 53;
  settings.Tls.CaFile = NetnsRunDir() + "/tls/ca.pem";
  return settings;
}

TEST(BatchTransports, EveryHostAnsweredInOrderOverEachConnection) {
  REQUIRE_LOOPBACK_NAMESPACE();
  for (const auto transport :
       {TzvDnsTransport::dtTcp, TzvDnsTransport::dtTls, TzvDnsTransport::dtHttps}) {
    SCOPED_TRACE(DnsTransportName(transport));
    TzvDnsBatch batch;
    batch.SetSettings(OverConnection(transport));
    batch.SetConcurrency(500);
    auto names = Hosts(2000);
    names.push_back("h5000.batch.pellamar.test");
    const auto seen = RunNames(batch, batch.Server(), batch.Port(), names);
    ASSERT_EQ(seen.size(), names.size());
    for (std::size_t i = 0; i + 1 < seen.size(); ++i) {
      ASSERT_TRUE(seen[i].Answered) << seen[i].Name << ": error " << seen[i].ErrorCode;
      ASSERT_EQ(seen[i].Addresses, std::vector<std::string>{"10.4." + std::to_string(i / 256) +
                                                            "." + std::to_string(i % 256)})
          << seen[i].Name;
    }
    EXPECT_EQ(seen.back().ResponseCode, kzvDnsResponseNameError);
  }
}

// A stop shared with the caller ends a batch over TLS mid-way: requested while answers are
// being handed over, or from another thread while every connection waits on a server that
// takes the questions and never answers (127.0.0.84's TLS port). The run ends well before
// the time-out, with what was handed over staying handed over.
TEST(BatchTransports, StopEndsABatchOverTlsPromptly) {
  REQUIRE_LOOPBACK_NAMESPACE();
  for (const bool stalled : {false, true}) {
    SCOPED_TRACE(stalled ? "a server that never answers" : "while answers come");
    TzvDnsExchangeSettings settings = OverConnection(TzvDnsTransport::dtTls);
    if (stalled) {
      settings.Server = "127.0.0.84";
      settings.Tls.Insecure = true;
    }
    settings.TimeOut = 20000;
    TzvDnsBatch batch;
    batch.SetSettings(settings);
    const TzvStop stop = MakeStop();
    batch.SetStop(stop);
    std::atomic<int> handed{0};
    std::atomic<std::int32_t> code{0};
    std::size_t read = 0;
    const auto names = Hosts(2000);
    const auto started = Clock::now();
    std::thread runner([&] {
      try {
        batch.Run(
            [&](TzvBatchQuestion& question) {
              if (read == names.size()) return false;
              question.Name = names[read++];
              return true;
            },
            [&](const TzvBatchAnswer&) {
              if (++handed == 500) stop->RequestStop();
            });
      } catch (const EzvSocketError& error) {
        code = error.ErrorCode();
      }
    });
    if (stalled) {
      std::this_thread::sleep_for(500ms);
      stop->RequestStop();
    }
    runner.join();
    EXPECT_EQ(code.load(), kzvErrAborted);
    EXPECT_LT(Clock::now() - started, 3s);
    EXPECT_EQ(handed.load(), stalled ? 0 : 500);
  }
}

// ---- a closed port ----

TEST(BatchFaults, ClosedPortFailsAtOnceWithRefused) {
  REQUIRE_LOOPBACK_NAMESPACE();
  const std::uint16_t closed_port = Responder().Port();  // bound, then closed again
  TzvDnsBatch batch;
  batch.SetConcurrency(10);
  const auto started = Clock::now();
  for (const TSeen& one : RunNames(batch, "127.0.0.1", closed_port, Hosts(40))) {
    EXPECT_FALSE(one.Answered);
    EXPECT_EQ(one.ErrorCode, kzvConnectionRefused) << one.Name;
  }
  EXPECT_LT(Clock::now() - started, 2s);
}

// ---- Abort ----

// 30 questions to a responder that stays silent, or that sets TC and then keeps its TCP
// connection without a word. Abort from another thread ends the wait, well before the 20 s
// time-out, and the next run is not stopped by it.
TEST(BatchAbort, EndsTheWaitForDatagramsAndForATcpRetry) {
  REQUIRE_LOOPBACK_NAMESPACE();
  for (const bool tcp : {false, true}) {
    SCOPED_TRACE(tcp ? "TCP retry" : "datagrams");
    Responder responder;
    responder.SetDefaultReply(tcp ? Responder::Truncated() : Responder::Silence());
    TcpLoopbackPeer peer(responder.Address(), responder.Port(),
                         [](TcpLoopbackPeer::Session& session) { session.Sleep(30s); });
    TzvDnsBatch batch;
    batch.SetTimeOut(20000);
    std::atomic<std::int32_t> code{0};
    const auto started = Clock::now();
    std::thread runner([&] {
      try {
        RunNames(batch, responder.Address(), responder.Port(), Hosts(30));
      } catch (const EzvSocketError& error) {
        code = error.ErrorCode();
      }
    });
    // Silent, every question goes again at 0.4 s: 60 datagrams.
    const auto ready = [&] {
      return tcp ? peer.Connections() >= 1 : responder.RequestCount() >= 60;
    };
    while (!ready() && Clock::now() < started + 5s) std::this_thread::sleep_for(5ms);
    batch.Abort();
    runner.join();
    EXPECT_EQ(code.load(), kzvErrAborted);
    EXPECT_LT(Clock::now() - started, 3s);
    // A resend is the same datagram as the first.
    const auto requests = responder.Requests();
    ASSERT_GE(requests.size(), tcp ? 1u : 60u);
    for (std::size_t i = 0; !tcp && i < 30; ++i) EXPECT_EQ(requests[i], requests[i + 30]) << i;

    responder.SetDefaultReply(Responder::Answer());
    batch.SetTimeOut(3000);
    for (const TSeen& one : RunNames(batch, responder.Address(), responder.Port(), Hosts(5)))
      EXPECT_TRUE(one.Answered) << one.Name;
  }
}

}  // namespace
