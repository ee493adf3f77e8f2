#include "dns/zvDnsKeyRecords.h"

#include "base/Base64.h"

namespace {

// RSA/MD5, whose tag is taken from the key itself.
constexpr std::uint8_t kRsaMd5 = 1;

}  // namespace

std::unique_ptr<TzvDnsRecord> TzvDnsDNSKEYRecord::Create() const {
  return std::make_unique<TzvDnsDNSKEYRecord>();
}

void TzvDnsDNSKEYRecord::Assign(const TPersistent* source) {
  TzvDnsRecord::Assign(source);
  if (auto* key = dynamic_cast<const TzvDnsDNSKEYRecord*>(source)) {
    Flags = key->Flags;
    Protocol = key->Protocol;
    Algorithm = key->Algorithm;
    PublicKey = key->PublicKey;
  }
}

void TzvDnsDNSKEYRecord::BuildData(TzvByteArray& buffer, std::int32_t& position) {
  TzvDnsRecord::BuildData(buffer, position);
  TzvWireWriter writer(buffer.Bytes(), position);
  writer.WriteWord(Flags);
  writer.WriteByte(Protocol);
  writer.WriteByte(Algorithm);
  writer.WriteBytes(PublicKey);
  position = writer.Position();
}

void TzvDnsDNSKEYRecord::ParseData(const TzvByteArray& buffer, std::int32_t& position) {
  TzvDnsRecord::ParseData(buffer, position);
  TzvWireCursor cursor = DataCursor(buffer, position);
  Flags = cursor.ReadWord();
  Protocol = cursor.ReadByte();
  Algorithm = cursor.ReadByte();
  // The key's length is the algorithm's business; the signature checks judge it.
  const auto key = cursor.ReadBytes(cursor.Remaining());
  PublicKey.assign(key.begin(), key.end());
  position = cursor.Position();
}

std::uint16_t TzvDnsDNSKEYRecord::KeyTag() const {
  if (Algorithm == kRsaMd5) {
    const std::size_t n = PublicKey.size();
    return n < 3 ? 0 : static_cast<std::uint16_t>(PublicKey[n - 3] << 8 | PublicKey[n - 2]);
  }
  // The sum runs over the record's data: the four fixed bytes, then the key, with bytes at
  // even offsets as high halves. The carries are folded back in once at the end.
  std::uint32_t sum = Flags + (std::uint32_t{Protocol} << 8 | Algorithm);
  for (std::size_t i = 0; i < PublicKey.size(); ++i) {
    sum += (i % 2 == 0) ? std::uint32_t{PublicKey[i]} << 8 : PublicKey[i];
  }
  sum += (sum >> 16) & 0xFFFF;
  return static_cast<std::uint16_t>(sum);
}

std::string TzvDnsDNSKEYRecord::PresentationText(bool split) const {
  std::string text =
      std::to_string(Flags) + " " + std::to_string(Protocol) + " " + std::to_string(Algorithm);
  if (!PublicKey.empty()) text += " " + DnsSplitText(Base64Encode(PublicKey), split);
  return text;
}

std::unique_ptr<TzvDnsRecord> TzvDnsCDNSKEYRecord::Create() const {
  return std::make_unique<TzvDnsCDNSKEYRecord>();
}

std::string TzvDnsDNSKEYRecord::DataText(TzvDnsTextStyle /*style*/) const {
  return PresentationText();
}

void TzvDnsDNSKEYRecord::VisitFields(TzvDnsFieldVisitor& visitor) const {
  visitor.Number("flags", Flags);
  visitor.Number("protocol", Protocol);
  visitor.Number("algorithm", Algorithm);
  visitor.Number("key_tag", KeyTag());
  visitor.Text("public_key", Base64Encode(PublicKey));
}
