#include "dns/zvDnsRecordTypes.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
#include <span>
#include <string_view>
#include <typeinfo>

#include "dns/zvDnsDsRecords.h"
#include "dns/zvDnsFieldRecords.h"
#include "dns/zvDnsKeyRecords.h"
#include "dns/zvDnsNsecRecords.h"
#include "dns/zvDnsOptRecord.h"
#include "dns/zvDnsRrsigRecord.h"
#include "dns/zvDnsSvcbRecord.h"

namespace {

bool IsCaaTag(const std::string& tag) {
  return !tag.empty() && tag.size() <= 15 &&
         std::all_of(tag.begin(), tag.end(), [](unsigned char c) { return std::isalnum(c) != 0; });
}

struct TCodeName {
  std::int32_t Code;
  const char* Text;
};

// The types a question may ask by name. OPT is named when shown but not taken as a
// question type: it is no data a server could hold.
constexpr TCodeName kTypeNames[] = {
    {kzvDnsTypeA, "A"},
    {kzvDnsTypeNS, "NS"},
    {kzvDnsTypeCNAME, "CNAME"},
    {kzvDnsTypeSOA, "SOA"},
    {kzvDnsTypePTR, "PTR"},
    {kzvDnsTypeMX, "MX"},
    {kzvDnsTypeTXT, "TXT"},
    {kzvDnsTypeAAAA, "AAAA"},
    {kzvDnsTypeSRV, "SRV"},
    {kzvDnsTypeCAA, "CAA"},
    {kzvDnsTypeDNAME, "DNAME"},
    {kzvDnsTypeANY, "ANY"},
    {kzvDnsTypeDS, "DS"},
    {kzvDnsTypeRRSIG, "RRSIG"},
    {kzvDnsTypeNSEC, "NSEC"},
    {kzvDnsTypeDNSKEY, "DNSKEY"},
    {kzvDnsTypeNSEC3, "NSEC3"},
    {kzvDnsTypeNSEC3PARAM, "NSEC3PARAM"},
    {kzvDnsTypeCDS, "CDS"},
    {kzvDnsTypeCDNSKEY, "CDNSKEY"},
    {kzvDnsTypeHINFO, "HINFO"},
    {kzvDnsTypeRP, "RP"},
    {kzvDnsTypeLOC, "LOC"},
    {kzvDnsTypeNAPTR, "NAPTR"},
    {kzvDnsTypeKX, "KX"},
    {kzvDnsTypeCERT, "CERT"},
    {kzvDnsTypeAPL, "APL"},
    {kzvDnsTypeSSHFP, "SSHFP"},
    {kzvDnsTypeIPSECKEY, "IPSECKEY"},
    {kzvDnsTypeDHCID, "DHCID"},
    {kzvDnsTypeTLSA, "TLSA"},
    {kzvDnsTypeSMIMEA, "SMIMEA"},
    {kzvDnsTypeOPENPGPKEY, "OPENPGPKEY"},
    {kzvDnsTypeCSYNC, "CSYNC"},
    {kzvDnsTypeZONEMD, "ZONEMD"},
    {kzvDnsTypeSVCB, "SVCB"},
    {kzvDnsTypeHTTPS, "HTTPS"},
    {kzvDnsTypeNID, "NID"},
    {kzvDnsTypeL32, "L32"},
    {kzvDnsTypeL64, "L64"},
    {kzvDnsTypeEUI48, "EUI48"},
    {kzvDnsTypeEUI64, "EUI64"},
    {kzvDnsTypeURI, "URI"},
};

constexpr TCodeName kClassNames[] = {{rcInternet, "IN"}, {rcChaos, "CH"}, {rcHesiod, "HS"}};

// The number of RFC 3597's "TYPE65280" or "CLASS3" words: the prefix in any letter case,
// then 1 to 65535 in decimal digits alone; 0 for any other text.
std::int32_t GenericCode(const std::string& text, std::string_view prefix) {
  if (text.size() <= prefix.size() ||
      !SameText(std::string_view(text).substr(0, prefix.size()), prefix)) {
    return 0;
  }
  std::int32_t code = 0;
  for (const char c : std::string_view(text).substr(prefix.size())) {
    if (c < '0' || c > '9') return 0;
    code = code * 10 + (c - '0');
    if (code > 0xFFFF) return 0;  // also keeps a long run of digits from overflowing
  }
  return code;
}

std::int32_t CodeFromText(const std::string& text, std::span<const TCodeName> names,
                          std::string_view prefix) {
  for (const TCodeName& name : names) {
    if (SameText(text, name.Text)) return name.Code;
  }
  return GenericCode(text, prefix);
}

std::string CodeText(std::int32_t code, std::span<const TCodeName> names, std::string_view prefix) {
  for (const TCodeName& name : names) {
    if (name.Code == code) return name.Text;
  }
  return std::string(prefix) + std::to_string(code);
}

std::string Hex(std::span<const std::uint8_t> bytes, const char* digits) {
  std::string text;
  text.reserve(bytes.size() * 2);
  for (const std::uint8_t b : bytes) {
    text += digits[b >> 4];
    text += digits[b & 0x0F];
  }
  return text;
}

}  // namespace

