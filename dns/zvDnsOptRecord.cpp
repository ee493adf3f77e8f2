#include "dns/zvDnsOptRecord.h"

namespace {

// The DO bit is the top one of the flags word, the low half of the time to live.
constexpr std::uint16_t kDnssecOkBit = 0x8000;

[[noreturn]] void RaiseOptionPastEnd() {
  throw EzvDnsError(Format(SzvDnsMalformedOpt, SzvDnsOptOptionPastEnd), kzvDnsErrInvalidSize);
}

}  // namespace

std::unique_ptr<TzvDnsRecord> TzvDnsOPTRecord::Create() const {
  return std::make_unique<TzvDnsOPTRecord>();
}

void TzvDnsOPTRecord::Assign(const TPersistent* source) {
  TzvDnsRecord::Assign(source);
  if (auto* opt = dynamic_cast<const TzvDnsOPTRecord*>(source)) {
    UDPPayloadSize = opt->UDPPayloadSize;
    ExtendedRCode = opt->ExtendedRCode;
    Version = opt->Version;
    DnssecOK = opt->DnssecOK;
    OtherFlags = opt->OtherFlags;
    Options = opt->Options;
  }
}

void TzvDnsOPTRecord::BuildData(TzvByteArray& buffer, std::int32_t& position) {
  TzvDnsRecord::BuildData(buffer, position);
  TzvWireWriter writer(buffer.Bytes(), position);
  for (const TzvEdnsOption& option : Options) {
    // An option's length is one word; a longer one cannot be sent.
    if (option.Data.size() > 0xFFFF) throw EzvDnsError(2);
    writer.WriteWord(option.Code);
    writer.WriteWord(static_cast<std::uint16_t>(option.Data.size()));
    writer.WriteBytes(option.Data);
  }
  position = writer.Position();
}

void TzvDnsOPTRecord::ParseData(const TzvByteArray& buffer, std::int32_t& position) {
  TzvDnsRecord::ParseData(buffer, position);
  TzvWireCursor cursor = DataCursor(buffer, position);
  Options.clear();
  while (cursor.Remaining() > 0) {
    // A code and a length that the data cannot hold are as malformed as a length that
    // promises more than is left; neither is the start of the next record.
    if (cursor.Remaining() < 4) RaiseOptionPastEnd();
    TzvEdnsOption option;
    option.Code = cursor.ReadWord();
    const std::uint16_t length = cursor.ReadWord();
    if (length > cursor.Remaining()) RaiseOptionPastEnd();
    const auto data = cursor.ReadBytes(length);
    option.Data.assign(data.begin(), data.end());
    Options.push_back(std::move(option));
  }
  position = cursor.Position();
}

const TzvEdnsOption* TzvDnsOPTRecord::FindOption(std::uint16_t code) const {
  for (const TzvEdnsOption& option : Options) {
    if (option.Code == code) return &option;
  }
  return nullptr;
}

void TzvDnsOPTRecord::TakeWireFields(std::uint16_t wire_class, std::uint32_t ttl) {
  UDPPayloadSize = wire_class;
  ExtendedRCode = static_cast<std::uint8_t>(ttl >> 24);
  Version = static_cast<std::uint8_t>(ttl >> 16);
  const auto flags = static_cast<std::uint16_t>(ttl);
  DnssecOK = (flags & kDnssecOkBit) != 0;
  OtherFlags = flags & ~kDnssecOkBit;
}

std::uint32_t TzvDnsOPTRecord::WireTTL() const {
  std::uint16_t flags = OtherFlags & ~kDnssecOkBit;
  if (DnssecOK) flags |= kDnssecOkBit;
  return std::uint32_t{ExtendedRCode} << 24 | std::uint32_t{Version} << 16 | flags;
}

const TzvDnsOPTRecord* FindOptRecord(const TzvDnsMessage& message) {
  // A plain message keeps the record opaque, which gives none of its fields.
  for (const auto& record : message.AdditionalRecords()) {
    if (record->RecordType != kzvDnsTypeOPT) continue;
    if (auto* opt = dynamic_cast<const TzvDnsOPTRecord*>(record.get())) return opt;
  }
  return nullptr;
}
