#include "dns/zvDnsMessage.h"

#include <cerrno>
#include <cstdlib>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "bench/fixtures/MxAnswerFixture.h"
#include "dns/zvDnsRecordTypes.h"
#include "tests/support/FailingRandomSource.h"
#include "tests/support/MessageBytes.h"
#include "tests/support/Sanitizers.h"

namespace {

// The code and text of the EzvDnsError the action raises; {0, ""} when it raises none.
std::pair<std::int32_t, std::string> DnsErrorOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const EzvDnsError& e) {
    return {e.ErrorCode(), e.Message()};
  }
  return {0, ""};
}
const std::pair<std::int32_t, std::string> kInvalidSize = {-1,
                                                           "The size of the datagram is invalid"};

// Appends 16-bit big-endian words.
Bytes& Put(Bytes& bytes, std::initializer_list<std::uint16_t> words) {
  for (std::uint16_t w : words) {
    bytes.push_back(static_cast<std::uint8_t>(w >> 8));
    bytes.push_back(static_cast<std::uint8_t>(w));
  }
  return bytes;
}

// ---- Names ----

struct NameCase {
  Bytes bytes;
  std::string name;
  std::int32_t end;
};

Bytes PointerChain(int links) {  // each pointer leads to the next, the last to the root
  Bytes bytes;
  for (int i = 1; i <= links; ++i) Put(bytes, {static_cast<std::uint16_t>(0xC000 | 2 * i)});
  bytes.push_back(0);
  return bytes;
}

Bytes LongName(std::initializer_list<int> label_sizes) {
  Bytes bytes;
  for (int size : label_sizes) {
    bytes.push_back(static_cast<std::uint8_t>(size));
    bytes.insert(bytes.end(), static_cast<std::size_t>(size), 'x');
  }
  bytes.push_back(0);
  return bytes;
}

// Four labels of 63, 63, 63 and 61 bytes: 255 octets on the wire, the most a name holds.
const std::string kLongestName = std::string(63, 'x') + "." + std::string(63, 'x') + "." +
                                 std::string(63, 'x') + "." + std::string(61, 'x');

TEST(ReadName, FollowsPointersAndStopsBehindTheFirst) {
  const NameCase cases[] = {
      {{0x00}, "", 1},
      {{0x01, 'a', 0x02, 'b', 'b', 0x00}, "a.bb", 6},
      // 'a', then a forward pointer to offset 12 holding 'bb.ccc'.
      {{0x01, 'a', 0xC0, 0x0C, 0, 0, 0, 0, 0, 0, 0, 0, 0x02, 'b', 'b', 0x03, 'c', 'c', 'c', 0x00},
       "a.bb.ccc",
       4},
      {{0x01, 'a', 0xC0, 0x04, 0x00}, "a.", 4},   // a pointer to the root keeps its dot
      {{0x03, 'a', '.', 'b', 0x00}, "a\\.b", 5},  // a dot inside a label is escaped
      {{0x02, '\\', 'x', 0x01, 't', 0x00}, "\\\\x.t", 6},
      {PointerChain(10), "", 2},
      {LongName({63, 63, 63, 61}), kLongestName, 255},
  };
  for (const auto& c : cases) {
    std::int32_t position = 0;
    EXPECT_EQ(TzvDnsRecord::ReadName(TzvByteArray(c.bytes), position), c.name);
    EXPECT_EQ(position, c.end) << c.name;
  }
}

TEST(ReadName, CopiesLabelsOfEveryLengthExactly) {
  for (std::size_t length = 1; length <= 63; ++length) {
    std::string label;
    for (std::size_t i = 0; i < length; ++i) label += static_cast<char>('a' + i % 26);
    Bytes bytes{static_cast<std::uint8_t>(length)};
    bytes.insert(bytes.end(), label.begin(), label.end());
    bytes.insert(bytes.end(), {0x01, 'Z', 0x00});
    std::int32_t position = 0;
    EXPECT_EQ(TzvDnsRecord::ReadName(TzvByteArray(bytes), position), label + ".Z");
  }
}

TEST(ReadName, AllowsExactly128PointerJumps) {
  std::int32_t position = 0;
  EXPECT_EQ(TzvDnsRecord::ReadName(TzvByteArray(PointerChain(128)), position), "");
  EXPECT_EQ(position, 2);
  position = 0;
  EXPECT_EQ(DnsErrorOf([&] { TzvDnsRecord::ReadName(TzvByteArray(PointerChain(129)), position); }),
            kInvalidSize);
  EXPECT_EQ(position, 0);
}

TEST(ReadName, NameAndPointerMayEndExactlyAtTheEndOfTheMessage) {
  // A plain name whose zero is the last byte, then a pointer that is the last two bytes.
  const TzvByteArray buffer(Bytes{0x02, 'b', 'b', 0x00, 0x01, 'a', 0xC0, 0x00});
  std::int32_t position = 0;
  EXPECT_EQ(TzvDnsRecord::ReadName(buffer, position), "bb");
  EXPECT_EQ(position, 4);
  EXPECT_EQ(TzvDnsRecord::ReadName(buffer, position), "a.bb");
  EXPECT_EQ(position, 8);
  // At the end itself there is no name to read.
  EXPECT_EQ(DnsErrorOf([&] { TzvDnsRecord::ReadName(buffer, position); }), kInvalidSize);
  EXPECT_EQ(position, 8);
}

struct HostileName {
  const char* fault;
  Bytes bytes;
};

class ReadNameRejects : public ::testing::TestWithParam<HostileName> {};

TEST_P(ReadNameRejects, WithTheSizeError) {
  std::int32_t position = 0;
  EXPECT_EQ(DnsErrorOf([&] { TzvDnsRecord::ReadName(TzvByteArray(GetParam().bytes), position); }),
            kInvalidSize);
}

INSTANTIATE_TEST_SUITE_P(
    HostileNames, ReadNameRejects,
    ::testing::Values(HostileName{"Empty", {}}, HostileName{"SelfPointer", {0xC0, 0x00}},
                      HostileName{"PointerCycle", {0xC0, 0x02, 0xC0, 0x00}},
                      HostileName{"LabelCycle", {0x01, 'a', 0xC0, 0x00}},
                      HostileName{"LongPointerChain", PointerChain(200)},
                      HostileName{"PointerPastEnd", {0x01, 'a', 0xC0, 0x09}},
                      HostileName{"PointerToEnd", {0x01, 'a', 0xC0, 0x04}},
                      HostileName{"PointerCutInHalf", {0x01, 'a', 0xC0}},
                      HostileName{"LabelPastEnd", {0x05, 'a', 'b'}},
                      HostileName{"NoTerminator", {0x01, 'a'}},
                      HostileName{"NameOver255", LongName({63, 63, 63, 62})},
                      HostileName{"WideLengthBytesOver255", LongName({0xBF, 0xBF})}),
    [](const auto& info) { return std::string(info.param.fault); });

