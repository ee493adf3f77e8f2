// The exchange a lookup makes with its server: datagrams sent again within the one
// time-out, EDNS offered and dropped for servers that refuse it, TCP and the address
// family on request, and questions of other classes and types. Against the scripted
// responder for the faults and the loopback NSD for the real thing.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>

#include "dns/zvDnsOptRecord.h"
#include "dns/zvDnsQuery.h"
#include "dns/zvDnsRecordTypes.h"
#include "tests/support/NetNamespace.h"
#include "tests/support/ScriptedDnsResponder.h"

namespace {

using namespace std::chrono_literals;
using Responder = ScriptedDnsResponder;
using Clock = std::chrono::steady_clock;

std::unique_ptr<TzvDnsQuery> QueryOf(const std::string& server, int port,
                                     std::int32_t time_out = 5000) {
  auto query = std::make_unique<TzvDnsQuery>(nullptr);
  query->SetServer(server);
  query->SetPort(port);
  query->SetTimeOut(time_out);
  return query;
}

// A request as the codec reads it.
std::unique_ptr<TzvDnsMessage> Decoded(const std::vector<std::uint8_t>& bytes) {
  auto message = std::make_unique<TzvDnsExtendedMessage>();
  TMemoryStream stream;
  stream.WriteBuffer(bytes.data(), static_cast<std::int64_t>(bytes.size()));
  stream.SetPosition(0);
  message->Parse(stream);
  return message;
}

Responder::Datagram WithOpt(Responder::Datagram datagram) {
  datagram.opt = true;
  return datagram;
}

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

TEST(Retransmission, ALostDatagramCostsTheFirstWaitAndTheSameQuestionGoesAgain) {
  REQUIRE_LOOPBACK_NAMESPACE();
  Responder server;
  // Silent to the first two datagrams: the third is answered, 0.4 + 0.8 s in.
  server.Script({Responder::Silence(), Responder::Silence(), Responder::Answer()});
  auto query = QueryOf(server.Address(), server.Port());
  const auto start = Clock::now();
  ASSERT_NE(query->ResolveIP("three.scripted.test"), nullptr);
  EXPECT_LT(SecondsSince(start), 4.0);  // far from the 5 s a single wait would take
  EXPECT_EQ(query->LastExchange().Tries, 3);
  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[1], requests[0]);  // same ID, same question
  EXPECT_EQ(requests[2], requests[0]);
}

TEST(Retransmission, ASilentServerFailsAfterTheTimeOutHavingHadEveryTry) {
  REQUIRE_LOOPBACK_NAMESPACE();
  for (const int tries : {1, 3}) {
    Responder server;
    server.SetDefaultReply(Responder::Silence());
    auto query = QueryOf(server.Address(), server.Port(), 1500);
    query->SetTries(tries);
    const auto start = Clock::now();
    try {
      query->ResolveIP("silent.scripted.test");
      ADD_FAILURE() << "answered";
    } catch (const EzvSocketError& e) {
      EXPECT_EQ(e.ErrorCode(), kzvErrTimeout);
    }
    const double took = SecondsSince(start);
    EXPECT_GE(took, 1.45) << tries;
    EXPECT_LT(took, 3.0) << tries;
    EXPECT_EQ(server.RequestCount(), tries);
    EXPECT_EQ(query->LastExchange().Tries, tries);
  }
}

TEST(Edns, EveryQuestionOffersTheBufferAndWhatWasAskedFor) {
  REQUIRE_LOOPBACK_NAMESPACE();
  Responder server;
  auto query = QueryOf(server.Address(), server.Port());
  query->SetRequestNsid(true);
  query->SetDnssecOK(true);
  query->ResolveIP("edns.scripted.test");
  query->SetUseEdns(false);
  query->ResolveIP("edns.scripted.test");
  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 2u);
  const auto first = Decoded(requests[0]);
  const TzvDnsOPTRecord* opt = FindOptRecord(*first);
  ASSERT_NE(opt, nullptr);
  EXPECT_EQ(opt->UDPPayloadSize, 1232);
  EXPECT_TRUE(opt->DnssecOK);
  ASSERT_NE(opt->FindOption(kzvEdnsOptionNSID), nullptr);
  EXPECT_EQ(Decoded(requests[1])->AdditionalRecords().Count(), 0);
  EXPECT_EQ(requests[1].size() + 15, requests[0].size());  // OPT (11) + empty NSID (4)
}

TEST(Edns, AnAnswerLargerThan512BytesComesOverUdp) {
  REQUIRE_LOOPBACK_NAMESPACE();
  Responder server;
  Responder::Datagram big;
  big.padding_records = 40;  // about 700 bytes, no TC
  server.SetDefaultReply(Responder::Reply{{big}});
  auto query = QueryOf(server.Address(), server.Port());
  query->ResolveIP("big.scripted.test");
  EXPECT_EQ(query->Hosts().Count(), 41);
  EXPECT_EQ(query->LastExchange().Transport, TzvDnsTransport::dtUdp);
  // The datagram size is the exchange's, not a setting the lookup leaves changed.
  EXPECT_EQ(query->DatagramSize(), 512);
  // Without EDNS the buffer is 512 bytes again, and the answer does not fit.
  query->SetUseEdns(false);
  try {
    query->ResolveIP("big.scripted.test");
    ADD_FAILURE() << "answered";
  } catch (const EzvSocketError& e) {
    EXPECT_EQ(e.ErrorCode(), kzvMessageTooLong);
  }
}

