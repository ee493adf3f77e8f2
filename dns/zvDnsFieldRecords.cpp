#include "dns/zvDnsFieldRecords.h"

#include <arpa/inet.h>

#include <cstdio>

#include "base/Base64.h"
#include "base/SysUtils.h"
#include "dns/zvDnsNsecRecords.h"

namespace {

using K = TzvDnsFieldKind;

struct TLayout {
  std::int32_t Type;
  std::span<const TzvDnsFieldSlot> Fields;
};

// The layouts, from the types' RFCs; the keys name the fields as the RFCs do.
constexpr TzvDnsFieldSlot kHinfo[] = {{K::String, "cpu"}, {K::String, "os"}};
constexpr TzvDnsFieldSlot kRp[] = {{K::Name, "mbox"}, {K::Name, "txt"}};
constexpr TzvDnsFieldSlot kLoc[] = {
    {K::U8, "version"},   {K::U8, "size"},       {K::U8, "horiz_pre"}, {K::U8, "vert_pre"},
    {K::U32, "latitude"}, {K::U32, "longitude"}, {K::U32, "altitude"}};
constexpr TzvDnsFieldSlot kNaptr[] = {{K::U16, "order"},     {K::U16, "preference"},
                                      {K::String, "flags"},  {K::String, "services"},
                                      {K::String, "regexp"}, {K::Name, "replacement"}};
constexpr TzvDnsFieldSlot kKx[] = {{K::U16, "preference"}, {K::Name, "exchanger"}};
constexpr TzvDnsFieldSlot kCert[] = {{K::CertType, "cert_type"},
                                     {K::U16, "key_tag"},
                                     {K::Algorithm, "algorithm"},
                                     {K::Base64Rest, "certificate"}};
constexpr TzvDnsFieldSlot kDname[] = {{K::Name, "target"}};
constexpr TzvDnsFieldSlot kApl[] = {{K::Prefixes, "prefixes"}};
constexpr TzvDnsFieldSlot kSshfp[] = {
    {K::U8, "algorithm"}, {K::U8, "fp_type"}, {K::HexRest, "fingerprint"}};
constexpr TzvDnsFieldSlot kIpseckey[] = {{K::U8, "precedence"},
                                         {K::U8, "gateway_type"},
                                         {K::U8, "algorithm"},
                                         {K::Gateway, "gateway"},
                                         {K::Base64Rest, "public_key"}};
constexpr TzvDnsFieldSlot kDhcid[] = {{K::Base64Rest, "digest"}};
constexpr TzvDnsFieldSlot kTlsa[] = {{K::U8, "usage"},
                                     {K::U8, "selector"},
                                     {K::U8, "matching_type"},
                                     {K::HexRest, "certificate_association_data"}};
constexpr TzvDnsFieldSlot kOpenpgpkey[] = {{K::Base64Rest, "public_key"}};
constexpr TzvDnsFieldSlot kCsync[] = {
    {K::U32, "serial"}, {K::U16, "flags"}, {K::TypesRest, "types"}};
constexpr TzvDnsFieldSlot kZonemd[] = {
    {K::U32, "serial"}, {K::U8, "scheme"}, {K::U8, "hash_algorithm"}, {K::HexRest, "digest"}};
constexpr TzvDnsFieldSlot kNid[] = {{K::U16, "preference"}, {K::Locator64, "node_id"}};
constexpr TzvDnsFieldSlot kL32[] = {{K::U16, "preference"}, {K::IPv4, "locator32"}};
constexpr TzvDnsFieldSlot kL64[] = {{K::U16, "preference"}, {K::Locator64, "locator64"}};
constexpr TzvDnsFieldSlot kEui48[] = {{K::Eui48, "address"}};
constexpr TzvDnsFieldSlot kEui64[] = {{K::Eui64, "address"}};
constexpr TzvDnsFieldSlot kUri[] = {
    {K::U16, "priority"}, {K::U16, "weight"}, {K::QuotedRest, "target"}};

constexpr TLayout kLayouts[] = {
    {kzvDnsTypeHINFO, kHinfo}, {kzvDnsTypeRP, kRp},
    {kzvDnsTypeLOC, kLoc},     {kzvDnsTypeNAPTR, kNaptr},
    {kzvDnsTypeKX, kKx},       {kzvDnsTypeCERT, kCert},
    {kzvDnsTypeDNAME, kDname}, {kzvDnsTypeAPL, kApl},
    {kzvDnsTypeSSHFP, kSshfp}, {kzvDnsTypeIPSECKEY, kIpseckey},
    {kzvDnsTypeDHCID, kDhcid}, {kzvDnsTypeTLSA, kTlsa},
    {kzvDnsTypeSMIMEA, kTlsa}, {kzvDnsTypeOPENPGPKEY, kOpenpgpkey},
    {kzvDnsTypeCSYNC, kCsync}, {kzvDnsTypeZONEMD, kZonemd},
    {kzvDnsTypeNID, kNid},     {kzvDnsTypeL32, kL32},
    {kzvDnsTypeL64, kL64},     {kzvDnsTypeEUI48, kEui48},
    {kzvDnsTypeEUI64, kEui64}, {kzvDnsTypeURI, kUri},
};

struct TMnemonic {
  std::uint32_t Code;
  const char* Text;
};

// As dig names them (RFC 4398 for certificates, the IANA registry for algorithms).
constexpr TMnemonic kCertTypes[] = {{1, "PKIX"},  {2, "SPKI"}, {3, "PGP"},    {4, "IPKIX"},
                                    {5, "ISPKI"}, {6, "IPGP"}, {7, "ACPKIX"}, {8, "IACPKIX"},
                                    {253, "URI"}, {254, "OID"}};
constexpr TMnemonic kAlgorithms[] = {{1, "RSAMD5"},
                                     {2, "DH"},
                                     {3, "DSA"},
                                     {5, "RSASHA1"},
                                     {6, "NSEC3DSA"},
                                     {7, "NSEC3RSASHA1"},
                                     {8, "RSASHA256"},
                                     {10, "RSASHA512"},
                                     {12, "ECCGOST"},
                                     {13, "ECDSAP256SHA256"},
                                     {14, "ECDSAP384SHA384"},
                                     {15, "ED25519"},
                                     {16, "ED448"},
                                     {252, "INDIRECT"},
                                     {253, "PRIVATEDNS"},
                                     {254, "PRIVATEOID"}};

std::string MnemonicText(std::uint32_t code, std::span<const TMnemonic> names) {
  for (const TMnemonic& name : names)
    if (name.Code == code) return name.Text;
  return std::to_string(code);
}

// The octets each fixed-size kind holds.
std::size_t FixedOctets(K kind) {
  switch (kind) {
    case K::Eui48:
      return 6;
    case K::Eui64:
    case K::Locator64:
      return 8;
    case K::IPv4:
      return 4;
    default:
      return 0;
  }
}

// IPSECKEY's gateway types: none, an IPv4 address, an IPv6 address, a name.
constexpr std::uint32_t kGatewayIPv4 = 1, kGatewayIPv6 = 2, kGatewayName = 3;

std::size_t GatewayOctets(std::uint32_t gateway_type) {
  return gateway_type == kGatewayIPv4 ? 4 : gateway_type == kGatewayIPv6 ? 16 : 0;
}

// APL's prefix lists (RFC 3123): family (16 bits), prefix length, a negation bit with the
// address's length, then that many octets of the address, its trailing zero octets left
// out. Only IPv4 (1) and IPv6 (2) are known; a list that breaks the rules is refused.
bool ValidPrefixes(std::span<const std::uint8_t> bytes) {
  std::size_t at = 0;
  while (at < bytes.size()) {
    if (bytes.size() - at < 4) return false;
    const unsigned family = bytes[at] << 8 | bytes[at + 1];
    const unsigned prefix = bytes[at + 2];
    const std::size_t length = bytes[at + 3] & 0x7F;
    const std::size_t octets = family == 1 ? 4 : family == 2 ? 16 : 0;
    if (octets == 0 || prefix > octets * 8 || length > octets || bytes.size() - at - 4 < length)
      return false;
    if (length > 0 && bytes[at + 4 + length - 1] == 0) return false;
    at += 4 + length;
  }
  return true;
}

std::string PrefixesText(std::span<const std::uint8_t> bytes) {
  std::string text;
  // Made safe to show whatever the octets are: a list is only known valid when read.
  for (std::size_t at = 0; at + 4 <= bytes.size();) {
    const unsigned family = bytes[at] << 8 | bytes[at + 1];
    const std::size_t length = bytes[at + 3] & 0x7F;
    if (length > 16 || length > bytes.size() - at - 4) break;
    std::uint8_t address[16] = {};
    std::copy_n(bytes.begin() + static_cast<long>(at) + 4, length, address);
    char shown[INET6_ADDRSTRLEN] = "";
    inet_ntop(family == 1 ? AF_INET : AF_INET6, address, shown, sizeof shown);
    if (!text.empty()) text += ' ';
    if (bytes[at + 3] & 0x80) text += '!';
    text += std::to_string(family) + ":" + shown + "/" + std::to_string(bytes[at + 2]);
    at += 4 + length;
  }
  return text;
}

std::vector<std::string> PrefixWords(std::span<const std::uint8_t> bytes) {
  std::vector<std::string> words;
  const std::string text = PrefixesText(bytes);
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t end = std::min(text.find(' ', at), text.size());
    words.push_back(text.substr(at, end - at));
    at = end + 1;
  }
  return words;
}

