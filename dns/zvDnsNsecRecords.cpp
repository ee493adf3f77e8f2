#include "dns/zvDnsNsecRecords.h"

#include <algorithm>
#include <array>

#include "base/Base64.h"
#include "base/SysUtils.h"

namespace {

// A window covers 256 types, one bit each, in at most 32 bytes.
constexpr unsigned kWindowBytes = 32;

[[noreturn]] void RefuseBitmap(const std::string& why) {
  throw EzvDnsError(Format(SzvDnsMalformedTypeBitmap, why.c_str()), kzvDnsErrInvalidSize);
}

// A name in a record's text as dig shows it there: absolute, with its last dot.
std::string AbsoluteName(const std::string& name) {
  return name.empty() || name == "." ? "." : name + ".";
}

// One length byte, then the bytes: NSEC3's salt and hash. A hash must hold at least one byte.
void WriteCountedBytes(std::span<const std::uint8_t> bytes, bool may_be_empty,
                       TzvWireWriter& writer) {
  if (bytes.size() > 255 || (bytes.empty() && !may_be_empty)) throw EzvDnsError(2);
  writer.WriteByte(static_cast<std::uint8_t>(bytes.size()));
  writer.WriteBytes(bytes);
}

std::vector<std::uint8_t> ReadCountedBytes(TzvWireCursor& cursor, bool may_be_empty) {
  const std::uint8_t length = cursor.ReadByte();
  if (length == 0 && !may_be_empty) throw EzvDnsError(SzvDnsNsec3EmptyHash, kzvDnsErrInvalidSize);
  const auto bytes = cursor.ReadBytes(length);
  return {bytes.begin(), bytes.end()};
}

std::string SaltText(const std::vector<std::uint8_t>& salt) {
  return salt.empty() ? "-" : HexEncode(salt);
}

}  // namespace

// ---- type bitmap ----

std::vector<std::uint16_t> ReadDnsTypeBitmap(TzvWireCursor& cursor) {
  std::vector<std::uint16_t> types;
  int previous = -1;
  while (cursor.Remaining() > 0) {
    const std::uint8_t window = cursor.ReadByte();
    if (cursor.Remaining() == 0) RefuseBitmap(Format(SzvDnsBitmapPastEnd, unsigned{window}));
    const std::uint8_t length = cursor.ReadByte();
    // Increasing order is what makes a bitmap one list: a repeated window could name a type
    // twice, a later one lower could make two bitmaps that differ list the same types.
    if (window <= previous) {
      RefuseBitmap(Format(SzvDnsBitmapWindowOrder, unsigned{window}, unsigned(previous)));
    }
    if (length == 0 || length > kWindowBytes) {
      RefuseBitmap(Format(SzvDnsBitmapWindowLength, unsigned{window}, unsigned{length}));
    }
    if (length > cursor.Remaining()) RefuseBitmap(Format(SzvDnsBitmapPastEnd, unsigned{window}));
    const auto bits = cursor.ReadBytes(length);
    for (unsigned byte = 0; byte < length; ++byte) {
      for (unsigned bit = 0; bit < 8; ++bit) {
        // The first type of a byte is its top bit.
        if ((bits[byte] & (0x80u >> bit)) != 0) {
          types.push_back(static_cast<std::uint16_t>(window << 8 | byte << 3 | bit));
        }
      }
    }
    previous = window;
  }
  return types;
}

void WriteDnsTypeBitmap(std::span<const std::uint16_t> types, TzvWireWriter& writer) {
  std::vector<std::uint16_t> sorted(types.begin(), types.end());
  std::sort(sorted.begin(), sorted.end());
  sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
  for (std::size_t i = 0; i < sorted.size();) {
    const unsigned window = sorted[i] >> 8;
    std::array<std::uint8_t, kWindowBytes> bits{};
    unsigned length = 0;
    for (; i < sorted.size() && (sorted[i] >> 8) == window; ++i) {
      const unsigned low = sorted[i] & 0xFF;
      bits[low >> 3] |= static_cast<std::uint8_t>(0x80u >> (low & 7));
      length = (low >> 3) + 1;  // the types come in order, so the last one sets the length
    }
    writer.WriteByte(static_cast<std::uint8_t>(window));
    writer.WriteByte(static_cast<std::uint8_t>(length));
    writer.WriteBytes(std::span(bits).first(length));
  }
}

