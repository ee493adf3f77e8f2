#include "dns/zvDnsRrsigRecord.h"

#include <cstdio>
#include <ctime>

#include "base/Base64.h"
#include "dns/zvDnsKeyRecords.h"

namespace {

// A name in a record's text as dig shows it there: absolute, with its last dot.
std::string AbsoluteName(const std::string& name) {
  return name.empty() || name == "." ? "." : name + ".";
}

}  // namespace

std::unique_ptr<TzvDnsRecord> TzvDnsRRSIGRecord::Create() const {
  return std::make_unique<TzvDnsRRSIGRecord>();
}

void TzvDnsRRSIGRecord::Assign(const TPersistent* source) {
  TzvDnsRecord::Assign(source);
  if (auto* rrsig = dynamic_cast<const TzvDnsRRSIGRecord*>(source)) {
    TypeCovered = rrsig->TypeCovered;
    Algorithm = rrsig->Algorithm;
    Labels = rrsig->Labels;
    OriginalTTL = rrsig->OriginalTTL;
    Expiration = rrsig->Expiration;
    Inception = rrsig->Inception;
    KeyTag = rrsig->KeyTag;
    SignerName = rrsig->SignerName;
    Signature = rrsig->Signature;
  }
}

void TzvDnsRRSIGRecord::BuildData(TzvByteArray& buffer, std::int32_t& position) {
  TzvDnsRecord::BuildData(buffer, position);
  TzvWireWriter writer(buffer.Bytes(), position);
  writer.WriteWord(TypeCovered);
  writer.WriteByte(Algorithm);
  writer.WriteByte(Labels);
  writer.WriteDWord(OriginalTTL);
  writer.WriteDWord(Expiration);
  writer.WriteDWord(Inception);
  writer.WriteWord(KeyTag);
  position = writer.Position();
  // WriteName never compresses, as the signed data (which holds this name) requires.
  WriteName(SignerName, buffer, position);
  TzvWireWriter tail(buffer.Bytes(), position);
  tail.WriteBytes(Signature);
  position = tail.Position();
}

void TzvDnsRRSIGRecord::ParseData(const TzvByteArray& buffer, std::int32_t& position) {
  TzvDnsRecord::ParseData(buffer, position);
  const std::size_t end = DataEnd(buffer, position);
  TzvWireCursor cursor = DataCursor(buffer, position);
  TypeCovered = cursor.ReadWord();
  Algorithm = cursor.ReadByte();
  Labels = cursor.ReadByte();
  OriginalTTL = cursor.ReadDWord();
  Expiration = cursor.ReadDWord();
  Inception = cursor.ReadDWord();
  KeyTag = cursor.ReadWord();
  position = cursor.Position();
  ReadDataName(buffer, position, end, SignerName);
  TzvWireCursor rest(buffer.Bytes().first(end), position);
  const auto signature = rest.ReadBytes(rest.Remaining());
  Signature.assign(signature.begin(), signature.end());
  position = rest.Position();
}

std::string TzvDnsRRSIGRecord::PresentationText(bool split) const {
  std::string text = DnsTypeText(TypeCovered) + " " + std::to_string(Algorithm) + " " +
                     std::to_string(Labels) + " " + std::to_string(OriginalTTL) + " " +
                     DnsSignatureTimeText(Expiration) + " " + DnsSignatureTimeText(Inception) +
                     " " + std::to_string(KeyTag) + " " + AbsoluteName(SignerName);
  if (!Signature.empty()) text += " " + DnsSplitText(Base64Encode(Signature), split);
  return text;
}

std::string DnsSignatureTimeText(std::uint32_t seconds) {
  const std::time_t time = static_cast<std::time_t>(seconds);
  std::tm parts{};
  gmtime_r(&time, &parts);
  char text[80];  // room for any int the fields could hold, so no truncation is possible
  std::snprintf(text, sizeof text, "%04d%02d%02d%02d%02d%02d", parts.tm_year + 1900,
                parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec);
  return text;
}

std::string TzvDnsRRSIGRecord::DataText(TzvDnsTextStyle style) const {
  if (style == TzvDnsTextStyle::Readable) return DnsSafeText(PresentationText(), false);
  std::string text = DnsTypeText(TypeCovered) + " " + std::to_string(Algorithm) + " " +
                     std::to_string(Labels) + " " + std::to_string(OriginalTTL) + " " +
                     DnsSignatureTimeText(Expiration) + " " + DnsSignatureTimeText(Inception) +
                     " " + std::to_string(KeyTag) + " " + DnsNameText(SignerName, style);
  if (!Signature.empty()) text += " " + DnsSplitText(Base64Encode(Signature));
  return text;
}

void TzvDnsRRSIGRecord::VisitFields(TzvDnsFieldVisitor& visitor) const {
  visitor.Text("type_covered", DnsTypeText(TypeCovered));
  visitor.Number("algorithm", Algorithm);
  visitor.Number("labels", Labels);
  visitor.Number("original_ttl", OriginalTTL);
  visitor.Number("expiration", Expiration);
  visitor.Number("inception", Inception);
  visitor.Number("key_tag", KeyTag);
  visitor.Name("signer", SignerName);
  visitor.Text("signature", Base64Encode(Signature));
}