std::string OctetsText(K kind, std::span<const std::uint8_t> bytes) {
  char text[64] = "";
  if (kind == K::IPv4) {
    if (bytes.size() != 4 && bytes.size() != 16) return {};
    inet_ntop(bytes.size() == 4 ? AF_INET : AF_INET6, bytes.data(), text, sizeof text);
    return text;
  }
  std::string out;
  if (kind == K::Locator64) {
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
      std::snprintf(text, sizeof text, "%s%x", i == 0 ? "" : ":", bytes[i] << 8 | bytes[i + 1]);
      out += text;
    }
    return out;
  }
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    std::snprintf(text, sizeof text, "%s%02x", i == 0 ? "" : "-", bytes[i]);
    out += text;
  }
  return out;
}

// LOC's size and precisions: a digit of centimetres times a power of ten (RFC 1876);
// an octet with a digit over 9, or a zero base with a non-zero power, is malformed.
bool ValidLocSize(std::uint8_t size) {
  return (size & 0x0F) <= 9 && (size >> 4) <= 9 && !((size >> 4) == 0 && (size & 0x0F) != 0);
}

std::string LocSizeText(std::uint8_t size) {
  static constexpr std::uint64_t kPowers[] = {1,      10,      100,      1000,      10000,
                                              100000, 1000000, 10000000, 100000000, 1000000000};
  char text[40];
  const unsigned exponent = size & 0x0F, base = size >> 4;
  if (exponent > 1)
    std::snprintf(text, sizeof text, "%llum",
                  static_cast<unsigned long long>(base * kPowers[exponent - 2]));
  else
    std::snprintf(text, sizeof text, "0.%02llum",
                  static_cast<unsigned long long>(base * kPowers[exponent]));
  return text;
}

