#include "dns/zvDnsMessage.h"

#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include "bench/fixtures/MxAnswerFixture.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

void ParseBytes(TzvDnsMessage& message, std::span<const std::uint8_t> bytes) {
  TMemoryStream stream;
  stream.WriteBuffer(bytes.data(), static_cast<std::int32_t>(bytes.size()));
  stream.SetPosition(0);
  message.Parse(stream);
}

Bytes BuildBytes(TzvDnsMessage& message) {
  TMemoryStream stream;
  message.Build(stream);
  return Bytes(stream.Memory(), stream.Memory() + stream.Size());
}

std::int32_t ErrorCodeOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const EzvDnsError& e) {
    return e.ErrorCode();
  }
  return 0;
}

// ---- Names ----

std::string ReadNameAt(const Bytes& bytes, std::int32_t& position) {
  return TzvDnsRecord::ReadName(TzvByteArray(bytes), position);
}

TEST(ReadName, FollowsForwardPointerAndStopsBehindIt) {
  Bytes bytes = {0x01, 'a', 0xC0, 0x0C,  // 'a', then -> offset 12
                 0,    0,   0,    0,    0, 0, 0, 0, 0x02, 'b', 'b', 0x03, 'c', 'c', 'c', 0x00};
  std::int32_t position = 0;
  EXPECT_EQ(ReadNameAt(bytes, position), "a.bb.ccc");
  EXPECT_EQ(position, 4);
}

TEST(ReadName, RootIsOneZeroByte) {
  std::int32_t position = 0;
  EXPECT_EQ(ReadNameAt({0x00}, position), "");
  EXPECT_EQ(position, 1);
}

TEST(ReadName, PointerToRootLeavesTrailingDot) {
  std::int32_t position = 0;
  EXPECT_EQ(ReadNameAt({0x01, 'a', 0xC0, 0x04, 0x00}, position), "a.");
  EXPECT_EQ(position, 4);
}

TEST(ReadName, DotInsideLabelIsKept) {
  std::int32_t position = 0;
  EXPECT_EQ(ReadNameAt({0x03, 'a', '.', 'b', 0x00}, position), "a.b");
}

TEST(ReadName, AcceptsNameOfExactly255Octets) {
  Bytes bytes;
  for (int size : {63, 63, 63, 61}) {
    bytes.push_back(static_cast<std::uint8_t>(size));
    bytes.insert(bytes.end(), static_cast<std::size_t>(size), 'x');
  }
  bytes.push_back(0);
  ASSERT_EQ(bytes.size(), 255u);
  std::int32_t position = 0;
  EXPECT_EQ(ReadNameAt(bytes, position).size(), 253u);
  EXPECT_EQ(position, 255);
}

Bytes PointerChain(int links) {
  // Each pointer leads to the next; the last one to a root name.
  Bytes bytes;
  for (int i = 0; i < links; ++i) {
    const int next = 2 * (i + 1);
    bytes.push_back(static_cast<std::uint8_t>(0xC0 | next >> 8));
    bytes.push_back(static_cast<std::uint8_t>(next));
  }
  bytes.push_back(0);
  return bytes;
}

TEST(ReadName, FollowsShortPointerChain) {
  std::int32_t position = 0;
  EXPECT_EQ(ReadNameAt(PointerChain(10), position), "");
  EXPECT_EQ(position, 2);
}

Bytes LongName(int labels, int size) {
  Bytes bytes;
  for (int i = 0; i < labels; ++i) {
    bytes.push_back(static_cast<std::uint8_t>(size));
    bytes.insert(bytes.end(), static_cast<std::size_t>(size), 'x');
  }
  bytes.push_back(0);
  return bytes;
}

struct HostileName {
  const char* fault;
  Bytes bytes;
};

class ReadNameRejects : public ::testing::TestWithParam<HostileName> {};