Bytes WriteNameBytes(std::string_view name, std::int32_t buffer_size = 300) {
  TzvByteArray buffer(static_cast<std::size_t>(buffer_size));
  std::int32_t position = 0;
  TzvDnsRecord::WriteName(name, buffer, position);
  return Bytes(buffer.Data(), buffer.Data() + position);
}

TEST(WriteName, WritesLabelsUncompressed) {
  EXPECT_EQ(WriteNameBytes(""), Bytes({0x00}));
  EXPECT_EQ(WriteNameBytes("a.bb"), Bytes({0x01, 'a', 0x02, 'b', 'b', 0x00}));
  EXPECT_EQ(WriteNameBytes("a.bb."), WriteNameBytes("a.bb"));
  // "." alone is the root, as the empty text is.
  EXPECT_EQ(WriteNameBytes("."), Bytes({0x00}));
  EXPECT_EQ(WriteNameBytes(std::string(63, 'x')).size(), 65u);
  EXPECT_EQ(WriteNameBytes(kLongestName), LongName({63, 63, 63, 61}));
}

TEST(WriteName, RefusesEmptyLabelsBeforeWritingAnything) {
  // A zero length inside a name would end it early, and the rest would be read as the
  // question's type and class: such a question asks something else than was typed.
  for (const char* name : {"a..b", ".a", "a...", "..", "a.b.."}) {
    SCOPED_TRACE(name);
    TzvByteArray buffer(300);
    std::int32_t position = 7;
    try {
      TzvDnsRecord::WriteName(name, buffer, position);
      ADD_FAILURE() << "written";
    } catch (const EzvDnsError& e) {
      EXPECT_EQ(e.ErrorCode(), -1);
      EXPECT_EQ(std::string(e.what()),
                "'" + std::string(name) + "' is not a legal name (empty label)");
    }
    EXPECT_EQ(position, 7);
  }
}

TEST(WriteName, RefusesWhatTheWireCannotHold) {
  const std::string label63(63, 'x');
  const std::pair<std::string, const char*> cases[] = {
      {std::string(64, 'x'), "Label longer than 63 bytes"},
      {"a." + std::string(192, 'x'), "Label longer than 63 bytes"},  // would read as a pointer
      {label63 + "." + label63 + "." + label63 + "." + label63, "Name longer than 255 bytes"},
      {"abcd", "The message is longer than 4 bytes"}};
  for (const auto& c : cases) {
    EXPECT_EQ(DnsErrorOf([&] { WriteNameBytes(c.first, 4); }).second, c.second);
  }
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
  EXPECT_EQ(DnsErrorOf([&] { record.ReadCharacterString(bytes, position); }), kInvalidSize);
  record.DataLength = 100;  // a data length that lies about the buffer
  position = 0;
  EXPECT_EQ(DnsErrorOf([&] {
              record.ReadCharacterString(TzvByteArray(Bytes{5, 'a'}), position);
            }),
            kInvalidSize);
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
  message.Header().ID = 0x1234;
  auto question = std::make_unique<TzvDnsMXRecord>();
  question->Name = "a.bb";
  message.Queries().Add(std::move(question));
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
  header.OpCode = ocUpdate;
  bytes = BuildBytes(message);
  EXPECT_EQ(ComposeWord(bytes[2], bytes[3]), 0xAF83);
}

TEST(BuildMessage, RefusesMessagesOver512BytesAndWritesNothing) {
  TzvDnsMessage message;
  for (int i = 0; i < 8; ++i) {
    auto question = std::make_unique<TzvDnsRecord>();
    question->Name = std::string(60, 'q') + "." + std::string(i + 1, 'x');
    message.Queries().Add(std::move(question));
  }
  TMemoryStream stream;
  EXPECT_EQ(DnsErrorOf([&] { message.Build(stream); }).second,
            "The message is longer than 512 bytes");
  EXPECT_EQ(stream.Size(), 0);
}

TEST(ParseHeader, ReadsFlags) {
  const auto header_of = [](std::uint16_t flags) {
    TzvDnsMessage message;
    Bytes bytes;
    Put(bytes, {0xABCD, flags, 0, 0, 0, 0});
    DnsErrorOf([&] { ParseBytes(message, bytes); });  // a response code raises once read
    return message.Header();
  };
  const TzvDnsMessageHeader h = header_of(0x8180);
  EXPECT_EQ(h.ID, 0xABCD);
  EXPECT_FALSE(h.IsQuery || h.IsAuthoritativeAnswer || h.IsTruncated);
  EXPECT_TRUE(h.IsRecursionDesired && h.IsRecursionAvailable);
  EXPECT_EQ(h.OpCode, ocQuery);
  EXPECT_TRUE(header_of(0x0000).IsQuery);
  EXPECT_TRUE(header_of(0x8600).IsAuthoritativeAnswer && header_of(0x8600).IsTruncated);
  EXPECT_EQ(header_of(0x800F).ResponseCode, 15);
  // All four opcode bits: NOTIFY and UPDATE are not taken for QUERY and IQUERY.
  EXPECT_EQ(header_of(0x0800).OpCode, ocInverseQuery);
  EXPECT_EQ(header_of(0x1000).OpCode, ocStatus);
  EXPECT_EQ(header_of(0x1800).OpCode, 3);
  EXPECT_EQ(header_of(0x2000).OpCode, ocNotify);
  EXPECT_EQ(header_of(0x2800).OpCode, ocUpdate);
  EXPECT_EQ(header_of(0xF800).OpCode, 15);
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
}

TEST(ParseMessage, WritesAddressOctetsInShortestDecimal) {
  const std::pair<Bytes, const char*> cases[] = {
      {{0, 9, 10, 99}, "0.9.10.99"},
      {{100, 199, 200, 255}, "100.199.200.255"},
      {{255, 255, 255, 255}, "255.255.255.255"},
  };
  for (const auto& [octets, text] : cases) {
    Bytes bytes;
    Put(bytes, {0x0001, 0x8000, 0, 1, 0, 0});
    bytes.push_back(0);  // the root's A record
    Put(bytes, {kzvDnsTypeA, 1, 0, 60, 4});
    bytes.insert(bytes.end(), octets.begin(), octets.end());
    TzvDnsMessage message;
    ParseBytes(message, bytes);
    ASSERT_EQ(message.Answers().Count(), 1);
    EXPECT_EQ(dynamic_cast<TzvDnsARecord*>(message.Answers()[0])->IPAddress, text);
  }
}