// ---- AAAA ----

std::unique_ptr<TzvDnsRecord> TzvDnsAAAARecord::Create() const {
  return std::make_unique<TzvDnsAAAARecord>();
}

void TzvDnsAAAARecord::Assign(const TPersistent* source) {
  TzvDnsRecord::Assign(source);
  if (auto* aaaa = dynamic_cast<const TzvDnsAAAARecord*>(source)) IPAddress = aaaa->IPAddress;
}

void TzvDnsAAAARecord::BuildData(TzvByteArray& buffer, std::int32_t& position) {
  TzvDnsRecord::BuildData(buffer, position);
  std::uint8_t octets[16];
  if (inet_pton(AF_INET6, IPAddress.c_str(), octets) != 1) throw EzvDnsError(2);
  TzvWireWriter writer(buffer.Bytes(), position);
  writer.WriteBytes(octets);
  position = writer.Position();
}

void TzvDnsAAAARecord::ParseData(const TzvByteArray& buffer, std::int32_t& position) {
  TzvDnsRecord::ParseData(buffer, position);
  TzvWireCursor cursor = DataCursor(buffer, position);
  const auto bytes = cursor.ReadBytes(16);
  // Record data in the form of RFC 5952 (lower case, the longest run of zero groups as
  // "::"), as dig prints it and scripts compare it.
  char text[INET6_ADDRSTRLEN];
  if (inet_ntop(AF_INET6, bytes.data(), text, sizeof text) == nullptr) RaiseDnsInvalidSize();
  IPAddress = text;
  position = cursor.Position();
}

// ---- SRV ----

std::unique_ptr<TzvDnsRecord> TzvDnsSRVRecord::Create() const {
  return std::make_unique<TzvDnsSRVRecord>();
}

void TzvDnsSRVRecord::Assign(const TPersistent* source) {
  TzvDnsRecord::Assign(source);
  if (auto* srv = dynamic_cast<const TzvDnsSRVRecord*>(source)) {
    Priority = srv->Priority;
    Weight = srv->Weight;
    Port = srv->Port;
    Target = srv->Target;
  }
}

void TzvDnsSRVRecord::BuildData(TzvByteArray& buffer, std::int32_t& position) {
  TzvDnsRecord::BuildData(buffer, position);
  TzvWireWriter writer(buffer.Bytes(), position);
  writer.WriteWord(static_cast<std::uint16_t>(Priority));
  writer.WriteWord(static_cast<std::uint16_t>(Weight));
  writer.WriteWord(static_cast<std::uint16_t>(Port));
  position = writer.Position();
  WriteName(Target, buffer, position);
}

void TzvDnsSRVRecord::ParseData(const TzvByteArray& buffer, std::int32_t& position) {
  TzvDnsRecord::ParseData(buffer, position);
  const std::size_t end = DataEnd(buffer, position);
  TzvWireCursor cursor = DataCursor(buffer, position);
  Priority = cursor.ReadWord();
  Weight = cursor.ReadWord();
  Port = cursor.ReadWord();
  position = cursor.Position();
  // The target is never compressed by a sender that follows the rules, but a pointer is
  // followed like in any other name.
  ReadDataName(buffer, position, end, Target);
}

// ---- CAA ----

std::unique_ptr<TzvDnsRecord> TzvDnsCAARecord::Create() const {
  return std::make_unique<TzvDnsCAARecord>();
}

void TzvDnsCAARecord::Assign(const TPersistent* source) {
  TzvDnsRecord::Assign(source);
  if (auto* caa = dynamic_cast<const TzvDnsCAARecord*>(source)) {
    Flags = caa->Flags;
    Tag = caa->Tag;
    Value = caa->Value;
  }
}