// Thousandths of an arc second from 2^31, as degrees, minutes and seconds.
std::string LocAngleText(std::uint32_t value, const char* positive, const char* negative) {
  const bool ahead = value > 0x80000000u;
  std::uint32_t angle = ahead ? value - 0x80000000u : 0x80000000u - value;
  char text[64];
  std::snprintf(text, sizeof text, "%u %u %u.%03u %s", angle / 3600000, angle / 60000 % 60,
                angle / 1000 % 60, angle % 1000, ahead ? positive : negative);
  return text;
}

constexpr std::uint32_t kLocEquator = 0x80000000u;
constexpr std::uint32_t kLocMaxLatitude = 90u * 3600000u;
constexpr std::uint32_t kLocMaxLongitude = 180u * 3600000u;
// Altitude in centimetres above 100,000 m below the reference spheroid.
constexpr std::uint32_t kLocAltitudeBase = 10000000u;

bool ValidLoc(const std::vector<TzvDnsFieldValue>& f) {
  auto within = [](std::uint32_t value, std::uint32_t range) {
    return value >= kLocEquator - range && value <= kLocEquator + range;
  };
  return f[0].Number == 0 && ValidLocSize(static_cast<std::uint8_t>(f[1].Number)) &&
         ValidLocSize(static_cast<std::uint8_t>(f[2].Number)) &&
         ValidLocSize(static_cast<std::uint8_t>(f[3].Number)) &&
         within(f[4].Number, kLocMaxLatitude) && within(f[5].Number, kLocMaxLongitude);
}

std::string LocText(const std::vector<TzvDnsFieldValue>& f) {
  const std::uint32_t altitude = f[6].Number;
  const bool below = altitude < kLocAltitudeBase;
  const std::uint32_t metres = below ? kLocAltitudeBase - altitude : altitude - kLocAltitudeBase;
  char height[40];
  std::snprintf(height, sizeof height, "%s%u.%02um", below ? "-" : "", metres / 100, metres % 100);
  return LocAngleText(f[4].Number, "N", "S") + " " + LocAngleText(f[5].Number, "E", "W") + " " +
         height + " " + LocSizeText(static_cast<std::uint8_t>(f[1].Number)) + " " +
         LocSizeText(static_cast<std::uint8_t>(f[2].Number)) + " " +
         LocSizeText(static_cast<std::uint8_t>(f[3].Number));
}

