// DNSSEC's records: golden bytes both ways (the data of a zone signed with ldns-signzone, as
// a name server sent it and dig decoded it), their text as dig printed the same records,
// every cut of the messages, names in the data, the type bitmap's refusals and shortest
// form, and key tags of known keys.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "base/Base64.h"
#include "dns/zvDnsDsRecords.h"
#include "dns/zvDnsKeyRecords.h"
#include "dns/zvDnsNsecRecords.h"
#include "dns/zvDnsRrsigRecord.h"
#include "tests/support/MessageBytes.h"

namespace {

Bytes FromHex(std::string_view hex) {
  Bytes bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes.push_back(
        static_cast<std::uint8_t>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
  }
  return bytes;
}

Bytes Join(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

const Bytes kExampleTest = {7, 'e', 'x', 'a', 'm', 'p', 'l', 'e', 4, 't', 'e', 's', 't', 0};

// A response (ID 0x1234) whose answers are owned by example.test, class IN, TTL 300.
Bytes Answer(std::initializer_list<std::pair<std::uint16_t, Bytes>> records) {
  const auto high = [](std::size_t value) { return static_cast<std::uint8_t>(value >> 8); };
  const auto low = [](std::size_t value) { return static_cast<std::uint8_t>(value); };
  Bytes message = {0x12, 0x34, 0x80, 0x00,                 // ID, QR
                   0x00, 0x00, 0x00, low(records.size()),  // QDCOUNT 0, ANCOUNT
                   0x00, 0x00, 0x00, 0x00};                // NSCOUNT 0, ARCOUNT 0
  for (const auto& [type, data] : records) {
    message.insert(message.end(), kExampleTest.begin(), kExampleTest.end());
    message.insert(message.end(), {high(type), low(type),                  // TYPE
                                   0x00, 0x01,                             // CLASS IN
                                   0x00, 0x00, 0x01, 0x2C,                 // TTL 300
                                   high(data.size()), low(data.size())});  // RDLENGTH
    message.insert(message.end(), data.begin(), data.end());
  }
  return message;
}

// ---- the signed zone's data ----

const Bytes kKskKey = FromHex(
    "EEDFBB5820A57E2401DA74E6E55A201A818A1936C0A5F38E8D7C268C14BE77D655CC062529B677B3F7683DA258"
    "BE8D14DD782FCF0B649E971BB7EE44969C1E84");
const Bytes kDnskey = Join({{0x01, 0x01,  // flags 257: zone key, secure entry point
                             0x03,        // protocol
                             0x0D},       // algorithm 13, ECDSA P-256
                            kKskKey});
const char* const kDnskeyText =
    "257 3 13 7t+7WCClfiQB2nTm5VogGoGKGTbApfOOjXwmjBS+d9ZVzAYlKbZ3s/do "
    "PaJYvo0U3Xgvzwtknpcbt+5ElpwehA==";

const Bytes kSignature = FromHex(
    "FBFC2ADF0C680E4012A6517C633C288B111D0370D6BFFEC997321542D6F1ADB4AA6077F2D787306F0B3DB00B2B"
    "8DA7EC0754665A098ADB4500C1539BD1172892");
const Bytes kRrsig = Join({{0x00, 0x30,              // covers DNSKEY
                            0x0D, 0x02,              // algorithm 13, 2 labels
                            0x00, 0x00, 0x01, 0x2C,  // original TTL 300
                            0x6B, 0x36, 0xEC, 0x80,  // expires 2027-01-01 00:00:00
                            0x6B, 0x0E, 0x0E, 0x00,  // incepted 2026-12-01 00:00:00
                            0xE7, 0x71},             // key tag 59249
                           kExampleTest,             // signer, whole
                           kSignature});
const char* const kRrsigText =
    "DNSKEY 13 2 300 20270101000000 20261201000000 59249 example.test. "
    "+/wq3wxoDkASplF8YzwoixEdA3DWv/7JlzIVQtbxrbSqYHfy14cwbws9 sAsrjafsB1RmWgmK20UAwVOb0Rcokg==";

const Bytes kDigest = FromHex("DB7931EFB2A92DF9F91CC4CC0770CD54F2276D599F060AD4E9C86C305F188EE0");
const Bytes kDs = Join({{0xE7, 0x71,  // key tag 59249
                         0x0D,        // algorithm 13
                         0x02},       // digest type 2, SHA-256
                        kDigest});
const char* const kDsText =
    "59249 13 2 DB7931EFB2A92DF9F91CC4CC0770CD54F2276D599F060AD4E9C86C30 5F188EE0";

// Types in two windows: RRSIG and NSEC in window 0, the zone's TYPE1234 in window 4.
const Bytes kNsec = Join({{4, 'm', 'a', 'i', 'l'},
                          kExampleTest,                                     // next owner, whole
                          {0x00, 0x06, 0x00, 0x00, 0x00, 0x00, 0x00, 0x03,  // window 0: 46, 47
                           0x04, 0x1B},                                     // window 4, 27 bytes
                          Bytes(26, 0x00),
                          {0x20}});  // 1234 = 4 * 256 + 26 * 8 + 2
const char* const kNsecText = "mail.example.test. RRSIG NSEC TYPE1234";

const Bytes kNsec3Salted = Join({{0x01, 0x00, 0x00, 0x0A,        // SHA-1, no flags, 10 iterations
                                  0x04, 0xAA, 0xBB, 0xCC, 0xDD,  // salt
                                  0x14},                         // a hash of 20 bytes
                                 FromHex("38148F158EFA6210B9E348A9F3903E8109E58C79"),
                                 {0x00, 0x07, 0x22, 0x00, 0x00, 0x00, 0x00, 0x02, 0x90}});
const char* const kNsec3SaltedText =
    "1 0 10 AABBCCDD 70A8U5CEV9H11EF392KV741UG44UB33P NS SOA RRSIG DNSKEY NSEC3PARAM";

const Bytes kNsec3Unsalted = Join({{0x01, 0x00, 0x00, 0x00,  // SHA-1, no flags, no iterations
                                    0x00,                    // no salt
                                    0x14},
                                   FromHex("D803DFD68D7D158E4644BDA5826A64923F83A3E4"),
                                   {0x00, 0x06, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0x04, 0x1B},
                                   Bytes(26, 0x00),
                                   {0x20}});
const char* const kNsec3UnsaltedText = "1 0 0 - R01TVLKDFKAOSHI4NMIO4QJ4I8VO78V4 RRSIG TYPE1234";

// Opt-out, a salt of 34 bytes (which dig does not split), and an empty non-terminal's empty
// bitmap.
const Bytes kLongSalt =
    FromHex("00112233445566778899AABBCCDDEEFF00112233445566778899AABBCCDDEEFF0011");
const Bytes kNsec3OptOut = Join({{0x01, 0x01, 0x00, 0x01, 0x22},
                                 kLongSalt,
                                 {0x14},
                                 FromHex("786BF1C55023A41B740B27487F442BC62B764703")});
const char* const kNsec3OptOutText =
    "1 1 1 00112233445566778899AABBCCDDEEFF00112233445566778899AABBCCDDEEFF0011 "
    "F1LV3HAG4EI1MT0B4T47UH1BOOLNCHO3";

const Bytes kNsec3Param = {0x01, 0x00, 0x00, 0x0A, 0x04, 0xAA, 0xBB, 0xCC, 0xDD};

// Keys and signatures in one message, denial of existence in another: together they would
// not fit the encoder's 512 bytes.
const Bytes kKeysAnswer = Answer({{kzvDnsTypeDNSKEY, kDnskey},
                                  {kzvDnsTypeCDNSKEY, kDnskey},
                                  {kzvDnsTypeRRSIG, kRrsig},
                                  {kzvDnsTypeDS, kDs},
                                  {kzvDnsTypeCDS, kDs}});
const Bytes kDenialAnswer = Answer({{kzvDnsTypeNSEC, kNsec},
                                    {kzvDnsTypeNSEC3, kNsec3Salted},
                                    {kzvDnsTypeNSEC3, kNsec3Unsalted},
                                    {kzvDnsTypeNSEC3, kNsec3OptOut},
                                    {kzvDnsTypeNSEC3PARAM, kNsec3Param}});

template <class T>
T* AddAnswer(TzvDnsMessage& message) {
  auto record = std::make_unique<T>();
  T* raw = record.get();
  raw->Name = "example.test";
  raw->TTL = 300;
  message.Answers().Add(std::move(record));
  return raw;
}

template <class T>
void AddKey(TzvDnsMessage& message) {
  auto* key = AddAnswer<T>(message);
  key->Flags = kzvDnskeyZoneKey | kzvDnskeySecureEntryPoint;
  key->Algorithm = 13;
  key->PublicKey = kKskKey;
}

template <class T>
void AddDs(TzvDnsMessage& message) {
  auto* ds = AddAnswer<T>(message);
  ds->KeyTag = 59249;
  ds->Algorithm = 13;
  ds->DigestType = 2;
  ds->Digest = kDigest;
}

TEST(DnssecRecords, WriteTheirGoldenBytes) {
  TzvDnsExtendedMessage keys;
  keys.Header().ID = 0x1234;
  AddKey<TzvDnsDNSKEYRecord>(keys);
  AddKey<TzvDnsCDNSKEYRecord>(keys);
  auto* rrsig = AddAnswer<TzvDnsRRSIGRecord>(keys);
  rrsig->TypeCovered = kzvDnsTypeDNSKEY;
  rrsig->Algorithm = 13;
  rrsig->Labels = 2;
  rrsig->OriginalTTL = 300;
  rrsig->Expiration = 1798761600;
  rrsig->Inception = 1796083200;
  rrsig->KeyTag = 59249;
  rrsig->SignerName = "example.test";
  rrsig->Signature = kSignature;
  AddDs<TzvDnsDSRecord>(keys);
  AddDs<TzvDnsCDSRecord>(keys);
  EXPECT_EQ(BuildBytes(keys), kKeysAnswer);

  TzvDnsExtendedMessage denial;
  denial.Header().ID = 0x1234;
  auto* nsec = AddAnswer<TzvDnsNSECRecord>(denial);
  nsec->NextDomainName = "mail.example.test";
  nsec->Types = {1234, kzvDnsTypeNSEC, kzvDnsTypeRRSIG, kzvDnsTypeNSEC};  // any order, twice
  auto* salted = AddAnswer<TzvDnsNSEC3Record>(denial);
  salted->Iterations = 10;
  salted->Salt = {0xAA, 0xBB, 0xCC, 0xDD};
  salted->NextHashedOwner = FromHex("38148F158EFA6210B9E348A9F3903E8109E58C79");
  salted->Types = {kzvDnsTypeNS, kzvDnsTypeSOA, kzvDnsTypeRRSIG, kzvDnsTypeDNSKEY,
                   kzvDnsTypeNSEC3PARAM};
  auto* unsalted = AddAnswer<TzvDnsNSEC3Record>(denial);
  unsalted->NextHashedOwner = FromHex("D803DFD68D7D158E4644BDA5826A64923F83A3E4");
  unsalted->Types = {kzvDnsTypeRRSIG, 1234};
  auto* opt_out = AddAnswer<TzvDnsNSEC3Record>(denial);
  opt_out->Flags = kzvNsec3OptOut;
  opt_out->Iterations = 1;
  opt_out->Salt = kLongSalt;
  opt_out->NextHashedOwner = FromHex("786BF1C55023A41B740B27487F442BC62B764703");
  auto* param = AddAnswer<TzvDnsNSEC3PARAMRecord>(denial);
  param->Iterations = 10;
  param->Salt = {0xAA, 0xBB, 0xCC, 0xDD};
  EXPECT_EQ(BuildBytes(denial), kDenialAnswer);
}

TEST(DnssecRecords, ReadBackTypedAsDigPrintsThemAndBuildTheSameBytes) {
  struct TExpected {
    const char* class_name;
    std::string text;
  };
  const std::pair<Bytes, std::vector<TExpected>> answers[] = {
      {kKeysAnswer,
       {{"TzvDnsDNSKEYRecord", kDnskeyText},
        {"TzvDnsCDNSKEYRecord", kDnskeyText},
        {"TzvDnsRRSIGRecord", kRrsigText},
        {"TzvDnsDSRecord", kDsText},
        {"TzvDnsCDSRecord", kDsText}}},
      {kDenialAnswer,
       {{"TzvDnsNSECRecord", kNsecText},
        {"TzvDnsNSEC3Record", kNsec3SaltedText},
        {"TzvDnsNSEC3Record", kNsec3UnsaltedText},
        {"TzvDnsNSEC3Record", kNsec3OptOutText},
        {"TzvDnsNSEC3PARAMRecord", "1 0 10 AABBCCDD"}}},
  };
  for (const auto& [bytes, expected] : answers) {
    TzvDnsExtendedMessage message;
    ParseBytes(message, bytes);
    ASSERT_EQ(message.Answers().Count(), static_cast<int>(expected.size()));
    for (int i = 0; i < message.Answers().Count(); ++i) {
      const TzvDnsRecord* record = message.Answers()[i];
      EXPECT_EQ(record->ClassName(), expected[i].class_name);
      std::string text;
      if (auto* key = dynamic_cast<const TzvDnsDNSKEYRecord*>(record))
        text = key->PresentationText();
      if (auto* rrsig = dynamic_cast<const TzvDnsRRSIGRecord*>(record))
        text = rrsig->PresentationText();
      if (auto* ds = dynamic_cast<const TzvDnsDSRecord*>(record)) text = ds->PresentationText();
      if (auto* nsec = dynamic_cast<const TzvDnsNSECRecord*>(record))
        text = nsec->PresentationText();
      if (auto* nsec3 = dynamic_cast<const TzvDnsNSEC3Record*>(record))
        text = nsec3->PresentationText();
      if (auto* param = dynamic_cast<const TzvDnsNSEC3PARAMRecord*>(record))
        text = param->PresentationText();
      EXPECT_EQ(text, expected[i].text) << i;
    }
    EXPECT_EQ(BuildBytes(message), bytes);
    // Copies carry every field: the copied list writes the same bytes.
    TzvDnsExtendedMessage copy;
    copy.Header() = message.Header();
    copy.Answers().Assign(&message.Answers());
    EXPECT_EQ(BuildBytes(copy), bytes);
  }
}

TEST(DnssecRecords, EveryTruncationFailsCleanly) {
  for (const Bytes& whole : {kKeysAnswer, kDenialAnswer}) {
    for (std::size_t n = 0; n < whole.size(); ++n) {
      TzvDnsExtendedMessage message;
      const Bytes cut(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(n));
      try {
        ParseBytes(message, cut);
        ADD_FAILURE() << "cut at " << n;
      } catch (const EzvDnsError& e) {
        EXPECT_EQ(e.ErrorCode(), kzvDnsErrInvalidSize) << "cut at " << n;
      }
    }
  }
}

std::pair<std::int32_t, std::string> DnsErrorOf(const Bytes& bytes) {
  TzvDnsExtendedMessage message;
  try {
    ParseBytes(message, bytes);
  } catch (const EzvDnsError& e) {
    return {e.ErrorCode(), e.Message()};
  }
  return {0, ""};
}

// Senders must write these names whole, but a pointer is followed as in any other name; the
// names are written whole again, and one whose own bytes pass the data's end is malformed.
TEST(DnssecRecords, NamesInDataFollowPointersAndAreWrittenWhole) {
  const Bytes fixed(kRrsig.begin(), kRrsig.begin() + 18);
  const Bytes signature = {0x01, 0x02};
  const Bytes pointer = {0xC0, 0x0C};  // to the owner, example.test
  const Bytes bitmap = {0x00, 0x01, 0x40};
  const std::pair<Bytes, Bytes> cases[] = {
      {Answer({{kzvDnsTypeRRSIG, Join({fixed, pointer, signature})}}),
       Answer({{kzvDnsTypeRRSIG, Join({fixed, kExampleTest, signature})}})},
      {Answer({{kzvDnsTypeNSEC, Join({{3, 'w', 'w', 'w'}, pointer, bitmap})}}),
       Answer({{kzvDnsTypeNSEC, Join({{3, 'w', 'w', 'w'}, kExampleTest, bitmap})}})},
  };
  for (const auto& [compressed, whole] : cases) {
    TzvDnsExtendedMessage message;
    ParseBytes(message, compressed);
    EXPECT_EQ(BuildBytes(message), whole);
  }
  TzvDnsExtendedMessage message;
  ParseBytes(message, cases[1].first);
  EXPECT_EQ(As<TzvDnsNSECRecord>(message.Answers()[0])->NextDomainName, "www.example.test");
  EXPECT_EQ(As<TzvDnsNSECRecord>(message.Answers()[0])->Types, std::vector<std::uint16_t>{1});

  // The signer's length says five bytes the data has, then its labels run on past it.
  Bytes past = Answer({{kzvDnsTypeRRSIG, Join({fixed, {7, 'e', 'x', 'a', 'm'}})}});
  past.insert(past.end(), kExampleTest.begin() + 5, kExampleTest.end());
  EXPECT_EQ(DnsErrorOf(past).first, kzvDnsErrInvalidSize);
}

TEST(TypeBitmap, RefusesWindowsOutOfOrderOfBadLengthOrPastTheData) {
  const std::pair<Bytes, const char*> cases[] = {
      {{0x00, 0x01, 0x40, 0x00, 0x01, 0x20}, "window 0 does not follow window 0"},
      {{0x04, 0x01, 0x40, 0x00, 0x01, 0x40}, "window 0 does not follow window 4"},
      {{0x00, 0x00}, "window 0 is 0 bytes long (1 to 32)"},
      {Join({{0x01, 0x21}, Bytes(33, 0xFF)}), "window 1 is 33 bytes long (1 to 32)"},
      {{0x00, 0x02, 0x40}, "window 0 runs past the record's data"},
      {{0x00, 0x01, 0x40, 0x05}, "window 5 runs past the record's data"},
  };
  const Bytes nsec3_head = {0x01, 0x00, 0x00, 0x00, 0x00, 0x01, 0xAB};
  for (const auto& [bitmap, why] : cases) {
    const std::string message = std::string("Malformed type bitmap: ") + why;
    // The same reader for both records; bytes after the record do not help it.
    for (const Bytes& data : {Join({{0x00}, bitmap}), Join({nsec3_head, bitmap})}) {
      const std::uint16_t type = data.size() > bitmap.size() + 1 ? kzvDnsTypeNSEC3 : kzvDnsTypeNSEC;
      Bytes bytes = Answer({{type, data}});
      bytes.insert(bytes.end(), {0x00, 0x01, 0x40});
      EXPECT_EQ(DnsErrorOf(bytes), std::make_pair(kzvDnsErrInvalidSize, message)) << why;
    }
  }
}

TEST(TypeBitmap, WritesTheShortestFormAndReadsItBack) {
  const std::pair<std::vector<std::uint16_t>, Bytes> cases[] = {
      {{}, {}},
      {{0}, {0x00, 0x01, 0x80}},
      {{16, 1, 15, 1}, {0x00, 0x03, 0x40, 0x01, 0x80}},
      {{256, 2}, {0x00, 0x01, 0x20, 0x01, 0x01, 0x80}},
      {{65535}, Join({{0xFF, 0x20}, Bytes(31, 0x00), {0x01}})},
  };
  for (const auto& [types, bitmap] : cases) {
    TzvByteArray buffer(64);
    TzvWireWriter writer(buffer.Bytes(), 0);
    WriteDnsTypeBitmap(types, writer);
    EXPECT_EQ(Bytes(buffer.Data(), buffer.Data() + writer.Position()), bitmap);
    TzvWireCursor cursor(bitmap, 0);
    std::vector<std::uint16_t> sorted = types;
    std::sort(sorted.begin(), sorted.end());
    sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
    EXPECT_EQ(ReadDnsTypeBitmap(cursor), sorted);
  }
  // Longer than needed is still read: trailing zero bytes and a window with no type.
  for (const Bytes& loose :
       {Bytes{0x00, 0x02, 0x40, 0x00}, Bytes{0x00, 0x01, 0x00, 0x01, 0x01, 0x40}}) {
    TzvWireCursor cursor(loose, 0);
    const auto types = ReadDnsTypeBitmap(cursor);
    EXPECT_EQ(types.size(), 1u);
  }
}

TEST(DnskeyKeyTag, MatchesThePublishedTagsOfKnownKeys) {
  struct TKey {
    std::uint16_t flags;
    std::uint8_t algorithm;
    std::string key;
    std::uint16_t tag;
  };
  const TKey keys[] = {
      // The root zone's KSK-2017, as IANA publishes it.
      {257, 8,
       "AwEAAaz/tAm8yTn4Mfeh5eyI96WSVexTBAvkMgJzkKTOiW1vkIbzxeF3+/"
       "4RgWOq7HrxRixHlFlExOLAJr5emLvN7SWX"
       "gnLh4+"
       "B5xQlNVz8Og8kvArMtNROxVQuCaSnIDdD5LKyWbRd2n9WGe2R8PzgCmr3EgVLrjyBxWezF0jLHwVN8efS3rCj/"
       "EWgvIWgb9tarpVUDK/b58Da+sqqls3eNbuv7pr+eoZG+SrDK6nWeL3c6H5Apxz7LjVc1uTIdsIXxuOLYA4/"
       "ilBmSVIzu"
       "DWfdRUfhHdY6+cn8HFRm+2hM8AnXGXws9555KrUB5qihylGa8subX2Nn6UwNR1AkUTV74bU=",
       20326},
      // The signed zone's keys, and ldns-keygen's DSA key, of an odd length (405 bytes).
      {257, 13, kDnskeyText + 9, 59249},
      {256, 15, "Wi+SOYK0Pzu/9oVumXhDGDQ940bsg6G6gdkQa5ZmWzA=", 65019},
      {256, 3,
       "CPIdwNDBg2VaORIz9WYsdvPGOl+t+eu07x0fLCiFzLP/VR3kxMRK6YqnQev4nJBBRf3W81CdzH9x1yC4bGrX/txw"
       "FlMUCTxp9z/6bCQXFfpAMSuu1uwWtYhP8oEDpjoLBhnJ3eQEpbRt3XxZRRDPvzsSRJA13IAP/2I5eQQQFFYEvoOJ"
       "uaD5b5u8t4MxLq+sqGe5MJXna6qgGneZxKPz+7WGbV+ZEW9JUv0OSgjHnzbdb2I7Mhl2Rpmxy6D8YStWuGpihBI7"
       "M0TSPqz4/N2NBCYfZOOT+uv1zxrTr6Tit0PXs2p5wUcaIz4gkyUqRtV84JgUPydh/ZI3n/fNX6AfuDuVPY6P+xqk"
       "l0o8mWwMf69h8rr6zbfl3QPEclHpJJ+wqVXHssNPPjY+AM4IRdiSLyzrYt5rjC0f5CsZEzb1Y0wvM0EDGTC3D3oI"
       "Qi3SGUgZ4tt+yJjkForF7A3unQB1VFGr5hQ1P/aJnAP2Kyn5NFzFBumb9e9gHLFH4mDVv8Hy2rKu9wjzY9uZ2ttS"
       "9l66pVWWl7qg",
       18728},
      // RSA/MD5 takes its tag from the modulus instead of the sum.
      {256, 1,
       "AwEAAcWVKNFhqBMYjRoqIjftr/m/aILb0QPBDL7UmrAfUaLqK3HazdnuCj2iHtWZMcVtGgWN31bjhxWLI8Z8xfgK"
       "tzkm40u3PX9TIXzOuCtXqv9TBKyZesYFvz1EFXL6nFQjJtH2lxHtnogjqQCq0Dv5eKvoHr6I91Sn8fykXauUSpHf",
       19089},
  };
  for (const TKey& key : keys) {
    TzvDnsDNSKEYRecord record;
    record.Flags = key.flags;
    record.Algorithm = key.algorithm;
    record.PublicKey = Base64Decode(key.key);
    EXPECT_EQ(record.KeyTag(), key.tag);
  }
  TzvDnsDSRecord root;  // and the root's DS, as dig prints it
  root.KeyTag = 20326;
  root.Algorithm = 8;
  root.DigestType = 2;
  root.Digest = FromHex("E06D44B80B8F1D39A95C0B0D7C65D08458E880409BBC683457104237C7F8EC8D");
  EXPECT_EQ(root.PresentationText(),
            "20326 8 2 E06D44B80B8F1D39A95C0B0D7C65D08458E880409BBC683457104237 C7F8EC8D");
}

// The edges of dig's text: where it breaks long data, and fields it prints in their own way.
TEST(DnssecPresentation, MatchesDigAtItsEdges) {
  TzvDnsDNSKEYRecord key;
  key.Flags = 256;
  key.Algorithm = 8;
  for (int b = 0; b < 42; ++b) key.PublicKey.push_back(static_cast<std::uint8_t>(b));
  EXPECT_EQ(key.PresentationText(),
            "256 3 8 AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8gISIjJCUmJygp");
  key.PublicKey.push_back(42);
  EXPECT_EQ(key.PresentationText(),
            "256 3 8 AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8gISIjJCUmJygp Kg==");
  EXPECT_EQ(key.PresentationText(false),
            "256 3 8 AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8gISIjJCUmJygpKg==");
  key.PublicKey.clear();
  EXPECT_EQ(key.PresentationText(), "256 3 8");

  TzvDnsDSRecord ds;
  ds.KeyTag = 59249;
  ds.Algorithm = 13;
  ds.DigestType = 4;
  ds.Digest = Join({kDigest, Bytes(kDigest.begin(), kDigest.begin() + 16)});
  EXPECT_EQ(ds.PresentationText(),
            "59249 13 4 DB7931EFB2A92DF9F91CC4CC0770CD54F2276D599F060AD4E9C86C30 "
            "5F188EE0DB7931EFB2A92DF9F91CC4CC0770CD54");
  ds.DigestType = 1;
  ds.Digest.resize(20);
  EXPECT_EQ(ds.PresentationText(), "59249 13 1 DB7931EFB2A92DF9F91CC4CC0770CD54F2276D59");

  TzvDnsRRSIGRecord rrsig;
  rrsig.TypeCovered = 1234;
  rrsig.Algorithm = 13;
  rrsig.Labels = 2;
  rrsig.OriginalTTL = 300;
  rrsig.Expiration = 1798761600;
  rrsig.Inception = 1796083200;
  rrsig.KeyTag = 12345;
  rrsig.SignerName = "example.test";
  rrsig.Signature = {0, 1, 2, 3, 4};
  EXPECT_EQ(rrsig.PresentationText(),
            "TYPE1234 13 2 300 20270101000000 20261201000000 12345 example.test. AAECAwQ=");
  rrsig.TypeCovered = kzvDnsTypeA;
  rrsig.SignerName = "";
  rrsig.Signature.clear();
  rrsig.Expiration = 0;
  rrsig.Inception = 0xFFFFFFFF;
  EXPECT_EQ(rrsig.PresentationText(), "A 13 2 300 19700101000000 21060207062815 12345 .");

  TzvDnsNSECRecord nsec;
  nsec.NextDomainName = "a\\.b\\\\c.example.test";  // labels "a.b\c", "example", "test"
  nsec.Types = {kzvDnsTypeA};
  EXPECT_EQ(nsec.PresentationText(), "a\\.b\\\\c.example.test. A");
  nsec.NextDomainName = "";
  nsec.Types = {kzvDnsTypeA, kzvDnsTypeANY, kzvDnsTypeCAA, 65534, 65535};
  EXPECT_EQ(nsec.PresentationText(), ". A ANY CAA TYPE65534 TYPE65535");

  TzvDnsNSEC3PARAMRecord param;
  EXPECT_EQ(param.PresentationText(), "1 0 0 -");
}

TEST(Nsec3, RefusesAnEmptyHashAndOverlongFields) {
  Bytes bytes = Answer({{kzvDnsTypeNSEC3, {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x40}}});
  EXPECT_EQ(DnsErrorOf(bytes),
            std::make_pair(kzvDnsErrInvalidSize,
                           std::string("Malformed NSEC3 record: the next hashed owner is empty")));
  auto code_of = [](auto change) {
    TzvDnsExtendedMessage message;
    auto* nsec3 = AddAnswer<TzvDnsNSEC3Record>(message);
    nsec3->NextHashedOwner = {0xAB};
    change(*nsec3);
    try {
      BuildBytes(message);
    } catch (const EzvDnsError& e) {
      return e.ErrorCode();
    }
    return 0;
  };
  EXPECT_EQ(code_of([](TzvDnsNSEC3Record&) {}), 0);
  EXPECT_EQ(code_of([](TzvDnsNSEC3Record& r) { r.NextHashedOwner.clear(); }), 2);
  EXPECT_EQ(code_of([](TzvDnsNSEC3Record& r) { r.NextHashedOwner.resize(256); }), 2);
  EXPECT_EQ(code_of([](TzvDnsNSEC3Record& r) { r.Salt.resize(256); }), 2);
}

}  // namespace