void TzvDnsCAARecord::BuildData(TzvByteArray& buffer, std::int32_t& position) {
  TzvDnsRecord::BuildData(buffer, position);
  if (!IsCaaTag(Tag)) throw EzvDnsError(2);
  TzvWireWriter writer(buffer.Bytes(), position);
  writer.WriteByte(static_cast<std::uint8_t>(Flags));
  writer.WriteByte(static_cast<std::uint8_t>(Tag.size()));
  writer.WriteText(Tag);
  writer.WriteText(Value);
  position = writer.Position();
}

void TzvDnsCAARecord::ParseData(const TzvByteArray& buffer, std::int32_t& position) {
  TzvDnsRecord::ParseData(buffer, position);
  TzvWireCursor cursor = DataCursor(buffer, position);
  Flags = cursor.ReadByte();
  const std::uint8_t tag_length = cursor.ReadByte();
  // A tag of length 0 is malformed; the value is whatever follows it, to the data's end.
  if (tag_length == 0) RaiseDnsInvalidSize();
  const auto tag = cursor.ReadBytes(tag_length);
  Tag.assign(tag.begin(), tag.end());
  const auto value = cursor.ReadBytes(cursor.Remaining());
  Value.assign(value.begin(), value.end());
  position = cursor.Position();
}

// ---- TXT with all its strings ----

std::unique_ptr<TzvDnsRecord> TzvDnsTXTStringsRecord::Create() const {
  return std::make_unique<TzvDnsTXTStringsRecord>();
}

void TzvDnsTXTStringsRecord::Assign(const TPersistent* source) {
  TzvDnsTXTRecord::Assign(source);
  if (auto* txt = dynamic_cast<const TzvDnsTXTStringsRecord*>(source)) Strings = txt->Strings;
}

void TzvDnsTXTStringsRecord::BuildData(TzvByteArray& buffer, std::int32_t& position) {
  if (Strings.empty()) {
    TzvDnsTXTRecord::BuildData(buffer, position);
    return;
  }
  TzvWireWriter writer(buffer.Bytes(), position);
  for (const std::string& text : Strings) {
    // A string is at most 255 bytes behind its length byte; a longer one is the
    // caller's mistake and is refused rather than cut.
    if (text.size() > 255) throw EzvDnsError(2);
    writer.WriteByte(static_cast<std::uint8_t>(text.size()));
    writer.WriteText(text);
  }
  position = writer.Position();
}

void TzvDnsTXTStringsRecord::ParseData(const TzvByteArray& buffer, std::int32_t& position) {
  TzvDnsRecord::ParseData(buffer, position);
  TzvWireCursor cursor = DataCursor(buffer, position);
  Strings.clear();
  while (cursor.Remaining() > 0) {
    const auto text = cursor.ReadBytes(cursor.ReadByte());
    Strings.emplace_back(text.begin(), text.end());
  }
  Text = Strings.empty() ? std::string() : Strings.front();
  position = cursor.Position();
}

// ---- any other type ----

std::unique_ptr<TzvDnsRecord> TzvDnsGenericRecord::Create() const {
  return std::make_unique<TzvDnsGenericRecord>();
}

void TzvDnsGenericRecord::Assign(const TPersistent* source) {
  TzvDnsRecord::Assign(source);
  if (auto* generic = dynamic_cast<const TzvDnsGenericRecord*>(source)) Data = generic->Data;
}

void TzvDnsGenericRecord::BuildData(TzvByteArray& buffer, std::int32_t& position) {
  TzvDnsRecord::BuildData(buffer, position);
  TzvWireWriter writer(buffer.Bytes(), position);
  writer.WriteBytes(Data);
  position = writer.Position();
}

void TzvDnsGenericRecord::ParseData(const TzvByteArray& buffer, std::int32_t& position) {
  TzvDnsRecord::ParseData(buffer, position);
  TzvWireCursor cursor = DataCursor(buffer, position);
  const auto data = cursor.ReadBytes(cursor.Remaining());
  Data.assign(data.begin(), data.end());
  position = cursor.Position();
}

std::string TzvDnsGenericRecord::GenericText() const {
  std::string text = "\\# " + std::to_string(Data.size());
  if (!Data.empty()) text += " " + Hex(Data, "0123456789ABCDEF");
  return text;
}