std::string DnsTypeListText(std::span<const std::uint16_t> types) {
  std::string text;
  for (const std::uint16_t type : types) {
    if (!text.empty()) text += ' ';
    text += DnsTypeText(type);
  }
  return text;
}

// ---- NSEC ----

std::unique_ptr<TzvDnsRecord> TzvDnsNSECRecord::Create() const {
  return std::make_unique<TzvDnsNSECRecord>();
}

void TzvDnsNSECRecord::Assign(const TPersistent* source) {
  TzvDnsRecord::Assign(source);
  if (auto* nsec = dynamic_cast<const TzvDnsNSECRecord*>(source)) {
    NextDomainName = nsec->NextDomainName;
    Types = nsec->Types;
  }
}

void TzvDnsNSECRecord::BuildData(TzvByteArray& buffer, std::int32_t& position) {
  TzvDnsRecord::BuildData(buffer, position);
  // Uncompressed, as the data a signature covers must be.
  WriteName(NextDomainName, buffer, position);
  TzvWireWriter writer(buffer.Bytes(), position);
  WriteDnsTypeBitmap(Types, writer);
  position = writer.Position();
}

void TzvDnsNSECRecord::ParseData(const TzvByteArray& buffer, std::int32_t& position) {
  TzvDnsRecord::ParseData(buffer, position);
  const std::size_t end = DataEnd(buffer, position);
  ReadDataName(buffer, position, end, NextDomainName);
  TzvWireCursor cursor(buffer.Bytes().first(end), position);
  Types = ReadDnsTypeBitmap(cursor);
  position = cursor.Position();
}

std::string TzvDnsNSECRecord::PresentationText() const {
  std::string text = AbsoluteName(NextDomainName);
  if (!Types.empty()) text += " " + DnsTypeListText(Types);
  return text;
}

// ---- NSEC3 ----

std::unique_ptr<TzvDnsRecord> TzvDnsNSEC3Record::Create() const {
  return std::make_unique<TzvDnsNSEC3Record>();
}

void TzvDnsNSEC3Record::Assign(const TPersistent* source) {
  TzvDnsRecord::Assign(source);
  if (auto* nsec3 = dynamic_cast<const TzvDnsNSEC3Record*>(source)) {
    HashAlgorithm = nsec3->HashAlgorithm;
    Flags = nsec3->Flags;
    Iterations = nsec3->Iterations;
    Salt = nsec3->Salt;
    NextHashedOwner = nsec3->NextHashedOwner;
    Types = nsec3->Types;
  }
}

void TzvDnsNSEC3Record::BuildData(TzvByteArray& buffer, std::int32_t& position) {
  TzvDnsRecord::BuildData(buffer, position);
  TzvWireWriter writer(buffer.Bytes(), position);
  writer.WriteByte(HashAlgorithm);
  writer.WriteByte(Flags);
  writer.WriteWord(Iterations);
  WriteCountedBytes(Salt, true, writer);
  WriteCountedBytes(NextHashedOwner, false, writer);
  WriteDnsTypeBitmap(Types, writer);
  position = writer.Position();
}

void TzvDnsNSEC3Record::ParseData(const TzvByteArray& buffer, std::int32_t& position) {
  TzvDnsRecord::ParseData(buffer, position);
  TzvWireCursor cursor = DataCursor(buffer, position);
  HashAlgorithm = cursor.ReadByte();
  Flags = cursor.ReadByte();
  Iterations = cursor.ReadWord();
  Salt = ReadCountedBytes(cursor, true);
  NextHashedOwner = ReadCountedBytes(cursor, false);
  Types = ReadDnsTypeBitmap(cursor);
  position = cursor.Position();
}

