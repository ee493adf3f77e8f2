// The batch engine over real sockets: the 5,000 hosts of batch.pellamar.test from the two
// loopback NSD servers that hold them (127.0.0.4 and 127.0.0.5, different addresses), TC
// answered over TCP by the main server, and the scripted responder for the faults: lost
// and forged datagrams, silence, a closed port, Abort during the wait and during a TCP
// retry.
#include "dns/zvDnsBatch.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "net/zvSocketUtils.h"
#include "tests/support/NetNamespace.h"
#include "tests/support/ScriptedDnsResponder.h"
#include "tests/support/TcpPeers.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Responder = ScriptedDnsResponder;

// What the caller kept of one answer.
struct TSeen {
  std::int64_t Index = 0;
  std::string Name;
  bool Answered = false;
  std::int32_t ResponseCode = -1;
  std::int32_t ErrorCode = 0;
  int Tries = 0;
  bool Truncated = false;
  std::vector<std::string> Addresses;  // of the A records answered
};

std::unique_ptr<TzvDnsBatch> BatchOf(const std::string& server, int port,
                                     std::int32_t time_out = 5000) {
  auto batch = std::make_unique<TzvDnsBatch>();
  batch->SetServer(server);
  batch->SetPort(port);
  batch->SetTimeOut(time_out);
  return batch;
}

// Asks every name in turn; what came back, in the order handed over.
std::vector<TSeen> RunNames(TzvDnsBatch& batch, const std::vector<std::string>& names) {
  std::vector<TSeen> seen;
  std::size_t read = 0;
  batch.Run(
      [&](TzvBatchQuestion& question) {
        if (read == names.size()) return false;
        question.Name = names[read++];
        return true;
      },
      [&](const TzvBatchAnswer& answer) {
        TSeen one{answer.Index,     answer.Question.Name, answer.Answered,  answer.ResponseCode,
                  answer.ErrorCode, answer.Tries,         answer.Truncated, {}};
        for (const auto& record : answer.Message.Answers()) {
          if (const auto* a = dynamic_cast<const TzvDnsARecord*>(record.get()))
            one.Addresses.push_back(a->IPAddress);
        }
        seen.push_back(std::move(one));
      });
  return seen;
}

std::vector<std::string> BatchHosts(int first, int count) {
  std::vector<std::string> names;
  for (int i = first; i < first + count; ++i)
    names.push_back("h" + std::to_string(i) + ".batch.pellamar.test");
  return names;
}

// ---- the batch zone on the loopback NSD servers ----

struct TZoneCase {
  const char* Name;
  const char* Server;
  int Octet;  // the second octet of the server's addresses
  int Count;
  int Concurrency;
};

class BatchZone : public testing::TestWithParam<TZoneCase> {};