TEST(ParseMessage, ReusedMessageHoldsOnlyTheLatestReply) {
  TzvDnsMessage message;
  ParseBytes(message, kMxAnswerFixture);
  // A bare header: query, opcode status, recursion desired, no records.
  const Bytes header = {0xAB, 0xCD, 0x11, 0x00, 0, 0, 0, 0, 0, 0, 0, 0};
  ParseBytes(message, header);
  EXPECT_EQ(message.Header().ID, 0xABCD);
  EXPECT_TRUE(message.Header().IsQuery);
  EXPECT_EQ(message.Header().OpCode, ocStatus);
  EXPECT_TRUE(message.Header().IsRecursionDesired);
  EXPECT_FALSE(message.Header().IsAuthoritativeAnswer);
  EXPECT_EQ(message.Header().AnswerCount, 0);
  EXPECT_EQ(message.Queries().Count() + message.Answers().Count() + message.Authorities().Count() +
                message.AdditionalRecords().Count(),
            0);
  // A reply cut inside its header still replaces every field of the last one.
  EXPECT_EQ(DnsErrorOf([&] { ParseBytes(message, std::span(kMxAnswerFixture).first(5)); }),
            kInvalidSize);
  // nsd's identifier and flags (a response, authoritative, recursion desired); the counts
  // it never reached stay at 0.
  EXPECT_EQ(message.Header().ID, 0x5000);
  EXPECT_FALSE(message.Header().IsQuery);
  EXPECT_EQ(message.Header().OpCode, ocQuery);
  EXPECT_TRUE(message.Header().IsAuthoritativeAnswer);
  EXPECT_EQ(message.Header().QueryCount, 0);
}

TEST(ParseMessage, EveryTruncationFailsCleanly) {
  for (const std::span<const std::uint8_t> whole :
       {std::span<const std::uint8_t>(kMxAnswer),
        std::span<const std::uint8_t>(kMxAnswerFixture)}) {
    for (std::size_t n = 0; n < whole.size(); ++n) {
      TzvDnsMessage message;
      EXPECT_EQ(DnsErrorOf([&] { ParseBytes(message, whole.first(n)); }), kInvalidSize)
          << "cut at " << n;
    }
  }
}