std::string TzvDnsNSEC3Record::PresentationText() const {
  std::string text = std::to_string(HashAlgorithm) + " " + std::to_string(Flags) + " " +
                     std::to_string(Iterations) + " " + SaltText(Salt) + " " +
                     Base32HexEncode(NextHashedOwner);
  if (!Types.empty()) text += " " + DnsTypeListText(Types);
  return text;
}

// ---- NSEC3PARAM ----

std::unique_ptr<TzvDnsRecord> TzvDnsNSEC3PARAMRecord::Create() const {
  return std::make_unique<TzvDnsNSEC3PARAMRecord>();
}

void TzvDnsNSEC3PARAMRecord::Assign(const TPersistent* source) {
  TzvDnsRecord::Assign(source);
  if (auto* param = dynamic_cast<const TzvDnsNSEC3PARAMRecord*>(source)) {
    HashAlgorithm = param->HashAlgorithm;
    Flags = param->Flags;
    Iterations = param->Iterations;
    Salt = param->Salt;
  }
}

void TzvDnsNSEC3PARAMRecord::BuildData(TzvByteArray& buffer, std::int32_t& position) {
  TzvDnsRecord::BuildData(buffer, position);
  TzvWireWriter writer(buffer.Bytes(), position);
  writer.WriteByte(HashAlgorithm);
  writer.WriteByte(Flags);
  writer.WriteWord(Iterations);
  WriteCountedBytes(Salt, true, writer);
  position = writer.Position();
}

void TzvDnsNSEC3PARAMRecord::ParseData(const TzvByteArray& buffer, std::int32_t& position) {
  TzvDnsRecord::ParseData(buffer, position);
  TzvWireCursor cursor = DataCursor(buffer, position);
  HashAlgorithm = cursor.ReadByte();
  Flags = cursor.ReadByte();
  Iterations = cursor.ReadWord();
  Salt = ReadCountedBytes(cursor, true);
  position = cursor.Position();
}

std::string TzvDnsNSEC3PARAMRecord::PresentationText() const {
  return std::to_string(HashAlgorithm) + " " + std::to_string(Flags) + " " +
         std::to_string(Iterations) + " " + SaltText(Salt);
}

// ---- presentation ----

namespace {

std::vector<std::string> TypeWords(std::span<const std::uint16_t> types) {
  std::vector<std::string> words;
  for (const std::uint16_t type : types) words.push_back(DnsTypeText(type));
  return words;
}

}  // namespace

std::string TzvDnsNSECRecord::DataText(TzvDnsTextStyle style) const {
  if (style == TzvDnsTextStyle::Readable) return DnsSafeText(PresentationText(), false);
  std::string text = DnsNameText(NextDomainName, style);
  if (!Types.empty()) text += " " + DnsTypeListText(Types);
  return text;
}

void TzvDnsNSECRecord::VisitFields(TzvDnsFieldVisitor& visitor) const {
  visitor.Name("next", NextDomainName);
  visitor.Words("types", TypeWords(Types));
}

std::string TzvDnsNSEC3Record::DataText(TzvDnsTextStyle /*style*/) const {
  return PresentationText();
}

void TzvDnsNSEC3Record::VisitFields(TzvDnsFieldVisitor& visitor) const {
  visitor.Number("hash_algorithm", HashAlgorithm);
  visitor.Number("flags", Flags);
  visitor.Number("iterations", Iterations);
  visitor.Text("salt", LowerCase(HexEncode(Salt)));
  visitor.Text("next_hashed_owner", Base32HexEncode(NextHashedOwner));
  visitor.Words("types", TypeWords(Types));
}

std::string TzvDnsNSEC3PARAMRecord::DataText(TzvDnsTextStyle /*style*/) const {
  return PresentationText();
}

void TzvDnsNSEC3PARAMRecord::VisitFields(TzvDnsFieldVisitor& visitor) const {
  visitor.Number("hash_algorithm", HashAlgorithm);
  visitor.Number("flags", Flags);
  visitor.Number("iterations", Iterations);
  visitor.Text("salt", LowerCase(HexEncode(Salt)));
}