std::string AsText(std::span<const std::uint8_t> bytes) {
  return std::string(bytes.begin(), bytes.end());
}

}  // namespace

TzvDnsFieldRecord::TzvDnsFieldRecord(std::int32_t record_type) {
  RecordType = record_type;
  Fields.resize(Layout(record_type).size());
}

std::span<const TzvDnsFieldSlot> TzvDnsFieldRecord::Layout(std::int32_t record_type) {
  for (const TLayout& layout : kLayouts)
    if (layout.Type == record_type) return layout.Fields;
  return {};
}

std::unique_ptr<TzvDnsRecord> TzvDnsFieldRecord::Create() const {
  return std::make_unique<TzvDnsFieldRecord>(RecordType);
}

void TzvDnsFieldRecord::Assign(const TPersistent* source) {
  TzvDnsRecord::Assign(source);
  if (auto* other = dynamic_cast<const TzvDnsFieldRecord*>(source)) Fields = other->Fields;
}

void TzvDnsFieldRecord::BuildData(TzvByteArray& buffer, std::int32_t& position) {
  const auto layout = Layout(RecordType);
  if (Fields.size() != layout.size()) throw EzvDnsError(2);
  if (RecordType == kzvDnsTypeLOC && !ValidLoc(Fields)) throw EzvDnsError(2);
  for (std::size_t i = 0; i < layout.size(); ++i) {
    const TzvDnsFieldValue& field = Fields[i];
    const K kind = layout[i].Kind;
    if (kind == K::Name || (kind == K::Gateway && Fields[1].Number == kGatewayName)) {
      WriteName(field.Text, buffer, position);
      continue;
    }
    TzvWireWriter writer(buffer.Bytes(), position);
    switch (kind) {
      case K::U8:
      case K::Algorithm:
        if (field.Number > 0xFF) throw EzvDnsError(2);
        writer.WriteByte(static_cast<std::uint8_t>(field.Number));
        break;
      case K::U16:
      case K::CertType:
        if (field.Number > 0xFFFF) throw EzvDnsError(2);
        writer.WriteWord(static_cast<std::uint16_t>(field.Number));
        break;
      case K::U32:
        writer.WriteDWord(field.Number);
        break;
      case K::String:
        if (field.Text.size() > 255) throw EzvDnsError(2);
        writer.WriteByte(static_cast<std::uint8_t>(field.Text.size()));
        writer.WriteText(field.Text);
        break;
      case K::QuotedRest:
        writer.WriteText(field.Text);
        break;
      case K::TypesRest:
        WriteDnsTypeBitmap(field.Types, writer);
        break;
      case K::Gateway:
        if (Fields[1].Number > kGatewayName ||
            field.Bytes.size() != GatewayOctets(Fields[1].Number))
          throw EzvDnsError(2);
        writer.WriteBytes(field.Bytes);
        break;
      case K::Prefixes:
        if (!ValidPrefixes(field.Bytes)) throw EzvDnsError(2);
        writer.WriteBytes(field.Bytes);
        break;
      default:  // octets: fixed-size or to the data's end
        if (FixedOctets(kind) != 0 && field.Bytes.size() != FixedOctets(kind)) throw EzvDnsError(2);
        writer.WriteBytes(field.Bytes);
    }
    position = writer.Position();
  }
}