TEST(ParseMessage, KeepsRecordsDecodedBeforeTheFault) {
  // Cut inside the MX data: the record is already in its list, its fixed fields read.
  TzvDnsMessage message;
  EXPECT_EQ(DnsErrorOf([&] { ParseBytes(message, std::span(kMxAnswer).first(38)); }), kInvalidSize);
  ASSERT_EQ(message.Answers().Count(), 1);
  EXPECT_EQ(message.Answers()[0]->DataLength, 7);
  // More answers announced than the datagram holds: the glue record is read as the second
  // answer, and the third, absent, is refused.
  Bytes bytes(kMxAnswer, kMxAnswer + sizeof kMxAnswer);
  bytes[6] = 0xFF;
  EXPECT_EQ(DnsErrorOf([&] { ParseBytes(message, bytes); }), kInvalidSize);
  EXPECT_EQ(message.Answers().Count(), 2);
  EXPECT_EQ(dynamic_cast<TzvDnsMXRecord*>(message.Answers()[0])->MailServer, "mx.bb");
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

// A response with one answer for the root name, then optionally one additional A record.
Bytes OneAnswer(std::uint16_t type, std::uint16_t klass, const Bytes& data, int rdlength = -1,
                bool glue = false) {
  Bytes bytes;
  Put(bytes, {0x0001, 0x8180, 0, 1, 0, static_cast<std::uint16_t>(glue ? 1 : 0)});
  bytes.push_back(0x00);
  Put(bytes,
      {type, klass, 0, 60, static_cast<std::uint16_t>(rdlength < 0 ? data.size() : rdlength)});
  bytes.insert(bytes.end(), data.begin(), data.end());
  if (glue)
    bytes.insert(bytes.end(), {0x00, 0x00, 0x01, 0x00, 0x01, 0, 0, 0, 60, 0, 4, 10, 0, 0, 1});
  return bytes;
}

TEST(ParseMessage, SkipsUnknownTypesByRdLengthAndRefusesUnreadData) {
  TzvDnsMessage message;
  ParseBytes(message, OneAnswer(28, 1, Bytes(16, 0xAA), -1, true));
  const TzvDnsRecord* unknown = message.Answers()[0];
  EXPECT_EQ(unknown->ClassName(), "TzvDnsRecord");
  EXPECT_EQ(unknown->RecordType, 28);
  EXPECT_EQ(unknown->DataLength, 16);
  EXPECT_EQ(dynamic_cast<TzvDnsARecord*>(message.AdditionalRecords()[0])->IPAddress, "10.0.0.1");

  // An A record of six bytes is malformed, not the address of its first four.
  EXPECT_EQ(
      DnsErrorOf([&] {
        ParseBytes(message, OneAnswer(kzvDnsTypeA, 1, {1, 2, 3, 4, 5, 6}, -1, true));
      }),
      std::make_pair(
          -1, std::string("Malformed record of type 1: its fields take 4 of its 6 data bytes")));
}

// Each type's data decodes to its class, and with a byte too many (or its fixed fields cut
// short) is the codec's size error. Every case is an additional record owned by the root.
TEST(ParseMessage, RecordDataMustBeExactlyWhatItsFieldsTake) {
  struct Case {
    std::uint16_t type;
    Bytes data;
    const char* decoded;
    Bytes malformed;     // none: no length of the data can be wrong
    bool plain = false;  // through the plain codec rather than the extended one
  };
  const auto plus = [](Bytes bytes, std::uint8_t more) {
    bytes.push_back(more);
    return bytes;
  };
  const Bytes name = {1, 'n', 0}, soa = plus(Bytes(21, 0), 1), rrsig = plus(Bytes(18, 1), 0);
  const Case cases[] = {
      {1, {1, 2, 3, 4}, "TzvDnsARecord", {1, 2, 3, 4, 5}},
      {2, name, "TzvDnsNSRecord", plus(name, 0)},
      {5, name, "TzvDnsCNAMERecord", plus(name, 1)},
      {6, soa, "TzvDnsSOARecord", plus(soa, 0)},
      {12, name, "TzvDnsPTRRecord", plus(name, 0)},
      {15, {0, 10, 0}, "TzvDnsMXRecord", {0, 10, 0, 0}},
      {16, {2, 'a', 'b', 1, 'c'}, "TzvDnsTXTRecord", {2, 'a', 'b', 2, 'c'}, true},
      {16, {2, 'a', 'b', 1, 'c'}, "TzvDnsTXTStringsRecord", {2, 'a', 'b', 2, 'c'}},
      {28, Bytes(16, 1), "TzvDnsAAAARecord", Bytes(17, 1)},
      {28, Bytes(17, 1), "TzvDnsRecord", {}, true},  // kept opaque by the plain codec
      {33, {0, 1, 0, 2, 0, 3, 0}, "TzvDnsSRVRecord", {0, 1, 0, 2, 0, 3, 0, 9}},
      {39, name, "TzvDnsFieldRecord", plus(name, 0)},
      {41, {0, 10, 0, 1, 0xEE}, "TzvDnsOPTRecord", {0, 10, 0, 2, 0xEE}},
      {43, {0, 1, 8, 2, 0xAA}, "TzvDnsDSRecord", {0, 1, 8}},
      {46, rrsig, "TzvDnsRRSIGRecord", Bytes(17, 1)},
      {47, {0, 0, 1, 0x40}, "TzvDnsNSECRecord", {0, 0, 1, 0x40, 0}},
      {48, {1, 1, 3, 15, 0xAA}, "TzvDnsDNSKEYRecord", {1, 1, 3}},
      {50, {1, 0, 0, 0, 0, 1, 0xAA}, "TzvDnsNSEC3Record", {1, 0, 0, 0, 0, 1}},
      {51, {1, 0, 0, 0, 0}, "TzvDnsNSEC3PARAMRecord", {1, 0, 0, 0, 0, 7}},
      {59, {0, 1, 8, 2, 0xAA}, "TzvDnsCDSRecord", {0, 1}},
      {60, {1, 1, 3, 15, 0xAA}, "TzvDnsCDNSKEYRecord", {1}},
      {257, {0, 5, 'i', 's', 's', 'u', 'e'}, "TzvDnsCAARecord", {0, 5, 'i', 's', 's', 'u'}},
      {65280, {1, 2, 3}, "TzvDnsGenericRecord", {}},
  };
  for (const Case& c : cases) {
    for (const Bytes* data : {&c.data, &c.malformed}) {
      if (data->empty()) continue;
      Bytes bytes;
      Put(bytes, {0x0001, 0x8180, 0, 0, 0, 1});
      bytes.push_back(0x00);
      Put(bytes, {c.type, 1, 0, 60, static_cast<std::uint16_t>(data->size())});
      bytes.insert(bytes.end(), data->begin(), data->end());
      std::unique_ptr<TzvDnsMessage> message =
          c.plain ? std::make_unique<TzvDnsMessage>() : std::make_unique<TzvDnsExtendedMessage>();
      const auto error = DnsErrorOf([&] { ParseBytes(*message, bytes); });
      if (data == &c.malformed) {
        EXPECT_EQ(error.first, -1) << c.type << " of " << data->size() << " bytes";
        continue;
      }
      ASSERT_EQ(error.first, 0) << c.type << ": " << error.second;
      EXPECT_EQ(message->AdditionalRecords()[0]->ClassName(), c.decoded) << c.type;
      EXPECT_EQ(message->AdditionalRecords()[0]->RecordType, c.type);
    }
  }
}

TEST(ParseMessage, RejectsDataThatOverrunsRdLengthOrTheDatagram) {
  TzvDnsMessage message;
  // A parser that needs more than RDLENGTH gives is refused even when the bytes exist.
  EXPECT_EQ(DnsErrorOf([&] {
              ParseBytes(message, OneAnswer(kzvDnsTypeA, 1, {1, 2}, -1, true));
            }),
            kInvalidSize);
  // RDLENGTH may reach the very end, not one byte further.
  EXPECT_EQ(DnsErrorOf([&] { ParseBytes(message, OneAnswer(99, 1, {1, 2, 3})); }).first, 0);
  EXPECT_EQ(DnsErrorOf([&] { ParseBytes(message, OneAnswer(99, 1, {1, 2, 3}, 4)); }), kInvalidSize);
}

TEST(ParseMessage, ReadsUnknownClassesAsInternetAndWritesThemBackAsOne) {
  TzvDnsMessage message;
  ParseBytes(message, OneAnswer(99, 3, {}));
  EXPECT_EQ(message.Answers()[0]->RecordClass, rcChaos);
  ParseBytes(message, OneAnswer(99, 255, {}));
  EXPECT_EQ(message.Answers()[0]->RecordClass, rcInternet);
  const Bytes rebuilt = BuildBytes(message);
  EXPECT_EQ(ComposeWord(rebuilt[15], rebuilt[16]), 1);
}

TEST(ParseMessage, ErrorReplyKeepsItsSectionsThenFails) {
  // RCODE 3 with the zone's SOA record in the authority section.
  Bytes bytes;
  Put(bytes, {0xAAAA, 0x8183, 0, 0, 1, 0});
  const Bytes soa = {
      0x02, 'b', 'b', 0x00, 0x00, 0x06, 0x00, 0x01, 0, 0, 0, 0x3C, 0x00, 0x1A,
      0x00,                                                      // primary: root
      0x02, 'h', 'm', 0xC0, 0x0C,                                // mailbox hm.bb
      0,    0,   0,   1,    0,    0,    0,    2,    0, 0, 0, 3,  // serial, refresh, retry
      0,    0,   0,   4,    0,    0,    0,    5};                // expire, minimum
  bytes.insert(bytes.end(), soa.begin(), soa.end());
  TzvDnsMessage message;
  EXPECT_EQ(DnsErrorOf([&] { ParseBytes(message, bytes); }),
            std::make_pair(3, std::string("No such name")));
  auto* record = dynamic_cast<TzvDnsSOARecord*>(message.Authorities()[0]);
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(record->ResponsibleMailbox, "hm.bb");
  EXPECT_EQ(record->MinimumTTL, 5u);
  bytes[3] = 0x89;  // RCODE 9
  EXPECT_EQ(DnsErrorOf([&] { ParseBytes(message, bytes); }),
            std::make_pair(9, std::string("Unspecified error")));
}

TEST(MessageRoundTrip, EveryRecordClassSurvivesBuildAndParse) {
  TzvDnsMessage message;
  message.Header().ID = 77;
  auto add = [](TzvDnsRecordList& list, auto record) {
    record->Name = "a.bb";
    record->TTL = 0x01020304;
    auto* typed = record.get();
    list.Add(std::move(record));
    return typed;
  };
  add(message.Queries(), std::make_unique<TzvDnsMXRecord>());
  auto* mx = add(message.Answers(), std::make_unique<TzvDnsMXRecord>());
  mx->Preference = 65535;
  mx->MailServer = "mx.a.bb";
  add(message.Answers(), std::make_unique<TzvDnsCNAMERecord>())->CanonicalName = "c.bb";
  add(message.Answers(), std::make_unique<TzvDnsTXTRecord>())->Text = "v=spf1 -all";
  add(message.Answers(), std::make_unique<TzvDnsPTRRecord>())->DomainName = "p.bb";
  add(message.Authorities(), std::make_unique<TzvDnsSOARecord>())->Expire = 0xFFFFFFFF;
  add(message.Authorities(), std::make_unique<TzvDnsNSRecord>())->NameServer = "ns.bb";
  add(message.AdditionalRecords(), std::make_unique<TzvDnsARecord>())->IPAddress = "192.168.0.1";

  const Bytes bytes = BuildBytes(message);
  TzvDnsMessage copy;
  ParseBytes(copy, bytes);
  EXPECT_EQ(copy.Header().ID, 77);
  for (auto [x, y] : {std::pair(&message.Answers(), &copy.Answers()),
                      std::pair(&message.Authorities(), &copy.Authorities()),
                      std::pair(&message.AdditionalRecords(), &copy.AdditionalRecords())}) {
    ASSERT_EQ(x->Count(), y->Count());
    for (int i = 0; i < x->Count(); ++i) {
      EXPECT_EQ((*x)[i]->ClassName(), (*y)[i]->ClassName());
      EXPECT_EQ((*y)[i]->TTL, 0x01020304u);
      EXPECT_EQ((*x)[i]->DataLength, (*y)[i]->DataLength);
    }
  }
  EXPECT_EQ(dynamic_cast<TzvDnsMXRecord*>(copy.Answers()[0])->MailServer, "mx.a.bb");
  EXPECT_EQ(dynamic_cast<TzvDnsTXTRecord*>(copy.Answers()[2])->Text, "v=spf1 -all");
  EXPECT_EQ(dynamic_cast<TzvDnsSOARecord*>(copy.Authorities()[0])->Expire, 0xFFFFFFFFu);
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
  EXPECT_EQ(dynamic_cast<TzvDnsMXRecord*>(copy[0])->MailServer, "m.bb");
  copy.Assign(&copy);  // onto itself: nothing lost
  EXPECT_EQ(copy.Count(), 2);
  EXPECT_THROW(
      {
        try {
          (void)list.Items(2);
        } catch (const EListError& e) {
          EXPECT_STREQ(e.what(), "List index out of bounds (2)");
          throw;
        }
      },
      EListError);
  EXPECT_THROW(copy.Assign(list[0]), EConvertError);
}

// ---- A message decoded again and again ----

// Every field of a record of the codec's classes, as text.
std::string Describe(const TzvDnsRecord* r) {
  std::string text = r->ClassName() + " " + r->Name + " " + std::to_string(r->RecordType) + " " +
                     std::to_string(r->RecordClass) + " " + std::to_string(r->TTL) + " " +
                     std::to_string(r->DataLength);
  if (auto* mx = dynamic_cast<const TzvDnsMXRecord*>(r))
    text += " " + std::to_string(mx->Preference) + " " + mx->MailServer;
  if (auto* ns = dynamic_cast<const TzvDnsNSRecord*>(r)) text += " " + ns->NameServer;
  if (auto* a = dynamic_cast<const TzvDnsARecord*>(r)) text += " " + a->IPAddress;
  if (auto* ptr = dynamic_cast<const TzvDnsPTRRecord*>(r)) text += " " + ptr->DomainName;
  if (auto* cname = dynamic_cast<const TzvDnsCNAMERecord*>(r)) text += " " + cname->CanonicalName;
  if (auto* txt = dynamic_cast<const TzvDnsTXTRecord*>(r)) text += " " + txt->Text;
  if (auto* soa = dynamic_cast<const TzvDnsSOARecord*>(r)) {
    for (std::uint32_t v :
         {soa->SerialNumber, soa->Refresh, soa->Retry, soa->Expire, soa->MinimumTTL})
      text += " " + std::to_string(v);
    text += " " + soa->PrimaryNameServer + " " + soa->ResponsibleMailbox;
  }
  return text;
}

std::vector<std::string> Describe(const TzvDnsMessage& message) {
  std::vector<std::string> lines;
  for (const TzvDnsRecordList* list : {&message.Queries(), &message.Answers(),
                                       &message.Authorities(), &message.AdditionalRecords()}) {
    lines.push_back("--");
    for (const auto& record : *list) lines.push_back(Describe(record.get()));
  }
  return lines;
}

// A message with a record of every class, each field set from seed (questions of every
// type too, so a question may be handed a record that was an answer before).
Bytes EveryClass(int seed, bool names) {
  TzvDnsMessage message;
  const std::string tag = std::to_string(seed);
  auto add = [&](TzvDnsRecordList& list, auto record) {
    record->Name = names ? "owner" + tag + ".example.test" : "";
    record->TTL = 1000u * static_cast<std::uint32_t>(seed);
    auto* typed = record.get();
    list.Add(std::move(record));
    return typed;
  };
  for (std::int32_t type : {kzvDnsTypeMX, kzvDnsTypeA, kzvDnsTypeSOA})
    add(message.Queries(), message.CreateRecord(type));
  auto* mx = add(message.Answers(), std::make_unique<TzvDnsMXRecord>());
  mx->Preference = seed;
  mx->MailServer = "mail" + tag + ".example.test";
  add(message.Answers(), std::make_unique<TzvDnsCNAMERecord>())->CanonicalName = "c" + tag + ".bb";
  add(message.Answers(), std::make_unique<TzvDnsTXTRecord>())->Text = "text " + tag;
  add(message.Answers(), std::make_unique<TzvDnsPTRRecord>())->DomainName = "p" + tag + ".bb";
  auto* soa = add(message.Authorities(), std::make_unique<TzvDnsSOARecord>());
  soa->SerialNumber = soa->Refresh = soa->Retry = soa->Expire = soa->MinimumTTL = seed;
  if (names) soa->PrimaryNameServer = soa->ResponsibleMailbox = "soa" + tag + ".example.test";
  add(message.Authorities(), std::make_unique<TzvDnsNSRecord>())->NameServer = "ns" + tag + ".bb";
  add(message.AdditionalRecords(), std::make_unique<TzvDnsARecord>())->IPAddress = "10.0.0." + tag;
  add(message.AdditionalRecords(), std::make_unique<TzvDnsRecord>())->RecordType = 99;
  return BuildBytes(message);
}

// ---- Names that end in names read before ----

// An answer of A records whose owners are the given wire names, in order; starts[i] tells
// where owner i begins.
Bytes AnswerWithOwners(const std::vector<Bytes>& owners, std::vector<std::int32_t>& starts) {
  Bytes bytes;
  Put(bytes, {0x1234, 0x8180, 0, static_cast<std::uint16_t>(owners.size()), 0, 0});
  for (const Bytes& owner : owners) {
    starts.push_back(static_cast<std::int32_t>(bytes.size()));
    bytes.insert(bytes.end(), owner.begin(), owner.end());
    Put(bytes, {kzvDnsTypeA, 1, 0, 60, 4});
    bytes.insert(bytes.end(), {192, 0, 2, 1});
  }
  return bytes;
}

Bytes Pointer(std::int32_t offset) {
  return Bytes{static_cast<std::uint8_t>(0xC0 | offset >> 8), static_cast<std::uint8_t>(offset)};
}

Bytes Label(const std::string& text, const Bytes& rest) {
  Bytes bytes(1 + text.size() + rest.size());
  bytes[0] = static_cast<std::uint8_t>(text.size());
  std::copy(text.begin(), text.end(), bytes.begin() + 1);
  std::copy(rest.begin(), rest.end(), bytes.begin() + 1 + static_cast<std::ptrdiff_t>(text.size()));
  return bytes;
}

// Every owner must read exactly as the name alone reads, however many names came before
// and whatever part of them a pointer leads into.
TEST(DecodedNames, EndingsReadBeforeGiveTheSameTextsAsReadingAlone) {
  std::vector<Bytes> owners{Label("example", Label("test", {0}))};
  // Long names, each ending in the first one, until far more text was read than any
  // decoding keeps; then names pointing into the earliest and the latest of them.
  for (int i = 0; i < 60; ++i) owners.push_back(Label(std::string(50, 'a' + i % 26), Pointer(12)));
  std::vector<std::int32_t> starts;
  AnswerWithOwners(owners, starts);
  const std::int32_t first = starts[1], last = starts[60];
  owners.push_back(Pointer(first));
  owners.push_back(Label("x", Pointer(last)));
  owners.push_back(Pointer(last + 51));           // the "example" the last one leads to
  owners.push_back(Label("y", Pointer(12 + 8)));  // into the first name: "test"
  starts.clear();
  const Bytes bytes = AnswerWithOwners(owners, starts);
  TzvDnsMessage message;
  ParseBytes(message, bytes);
  ASSERT_EQ(message.Answers().Count(), static_cast<int>(owners.size()));
  for (std::size_t i = 0; i < owners.size(); ++i) {
    std::int32_t position = starts[i];
    EXPECT_EQ(message.Answers()[static_cast<int>(i)]->Name,
              TzvDnsRecord::ReadName(TzvByteArray(bytes), position))
        << "owner " << i;
  }
  EXPECT_EQ(message.Answers()[62]->Name, "x." + std::string(50, 'a' + 59 % 26) + ".example.test");
}

// The usual name in an answer's data is one label and a pointer to a name read before; names
// leading into it must still read as they read alone, also at the datagram's very end.
TEST(DecodedNames, ALabelBeforeANameReadBeforeReadsAsAlone) {
  // Each owner is followed by 14 bytes of record: "example.test" at 12, "mx" at 40, the
  // pointer to it at 59, "a" at 75, "b" (behind a suffix longer than a block) at 93.
  const std::vector<Bytes> owners{Label("example", Label("test", {0})), Label("mx", Pointer(12)),
                                  Pointer(40), Label("a", Pointer(40)), Label("b", Pointer(75))};
  std::vector<std::int32_t> starts;
  Bytes bytes = AnswerWithOwners(owners, starts);
  ASSERT_EQ(starts, (std::vector<std::int32_t>{12, 40, 59, 75, 93}));
  // Last, a name server whose name ends the datagram: too near the end for a whole block.
  Put(bytes, {0xC00C, kzvDnsTypeNS, 1, 0, 60, 5});
  const Bytes last = Label("ns", Pointer(40));
  bytes.insert(bytes.end(), last.begin(), last.end());
  bytes[7] += 1;
  TzvDnsMessage message;
  ParseBytes(message, bytes);
  for (std::size_t i = 0; i < owners.size(); ++i) {
    std::int32_t position = starts[i];
    EXPECT_EQ(message.Answers()[static_cast<int>(i)]->Name,
              TzvDnsRecord::ReadName(TzvByteArray(bytes), position));
  }
  EXPECT_EQ(message.Answers()[4]->Name, "b.a.mx.example.test");
  auto* ns = dynamic_cast<TzvDnsNSRecord*>(message.Answers()[5]);
  ASSERT_NE(ns, nullptr);
  EXPECT_EQ(ns->NameServer, "ns.mx.example.test");
}

// The caps hold for the whole name, the part read before included: 255 octets and 128
// pointers.
TEST(DecodedNames, CapsCountTheEndingsReadBefore) {
  // 255 octets, read first; its first label is the only one at its offset modulo 64.
  const Bytes long_name = LongName({61, 63, 63, 63});
  std::vector<std::int32_t> starts;
  const Bytes fits = AnswerWithOwners({long_name, Pointer(12)}, starts);
  TzvDnsMessage message;
  ParseBytes(message, fits);
  EXPECT_EQ(message.Answers()[1]->Name, std::string(61, 'x') + "." + std::string(63, 'x') + "." +
                                            std::string(63, 'x') + "." + std::string(63, 'x'));
  starts.clear();
  const Bytes too_long = AnswerWithOwners({long_name, Label("a", Pointer(12))}, starts);
  EXPECT_EQ(DnsErrorOf([&] { ParseBytes(message, too_long); }), kInvalidSize);

  // Opaque data holding "y" and 100 pointers on to the owner "x", then a second chain of
  // pointers leading to the owner "z", a label before "y". The first A record reads "y" and its
  // 100 pointers, the second "z" and one more; the third comes to "z" after 28 pointers (129 in
  // all, one too many), or after 27.
  for (const int second_chain : {28, 27}) {
    constexpr int kFirstChain = 100;
    const std::int32_t y = 25, chain = 27, chain2 = chain + 2 * kFirstChain;
    const std::int32_t z = chain2 + 2 * (second_chain - 1) + 16;
    Bytes bytes;
    Put(bytes, {0x1234, 0x8180, 0, 4, 0, 0});
    bytes.insert(bytes.end(), {0x01, 'x', 0x00});
    Put(bytes,
        {99, 1, 0, 60, static_cast<std::uint16_t>(2 + 2 * kFirstChain + 2 * (second_chain - 1))});
    bytes.insert(bytes.end(), {0x01, 'y'});
    for (int i = 0; i < kFirstChain; ++i) {
      const std::int32_t next = i + 1 < kFirstChain ? chain + 2 * (i + 1) : 12;
      Put(bytes, {static_cast<std::uint16_t>(0xC000 | next)});
    }
    for (int i = 0; i + 1 < second_chain; ++i) {
      const std::int32_t next = i + 2 < second_chain ? chain2 + 2 * (i + 1) : z;
      Put(bytes, {static_cast<std::uint16_t>(0xC000 | next)});
    }
    for (const Bytes& owner : {Pointer(y), Label("z", Pointer(y)), Pointer(chain2)}) {
      bytes.insert(bytes.end(), owner.begin(), owner.end());
      Put(bytes, {kzvDnsTypeA, 1, 0, 60, 4});
      bytes.insert(bytes.end(), {192, 0, 2, 1});
    }
    std::int32_t position = static_cast<std::int32_t>(bytes.size()) - 16;  // the last owner
    const auto alone = DnsErrorOf([&] { TzvDnsRecord::ReadName(TzvByteArray(bytes), position); });
    EXPECT_EQ(alone, second_chain == 28 ? kInvalidSize : std::make_pair(0, std::string()));
    EXPECT_EQ(DnsErrorOf([&] { ParseBytes(message, bytes); }), alone) << second_chain;
    if (alone.first == 0) {
      EXPECT_EQ(message.Answers()[3]->Name, "z.y.x");
    }
  }
}

TEST(ReusedRecords, CarryNothingFromEarlierDecodings) {
  const Bytes full = EveryClass(7, true);
  const Bytes other = EveryClass(0, false);
  for (std::size_t n = 0; n <= other.size(); ++n) {
    const Bytes cut(other.begin(), other.begin() + static_cast<std::ptrdiff_t>(n));
    TzvDnsMessage reused;
    ParseBytes(reused, full);
    ParseBytes(reused, full);
    TzvDnsMessage fresh;
    const auto reused_error = DnsErrorOf([&] { ParseBytes(reused, cut); });
    EXPECT_EQ(reused_error, DnsErrorOf([&] { ParseBytes(fresh, cut); })) << "cut at " << n;
    EXPECT_EQ(Describe(reused), Describe(fresh)) << "cut at " << n;
  }
}

// A record is valid until its list is cleared; one kept longer is a fault the sanitizer
// reports.
// AddressSanitizer's report, or UBSan's when it checks the freed record's type first.
constexpr const char* kUseAfterFree = "heap-use-after-free|invalid vptr";

TEST(ReusedRecordsDeathTest, RecordKeptPastAClearIsFreed) {
#ifndef PELLAMAR_TEST_ASAN
  GTEST_SKIP() << "only AddressSanitizer sees a kept record";
#endif
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  TzvDnsMessage message;
  ParseBytes(message, kMxAnswerFixture);
  auto* kept = static_cast<TzvDnsMXRecord*>(message.Answers()[0]);
  ParseBytes(message, kMxAnswerFixture);
  EXPECT_DEATH((void)std::string(kept->MailServer), kUseAfterFree);
  kept = static_cast<TzvDnsMXRecord*>(message.Answers()[0]);
  message.Clear();
  EXPECT_DEATH(
      {
        volatile std::int32_t preference = kept->Preference;
        (void)preference;
      },
      kUseAfterFree);
}

}  // namespace