TEST_P(ReadNameRejects, WithTheSizeError) {
  std::int32_t position = 0;
  EXPECT_EQ(ErrorCodeOf([&] { ReadNameAt(GetParam().bytes, position); }), kzvDnsErrInvalidSize);
}

INSTANTIATE_TEST_SUITE_P(HostileNames, ReadNameRejects,
                         ::testing::Values(HostileName{"Empty", {}},
                                           HostileName{"SelfPointer", {0xC0, 0x00}},
                                           HostileName{"PointerCycle", {0xC0, 0x02, 0xC0, 0x00}},
                                           HostileName{"LabelCycle", {0x01, 'a', 0xC0, 0x00}},
                                           HostileName{"LongPointerChain", PointerChain(200)},
                                           HostileName{"PointerPastEnd", {0x01, 'a', 0xC0, 0x09}},
                                           HostileName{"PointerToEnd", {0x01, 'a', 0xC0, 0x04}},
                                           HostileName{"PointerCutInHalf", {0x01, 'a', 0xC0}},
                                           HostileName{"LabelPastEnd", {0x05, 'a', 'b'}},
                                           HostileName{"NoTerminator", {0x01, 'a'}},
                                           HostileName{"NameOver255", LongName(4, 63)},
                                           HostileName{"WideLengthByteOver255", LongName(2, 0xBF)}),
                         [](const auto& info) { return std::string(info.param.fault); });

Bytes WriteNameBytes(std::string_view name) {
  TzvByteArray buffer(300);
  std::int32_t position = 0;
  TzvDnsRecord::WriteName(name, buffer, position);
  return Bytes(buffer.Data(), buffer.Data() + position);
}

TEST(WriteName, WritesLabelsUncompressed) {
  EXPECT_EQ(WriteNameBytes(""), Bytes({0x00}));
  EXPECT_EQ(WriteNameBytes("a.bb"), Bytes({0x01, 'a', 0x02, 'b', 'b', 0x00}));
  EXPECT_EQ(WriteNameBytes("a.bb."), WriteNameBytes("a.bb"));
  // Empty labels are written where they stand.
  EXPECT_EQ(WriteNameBytes("."), Bytes({0x00, 0x00}));
  EXPECT_EQ(WriteNameBytes(".a"), Bytes({0x00, 0x01, 'a', 0x00}));
  EXPECT_EQ(WriteNameBytes("a..b"), Bytes({0x01, 'a', 0x00, 0x01, 'b', 0x00}));
}

TEST(WriteName, RefusesWhatTheWireCannotHold) {
  const std::string label63(63, 'x');
  EXPECT_EQ(WriteNameBytes(label63).size(), 65u);
  const std::pair<std::string, const char*> cases[] = {
      {std::string(64, 'x'), "Label longer than 63 bytes"},
      {std::string(192, 'x'), "Label longer than 63 bytes"},  // would read as a pointer
      {label63 + "." + label63 + "." + label63 + "." + label63, "Name longer than 255 bytes"}};
  for (const auto& [name, text] : cases) {
    TzvByteArray buffer(300);
    std::int32_t position = 0;
    try {
      TzvDnsRecord::WriteName(name, buffer, position);
      FAIL() << "accepted " << name.size() << " bytes";
    } catch (const EzvDnsError& e) {
      EXPECT_STREQ(e.what(), text);
    }
    EXPECT_EQ(position, 0);
  }
  TzvByteArray small(4);
  std::int32_t position = 0;
  EXPECT_THROW(TzvDnsRecord::WriteName("abcd", small, position), EzvDnsError);
}

TEST(CharacterString, WritesUpTo255BytesAndEmptiesLongerTexts) {
  TzvByteArray buffer(300);
  std::int32_t position = 0;
  TzvDnsRecord::WriteCharacterString(std::string(255, 'x'), buffer, position);
  EXPECT_EQ(position, 256);
  EXPECT_EQ(buffer[0], 0xFF);
  position = 0;
  TzvDnsRecord::WriteCharacterString(std::string(256, 'x'), buffer, position);
  EXPECT_EQ(position, 1);
  EXPECT_EQ(buffer[0], 0x00);
}