void TzvDnsFieldRecord::ParseData(const TzvByteArray& buffer, std::int32_t& position) {
  const auto layout = Layout(RecordType);
  const std::size_t end = DataEnd(buffer, position);
  Fields.assign(layout.size(), {});
  for (std::size_t i = 0; i < layout.size(); ++i) {
    TzvDnsFieldValue& field = Fields[i];
    const K kind = layout[i].Kind;
    if (kind == K::Name || (kind == K::Gateway && Fields[1].Number == kGatewayName)) {
      ReadDataName(buffer, position, end, field.Text);
      continue;
    }
    TzvWireCursor cursor(buffer.Bytes().first(end), position);
    switch (kind) {
      case K::U8:
      case K::Algorithm:
        field.Number = cursor.ReadByte();
        break;
      case K::U16:
      case K::CertType:
        field.Number = cursor.ReadWord();
        break;
      case K::U32:
        field.Number = cursor.ReadDWord();
        break;
      case K::String:
        field.Text = AsText(cursor.ReadBytes(cursor.ReadByte()));
        break;
      case K::QuotedRest:
        field.Text = AsText(cursor.ReadBytes(cursor.Remaining()));
        break;
      case K::TypesRest: {
        field.Types = ReadDnsTypeBitmap(cursor);
        break;
      }
      case K::Gateway: {
        // Another gateway type has no known form: the rest cannot be read.
        if (Fields[1].Number > kGatewayName) RaiseDnsInvalidSize();
        const auto bytes = cursor.ReadBytes(GatewayOctets(Fields[1].Number));
        field.Bytes.assign(bytes.begin(), bytes.end());
        break;
      }
      default: {
        const std::size_t fixed = FixedOctets(kind);
        const auto bytes = cursor.ReadBytes(fixed != 0 ? fixed : cursor.Remaining());
        if (kind == K::Prefixes && !ValidPrefixes(bytes)) RaiseDnsInvalidSize();
        field.Bytes.assign(bytes.begin(), bytes.end());
      }
    }
    position = cursor.Position();
  }
  if (RecordType == kzvDnsTypeLOC && !ValidLoc(Fields)) RaiseDnsInvalidSize();
}

std::string TzvDnsFieldRecord::DataText(TzvDnsTextStyle style) const {
  const auto layout = Layout(RecordType);
  if (Fields.size() != layout.size()) return {};
  if (RecordType == kzvDnsTypeLOC) return ValidLoc(Fields) ? LocText(Fields) : std::string();
  std::string text;
  for (std::size_t i = 0; i < layout.size(); ++i) {
    const TzvDnsFieldValue& field = Fields[i];
    std::string part;
    switch (layout[i].Kind) {
      case K::U8:
      case K::U16:
      case K::U32:
        part = std::to_string(field.Number);
        break;
      case K::CertType:
        part = MnemonicText(field.Number, kCertTypes);
        break;
      case K::Algorithm:
        part = MnemonicText(field.Number, kAlgorithms);
        break;
      case K::Name:
        part = DnsNameText(field.Text, style);
        break;
      case K::String:
      case K::QuotedRest:
        part = DnsQuotedText(field.Text, style);
        break;
      case K::HexRest:
        part = DnsSplitText(HexEncode(field.Bytes));
        break;
      case K::Base64Rest:
        part = DnsSplitText(Base64Encode(field.Bytes));
        break;
      case K::TypesRest:
        part = DnsTypeListText(field.Types);
        break;
      case K::Gateway:
        part = Fields[1].Number == kGatewayName ? DnsNameText(field.Text, style)
               : field.Bytes.empty()            ? "."
                                                : OctetsText(K::IPv4, field.Bytes);
        break;
      case K::Prefixes:
        part = PrefixesText(field.Bytes);
        break;
      default:
        part = OctetsText(layout[i].Kind, field.Bytes);
    }
    if (part.empty()) continue;  // an empty key, digest or list leaves no blank behind
    if (!text.empty()) text += ' ';
    text += part;
  }
  return text;
}

void TzvDnsFieldRecord::VisitFields(TzvDnsFieldVisitor& visitor) const {
  const auto layout = Layout(RecordType);
  if (Fields.size() != layout.size()) return;
  for (std::size_t i = 0; i < layout.size(); ++i) {
    const TzvDnsFieldValue& field = Fields[i];
    const char* key = layout[i].Key;
    switch (layout[i].Kind) {
      case K::U8:
      case K::U16:
      case K::U32:
      case K::CertType:
      case K::Algorithm:
        visitor.Number(key, field.Number);
        break;
      case K::Name:
        visitor.Name(key, field.Text);
        break;
      case K::String:
      case K::QuotedRest:
        visitor.Text(key, field.Text);
        break;
      case K::HexRest:
        visitor.Text(key, LowerCase(HexEncode(field.Bytes)));
        break;
      case K::Base64Rest:
        visitor.Text(key, Base64Encode(field.Bytes));
        break;
      case K::TypesRest: {
        std::vector<std::string> words;
        for (const std::uint16_t type : field.Types) words.push_back(DnsTypeText(type));
        visitor.Words(key, words);
        break;
      }
      case K::Gateway:
        if (Fields[1].Number == kGatewayName)
          visitor.Name(key, field.Text);
        else
          visitor.Text(key, field.Bytes.empty() ? "." : OctetsText(K::IPv4, field.Bytes));
        break;
      case K::Prefixes:
        visitor.Words(key, PrefixWords(field.Bytes));
        break;
      default:
        visitor.Text(key, OctetsText(layout[i].Kind, field.Bytes));
    }
  }
}
