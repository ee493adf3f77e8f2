#include "dns/zvDnsDsRecords.h"

#include "base/Base64.h"
#include "base/SysUtils.h"
#include "dns/zvDnsKeyRecords.h"

std::unique_ptr<TzvDnsRecord> TzvDnsDSRecord::Create() const {
  return std::make_unique<TzvDnsDSRecord>();
}

void TzvDnsDSRecord::Assign(const TPersistent* source) {
  TzvDnsRecord::Assign(source);
  if (auto* ds = dynamic_cast<const TzvDnsDSRecord*>(source)) {
    KeyTag = ds->KeyTag;
    Algorithm = ds->Algorithm;
    DigestType = ds->DigestType;
    Digest = ds->Digest;
  }
}

void TzvDnsDSRecord::BuildData(TzvByteArray& buffer, std::int32_t& position) {
  TzvDnsRecord::BuildData(buffer, position);
  TzvWireWriter writer(buffer.Bytes(), position);
  writer.WriteWord(KeyTag);
  writer.WriteByte(Algorithm);
  writer.WriteByte(DigestType);
  writer.WriteBytes(Digest);
  position = writer.Position();
}

void TzvDnsDSRecord::ParseData(const TzvByteArray& buffer, std::int32_t& position) {
  TzvDnsRecord::ParseData(buffer, position);
  TzvWireCursor cursor = DataCursor(buffer, position);
  KeyTag = cursor.ReadWord();
  Algorithm = cursor.ReadByte();
  DigestType = cursor.ReadByte();
  // Kept whatever its length: a digest of the wrong length for its type simply matches no
  // key, which is what a validator reports.
  const auto digest = cursor.ReadBytes(cursor.Remaining());
  Digest.assign(digest.begin(), digest.end());
  position = cursor.Position();
}

std::string TzvDnsDSRecord::PresentationText(bool split) const {
  std::string text =
      std::to_string(KeyTag) + " " + std::to_string(Algorithm) + " " + std::to_string(DigestType);
  if (!Digest.empty()) text += " " + DnsSplitText(HexEncode(Digest), split);
  return text;
}

std::unique_ptr<TzvDnsRecord> TzvDnsCDSRecord::Create() const {
  return std::make_unique<TzvDnsCDSRecord>();
}

std::string TzvDnsDSRecord::DataText(TzvDnsTextStyle /*style*/) const {
  return PresentationText();
}

void TzvDnsDSRecord::VisitFields(TzvDnsFieldVisitor& visitor) const {
  visitor.Number("key_tag", KeyTag);
  visitor.Number("algorithm", Algorithm);
  visitor.Number("digest_type", DigestType);
  visitor.Text("digest", LowerCase(HexEncode(Digest)));
}