std::string TzvDnsGenericRecord::DataHex() const {
  return Hex(Data, "0123456789abcdef");
}

// ---- the message ----

std::unique_ptr<TzvDnsRecord> TzvDnsExtendedMessage::CreateRecord(std::int32_t record_type) {
  switch (record_type) {
    case kzvDnsTypeAAAA:
      return std::make_unique<TzvDnsAAAARecord>();
    case kzvDnsTypeSRV:
      return std::make_unique<TzvDnsSRVRecord>();
    case kzvDnsTypeCAA:
      return std::make_unique<TzvDnsCAARecord>();
    case kzvDnsTypeTXT:
      return std::make_unique<TzvDnsTXTStringsRecord>();
    case kzvDnsTypeOPT:
      return std::make_unique<TzvDnsOPTRecord>();
    case kzvDnsTypeDS:
      return std::make_unique<TzvDnsDSRecord>();
    case kzvDnsTypeCDS:
      return std::make_unique<TzvDnsCDSRecord>();
    case kzvDnsTypeDNSKEY:
      return std::make_unique<TzvDnsDNSKEYRecord>();
    case kzvDnsTypeCDNSKEY:
      return std::make_unique<TzvDnsCDNSKEYRecord>();
    case kzvDnsTypeRRSIG:
      return std::make_unique<TzvDnsRRSIGRecord>();
    case kzvDnsTypeNSEC:
      return std::make_unique<TzvDnsNSECRecord>();
    case kzvDnsTypeNSEC3:
      return std::make_unique<TzvDnsNSEC3Record>();
    case kzvDnsTypeNSEC3PARAM:
      return std::make_unique<TzvDnsNSEC3PARAMRecord>();
    case kzvDnsTypeSVCB:
    case kzvDnsTypeHTTPS:
      return std::make_unique<TzvDnsSVCBRecord>(record_type);
    default:
      if (!TzvDnsFieldRecord::Layout(record_type).empty())
        return std::make_unique<TzvDnsFieldRecord>(record_type);
      break;
  }
  // The plain codec's classes stay; only what it would keep opaque becomes generic.
  std::unique_ptr<TzvDnsRecord> record = TzvDnsMessage::CreateRecord(record_type);
  if (record != nullptr) {
    const TzvDnsRecord& made = *record;
    if (typeid(made) != typeid(TzvDnsRecord)) return record;
  }
  auto generic = std::make_unique<TzvDnsGenericRecord>();
  generic->RecordType = record_type;
  return generic;
}

std::int32_t DnsTypeFromText(const std::string& text) {
  return CodeFromText(text, kTypeNames, "TYPE");
}

std::string DnsTypeText(std::int32_t record_type) {
  if (record_type == kzvDnsTypeOPT) return "OPT";
  return CodeText(record_type, kTypeNames, "TYPE");
}

std::int32_t DnsClassFromText(const std::string& text) {
  return CodeFromText(text, kClassNames, "CLASS");
}

std::string DnsClassText(std::int32_t record_class) {
  return CodeText(record_class, kClassNames, "CLASS");
}

// ---- presentation ----

std::string TzvDnsAAAARecord::DataText(TzvDnsTextStyle /*style*/) const {
  return IPAddress;
}

std::string TzvDnsSRVRecord::DataText(TzvDnsTextStyle style) const {
  return std::to_string(Priority) + " " + std::to_string(Weight) + " " + std::to_string(Port) +
         " " + DnsNameText(Target, style);
}

std::string TzvDnsCAARecord::DataText(TzvDnsTextStyle style) const {
  return std::to_string(Flags) + " " + DnsEscapedText(Tag, style) + " " +
         DnsQuotedText(Value, style);
}

std::string TzvDnsTXTStringsRecord::DataText(TzvDnsTextStyle style) const {
  std::string text;
  for (const std::string& part : Strings) {
    if (!text.empty()) text += ' ';
    text += DnsQuotedText(part, style);
  }
  return text;
}

std::string TzvDnsGenericRecord::DataText(TzvDnsTextStyle /*style*/) const {
  return GenericText();
}

void TzvDnsGenericRecord::VisitFields(TzvDnsFieldVisitor& visitor) const {
  // The report writes every hex field in lower case, RFC 3597's form too.
  visitor.Text("data",
               "\\# " + std::to_string(Data.size()) + (Data.empty() ? "" : " " + DataHex()));
  visitor.Text("rdata_hex", DataHex());
}