// ---- Escaped names ----

namespace {

Bytes WrittenName(const std::string& name) {
  TzvByteArray buffer(Bytes(300, 0));
  std::int32_t position = 0;
  TzvDnsRecord::WriteName(name, buffer, position);
  return Bytes(buffer.Data(), buffer.Data() + position);
}

}  // namespace

TEST(EscapedNames, WriteNameReadsEscapesAsDigReadsThem) {
  EXPECT_EQ(WrittenName("a\\.b.t"), (Bytes{3, 'a', '.', 'b', 1, 't', 0}));
  EXPECT_EQ(WrittenName("\\065b.t."), (Bytes{2, 'A', 'b', 1, 't', 0}));
  EXPECT_EQ(WrittenName("a\\\\b"), (Bytes{3, 'a', '\\', 'b', 0}));
  EXPECT_EQ(WrittenName("\\000\\255"), (Bytes{2, 0, 255, 0}));
  for (const char* bad : {"a\\", "\\12x.t", "\\256.t", "a..\\b", "\\.a..b", ".\\a"})
    EXPECT_EQ(DnsErrorOf([&] { WrittenName(bad); }).first, kzvDnsErrInvalidSize) << bad;
  // Octets are counted, not characters: 63 escaped dots make a full label.
  std::string label;
  for (int i = 0; i < 63; ++i) label += "\\.";
  EXPECT_EQ(WrittenName(label).size(), 65u);
  EXPECT_EQ(DnsErrorOf([&] { WrittenName(label + "\\."); }).second, "Label longer than 63 bytes");
}

