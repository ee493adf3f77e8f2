#include "dns/zvDnsRecordTypes.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>

#include "dns/zvDnsOptRecord.h"

namespace {

bool IsCaaTag(const std::string& tag) {
  return !tag.empty() && tag.size() <= 15 &&
         std::all_of(tag.begin(), tag.end(), [](unsigned char c) { return std::isalnum(c) != 0; });
}

struct TTypeName {
  std::int32_t Code;
  const char* Text;
};

constexpr TTypeName kTypeNames[] = {
    {kzvDnsTypeA, "A"},     {kzvDnsTypeNS, "NS"},     {kzvDnsTypeCNAME, "CNAME"},
    {kzvDnsTypeSOA, "SOA"}, {kzvDnsTypePTR, "PTR"},   {kzvDnsTypeMX, "MX"},
    {kzvDnsTypeTXT, "TXT"}, {kzvDnsTypeAAAA, "AAAA"}, {kzvDnsTypeSRV, "SRV"},
    {kzvDnsTypeCAA, "CAA"},
};

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
    default:
      return TzvDnsMessage::CreateRecord(record_type);
  }
}

std::int32_t DnsTypeFromText(const std::string& text) {
  for (const TTypeName& type : kTypeNames) {
    if (SameText(text, type.Text)) return type.Code;
  }
  return 0;
}

std::string DnsTypeText(std::int32_t record_type) {
  for (const TTypeName& type : kTypeNames) {
    if (type.Code == record_type) return type.Text;
  }
  return "TYPE" + std::to_string(record_type);
}
