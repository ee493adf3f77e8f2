// EDNS's OPT record: golden bytes both ways, its fields where the wire keeps them, the
// extended response code, and the placement rules the message enforces for any decoder.
#include "dns/zvDnsOptRecord.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "dns/zvDnsRecordTypes.h"
#include "tests/support/MessageBytes.h"

namespace {

std::pair<std::int32_t, std::string> DnsErrorOf(TzvDnsMessage& message, const Bytes& bytes) {
  try {
    ParseBytes(message, bytes);
  } catch (const EzvDnsError& e) {
    return {e.ErrorCode(), e.Message()};
  }
  return {0, ""};
}

// An A question for "bb" offering 1232 bytes, asking for DNSSEC records and the NSID.
const Bytes kQuestion = {0x12, 0x34, 0x01, 0x00,                          // ID, RD
                         0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01,  // QDCOUNT 1, ARCOUNT 1
                         0x02, 'b',  'b',  0x00, 0x00, 0x01, 0x00, 0x01,  // bb A IN
                         0x00, 0x00, 0x29, 0x04, 0xD0,  // 20: root OPT, payload 1232
                         0x00, 0x00, 0x80, 0x00,        // 25: extended RCODE 0, version 0, DO
                         0x00, 0x04, 0x00, 0x03, 0x00, 0x00};  // RDLENGTH 4: NSID, empty

// The server's reply: BADVERS (16), whose low four bits in the header are 0, and its NSID.
const Bytes kBadVersion = {0x12, 0x34, 0x84, 0x00,                          // QR AA, RCODE 0
                           0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01,  // QDCOUNT 1, ARCOUNT 1
                           0x02, 'b',  'b',  0x00, 0x00, 0x01, 0x00, 0x01,  // bb A IN
                           0x00, 0x00, 0x29, 0x10, 0x00,  // root OPT, payload 4096
                           0x01, 0x00, 0x00, 0x00,        // 25: extended RCODE 1, version 0
                           0x00, 0x07, 0x00, 0x03, 0x00, 0x03, 'n',  's',  '1'};

TEST(OptRecord, QuestionWritesAndReadsItsGoldenBytesAndEveryFlagBit) {
  TzvDnsExtendedMessage message;
  message.Header().ID = 0x1234;
  message.Header().IsQuery = message.Header().IsRecursionDesired = true;
  message.Queries().Add(std::make_unique<TzvDnsARecord>());
  message.Queries()[0]->Name = "bb";
  auto opt = std::make_unique<TzvDnsOPTRecord>();
  opt->DnssecOK = true;
  opt->Options.push_back({kzvEdnsOptionNSID, {}});
  message.AdditionalRecords().Add(std::move(opt));
  EXPECT_EQ(BuildBytes(message), kQuestion);

  ParseBytes(message, kQuestion);
  auto* got = dynamic_cast<TzvDnsOPTRecord*>(message.AdditionalRecords()[0]);
  ASSERT_TRUE(got != nullptr && got == FindOptRecord(message));
  EXPECT_EQ(got->UDPPayloadSize, 1232);
  EXPECT_TRUE(got->DnssecOK);
  EXPECT_EQ(got->Version + got->ExtendedRCode + got->OtherFlags, 0);
  ASSERT_NE(got->FindOption(kzvEdnsOptionNSID), nullptr);
  TzvDnsMessage plain;  // keeps the record opaque: no OPT record to find
  ParseBytes(plain, kQuestion);
  EXPECT_EQ(FindOptRecord(plain), nullptr);

  Bytes bytes = kQuestion;
  bytes[26] = 0xFE;  // version 254, DO and all fifteen other flags, read and written again
  bytes[27] = bytes[28] = 0xFF;
  ParseBytes(message, bytes);
  got = dynamic_cast<TzvDnsOPTRecord*>(message.AdditionalRecords()[0]);
  EXPECT_EQ(got->Version, 254);
  EXPECT_EQ(got->OtherFlags, 0x7FFF);
  EXPECT_EQ(BuildBytes(message), bytes);
  got->DnssecOK = false;  // DO is written from its own field only
  got->OtherFlags = 0xFFFF;
  EXPECT_EQ(BuildBytes(message)[27], 0x7F);
}

TEST(OptRecord, ExtendedResponseCodeJoinsTheHeadersBits) {
  TzvDnsExtendedMessage message;
  EXPECT_EQ(DnsErrorOf(message, kBadVersion),
            std::make_pair(kzvDnsResponseBadVersion, std::string("Bad OPT version")));
  const TzvDnsOPTRecord* opt = FindOptRecord(message);
  EXPECT_EQ(opt->UDPPayloadSize, 4096);
  EXPECT_EQ(opt->FindOption(kzvEdnsOptionNSID)->Data, Bytes({'n', 's', '1'}));
  // Written again (from a copy: Assign takes every field), the header keeps its four bits
  // and the record the rest.
  TzvDnsExtendedMessage copy;
  copy.Header() = message.Header();
  copy.Queries().Assign(&message.Queries());
  copy.AdditionalRecords().Assign(&message.AdditionalRecords());
  EXPECT_EQ(BuildBytes(copy), kBadVersion);
  Bytes bytes = kBadVersion;
  bytes[3] = 0x03;  // NXDOMAIN's bits under an extended 2: 35, for the plain decoder too
  bytes[25] = 2;
  TzvDnsMessage plain;
  EXPECT_EQ(DnsErrorOf(plain, bytes).first, 35);
}

TEST(OptRecord, EveryTruncationAndEveryOverrunningOptionFailsCleanly) {
  for (const Bytes& whole : {kQuestion, kBadVersion}) {
    for (std::size_t n = 0; n < whole.size(); ++n) {
      TzvDnsExtendedMessage message;
      const Bytes cut(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(n));
      EXPECT_EQ(DnsErrorOf(message, cut).first, kzvDnsErrInvalidSize) << "cut at " << n;
    }
  }
  // An NSID byte the data does not hold; only the option's code; a stray byte behind it.
  for (const auto& [rdlength, nsid_length, size] : {std::tuple(4, 1, 35), {2, 0, 33}, {5, 0, 36}}) {
    Bytes bytes = kQuestion;
    bytes[30] = static_cast<std::uint8_t>(rdlength);
    bytes[34] = static_cast<std::uint8_t>(nsid_length);
    bytes.resize(static_cast<std::size_t>(size));
    TzvDnsExtendedMessage message;
    EXPECT_EQ(DnsErrorOf(message, bytes),
              std::make_pair(-1, std::string("Malformed OPT record: an option runs past the "
                                             "record's data")));
  }
}

TEST(OptRecord, PlacementRulesOutrankTheResponseCodeForAnyDecoder) {
  const std::tuple<const char*, std::function<void(Bytes&)>, int> cases[] = {
      {"outside the additional section", [](Bytes& b) { b[7] = 1, b[11] = 0; }, 0},
      {"outside the additional section", [](Bytes& b) { b[9] = 1, b[11] = 0; }, 0},
      {"more than one in the message",
       [](Bytes& b) { b[11] = 2, b.insert(b.end(), kQuestion.begin() + 20, kQuestion.end()); }, 2},
      {"owner name is not the root",
       [](Bytes& b) {
         b.insert(b.begin() + 20, {0x01, 'a'});
       },
       1}};
  for (const auto& [fault, change, additional] : cases) {
    Bytes bytes = kQuestion;
    bytes[3] |= 0x03;
    change(bytes);
    TzvDnsExtendedMessage extended;
    TzvDnsMessage plain;
    for (TzvDnsMessage* message : {static_cast<TzvDnsMessage*>(&extended), &plain}) {
      EXPECT_EQ(DnsErrorOf(*message, bytes),
                std::make_pair(-1, std::string("Malformed OPT record: ") + fault));
      // What was decoded stays.
      EXPECT_EQ(message->AdditionalRecords().Count(), additional) << fault;
    }
  }
}

}  // namespace