TEST(EscapedNames, EveryLabelByteSurvivesReadingAndWritingAgain) {
  // Labels of every byte value, dots and backslashes among them, and a name of 255 octets
  // whose text is far longer than 255 characters.
  std::vector<Bytes> wires;
  for (int first = 0; first < 256; first += 64) {
    Bytes wire;
    for (int start = first; start < first + 64; start += 16) {
      wire.push_back(16);
      for (int b = start; b < start + 16; ++b) wire.push_back(static_cast<std::uint8_t>(b));
    }
    wire.push_back(0);
    wires.push_back(wire);
  }
  Bytes dots;
  for (int size : {63, 63, 63, 61}) {
    dots.push_back(static_cast<std::uint8_t>(size));
    dots.insert(dots.end(), static_cast<std::size_t>(size), size == 61 ? '\\' : '.');
  }
  dots.push_back(0);
  wires.push_back(dots);
  for (const Bytes& wire : wires) {
    std::int32_t position = 0;
    const std::string text = TzvDnsRecord::ReadName(TzvByteArray(wire), position);
    EXPECT_EQ(WrittenName(text), wire) << text;
  }
}

TEST(EscapedNames, ALabelWithADotReadsEscapedWhereverAPointerLeadsToIt) {
  // The answer's owner is a label "a.b" before a pointer to the question's name, and the
  // second answer's owner a pointer to the first's.
  Bytes bytes;
  Put(bytes, {0x1234, 0x8180, 1, 2, 0, 0});
  bytes.insert(bytes.end(), {1, 't', 0});
  Put(bytes, {1, 1});
  bytes.insert(bytes.end(), {3, 'a', '.', 'b', 0xC0, 12});
  Put(bytes, {1, 1, 0, 60, 4});
  bytes.insert(bytes.end(), {192, 0, 2, 1});
  bytes.insert(bytes.end(), {0xC0, 19});  // the owner above, again
  Put(bytes, {1, 1, 0, 60, 4});
  bytes.insert(bytes.end(), {192, 0, 2, 2});
  TzvDnsMessage message;
  ParseBytes(message, bytes);
  EXPECT_EQ(message.Answers()[0]->Name, "a\\.b.t");
  EXPECT_EQ(message.Answers()[1]->Name, "a\\.b.t");
}