TEST(CharacterString, ReadIsCheckedAgainstDataLengthAndBuffer) {
  const TzvByteArray bytes(Bytes{0x03, 'a', 0x00, 'b'});
  TzvDnsRecord record;
  record.DataLength = 4;
  std::int32_t position = 0;
  EXPECT_EQ(record.ReadCharacterString(bytes, position), "a");  // cut at the zero byte
  EXPECT_EQ(position, 4);
  record.DataLength = 3;
  position = 0;
  EXPECT_THROW(record.ReadCharacterString(bytes, position), EzvDnsError);
  record.DataLength = 100;  // a data length that lies about the buffer
  const TzvByteArray short_bytes(Bytes{0x05, 'a'});
  position = 0;
  EXPECT_THROW(record.ReadCharacterString(short_bytes, position), EzvDnsError);
}

// ---- Header and message ----

TEST(BuildMessage, NewMessageIsAResponseHeaderOnly) {
  TzvDnsMessage message;
  const Bytes bytes = BuildBytes(message);
  ASSERT_EQ(bytes.size(), 12u);
  EXPECT_EQ(ComposeWord(bytes[0], bytes[1]), message.Header().ID);
  EXPECT_EQ(Bytes(bytes.begin() + 2, bytes.end()), Bytes({0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(BuildMessage, EncodesRecursiveMxQuestion) {
  TzvDnsMessage message;
  message.Header().IsQuery = true;
  message.Header().IsRecursionDesired = true;
  auto question = std::make_unique<TzvDnsMXRecord>();
  question->Name = "a.bb";
  message.Queries().Add(std::move(question));
  message.Header().ID = 0x1234;
  const Bytes expected = {0x12, 0x34,                         // ID
                          0x01, 0x00,                         // RD
                          0x00, 0x01, 0x00, 0x00,             // QDCOUNT 1, ANCOUNT 0
                          0x00, 0x00, 0x00, 0x00,             // NSCOUNT 0, ARCOUNT 0
                          0x01, 'a',  0x02, 'b',  'b', 0x00,  // QNAME a.bb
                          0x00, 0x0F, 0x00, 0x01};            // QTYPE MX, QCLASS IN
  EXPECT_EQ(BuildBytes(message), expected);
}

TEST(BuildMessage, WritesEveryHeaderFlagAndMasksTheResponseCode) {
  TzvDnsMessage message;
  auto& header = message.Header();
  header.IsAuthoritativeAnswer = header.IsTruncated = true;
  header.IsRecursionDesired = header.IsRecursionAvailable = true;
  header.OpCode = ocStatus;
  header.ResponseCode = 0x13;
  Bytes bytes = BuildBytes(message);
  EXPECT_EQ(ComposeWord(bytes[2], bytes[3]), 0x9783);
  header.OpCode = ocInverseQuery;
  bytes = BuildBytes(message);
  EXPECT_EQ(ComposeWord(bytes[2], bytes[3]), 0x8F83);
}

TEST(BuildMessage, RefusesMessagesOver512BytesAndWritesNothing) {
  TzvDnsMessage message;
  for (int i = 0; i < 8; ++i) {
    auto question = std::make_unique<TzvDnsRecord>();
    question->Name = std::string(60, 'q') + "." + std::string(i + 1, 'x');
    message.Queries().Add(std::move(question));
  }
  TMemoryStream stream;
  try {
    message.Build(stream);
    FAIL() << "encoded more than 512 bytes";
  } catch (const EzvDnsError& e) {
    EXPECT_STREQ(e.what(), "The message is longer than 512 bytes");
  }
  EXPECT_EQ(stream.Size(), 0);
}

TEST(ParseHeader, ReadsFlags) {
  const auto header_of = [](std::uint16_t flags) {
    TzvDnsMessage message;
    const Bytes bytes = {0xAB,
                         0xCD,
                         static_cast<std::uint8_t>(flags >> 8),
                         static_cast<std::uint8_t>(flags),
                         0,
                         0,
                         0,
                         0,
                         0,
                         0,
                         0,
                         0};
    ParseBytes(message, bytes);
    return message.Header();
  };
  const TzvDnsMessageHeader h = header_of(0x8180);
  EXPECT_EQ(h.ID, 0xABCD);
  EXPECT_FALSE(h.IsQuery);
  EXPECT_EQ(h.OpCode, ocQuery);
  EXPECT_TRUE(h.IsRecursionDesired && h.IsRecursionAvailable);
  EXPECT_FALSE(h.IsAuthoritativeAnswer || h.IsTruncated);
  EXPECT_TRUE(header_of(0x0000).IsQuery);
  EXPECT_TRUE(header_of(0x8600).IsAuthoritativeAnswer && header_of(0x8600).IsTruncated);
  // Only the low two opcode bits are told apart.
  EXPECT_EQ(header_of(0x0800).OpCode, ocInverseQuery);
  EXPECT_EQ(header_of(0x1000).OpCode, ocStatus);
  EXPECT_EQ(header_of(0x1800).OpCode, ocQuery);
  EXPECT_EQ(header_of(0x2000).OpCode, ocQuery);
  EXPECT_EQ(header_of(0x2800).OpCode, ocInverseQuery);
}

TEST(MessageID, IsDrawnAfreshAtEveryClear) {
  TzvDnsMessage message;
  std::set<std::int32_t> seen;
  for (int i = 0; i < 64; ++i) {
    message.Clear();
    EXPECT_GE(message.Header().ID, 0);
    EXPECT_LE(message.Header().ID, 0xFFFF);
    seen.insert(message.Header().ID);
  }
  // 64 draws of 16 bits: a repeat or two is possible, a handful is not.
  EXPECT_GT(seen.size(), 56u);
}

// An answer to an MX question for "bb": one MX record and its glue A record.
const std::uint8_t kMxAnswer[] = {
    0x12, 0x34,                          // ID
    0x85, 0x80,                          // QR AA RD RA, RCODE 0
    0x00, 0x01, 0x00, 0x01,              // QDCOUNT 1, ANCOUNT 1
    0x00, 0x00, 0x00, 0x01,              // NSCOUNT 0, ARCOUNT 1
    0x02, 'b',  'b',  0x00,              // 12: QNAME bb
    0x00, 0x0F, 0x00, 0x01,              // QTYPE MX, QCLASS IN
    0xC0, 0x0C,                          // 20: NAME -> bb
    0x00, 0x0F, 0x00, 0x01,              // MX IN
    0x00, 0x00, 0x0E, 0x10,              // TTL 3600
    0x00, 0x07,                          // RDLENGTH 7
    0x00, 0x0A,                          // preference 10
    0x02, 'm',  'x',  0xC0, 0x0C,        // 34: mx -> bb
    0xC0, 0x22,                          // NAME -> mx.bb
    0x00, 0x01, 0x00, 0x01,              // A IN
    0x00, 0x00, 0x00, 0x3C,              // TTL 60
    0x00, 0x04, 0x7F, 0x00, 0x00, 0x15,  // 127.0.0.21
};

TEST(ParseMessage, DecodesCommentedMxAnswer) {
  TzvDnsMessage message;
  ParseBytes(message, kMxAnswer);
  EXPECT_EQ(message.Header().ID, 0x1234);
  EXPECT_TRUE(message.Header().IsAuthoritativeAnswer);
  ASSERT_EQ(message.Queries().Count(), 1);
  EXPECT_EQ(message.Queries()[0]->ClassName(), "TzvDnsMXRecord");
  EXPECT_EQ(message.Queries()[0]->Name, "bb");
  ASSERT_EQ(message.Answers().Count(), 1);
  auto* mx = dynamic_cast<TzvDnsMXRecord*>(message.Answers()[0]);
  ASSERT_NE(mx, nullptr);
  EXPECT_EQ(mx->Name, "bb");
  EXPECT_EQ(mx->TTL, 3600u);
  EXPECT_EQ(mx->DataLength, 7);
  EXPECT_EQ(mx->Preference, 10);
  EXPECT_EQ(mx->MailServer, "mx.bb");
  auto* a = dynamic_cast<TzvDnsARecord*>(message.AdditionalRecords()[0]);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->Name, "mx.bb");
  EXPECT_EQ(a->IPAddress, "127.0.0.21");
  EXPECT_EQ(message.Authorities().Count(), 0);
}

TEST(ParseMessage, DecodesCapturedNsdAnswer) {
  TzvDnsMessage message;
  ParseBytes(message, kMxAnswerFixture);
  ASSERT_EQ(message.Answers().Count(), 2);
  ASSERT_EQ(message.Authorities().Count(), 2);
  ASSERT_EQ(message.AdditionalRecords().Count(), 4);
  auto* second = dynamic_cast<TzvDnsMXRecord*>(message.Answers()[1]);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(second->Preference, 20);
  EXPECT_EQ(second->MailServer, "mx2.pellamar.test");
  auto* ns = dynamic_cast<TzvDnsNSRecord*>(message.Authorities()[1]);
  ASSERT_NE(ns, nullptr);
  EXPECT_EQ(ns->NameServer, "ns2.pellamar.test");
  EXPECT_NE(message.AdditionalRecords().FindItem("NS1.Pellamar.Test", kzvDnsTypeA), nullptr);
  EXPECT_EQ(message.AdditionalRecords().FindItem("ns1.pellamar.test", kzvDnsTypeMX), nullptr);
}

TEST(ParseMessage, EveryTruncationFailsCleanly) {
  for (const std::span<const std::uint8_t> whole :
       {std::span<const std::uint8_t>(kMxAnswer),
        std::span<const std::uint8_t>(kMxAnswerFixture)}) {
    for (std::size_t n = 0; n < whole.size(); ++n) {
      TzvDnsMessage message;
      EXPECT_EQ(ErrorCodeOf([&] { ParseBytes(message, whole.first(n)); }), kzvDnsErrInvalidSize)
          << "cut at " << n;
    }
  }
}

TEST(ParseMessage, KeepsRecordsDecodedBeforeTheFault) {
  // Cut inside the MX data: the record is already in its list, its fixed fields read.
  TzvDnsMessage message;
  EXPECT_THROW(ParseBytes(message, std::span(kMxAnswer).first(38)), EzvDnsError);
  ASSERT_EQ(message.Answers().Count(), 1);
  EXPECT_EQ(message.Answers()[0]->Name, "bb");
  EXPECT_EQ(message.Answers()[0]->DataLength, 7);
}

TEST(ParseMessage, StartsAtTheStreamPosition) {
  TMemoryStream stream;
  const Bytes junk(10, 0xEE);
  stream.WriteBuffer(junk.data(), 10);
  stream.WriteBuffer(kMxAnswer, sizeof kMxAnswer);
  stream.SetPosition(10);
  TzvDnsMessage message;
  message.Parse(stream);
  EXPECT_EQ(message.Header().ID, 0x1234);
  EXPECT_EQ(message.Answers().Count(), 1);
}

// A header and one answer for the root name: type, class, RDLENGTH, then the data.
Bytes OneAnswer(std::uint16_t type, std::uint16_t klass, Bytes data, int rdlength = -1,
                std::uint16_t flags = 0x8180, Bytes after = {}) {
  const auto length = static_cast<std::uint16_t>(rdlength < 0 ? data.size() : rdlength);
  Bytes bytes = {0x00,
                 0x01,
                 static_cast<std::uint8_t>(flags >> 8),
                 static_cast<std::uint8_t>(flags),
                 0,
                 0,
                 0,
                 1,
                 0,
                 0,
                 0,
                 static_cast<std::uint8_t>(after.empty() ? 0 : 1)};
  Bytes record = {0x00,
                  static_cast<std::uint8_t>(type >> 8),
                  static_cast<std::uint8_t>(type),
                  static_cast<std::uint8_t>(klass >> 8),
                  static_cast<std::uint8_t>(klass),
                  0,
                  0,
                  0,
                  0x3C,
                  static_cast<std::uint8_t>(length >> 8),
                  static_cast<std::uint8_t>(length)};
  bytes.insert(bytes.end(), record.begin(), record.end());
  bytes.insert(bytes.end(), data.begin(), data.end());
  bytes.insert(bytes.end(), after.begin(), after.end());
  return bytes;
}

const Bytes kARecord = {0x00, 0x00, 0x01, 0x00, 0x01, 0, 0, 0, 0x3C, 0x00, 0x04, 10, 0, 0, 1};

TEST(ParseMessage, SkipsUnknownTypeByRdLength) {
  TzvDnsMessage message;
  ParseBytes(message, OneAnswer(28, 1, Bytes(16, 0xAA), -1, 0x8180, kARecord));
  const TzvDnsRecord* unknown = message.Answers()[0];
  EXPECT_EQ(unknown->ClassName(), "TzvDnsRecord");
  EXPECT_EQ(unknown->RecordType, 28);
  EXPECT_EQ(unknown->DataLength, 16);
  auto* a = dynamic_cast<TzvDnsARecord*>(message.AdditionalRecords()[0]);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->IPAddress, "10.0.0.1");
}

TEST(ParseMessage, SkipsUnreadRecordDataAndRejectsOverreads) {
  TzvDnsMessage message;
  ParseBytes(message, OneAnswer(kzvDnsTypeA, 1, {1, 2, 3, 4, 5, 6}, -1, 0x8180, kARecord));
  EXPECT_EQ(dynamic_cast<TzvDnsARecord*>(message.Answers()[0])->IPAddress, "1.2.3.4");
  EXPECT_EQ(message.AdditionalRecords().Count(), 1);
  // A parser that needs more than RDLENGTH gives is refused even when the bytes exist.
  EXPECT_EQ(ErrorCodeOf([&] {
              ParseBytes(message, OneAnswer(kzvDnsTypeA, 1, {1, 2}, -1, 0x8180, kARecord));
            }),
            kzvDnsErrInvalidSize);
  // RDLENGTH may reach the very end, not one byte further.
  EXPECT_NO_THROW(ParseBytes(message, OneAnswer(99, 1, {1, 2, 3})));
  EXPECT_EQ(ErrorCodeOf([&] {
              ParseBytes(message, OneAnswer(99, 1, {1, 2, 3}, 4));
            }),
            kzvDnsErrInvalidSize);
}

TEST(ParseMessage, RejectsCountsTheDatagramCannotHold) {
  Bytes bytes(kMxAnswer, kMxAnswer + sizeof kMxAnswer);
  bytes[6] = 0xFF;  // ANCOUNT 65281
  TzvDnsMessage message;
  EXPECT_EQ(ErrorCodeOf([&] { ParseBytes(message, bytes); }), kzvDnsErrInvalidSize);
  // The records that were there were read first and stay in the list.
  EXPECT_EQ(message.Answers().Count(), 2);
  EXPECT_EQ(dynamic_cast<TzvDnsMXRecord*>(message.Answers()[0])->MailServer, "mx.bb");
}

TEST(ParseMessage, ReadsUnknownClassesAsInternetAndWritesThemBackAsOne) {
  TzvDnsMessage message;
  ParseBytes(message, OneAnswer(99, 255, {}));
  EXPECT_EQ(message.Answers()[0]->RecordClass, rcInternet);
  ParseBytes(message, OneAnswer(99, 3, {}));
  EXPECT_EQ(message.Answers()[0]->RecordClass, rcChaos);
  ParseBytes(message, OneAnswer(99, 255, {}));
  const Bytes rebuilt = BuildBytes(message);
  EXPECT_EQ(ComposeWord(rebuilt[15], rebuilt[16]), 1);
}

TEST(ParseMessage, ErrorReplyKeepsItsSectionsThenFails) {
  // RCODE 3 with the zone's SOA record in the authority section.
  const Bytes soa = {
      0x02, 'b', 'b', 0x00, 0x00, 0x06, 0x00, 0x01, 0, 0, 0, 0x3C, 0x00, 0x1A,
      0x00,                                                      // primary: root
      0x02, 'h', 'm', 0xC0, 0x0C,                                // mailbox hm.bb
      0,    0,   0,   1,    0,    0,    0,    2,    0, 0, 0, 3,  // serial, refresh, retry
      0,    0,   0,   4,    0,    0,    0,    5};                // expire, minimum
  Bytes bytes = {0xAA, 0xAA, 0x81, 0x83, 0, 0, 0, 0, 0, 1, 0, 0};
  bytes.insert(bytes.end(), soa.begin(), soa.end());
  TzvDnsMessage message;
  try {
    ParseBytes(message, bytes);
    FAIL() << "no error";
  } catch (const EzvDnsError& e) {
    EXPECT_EQ(e.ErrorCode(), 3);
    EXPECT_STREQ(e.what(), "No such name");
  }
  ASSERT_EQ(message.Authorities().Count(), 1);
  auto* record = dynamic_cast<TzvDnsSOARecord*>(message.Authorities()[0]);
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(record->ResponsibleMailbox, "hm.bb");
  EXPECT_EQ(record->SerialNumber, 1u);
  EXPECT_EQ(record->MinimumTTL, 5u);

  bytes[3] = 0x89;  // RCODE 9
  try {
    ParseBytes(message, bytes);
    FAIL() << "no error";
  } catch (const EzvDnsError& e) {
    EXPECT_EQ(e.ErrorCode(), 9);
    EXPECT_STREQ(e.what(), "Unspecified error");
  }
}

TEST(ParseMessage, TruncatedFlagChangesNothing) {
  Bytes bytes(kMxAnswer, kMxAnswer + sizeof kMxAnswer);
  bytes[2] |= 0x02;
  TzvDnsMessage message;
  ParseBytes(message, bytes);
  EXPECT_TRUE(message.Header().IsTruncated);
  EXPECT_EQ(message.AdditionalRecords().Count(), 1);
}

TEST(MessageRoundTrip, EveryRecordClassSurvivesBuildAndParse) {
  TzvDnsMessage message;
  auto add = [](TzvDnsRecordList& list, std::unique_ptr<TzvDnsRecord> r, const char* name) {
    r->Name = name;
    r->TTL = 0x01020304;
    list.Add(std::move(r));
  };
  add(message.Queries(), std::make_unique<TzvDnsMXRecord>(), "a.bb");
  auto mx = std::make_unique<TzvDnsMXRecord>();
  mx->Preference = 65535;
  mx->MailServer = "mx.a.bb";
  add(message.Answers(), std::move(mx), "a.bb");
  auto cname = std::make_unique<TzvDnsCNAMERecord>();
  cname->CanonicalName = "c.bb";
  add(message.Answers(), std::move(cname), "w.bb");
  auto txt = std::make_unique<TzvDnsTXTRecord>();
  txt->Text = "v=spf1 -all";
  add(message.Answers(), std::move(txt), "a.bb");
  auto ptr = std::make_unique<TzvDnsPTRRecord>();
  ptr->DomainName = "p.bb";
  add(message.Answers(), std::move(ptr), "1.0.0.127.in-addr.arpa");
  auto soa = std::make_unique<TzvDnsSOARecord>();
  soa->PrimaryNameServer = "ns.bb";
  soa->Expire = 0xFFFFFFFF;
  add(message.Authorities(), std::move(soa), "bb");
  auto ns = std::make_unique<TzvDnsNSRecord>();
  ns->NameServer = "ns.bb";
  add(message.Authorities(), std::move(ns), "bb");
  auto a = std::make_unique<TzvDnsARecord>();
  a->IPAddress = "192.168.0.1";
  add(message.AdditionalRecords(), std::move(a), "ns.bb");
  message.Header().ID = 77;

  const Bytes bytes = BuildBytes(message);
  TzvDnsMessage copy;
  ParseBytes(copy, bytes);
  EXPECT_EQ(copy.Header().ID, 77);
  EXPECT_EQ(copy.Header().AnswerCount, 4);
  const auto same = [](const TzvDnsRecordList& x, const TzvDnsRecordList& y) {
    ASSERT_EQ(x.Count(), y.Count());
    for (int i = 0; i < x.Count(); ++i) {
      EXPECT_EQ(x[i]->ClassName(), y[i]->ClassName());
      EXPECT_EQ(x[i]->Name, y[i]->Name);
      EXPECT_EQ(x[i]->TTL, y[i]->TTL);
      EXPECT_EQ(x[i]->DataLength, y[i]->DataLength);
    }
  };
  same(message.Answers(), copy.Answers());
  same(message.Authorities(), copy.Authorities());
  same(message.AdditionalRecords(), copy.AdditionalRecords());
  EXPECT_EQ(dynamic_cast<TzvDnsMXRecord*>(copy.Answers()[0])->Preference, 65535);
  EXPECT_EQ(dynamic_cast<TzvDnsTXTRecord*>(copy.Answers()[2])->Text, "v=spf1 -all");
  EXPECT_EQ(dynamic_cast<TzvDnsSOARecord*>(copy.Authorities()[0])->Expire, 0xFFFFFFFFu);
  EXPECT_EQ(dynamic_cast<TzvDnsARecord*>(copy.AdditionalRecords()[0])->IPAddress, "192.168.0.1");
  EXPECT_EQ(BuildBytes(copy), bytes);
}

// ---- Record lists ----

TEST(RecordList, OwnsCopiesAndFindsRecords) {
  TzvDnsRecordList list;
  auto mx = std::make_unique<TzvDnsMXRecord>();
  mx->Name = "ns1.a.bb";
  mx->MailServer = "m.bb";
  list.Add(std::move(mx));
  auto ns = std::make_unique<TzvDnsNSRecord>();
  ns->Name = "ns1.a.bb";
  EXPECT_EQ(list.Add(std::move(ns)), 1);
  EXPECT_EQ(list.FindItem("NS1.A.BB", kzvDnsTypeNS), list[1]);
  EXPECT_EQ(list.FindItem("NS1.A.BB", kzvDnsTypeA), nullptr);

  TzvDnsRecordList copy;
  copy.Assign(&list);
  ASSERT_EQ(copy.Count(), 2);
  EXPECT_NE(copy[0], list[0]);
  EXPECT_EQ(copy[0]->ClassName(), "TzvDnsMXRecord");
  EXPECT_EQ(dynamic_cast<TzvDnsMXRecord*>(copy[0])->MailServer, "m.bb");
  copy.Assign(&copy);  // onto itself: nothing lost
  EXPECT_EQ(copy.Count(), 2);

  try {
    (void)list.Items(2);
    FAIL() << "no error";
  } catch (const EListError& e) {
    EXPECT_STREQ(e.what(), "List index out of bounds (2)");
  }
  try {
    copy.Assign(list[0]);
    FAIL() << "no error";
  } catch (const EConvertError& e) {
    EXPECT_STREQ(e.what(), "Cannot assign a TzvDnsMXRecord to a TzvDnsRecordList");
  }
  list.Clear();
  EXPECT_EQ(list.Count(), 0);
}

}  // namespace
