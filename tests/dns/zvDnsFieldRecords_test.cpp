// The record types of the field table and the service bindings: golden bytes as NSD serves
// them (tests/netns/nsd/types.test.zone) with the text dig 9.18 gives of them, both ways;
// every cut of the data refused or read back exactly as cut; hostile data refused.
#include "dns/zvDnsFieldRecords.h"

#include <gtest/gtest.h>

#include <string>

#include "dns/zvDnsSvcbRecord.h"
#include "tests/support/MessageBytes.h"

namespace {

Bytes FromHex(std::string_view hex) {
  Bytes bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
    bytes.push_back(
        static_cast<std::uint8_t>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
  return bytes;
}

// A response with one answer of `type` owned by "t", its data `data`.
Bytes Answer(std::uint16_t type, const Bytes& data) {
  Bytes bytes = {0x12, 0x34, 0x81, 0x80, 0, 0, 0, 1, 0, 0, 0, 0, 1, 't', 0};
  const std::uint16_t words[] = {type, 1, 0, 60, static_cast<std::uint16_t>(data.size())};
  for (const std::uint16_t word : words) {
    bytes.push_back(static_cast<std::uint8_t>(word >> 8));
    bytes.push_back(static_cast<std::uint8_t>(word));
  }
  bytes.insert(bytes.end(), data.begin(), data.end());
  return bytes;
}

// The answer's record, or nullptr when the codec refuses the message as malformed.
std::unique_ptr<TzvDnsExtendedMessage> Parsed(std::uint16_t type, const Bytes& data) {
  auto message = std::make_unique<TzvDnsExtendedMessage>();
  try {
    ParseBytes(*message, Answer(type, data));
  } catch (const EzvDnsError& e) {
    EXPECT_EQ(e.ErrorCode(), -1) << type << ": " << e.Message();
    return nullptr;
  }
  return message;
}

Bytes Written(TzvDnsRecord& record) {
  TzvByteArray buffer(1024);
  std::int32_t position = 0;
  record.BuildData(buffer, position);
  return Bytes(buffer.Data(), buffer.Data() + position);
}

struct TGolden {
  std::uint16_t Type;
  const char* Hex;
  const char* Dig;  // dig +short's line; nullptr for data the codec must refuse
};

const TGolden kGolden[] = {
    {13, "0850432D496E74656C074C696E75782036", R"("PC-Intel" "Linux 6")"},
    {17, "0561646D696E05747970657304746573740004696E666F057479706573047465737400",
     "admin.types.test. info.types.test."},
    {29, "001216138B3CF018810CBCE0009895B8", "52 22 23.000 N 4 53 32.000 E -2.00m 1m 10000m 10m"},
    {29, "0033510076E8D03C70BE15F00098A012", "42 21 54.500 S 71 6 18.000 W 24.50m 30m 0.50m 0.00m"},
    {35,
     "00640032017310687474702B49324C2B4932432B49325200055F68747470045F746370057479706573047465"
     "737400",
     R"(100 50 "s" "http+I2L+I2C+I2R" "" _http._tcp.types.test.)"},
    {35, "000A00000175074532552B7369701A215E2E2A24217369703A696E666F4074797065732E746573742100",
     R"(10 0 "u" "E2U+sip" "!^.*$!sip:info@types.test!" .)"},
    {36, "000A026B78057479706573047465737400", "10 kx.types.test."},
    {37, "0003000000746869732069732061206365727469666963617465",
     "PGP 0 0 dGhpcyBpcyBhIGNlcnRpZmljYXRl"},
    {37, "000130390863657274", "PKIX 12345 RSASHA256 Y2VydA=="},
    {39, "09656C73657768657265076578616D706C6500", "elsewhere.example."},
    {42, "00011503C0A82000011C83C0A82600020801FF",
     "1:192.168.32.0/21 !1:192.168.38.0/28 2:ff00::/8"},
    {44, "0402123456789ABCDEF0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF0",
     "4 2 123456789ABCDEF0123456789ABCDEF0123456789ABCDEF012345678 9ABCDEF0"},
    {45, "0A0102C0000226010351537986ED35533B6064478EEEB27B5BD74DAE149B6E81BA3A0521AF82AB7801",
     "10 1 2 192.0.2.38 AQNRU3mG7TVTO2BkR47usntb102uFJtugbo6BSGvgqt4AQ=="},
    {45,
     "0A0302026777057479706573047465737400010351537986ED35533B6064478EEEB27B5BD74DAE149B6E81BA3A"
     "0521AF82AB7801",
     "10 3 2 gw.types.test. AQNRU3mG7TVTO2BkR47usntb102uFJtugbo6BSGvgqt4AQ=="},
    {45, "0A0002010351537986ED35533B6064478EEEB27B5BD74DAE149B6E81BA3A0521AF82AB7801",
     "10 0 2 . AQNRU3mG7TVTO2BkR47usntb102uFJtugbo6BSGvgqt4AQ=="},
    {45,
     "0A020220010DB8000080020000000020000001010351537986ED35533B6064478EEEB27B5BD74DAE149B6E81BA"
     "3A0521AF82AB7801",
     "10 2 2 2001:db8:0:8002::2000:1 AQNRU3mG7TVTO2BkR47usntb102uFJtugbo6BSGvgqt4AQ=="},
    {49, "000201636FC0B8271C82825BB1AC5C41CF5351AA69B4FEBD94E8F17CDB95000DA48C40",
     "AAIBY2/AuCccgoJbsaxcQc9TUapptP69lOjxfNuVAA2kjEA="},
    {52, "0301010B9FA5A59EED715C26C1020C711B4F6EC42D58B0015E14337A39DAD301C5AFC3",
     "3 1 1 0B9FA5A59EED715C26C1020C711B4F6EC42D58B0015E14337A39DAD3 01C5AFC3"},
    {53, "030001A9F8E7D6C5B4A392817065F4E3D2C1B0A9F8E7D6C5B4A392817065F4E3D2C1B0A9F8E7D6C5B4",
     "3 0 1 A9F8E7D6C5B4A392817065F4E3D2C1B0A9F8E7D6C5B4A392817065F4 E3D2C1B0A9F8E7D6C5B4"},
    {61, "99010D0455479B9B010800CAE30D1886625599FAAB6E65766B6579",
     "mQENBFVHm5sBCADK4w0YhmJVmfqrbmV2a2V5"},
    {62, "000000420003000460000008", "66 3 A NS AAAA"},
    {63,
     "7848B78C0101FEBE3D4CE2EC2FFA4BA99D46CD69D6D29711E55217057BEE7EB1A7B641A47BA7FED2DD5B97AE49"
     "9FAFA4F22C6BD647DE",
     "2018031500 1 1 FEBE3D4CE2EC2FFA4BA99D46CD69D6D29711E55217057BEE7EB1A7B6 "
     "41A47BA7FED2DD5B97AE499FAFA4F22C6BD647DE"},
    {64,
     "0001037376630574797065730474657374000000000400010003000100060268320268330003000220FB0004"
     "0008C0000201C0000202000500050045FE0D000006001020010DB8000000000000000000000001FDE80003616263",
     "1 svc.types.test. mandatory=alpn,port alpn=\"h2,h3\" port=8443 "
     "ipv4hint=192.0.2.1,192.0.2.2 ech=AEX+DQA= ipv6hint=2001:db8::1 key65000=\"abc\""},
    {65, "00010000010003026833000200000003000201BB", "1 . alpn=\"h3\" no-default-alpn port=443"},
    {65, "000003737663057479706573047465737400", "0 svc.types.test."},
    {104, "000A00144FFFFF20EE64", "10 14:4fff:ff20:ee64"},
    {105, "000A0A010200", "10 10.1.2.0"},
    {106, "000A20010DB811401000", "10 2001:db8:1140:1000"},
    {108, "00005E00532A", "00-00-5e-00-53-2a"},
    {109, "00005EEF1000002A", "00-00-5e-ef-10-00-00-2a"},
    {256, "000A000168747470733A2F2F7777772E74797065732E746573742F706174683F713D31",
     R"(10 1 "https://www.types.test/path?q=1")"},
    // Hostile data: a LOC of version 1, a size digit over 9, a latitude past the pole; an
    // APL prefix of an unknown family, longer than its family, with a trailing zero octet;
    // an IPSECKEY gateway type 4; SVCB keys out of order or repeated, a port of 3 octets, an
    // empty ALPN identifier, a hint of 5 octets, a value for no-default-alpn.
    {29, "011216138B3CF018810CBCE0009895B8", nullptr},
    {29, "00A216138B3CF018810CBCE0009895B8", nullptr},
    {29, "00121613FFFFFFFF810CBCE0009895B8", nullptr},
    {42, "00031503C0A82000", nullptr},
    {42, "00012103C0A82000", nullptr},
    {42, "00011503C0A80000", nullptr},
    {45, "0A0402C0000226", nullptr},
    {64, "0001000003000201BB00010003026833", nullptr},
    {64, "000100000300020001000300020002", nullptr},
    {64, "00010000030003000001", nullptr},
    {64, "0001000001000102", nullptr},
    {64, "000100000400050102030405", nullptr},
    {64, "00010000020001FF", nullptr},
};

// Whether the type's last field takes the rest of the data, so that a cut of it still reads.
bool EndsWithTheRest(std::uint16_t type) {
  const auto layout = TzvDnsFieldRecord::Layout(type);
  if (layout.empty()) return true;  // SVCB and HTTPS: any number of parameters
  switch (layout.back().Kind) {
    case TzvDnsFieldKind::HexRest:
    case TzvDnsFieldKind::Base64Rest:
    case TzvDnsFieldKind::QuotedRest:
    case TzvDnsFieldKind::TypesRest:
    case TzvDnsFieldKind::Prefixes:
      return true;
    default:
      return false;
  }
}

TEST(FieldRecords, ReadAndWriteTheGoldenBytesAsDigShowsThemAndEveryCut) {
  for (const TGolden& row : kGolden) {
    const Bytes data = FromHex(row.Hex);
    const auto message = Parsed(row.Type, data);
    if (row.Dig == nullptr) {
      EXPECT_EQ(message, nullptr) << row.Type << " " << row.Hex;
      continue;
    }
    ASSERT_NE(message, nullptr) << row.Hex;
    TzvDnsRecord& record = *message->Answers()[0];
    EXPECT_EQ(DnsTypeText(record.RecordType), DnsTypeText(row.Type));
    EXPECT_EQ(record.DataText(TzvDnsTextStyle::Dig), row.Dig);
    // Written back from its fields, by a copy that never saw the wire.
    const std::unique_ptr<TzvDnsRecord> copy = record.Create();
    copy->Assign(&record);
    EXPECT_EQ(Written(*copy), data) << row.Hex;
    // Every shorter length: refused, or (where the last field takes the rest) a record
    // that is exactly the bytes it was given; one byte more only where the rest is read.
    for (std::size_t cut = 0; cut <= data.size(); ++cut) {
      Bytes part(data.begin(), data.begin() + static_cast<long>(cut));
      if (cut == data.size()) part.push_back(0x01);
      const auto shorter = Parsed(row.Type, part);
      if (shorter == nullptr) continue;
      EXPECT_TRUE(EndsWithTheRest(row.Type)) << row.Type << " read from " << cut << " bytes";
      EXPECT_EQ(Written(*shorter->Answers()[0]), part) << row.Type << " cut at " << cut;
    }
  }
}

TEST(FieldRecords, AreBuiltFromTheirFieldsAndRefuseWhatCannotBeWritten) {
  TzvDnsSVCBRecord https(kzvDnsTypeHTTPS);
  https.Priority = 1;
  https.Params = {{kzvSvcAlpn, {2, 'h', '3'}}, {kzvSvcNoDefaultAlpn, {}}, {kzvSvcPort, {1, 0xBB}}};
  EXPECT_EQ(Written(https), FromHex("00010000010003026833000200000003000201BB"));
  TzvDnsFieldRecord l32(kzvDnsTypeL32);
  l32.Fields[0].Number = 10;
  l32.Fields[1].Bytes = {10, 1, 2, 0};
  EXPECT_EQ(Written(l32), FromHex("000A0A010200"));

  std::vector<std::unique_ptr<TzvDnsRecord>> refused;
  auto svcb = std::make_unique<TzvDnsSVCBRecord>();
  svcb->Params = {{kzvSvcPort, {1, 0xBB}}, {kzvSvcAlpn, {2, 'h', '3'}}};  // out of order
  refused.push_back(std::move(svcb));
  auto eui = std::make_unique<TzvDnsFieldRecord>(kzvDnsTypeEUI48);
  eui->Fields[0].Bytes = {1, 2, 3, 4, 5};
  refused.push_back(std::move(eui));
  auto gateway = std::make_unique<TzvDnsFieldRecord>(kzvDnsTypeIPSECKEY);
  gateway->Fields[1].Number = 1;  // an IPv4 gateway without its four octets
  refused.push_back(std::move(gateway));
  auto loc = std::make_unique<TzvDnsFieldRecord>(kzvDnsTypeLOC);  // latitude 0 is past the pole
  refused.push_back(std::move(loc));
  auto hinfo = std::make_unique<TzvDnsFieldRecord>(kzvDnsTypeHINFO);
  hinfo->Fields[0].Text = std::string(256, 'x');
  refused.push_back(std::move(hinfo));
  for (const auto& record : refused) {
    try {
      Written(*record);
      ADD_FAILURE() << DnsTypeText(record->RecordType) << " was written";
    } catch (const EzvDnsError& e) {
      EXPECT_EQ(e.ErrorCode(), 2) << DnsTypeText(record->RecordType);
    }
  }
}

}  // namespace