// ---- Record data stays inside RDLENGTH ----

// nsupdate's request for "prereq nxrrset www CNAME", "update delete old CNAME" and
// "update add new 300 A 192.0.2.7" in zone pellamar.test: the first two records carry
// no data at all (classes NONE and ANY, RDLENGTH 0).
const Bytes kUpdateRequest = {
    0xbd, 0xc6, 0x28, 0x00, 0x00, 0x01, 0x00, 0x01, 0x00, 0x02, 0x00, 0x00,  // UPDATE
    0x08, 'p',  'e',  'l',  'l',  'a',  'm',  'a',  'r',  0x04, 't',  'e',
    's',  't',  0x00, 0x00, 0x06, 0x00, 0x01,                    // zone SOA IN
    0x03, 'w',  'w',  'w',  0xc0, 0x0c, 0x00, 0x05, 0x00, 0xfe,  // www CNAME NONE
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00,                          // TTL 0, RDLENGTH 0
    0x03, 'o',  'l',  'd',  0xc0, 0x0c, 0x00, 0x05, 0x00, 0xff,  // old CNAME ANY
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00,                          // TTL 0, RDLENGTH 0
    0x03, 'n',  'e',  'w',  0xc0, 0x0c, 0x00, 0x01, 0x00, 0x01,  // new A IN
    0x00, 0x00, 0x01, 0x2c, 0x00, 0x04, 0xc0, 0x00, 0x02, 0x07};