TEST_P(BatchZone, EveryHostAnsweredWithItsOwnAddressInOrder) {
  REQUIRE_LOOPBACK_NAMESPACE();
  const TZoneCase& c = GetParam();
  auto batch = BatchOf(c.Server, 53);
  batch->SetConcurrency(c.Concurrency);
  // Two names past the zone's last host: NXDOMAIN is an answer like the others.
  auto names = BatchHosts(0, c.Count);
  names.push_back("h5000.batch.pellamar.test");
  names.push_back("nothing.batch.pellamar.test");
  const auto seen = RunNames(*batch, names);
  ASSERT_EQ(seen.size(), names.size());
  for (int i = 0; i < c.Count; ++i) {
    const TSeen& one = seen[static_cast<std::size_t>(i)];
    ASSERT_EQ(one.Index, i);
    ASSERT_EQ(one.Name, names[static_cast<std::size_t>(i)]);
    ASSERT_TRUE(one.Answered) << one.Name << ": error " << one.ErrorCode;
    EXPECT_EQ(one.ResponseCode, 0);
    ASSERT_EQ(one.Addresses.size(), 1u) << one.Name;
    EXPECT_EQ(one.Addresses[0], "10." + std::to_string(c.Octet) + "." + std::to_string(i / 256) +
                                    "." + std::to_string(i % 256));
  }
  for (std::size_t i = static_cast<std::size_t>(c.Count); i < seen.size(); ++i) {
    EXPECT_TRUE(seen[i].Answered);
    EXPECT_EQ(seen[i].ResponseCode, kzvDnsResponseNameError);
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, BatchZone,
                         testing::Values(TZoneCase{"AllFiveThousand", "127.0.0.4", 4, 5000, 100},
                                         TZoneCase{"SecondServerOwnData", "127.0.0.5", 5, 500, 100},
                                         TZoneCase{"WideWindow", "127.0.0.4", 4, 2000, 1000},
                                         TZoneCase{"OneAtATime", "127.0.0.5", 5, 50, 1}),
                         [](const auto& info) { return std::string(info.param.Name); });

TEST(BatchTcp, AnswerTooLongForTheBufferComesInFullOverTcp) {
  REQUIRE_LOOPBACK_NAMESPACE();
  // bighost's 40 addresses fit EDNS's 1,232 bytes but not the classic 512.
  for (const bool edns : {false, true}) {
    SCOPED_TRACE(edns ? "with EDNS" : "without EDNS");
    auto batch = BatchOf("127.0.0.1", 53);
    batch->SetUseEdns(edns);
    const auto seen = RunNames(*batch, {"host4.pellamar.test", "bighost.pellamar.test",
                                        "multi.pellamar.test", "bighost.pellamar.test"});
    ASSERT_EQ(seen.size(), 4u);
    for (const TSeen& one : seen) ASSERT_TRUE(one.Answered) << one.Name << ": " << one.ErrorCode;
    EXPECT_FALSE(seen[0].Truncated);
    EXPECT_EQ(seen[0].Addresses, std::vector<std::string>{"127.0.0.44"});
    EXPECT_EQ(seen[1].Truncated, !edns);
    EXPECT_EQ(seen[1].Addresses.size(), 40u);
    EXPECT_EQ(seen[2].Addresses.size(), 2u);
    EXPECT_EQ(seen[3].Truncated, !edns);
    EXPECT_EQ(seen[3].Addresses.size(), 40u);
  }
}

// ---- faults from the scripted responder ----

TEST(BatchFaults, LostDatagramIsSentAgain) {
  REQUIRE_LOOPBACK_NAMESPACE();
  Responder responder;
  responder.Script({Responder::Silence()});
  auto batch = BatchOf(responder.Address(), responder.Port(), 3000);
  const auto started = Clock::now();
  const auto seen = RunNames(*batch, {"lost.scripted.test"});
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_TRUE(seen[0].Answered);
  EXPECT_EQ(seen[0].Tries, 2);
  EXPECT_LT(Clock::now() - started, 2s);
  const auto requests = responder.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0], requests[1]);
}

struct TForgedCase {
  const char* Name;
  Responder::Kind Kind;
};

class BatchForged : public testing::TestWithParam<TForgedCase> {};

