// The record types beyond the codec's first seven: golden bytes both ways, through the
// extended message's record construction, and the refusals on either side.
#include "dns/zvDnsRecordTypes.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/MessageBytes.h"

namespace {

const Bytes kAnswer = {
    0x12, 0x34, 0x80, 0x00,  // ID, QR, RCODE 0
    0x00, 0x00, 0x00, 0x04,  // QDCOUNT 0, ANCOUNT 4
    0x00, 0x00, 0x00, 0x00,  // NSCOUNT 0, ARCOUNT 0
    // AAAA 2001:db8::1
    0x01, 'a', 0x00, 0x00, 0x1C, 0x00, 0x01, 0x00, 0x00, 0x01, 0x2C, 0x00, 0x10,  //
    0x20, 0x01, 0x0D, 0xB8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x01,                //
    // SRV priority 10, weight 60, port 389, target h
    0x01, 'a', 0x00, 0x00, 0x21, 0x00, 0x01, 0x00, 0x00, 0x01, 0x2C, 0x00, 0x09,  //
    0x00, 0x0A, 0x00, 0x3C, 0x01, 0x85, 0x01, 'h', 0x00,                          //
    // CAA flags 0, tag "issue", value "ca"
    0x01, 'a', 0x00, 0x01, 0x01, 0x00, 0x01, 0x00, 0x00, 0x01, 0x2C, 0x00, 0x09,  //
    0x00, 0x05, 'i', 's', 's', 'u', 'e', 'c', 'a',                                //
    // TXT "uno" "dos"
    0x01, 'a', 0x00, 0x00, 0x10, 0x00, 0x01, 0x00, 0x00, 0x01, 0x2C, 0x00, 0x08,  //
    0x03, 'u', 'n', 'o', 0x03, 'd', 'o', 's'};

template <class T>
T* AddAnswer(TzvDnsMessage& message) {
  auto record = std::make_unique<T>();
  T* raw = record.get();
  raw->Name = "a";
  raw->TTL = 300;
  message.Answers().Add(std::move(record));
  return raw;
}

TEST(ExtendedRecords, WriteTheirGoldenBytes) {
  TzvDnsExtendedMessage message;
  message.Header().ID = 0x1234;
  AddAnswer<TzvDnsAAAARecord>(message)->IPAddress = "2001:db8::1";
  auto* srv = AddAnswer<TzvDnsSRVRecord>(message);
  srv->Priority = 10;
  srv->Weight = 60;
  srv->Port = 389;
  srv->Target = "h";
  auto* caa = AddAnswer<TzvDnsCAARecord>(message);
  caa->Tag = "issue";
  caa->Value = "ca";
  AddAnswer<TzvDnsTXTStringsRecord>(message)->Strings = {"uno", "dos"};
  EXPECT_EQ(BuildBytes(message), kAnswer);
}

TEST(ExtendedRecords, ReadBackTypedAndBuildTheSameBytes) {
  TzvDnsExtendedMessage message;
  ParseBytes(message, kAnswer);
  ASSERT_EQ(message.Answers().Count(), 4);
  const char* const classes[] = {"TzvDnsAAAARecord", "TzvDnsSRVRecord", "TzvDnsCAARecord",
                                 "TzvDnsTXTStringsRecord"};
  for (int i = 0; i < 4; ++i) EXPECT_EQ(message.Answers()[i]->ClassName(), classes[i]);
  EXPECT_EQ(As<TzvDnsAAAARecord>(message.Answers()[0])->IPAddress, "2001:db8::1");
  EXPECT_EQ(As<TzvDnsTXTStringsRecord>(message.Answers()[3])->Text, "uno");
  // Every field read back: the message written again is the one read.
  EXPECT_EQ(BuildBytes(message), kAnswer);

  // The plain message keeps its own classes: the new types stay opaque records.
  TzvDnsMessage plain;
  ParseBytes(plain, kAnswer);
  EXPECT_EQ(plain.Answers()[0]->ClassName(), "TzvDnsRecord");
}

TEST(ExtendedRecords, AddressDataInTheFormScriptsCompare) {
  // RFC 5952: lower case, the longest run of zero groups (the first of equal ones) as "::",
  // a single zero group written "0", and IPv4-mapped addresses with their dotted quad.
  const std::pair<std::array<std::uint8_t, 16>, const char*> table[] = {
      {{0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0x53}, "2001:db8:0:1::53"},
      {{0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 1}, "2001:db8::1:0:0:1"},
      {{0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x0a}, "fe80::a"},
      {{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 192, 0, 2, 1}, "::ffff:192.0.2.1"},
  };
  for (const auto& [address, text] : table) {
    Bytes bytes;
    bytes.insert(bytes.end(), {0x12, 0x34, 0x81, 0x80, 0,    0,    0,    1, 0, 0, 0, 0,  // header
                               0x01, 'x',  0x00, 0x00, 0x1c, 0x00, 0x01,  // x AAAA IN
                               0x00, 0x00, 0x00, 0x3c, 0x00, 0x10});      // TTL, RDLENGTH
    bytes.insert(bytes.end(), address.begin(), address.end());
    TzvDnsExtendedMessage message;
    ParseBytes(message, bytes);
    EXPECT_EQ(As<TzvDnsAAAARecord>(message.Answers()[0])->IPAddress, text);
  }
}

TEST(ExtendedRecords, EveryTruncationFailsCleanly) {
  for (std::size_t n = 12; n < kAnswer.size(); ++n) {
    TzvDnsExtendedMessage message;
    const Bytes cut(kAnswer.begin(), kAnswer.begin() + static_cast<std::ptrdiff_t>(n));
    EXPECT_THROW(ParseBytes(message, cut), EzvDnsError) << "cut at " << n;
  }
}

// The extended message reuses its own record classes too, every field of them reset: a cut
// answer read after the whole one shows what a new message shows for it.
TEST(ExtendedRecords, ReusedRecordsCarryNothingFromTheLastAnswer) {
  auto describe = [](const TzvDnsMessage& message) {
    std::vector<std::string> lines;
    for (const auto& r : message.Answers()) {
      std::string line = r->ClassName() + " " + r->Name + " " + std::to_string(r->TTL);
      if (auto* aaaa = dynamic_cast<const TzvDnsAAAARecord*>(r.get())) line += aaaa->IPAddress;
      if (auto* srv = dynamic_cast<const TzvDnsSRVRecord*>(r.get()))
        line += std::to_string(srv->Priority + srv->Weight + srv->Port) + srv->Target;
      if (auto* caa = dynamic_cast<const TzvDnsCAARecord*>(r.get()))
        line += std::to_string(caa->Flags) + caa->Tag + caa->Value;
      if (auto* txt = dynamic_cast<const TzvDnsTXTStringsRecord*>(r.get())) {
        line += txt->Text;
        for (const auto& text : txt->Strings) line += "|" + text;
      }
      lines.push_back(line);
    }
    return lines;
  };
  for (std::size_t n = 12; n < kAnswer.size(); ++n) {
    const Bytes cut(kAnswer.begin(), kAnswer.begin() + static_cast<std::ptrdiff_t>(n));
    TzvDnsExtendedMessage reused;
    ParseBytes(reused, kAnswer);
    ParseBytes(reused, kAnswer);
    struct TUnsharedMessage : TzvDnsExtendedMessage {};  // takes nothing others left
    TUnsharedMessage fresh;
    EXPECT_THROW(ParseBytes(reused, cut), EzvDnsError);
    EXPECT_THROW(ParseBytes(fresh, cut), EzvDnsError);
    EXPECT_EQ(describe(reused), describe(fresh)) << "cut at " << n;
  }
}

// An extended message's records, left when it ends, go to no plain message, whose
// CreateRecord makes other records for the new type codes.
TEST(ExtendedRecords, APlainMessageTakesNoRecordsAnExtendedOneLeft) {
  {
    TzvDnsExtendedMessage extended;
    ParseBytes(extended, kAnswer);
    ParseBytes(extended, kAnswer);
  }
  TzvDnsMessage plain;
  ParseBytes(plain, kAnswer);
  EXPECT_EQ(plain.Answers()[0]->ClassName(), "TzvDnsRecord");
}

TEST(ExtendedRecords, RejectDataThatDoesNotFitItsLength) {
  // An AAAA record that declares 4 bytes, a TXT string that runs past RDLENGTH into the
  // next bytes, and a CAA record with an empty tag.
  const Bytes cases[] = {
      {0x12, 0x34, 0x80, 0x00, 0, 0, 0, 1,    0,    0, 0, 0, 0x00, 0x00,
       0x1C, 0x00, 0x01, 0,    0, 0, 0, 0x00, 0x04, 1, 2, 3, 4},
      {0x12, 0x34, 0x80, 0x00, 0, 0, 0,    1,    0,    0,   0,   0,   0x00, 0x00, 0x10,
       0x00, 0x01, 0,    0,    0, 0, 0x00, 0x02, 0x05, 'a', 'b', 'c', 'd',  'e'},
      {0x12, 0x34, 0x80, 0x00, 0, 0, 0, 1, 0,    0,    0,    0,    0x00,
       0x01, 0x01, 0x00, 0x01, 0, 0, 0, 0, 0x00, 0x03, 0x00, 0x00, 'x'},
  };
  for (const Bytes& bytes : cases) {
    TzvDnsExtendedMessage message;
    EXPECT_THROW(ParseBytes(message, bytes), EzvDnsError);
  }
}

TEST(ExtendedRecords, RefuseFieldsTheWireCannotCarry) {
  auto code_of = [](std::unique_ptr<TzvDnsRecord> record) {
    TzvDnsExtendedMessage message;
    message.Answers().Add(std::move(record));
    try {
      BuildBytes(message);
    } catch (const EzvDnsError& e) {
      return e.ErrorCode();
    }
    return 0;
  };
  for (const char* address : {"", "1.2.3.4", "::1::2", "2001:db8::1x"}) {
    auto aaaa = std::make_unique<TzvDnsAAAARecord>();
    aaaa->IPAddress = address;
    EXPECT_EQ(code_of(std::move(aaaa)), 2) << address;
  }
  for (const char* tag : {"", "is sue", "sixteen-letters1"}) {
    auto caa = std::make_unique<TzvDnsCAARecord>();
    caa->Tag = tag;
    EXPECT_EQ(code_of(std::move(caa)), 2) << tag;
  }
  auto txt = std::make_unique<TzvDnsTXTStringsRecord>();
  txt->Strings = {std::string(256, 'x')};
  EXPECT_EQ(code_of(std::move(txt)), 2);
}

// ---- any other type (RFC 3597) ----

const Bytes kGenericAnswer = {
    0x12, 0x34, 0x80, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00,  // ANCOUNT 2
    0x01, 'a',  0x00, 0xFF, 0x00, 0x00, 0x01, 0x00, 0x00, 0x01, 0x2C,        // a TYPE65280 IN
    0x00, 0x04, 0x0A, 0x00, 0x00, 0xFF,                                      // 4 bytes
    0x01, 'a',  0x00, 0x00, 0x63, 0x00, 0x01, 0x00, 0x00, 0x01, 0x2C,        // a TYPE99 IN
    0x00, 0x00};                                                             // no data

TEST(GenericRecords, KeepTheirDataAsItCameAndShowIt) {
  TzvDnsExtendedMessage message;
  ParseBytes(message, kGenericAnswer);
  const auto* first = As<TzvDnsGenericRecord>(message.Answers()[0]);
  const auto* empty = As<TzvDnsGenericRecord>(message.Answers()[1]);
  ASSERT_TRUE(first != nullptr && empty != nullptr);
  EXPECT_EQ(first->GenericText() + "|" + first->DataHex(), "\\# 4 0A0000FF|0a0000ff");
  EXPECT_EQ(empty->GenericText() + "|" + empty->DataHex(), "\\# 0|");
  TzvDnsExtendedMessage copy;  // a copy (every field assigned) writes the same bytes
  copy.Header() = message.Header();
  copy.Answers().Assign(&message.Answers());
  EXPECT_EQ(BuildBytes(copy), kGenericAnswer);
  for (std::size_t n = 12; n < kGenericAnswer.size(); ++n) {
    EXPECT_THROW(ParseBytes(message, std::span(kGenericAnswer).first(n)), EzvDnsError) << n;
  }
  // Only codes without a class of their own are generic, and they keep their type.
  for (const auto& [type, name] : {std::pair(1, "TzvDnsARecord"),
                                   {41, "TzvDnsOPTRecord"},
                                   {28, "TzvDnsAAAARecord"},
                                   {255, "TzvDnsGenericRecord"}}) {
    const auto record = message.CreateRecord(type);
    EXPECT_EQ(record->ClassName() + " " + record->Create()->ClassName(),
              std::string(name) + " " + name);
    EXPECT_EQ(record->RecordType, type);
  }
}

// ---- type and class words ----

TEST(CodeWords, NamesAndGenericNumbersInAnyCase) {
  const std::pair<const char*, std::int32_t> types[] = {
      {"aaaa", 28},     {"Any", 255},
      {"TYPE1", 1},     {"type65535", 65535},
      {"Type028", 28},  {"TYPE0", 0},
      {"TYPE65536", 0}, {"TYPE", 0},
      {"TYPE1x", 0},    {"TYPE 1", 0},
      {"TYPE+1", 0},    {"XTYPE1", 0},
      {"OPT", 0},       {"TYPE99999999999999999999", 0}};
  for (const auto& [word, code] : types) EXPECT_EQ(DnsTypeFromText(word), code) << word;
  const std::pair<const char*, std::int32_t> classes[] = {
      {"IN", 1}, {"ch", 3}, {"Hs", 4}, {"class254", 254}, {"CLASS0", 0}, {"ANY", 0}, {"INX", 0}};
  for (const auto& [word, code] : classes) EXPECT_EQ(DnsClassFromText(word), code) << word;
  EXPECT_EQ(DnsTypeText(255) + DnsTypeText(41) + DnsTypeText(65280), "ANYOPTTYPE65280");
  EXPECT_EQ(DnsClassText(1) + DnsClassText(3) + DnsClassText(4) + DnsClassText(254),
            "INCHHSCLASS254");
}

}  // namespace