TEST(RecordData, AnUpdatesRecordsWithoutDataDecodeEmpty) {
  TzvDnsMessage message;
  for (int round = 0; round < 2; ++round) {  // the second time into the reused records
    ParseBytes(message, kUpdateRequest);
    EXPECT_EQ(message.Header().OpCode, ocUpdate);
    ASSERT_EQ(message.Answers().Count(), 1);
    ASSERT_EQ(message.Authorities().Count(), 2);
    const auto* prerequisite = dynamic_cast<const TzvDnsCNAMERecord*>(message.Answers()[0]);
    ASSERT_NE(prerequisite, nullptr);
    EXPECT_EQ(prerequisite->Name, "www.pellamar.test");
    EXPECT_EQ(prerequisite->CanonicalName, "");  // not "old.pellamar.test"
    const auto* added = dynamic_cast<const TzvDnsARecord*>(message.Authorities()[1]);
    ASSERT_NE(added, nullptr);
    EXPECT_EQ(added->IPAddress, "192.0.2.7");
  }
}

TEST(RecordData, NoFieldIsReadFromBeyondTheRecordsData) {
  // The same message with class IN: empty data is now malformed, and the record that
  // failed keeps nothing of the next record's bytes.
  struct Case {
    std::uint16_t type;
    std::function<std::string(const TzvDnsRecord&)> field;
  };
  const Case cases[] = {
      {kzvDnsTypeCNAME,
       [](const TzvDnsRecord& r) {
         return dynamic_cast<const TzvDnsCNAMERecord&>(r).CanonicalName;
       }},
      {kzvDnsTypeNS,
       [](const TzvDnsRecord& r) { return dynamic_cast<const TzvDnsNSRecord&>(r).NameServer; }},
      {kzvDnsTypePTR,
       [](const TzvDnsRecord& r) { return dynamic_cast<const TzvDnsPTRRecord&>(r).DomainName; }},
      {kzvDnsTypeMX,
       [](const TzvDnsRecord& r) { return dynamic_cast<const TzvDnsMXRecord&>(r).MailServer; }},
      {kzvDnsTypeSOA,
       [](const TzvDnsRecord& r) {
         return dynamic_cast<const TzvDnsSOARecord&>(r).PrimaryNameServer;
       }},
      {kzvDnsTypeA,
       [](const TzvDnsRecord& r) { return dynamic_cast<const TzvDnsARecord&>(r).IPAddress; }},
      {kzvDnsTypeTXT,
       [](const TzvDnsRecord& r) { return dynamic_cast<const TzvDnsTXTRecord&>(r).Text; }},
  };
  for (const Case& c : cases) {
    for (std::uint8_t data_length : {0, 1, 2}) {
      Bytes bytes = kUpdateRequest;
      bytes[2] = 0x81;  // an ordinary answer
      bytes[37] = static_cast<std::uint8_t>(c.type >> 8);
      bytes[38] = static_cast<std::uint8_t>(c.type);
      bytes[40] = 0x01;  // class IN
      bytes[46] = data_length;
      TzvDnsMessage message;
      EXPECT_EQ(DnsErrorOf([&] { ParseBytes(message, bytes); }), kInvalidSize) << c.type;
      ASSERT_EQ(message.Answers().Count(), 1);
      EXPECT_EQ(c.field(*message.Answers()[0]), "") << c.type << " " << int{data_length};
    }
  }
}

TEST(RecordData, NotifyKeepsItsOpcode) {
  // NSD's REFUSED reply to dig's NOTIFY for pellamar.test.
  const Bytes reply = {0xfb, 0xe7, 0xa0, 0x05, 0, 0, 0, 0, 0, 0, 0, 0};
  TzvDnsMessage message;
  EXPECT_EQ(DnsErrorOf([&] { ParseBytes(message, reply); }).first, 5);
  EXPECT_EQ(message.Header().OpCode, ocNotify);
  EXPECT_FALSE(message.Header().IsQuery);
}

// ---- Message IDs without getrandom ----

TEST(MessageID, ComeFromTheDeviceWhenTheSystemCallFails) {
  TzvRandomBytesFn& source = MessageIdRandomSource();
  const TzvRandomBytesFn saved = source;
  source = NoRandomSystemCall;
  std::set<int> ids;
  for (int i = 0; i < 2000; ++i) ids.insert(NewMessageID());  // across several refills
  source = saved;
  EXPECT_GT(ids.size(), 1900u);  // 2,000 random draws of 16 bits give about 1,970
}

TEST(MessageIDDeathTest, WithNoSourceAtAllTheFailureIsASocketError) {
  if (!CanHideUrandom()) GTEST_SKIP() << "hiding /dev/urandom takes root";
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        MessageIdRandomSource() = NoRandomSystemCall;
        if (!HideUrandom()) std::_Exit(3);
        try {
          NewMessageID();
        } catch (const EzvSocketError& e) {
          std::_Exit(e.ErrorCode() == EIO ? 0 : 2);
        }
        std::_Exit(1);
      },
      ::testing::ExitedWithCode(0), "");
}