TEST(Edns, AServerThatRefusesItIsAskedOnceMoreWithout) {
  REQUIRE_LOOPBACK_NAMESPACE();
  for (const int rcode : {1, 2, 4}) {
    Responder server;
    server.Script({Responder::ResponseCode(rcode), Responder::Answer()});
    auto query = QueryOf(server.Address(), server.Port());
    ASSERT_NE(query->ResolveIP("old.scripted.test"), nullptr) << rcode;
    EXPECT_TRUE(query->LastExchange().EdnsFallback);
    EXPECT_FALSE(query->LastExchange().Edns);
    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_NE(FindOptRecord(*Decoded(requests[0])), nullptr);
    EXPECT_EQ(Decoded(requests[1])->AdditionalRecords().Count(), 0);
  }
  // With an OPT record of its own the server speaks EDNS: its error stands.
  Responder server;
  Responder::Datagram refused;
  refused.rcode = 2;
  refused.no_records = true;
  server.Script({Responder::Reply{{WithOpt(refused)}}, Responder::Answer()});
  auto query = QueryOf(server.Address(), server.Port());
  try {
    query->ResolveIP("new.scripted.test");
    ADD_FAILURE() << "answered";
  } catch (const EzvDnsError& e) {
    EXPECT_EQ(e.ErrorCode(), 2);
  }
  EXPECT_FALSE(query->LastExchange().EdnsFallback);
  EXPECT_EQ(server.RequestCount(), 1);
}

TEST(Edns, BadVersionIsTheExtendedResponseCode) {
  REQUIRE_LOOPBACK_NAMESPACE();
  Responder server;
  Responder::Datagram bad_version;
  bad_version.no_records = true;
  bad_version.extended_rcode = 1;  // 1 << 4 | 0 = 16
  server.SetDefaultReply(Responder::Reply{{WithOpt(bad_version)}});
  auto query = QueryOf(server.Address(), server.Port());
  try {
    query->ResolveIP("v1.scripted.test");
    ADD_FAILURE() << "answered";
  } catch (const EzvDnsError& e) {
    EXPECT_EQ(e.ErrorCode(), kzvDnsResponseBadVersion);
  }
  // Version 0 is the only one there is: nothing lower to ask again with.
  EXPECT_EQ(server.RequestCount(), 1);
  EXPECT_EQ(query->LastExchange().ResponseCode, kzvDnsResponseBadVersion);
}

TEST(NsdExchange, TcpNsidClassAndTypesByNumber) {
  REQUIRE_LOOPBACK_NAMESPACE();
  auto query = QueryOf("127.0.0.1", 53);
  query->SetUseTcp(true);
  query->SetRequestNsid(true);
  ASSERT_NE(query->ResolveIP("host4.pellamar.test"), nullptr);
  EXPECT_EQ(query->LastExchange().Transport, TzvDnsTransport::dtTcp);
  EXPECT_EQ(query->LastExchange().Tries, 0);
  const TzvDnsOPTRecord* opt = FindOptRecord(query->Response());
  ASSERT_NE(opt, nullptr);
  const TzvEdnsOption* nsid = opt->FindOption(kzvEdnsOptionNSID);
  ASSERT_NE(nsid, nullptr);
  EXPECT_EQ(std::string(nsid->Data.begin(), nsid->Data.end()), "nsd.pellamar.test");

  query->SetUseTcp(false);
  query->SetQuestionClass(rcChaos);
  EXPECT_EQ(query->ResolveRecords("version.bind", kzvDnsTypeTXT), 1);
  const auto* version =
      dynamic_cast<const TzvDnsTXTStringsRecord*>(query->Response().Answers().Items(0));
  ASSERT_NE(version, nullptr);
  EXPECT_EQ(version->Text, "pellamar-test-nsd");
  EXPECT_EQ(version->RecordClass, rcChaos);

  query->SetQuestionClass(rcInternet);
  EXPECT_EQ(query->ResolveRecords("generic.pellamar.test", 65400), 1);
  const auto* generic =
      dynamic_cast<const TzvDnsGenericRecord*>(query->Response().Answers().Items(0));
  ASSERT_NE(generic, nullptr);
  EXPECT_EQ(generic->GenericText(), "\\# 4 0A000001");
}

TEST(AddressFamily, AServerGivenByNameIsAskedAtAnAddressOfTheFamily) {
  REQUIRE_LOOPBACK_NAMESPACE();
  // loop.pellamar.test has 127.0.0.1 and ::1; one responder on each, on the same port.
  Responder six("::1");
  Responder four("127.0.0.1", six.Port());
  auto query = QueryOf("loop.pellamar.test", six.Port());
  query->SetAddressFamily(TzvAddressFamily::afIPv6);
  query->ResolveIP("which.scripted.test");
  EXPECT_EQ(query->LastExchange().ServerAddress, "::1");
  query->SetAddressFamily(TzvAddressFamily::afIPv4);
  query->ResolveIP("which.scripted.test");
  EXPECT_EQ(query->LastExchange().ServerAddress, "127.0.0.1");
  EXPECT_EQ(six.RequestCount(), 1);
  EXPECT_EQ(four.RequestCount(), 1);
  // An address of the other family is refused before anything is sent.
  query->SetServer("127.0.0.1");
  query->SetAddressFamily(TzvAddressFamily::afIPv6);
  try {
    query->ResolveIP("which.scripted.test");
    ADD_FAILURE() << "asked";
  } catch (const EzvSocketError& e) {
    EXPECT_EQ(e.ErrorCode(), kzvErrInvalidAddressFamily);
  }
  EXPECT_EQ(four.RequestCount(), 1);
}

}  // namespace