TEST_P(BatchForged, OnlyTheRightAnswerIsTaken) {
  REQUIRE_LOOPBACK_NAMESPACE();
  Responder responder;
  responder.SetDefaultReply(Responder::ForgedThenAnswer(GetParam().Kind));
  responder.SetAnswerAddresses({"127.0.0.77"});
  auto batch = BatchOf(responder.Address(), responder.Port(), 3000);
  batch->SetConcurrency(5);
  std::vector<std::string> names;
  for (int i = 0; i < 20; ++i) names.push_back("n" + std::to_string(i) + ".scripted.test");
  const auto seen = RunNames(*batch, names);
  ASSERT_EQ(seen.size(), names.size());
  for (const TSeen& one : seen) {
    EXPECT_TRUE(one.Answered) << one.Name << ": " << one.ErrorCode;
    EXPECT_EQ(one.Tries, 1);
    EXPECT_EQ(one.Addresses, std::vector<std::string>{"127.0.0.77"});
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BatchForged,
    testing::Values(TForgedCase{"WrongId", Responder::Kind::kWrongId},
                    TForgedCase{"WrongSourcePort", Responder::Kind::kWrongSourcePort},
                    TForgedCase{"WrongSourceAddress", Responder::Kind::kWrongSourceAddress},
                    TForgedCase{"WrongQuestionName", Responder::Kind::kWrongQuestionName},
                    TForgedCase{"WrongQuestionType", Responder::Kind::kWrongQuestionType},
                    TForgedCase{"QrClear", Responder::Kind::kQrClear},
                    TForgedCase{"Empty", Responder::Kind::kEmpty}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST(BatchFaults, SilentServerCostsOneTimeOutForTheWindow) {
  REQUIRE_LOOPBACK_NAMESPACE();
  Responder responder;
  responder.SetDefaultReply(Responder::Silence());
  auto batch = BatchOf(responder.Address(), responder.Port(), 1000);
  const auto started = Clock::now();
  const auto seen = RunNames(*batch, BatchHosts(0, 50));
  const auto took = Clock::now() - started;
  ASSERT_EQ(seen.size(), 50u);
  for (const TSeen& one : seen) {
    EXPECT_EQ(one.ErrorCode, kzvErrTimeout);
    EXPECT_EQ(one.Tries, 2);  // at 0 and 0.4 s; the next would come at 1.2 s
  }
  EXPECT_EQ(responder.RequestCount(), 100);
  EXPECT_LT(took, 2500ms);
}

TEST(BatchFaults, ClosedPortFailsAtOnceWithRefused) {
  REQUIRE_LOOPBACK_NAMESPACE();
  std::uint16_t closed_port = 0;
  {
    Responder gone;
    closed_port = gone.Port();
  }
  auto batch = BatchOf("127.0.0.1", closed_port, 5000);
  batch->SetConcurrency(10);
  const auto started = Clock::now();
  const auto seen = RunNames(*batch, BatchHosts(0, 40));
  ASSERT_EQ(seen.size(), 40u);
  for (const TSeen& one : seen) {
    EXPECT_FALSE(one.Answered);
    EXPECT_EQ(one.ErrorCode, kzvConnectionRefused) << one.Name;
  }
  EXPECT_LT(Clock::now() - started, 2s);
}

// ---- Abort ----

// Runs the batch on a thread of its own and stops it once `ready` says so; gives the
// error code Run ended with (0 when it ended by itself) and how long it ran.
std::pair<std::int32_t, Clock::duration> RunAndAbort(TzvDnsBatch& batch,
                                                     const std::function<bool()>& ready) {
  std::atomic<std::int32_t> code{0};
  const auto started = Clock::now();
  std::thread runner([&] {
    try {
      RunNames(batch, BatchHosts(0, 30));
    } catch (const EzvSocketError& error) {
      code = error.ErrorCode();
    }
  });
  const auto give_up = Clock::now() + 5s;
  while (!ready() && Clock::now() < give_up) std::this_thread::sleep_for(5ms);
  batch.Abort();
  runner.join();
  return {code.load(), Clock::now() - started};
}

TEST(BatchAbort, EndsTheWaitForASilentServer) {
  REQUIRE_LOOPBACK_NAMESPACE();
  Responder responder;
  responder.SetDefaultReply(Responder::Silence());
  auto batch = BatchOf(responder.Address(), responder.Port(), 20000);
  const auto [code, took] = RunAndAbort(*batch, [&] { return responder.RequestCount() >= 30; });
  EXPECT_EQ(code, kzvErrAborted);
  EXPECT_LT(took, 3s);
}

TEST(BatchAbort, EndsATcpRetryThatGetsNoAnswer) {
  REQUIRE_LOOPBACK_NAMESPACE();
  Responder responder;
  responder.SetDefaultReply(Responder::Truncated());
  TcpLoopbackPeer peer(responder.Address(), responder.Port(),
                       [](TcpLoopbackPeer::Session& session) { session.Sleep(30s); });
  auto batch = BatchOf(responder.Address(), responder.Port(), 20000);
  const auto [code, took] = RunAndAbort(*batch, [&] { return peer.Connections() >= 1; });
  EXPECT_EQ(code, kzvErrAborted);
  EXPECT_LT(took, 3s);
}

}  // namespace
