#include "dns/zvDnsMessage.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <typeinfo>

#include "base/ScopeExit.h"
#include "dns/zvDnsName.h"
#include "net/zvIpAddress.h"
#include "net/zvSocketUtils.h"

namespace {

TzvDnsRecordClass RecordClassFromWire(std::uint16_t value) {
  if (value == rcChaos) return rcChaos;
  if (value == rcHesiod) return rcHesiod;
  return rcInternet;
}

// EDNS's pseudo-record (dns/zvDnsOptRecord.h), whose placement the message checks.
constexpr std::int32_t kOptRecordType = 41;

// RFC 2136's update messages delete records and state prerequisites with classes NONE and
// ANY, whose records may carry no data at all.
constexpr std::uint16_t kClassNone = 254;
constexpr std::uint16_t kClassAny = 255;

// A name read at a moving position of the message into a record's field. Its own bytes (up
// to the first pointer) must end by `limit`, or the field is left as it was.
void ReadNameInto(const TzvByteArray& buffer, std::int32_t& position, std::string& field,
                  std::size_t limit = std::numeric_limits<std::size_t>::max(),
                  TzvDnsNameCache* names = nullptr) {
  if (position < 0) RaiseDnsInvalidSize();
  std::string text;
  const std::size_t end =
      DecodeDnsName(buffer.Bytes(), static_cast<std::size_t>(position), text, names);
  if (end > limit) RaiseDnsInvalidSize();
  field = std::move(text);
  position = static_cast<std::int32_t>(end);
}

// Writes a name field of a record whose data is only that name; an empty one cannot be
// sent.
void BuildNameData(const std::string& name, TzvByteArray& buffer, std::int32_t& position) {
  if (name.empty()) throw EzvDnsError(2);
  TzvDnsRecord::WriteName(name, buffer, position);
}

}  // namespace

// ---- Header ----

void TzvDnsMessageHeader::Clear() {
  ID = NewMessageID();
  ResetFlagsAndCounts();
}

void TzvDnsMessageHeader::ResetFlagsAndCounts() {
  IsRecursionAvailable = false;
  IsAuthenticData = false;
  IsCheckingDisabled = false;
  IsAuthoritativeAnswer = false;
  IsQuery = false;
  IsRecursionDesired = false;
  IsTruncated = false;
  OpCode = ocQuery;
  ResponseCode = 0;
  AnswerCount = 0;
  QueryCount = 0;
  AuthorityCount = 0;
  AdditionalCount = 0;
}

void TzvDnsMessageHeader::Build(TzvByteArray& buffer, std::int32_t& position) const {
  std::uint16_t flags = 0;
  if (!IsQuery) flags |= 0x8000;
  flags |= static_cast<std::uint16_t>((OpCode & 0x0F) << 11);
  if (IsAuthoritativeAnswer) flags |= 0x0400;
  if (IsTruncated) flags |= 0x0200;
  if (IsRecursionDesired) flags |= 0x0100;
  if (IsRecursionAvailable) flags |= 0x0080;
  if (IsAuthenticData) flags |= 0x0020;
  if (IsCheckingDisabled) flags |= 0x0010;
  flags |= static_cast<std::uint16_t>(ResponseCode & 0x0F);

  TzvWireWriter writer(buffer.Bytes(), position);
  writer.WriteWord(static_cast<std::uint16_t>(ID));
  writer.WriteWord(flags);
  writer.WriteWord(static_cast<std::uint16_t>(QueryCount));
  writer.WriteWord(static_cast<std::uint16_t>(AnswerCount));
  writer.WriteWord(static_cast<std::uint16_t>(AuthorityCount));
  writer.WriteWord(static_cast<std::uint16_t>(AdditionalCount));
  position = writer.Position();
}

void TzvDnsMessageHeader::Parse(const TzvByteArray& buffer, std::int32_t& position) {
  TzvWireCursor cursor(buffer.Bytes(), position);
  if (cursor.Remaining() >= 12) {
    // The usual case, a whole header: its six words checked once, not one by one.
    const std::span<const std::uint8_t> bytes = cursor.ReadBytes(12);
    auto word = [&bytes](std::size_t at) { return ComposeWord(bytes[at], bytes[at + 1]); };
    ID = word(0);
    SetFlags(word(2));
    QueryCount = word(4);
    AnswerCount = word(6);
    AuthorityCount = word(8);
    AdditionalCount = word(10);
    position = cursor.Position();
    return;
  }
  // A header too short to hold an identifier still gets a fresh one, as Clear gives.
  ID = cursor.Remaining() >= 2 ? cursor.ReadWord() : NewMessageID();
  ResetFlagsAndCounts();
  SetFlags(cursor.ReadWord());
  QueryCount = cursor.ReadWord();
  AnswerCount = cursor.ReadWord();
  AuthorityCount = cursor.ReadWord();
  AdditionalCount = cursor.ReadWord();
  position = cursor.Position();
}

void TzvDnsMessageHeader::SetFlags(std::uint16_t flags) {
  IsQuery = (flags & 0x8000) == 0;
  OpCode = static_cast<TzvDnsOpCode>((flags >> 11) & 0x0F);
  IsAuthoritativeAnswer = (flags & 0x0400) != 0;
  IsTruncated = (flags & 0x0200) != 0;
  IsRecursionDesired = (flags & 0x0100) != 0;
  IsRecursionAvailable = (flags & 0x0080) != 0;
  IsAuthenticData = (flags & 0x0020) != 0;
  IsCheckingDisabled = (flags & 0x0010) != 0;
  ResponseCode = flags & 0x0F;
}

// ---- Record base ----

void TzvDnsRecord::Assign(const TPersistent* source) {
  if (auto* record = dynamic_cast<const TzvDnsRecord*>(source)) {
    Name = record->Name;
    RecordType = record->RecordType;
    RecordClass = record->RecordClass;
    TTL = record->TTL;
    DataLength = record->DataLength;
    return;
  }
  TPersistent::Assign(source);
}

void TzvDnsRecord::BuildData(TzvByteArray&, std::int32_t&) {}

void TzvDnsRecord::ParseData(const TzvByteArray&, std::int32_t&) {}

void TzvDnsRecord::WriteName(std::string_view name, TzvByteArray& buffer, std::int32_t& position) {
  TzvWireWriter writer(buffer.Bytes(), position);
  EncodeDnsName(name, writer);
  position = writer.Position();
}

std::string TzvDnsRecord::ReadName(const TzvByteArray& buffer, std::int32_t& position) {
  std::string name;
  ReadNameInto(buffer, position, name);
  return name;
}

void TzvDnsRecord::WriteCharacterString(std::string_view text, TzvByteArray& buffer,
                                        std::int32_t& position) {
  const std::size_t length = text.size() <= 255 ? text.size() : 0;
  TzvWireWriter writer(buffer.Bytes(), position);
  writer.WriteByte(static_cast<std::uint8_t>(length));
  writer.WriteText(text.substr(0, length));
  position = writer.Position();
}

std::string TzvDnsRecord::ReadCharacterString(const TzvByteArray& buffer,
                                              std::int32_t& position) const {
  TzvWireCursor cursor = DataCursor(buffer, position);
  const std::uint8_t length = cursor.ReadByte();
  const auto bytes = cursor.ReadBytes(length);
  // The text ends at the first zero byte; the whole declared length is consumed.
  const auto used = std::find(bytes.begin(), bytes.end(), std::uint8_t{0}) - bytes.begin();
  position = cursor.Position();
  return std::string(reinterpret_cast<const char*>(bytes.data()), static_cast<std::size_t>(used));
}

void TzvDnsRecord::WriteQuestion(TzvByteArray& buffer, std::int32_t& position) {
  WriteName(Name, buffer, position);
  TzvWireWriter writer(buffer.Bytes(), position);
  writer.WriteWord(static_cast<std::uint16_t>(RecordType));
  writer.WriteWord(WireClass());
  position = writer.Position();
}

void TzvDnsRecord::ReadQuestion(const TzvByteArray& buffer, std::int32_t& position) {
  ReadNameInto(buffer, position, Name);
  TzvWireCursor cursor(buffer.Bytes(), position);
  RecordType = cursor.ReadWord();
  const std::uint16_t wire_class = cursor.ReadWord();
  RecordClass = RecordClassFromWire(wire_class);
  TakeWireFields(wire_class, 0);
  position = cursor.Position();
}

void TzvDnsRecord::WriteRecord(TzvByteArray& buffer, std::int32_t& position) {
  WriteQuestion(buffer, position);
  TzvWireWriter writer(buffer.Bytes(), position);
  writer.WriteDWord(WireTTL());
  const auto length_at = static_cast<std::size_t>(writer.Position());
  writer.WriteWord(0);  // the data length, known once the data is written
  position = writer.Position();
  const std::int32_t start = position;
  BuildData(buffer, position);
  DataLength = position - start;
  TzvWireWriter(buffer.Bytes(), 0).PatchWord(length_at, static_cast<std::uint16_t>(DataLength));
}

void TzvDnsRecord::ReadRecord(const TzvByteArray& buffer, std::int32_t& position) {
  ReadQuestion(buffer, position);
  // The class as it came, which the record's own field no longer tells apart.
  const std::uint8_t* const bytes = buffer.Data();
  ReadRecordRest(buffer, position, ComposeWord(bytes[position - 2], bytes[position - 1]));
}

void TzvDnsRecord::ReadRecordRest(const TzvByteArray& buffer, std::int32_t& position,
                                  std::uint16_t wire_class, TzvDnsNameCache* names) {
  TzvWireCursor cursor(buffer.Bytes(), position);
  // Time to live, then data length: a record cut between them keeps its time to live.
  TTL = cursor.ReadDWord();
  DataLength = cursor.ReadWord();
  TakeWireFields(wire_class, TTL);
  const std::int32_t start = cursor.Position();
  cursor.Skip(static_cast<std::size_t>(DataLength));
  position = cursor.Position();
  if (DataLength == 0 && (wire_class == kClassNone || wire_class == kClassAny)) return;
  std::int32_t data = start;
  decoding_names_ = names;
  auto forget_names = ScopeExit([this] { decoding_names_ = nullptr; });
  ParseData(buffer, data);
  if (data > position) RaiseDnsInvalidSize();
  // A record of a type the codec has no class for keeps its data opaque. A typed one must
  // account for every byte: data its fields leave over is malformed, not padding to skip,
  // or a five-byte A record would pass for the four bytes read of it.
  if (data < position && typeid(*this) != typeid(TzvDnsRecord)) {
    throw EzvDnsError(Format(SzvDnsDataLeftOver, RecordType, data - start, DataLength),
                      kzvDnsErrInvalidSize);
  }
}

TzvWireCursor TzvDnsRecord::DataCursor(const TzvByteArray& buffer, std::int32_t position) const {
  return TzvWireCursor(buffer.Bytes().first(DataEnd(buffer, position)), position);
}

std::size_t TzvDnsRecord::DataEnd(const TzvByteArray& buffer, std::int32_t position) const {
  if (position < 0 || DataLength < 0) RaiseDnsInvalidSize();
  const std::size_t end = static_cast<std::size_t>(position) + static_cast<std::size_t>(DataLength);
  if (end > buffer.Bytes().size()) RaiseDnsInvalidSize();
  return end;
}

void TzvDnsRecord::ReadDataName(const TzvByteArray& buffer, std::int32_t& position,
                                std::size_t data_end, std::string& field) const {
  ReadNameInto(buffer, position, field, data_end, decoding_names_);
}

// ---- Record list ----

int TzvDnsRecordList::Add(std::unique_ptr<TzvDnsRecord> record) {
  records_.push_back(std::move(record));
  return Count() - 1;
}

void TzvDnsRecordList::Assign(const TPersistent* source) {
  if (auto* other = dynamic_cast<const TzvDnsRecordList*>(source)) {
    // Copying a list onto itself would clear it first and so lose every record.
    if (other == this) return;
    Clear();
    for (const auto& record : *other) {
      auto copy = record->Create();
      copy->Assign(record.get());
      Add(std::move(copy));
    }
    return;
  }
  TPersistent::Assign(source);
}

TzvDnsRecord* TzvDnsRecordList::FindItem(std::string_view name, std::int32_t record_type) const {
  for (const auto& record : records_) {
    if (record->RecordType == record_type && SameText(record->Name, name)) return record.get();
  }
  return nullptr;
}

// ---- Message ----

void TzvDnsMessage::Clear() {
  header_.Clear();
  authorities_.Clear();
  answers_.Clear();
  queries_.Clear();
  additional_records_.Clear();
}

void TzvDnsMessage::Build(TStream& stream) {
  header_.QueryCount = queries_.Count();
  header_.AnswerCount = answers_.Count();
  header_.AuthorityCount = authorities_.Count();
  header_.AdditionalCount = additional_records_.Count();

  // Zeroed for every build, as a fresh buffer would be.
  build_buffer_.SetLength(kzvDnsMaxMessageSize);
  std::fill(build_buffer_.Data(), build_buffer_.Data() + build_buffer_.Length(), std::uint8_t{0});
  std::int32_t position = 0;
  header_.Build(build_buffer_, position);
  for (const auto& record : queries_) record->WriteQuestion(build_buffer_, position);
  for (const auto& record : answers_) record->WriteRecord(build_buffer_, position);
  for (const auto& record : authorities_) record->WriteRecord(build_buffer_, position);
  for (const auto& record : additional_records_) record->WriteRecord(build_buffer_, position);
  // Only now that the whole message is encoded does anything reach the stream.
  stream.WriteBuffer(build_buffer_.Data(), position);
}

void TzvDnsMessage::Parse(TStream& stream) {
  Decode(stream);
  // An error reply is reported only once everything it carries has been decoded.
  CheckResponseCode(header_.ResponseCode);
}

void TzvDnsMessage::TakeSections(TzvDnsMessage& other) {
  std::swap(header_, other.header_);
  queries_.records_.swap(other.queries_.records_);
  answers_.records_.swap(other.answers_.records_);
  authorities_.records_.swap(other.authorities_.records_);
  additional_records_.records_.swap(other.additional_records_.records_);
}

void TzvDnsMessage::Decode(TStream& stream) {
  // The header is read first thing below and sets every field, its identifier included,
  // even when it is cut short; so only the sections need emptying here.
  authorities_.Clear();
  answers_.Clear();
  queries_.Clear();
  additional_records_.Clear();
  {
    // Failing before the header is read leaves the header as a cleared message has it.
    auto clear_header = ScopeExit([this] { header_.Clear(); });
    const std::int64_t available = stream.Size() - stream.Position();
    // Offsets inside a message are 32-bit; nothing that large is a DNS message anyway.
    if (available > std::numeric_limits<std::int32_t>::max()) RaiseDnsInvalidSize();
    parse_buffer_.SetLength(static_cast<std::size_t>(available > 0 ? available : 0));
    stream.ReadBuffer(parse_buffer_.Data(), parse_buffer_.Length());
    clear_header.Dismiss();
  }
  names_.Reset();
  std::int32_t position = 0;
  header_.Parse(parse_buffer_, position);
  ParseSection(parse_buffer_, position, queries_, header_.QueryCount, true);
  ParseSection(parse_buffer_, position, answers_, header_.AnswerCount, false);
  ParseSection(parse_buffer_, position, authorities_, header_.AuthorityCount, false);
  ParseSection(parse_buffer_, position, additional_records_, header_.AdditionalCount, false);
  TakeExtendedResponseCode();
}

void TzvDnsMessage::TakeExtendedResponseCode() {
  // By type code, not by class: the rules hold for a message that keeps the OPT record
  // opaque as well, and its raw time to live carries the upper response-code bits.
  const auto refuse = [](const char* what) {
    throw EzvDnsError(Format(SzvDnsMalformedOpt, what), kzvDnsErrInvalidSize);
  };
  for (const TzvDnsRecordList* list : {&answers_, &authorities_}) {
    for (const auto& record : *list) {
      if (record->RecordType == kOptRecordType) refuse(SzvDnsOptOutsideAdditional);
    }
  }
  const TzvDnsRecord* opt = nullptr;
  for (const auto& record : additional_records_) {
    if (record->RecordType != kOptRecordType) continue;
    if (opt != nullptr) refuse(SzvDnsOptMoreThanOne);
    if (!record->Name.empty()) refuse(SzvDnsOptNotRoot);
    opt = record.get();
  }
  // The header holds the lower four bits; twelve-bit codes such as BADVERS (16) are only
  // seen with the record's eight.
  if (opt != nullptr) {
    header_.ResponseCode =
        static_cast<std::int32_t>(opt->TTL >> 24) << 4 | (header_.ResponseCode & 0x0F);
  }
}

void TzvDnsMessage::ParseSection(const TzvByteArray& buffer, std::int32_t& position,
                                 TzvDnsRecordList& list, std::int32_t count, bool questions) {
  // Room for the records the header announces, but never for more than the rest of the
  // datagram could hold: a question takes at least 5 bytes, a resource record 11.
  if (position < 0 || position > buffer.Length()) RaiseDnsInvalidSize();
  const std::size_t fit =
      static_cast<std::size_t>(buffer.Length() - position) / (questions ? 5 : 11);
  list.Reserve(std::min(static_cast<std::size_t>(count), fit));
  for (std::int32_t i = 0; i < count; ++i) {
    // The record's class depends on its type, which follows its name, so the question
    // part is read first and handed to the record made for it. A fault in it adds no
    // record; the record is added before the rest of its fields are read, so one that
    // fails half-way is still owned by the list.
    std::string name;
    std::int32_t at = position;
    ReadNameInto(buffer, at, name, std::numeric_limits<std::size_t>::max(), &names_);
    TzvWireCursor cursor(buffer.Bytes(), at);
    const std::int32_t record_type = cursor.ReadWord();
    const std::uint16_t wire_class = cursor.ReadWord();
    std::unique_ptr<TzvDnsRecord> made = CreateRecord(record_type);
    if (made == nullptr) made = std::make_unique<TzvDnsRecord>();  // kept opaque
    TzvDnsRecord& record = *made;
    list.Add(std::move(made));
    record.Name = std::move(name);
    record.RecordType = record_type;
    record.RecordClass = RecordClassFromWire(wire_class);
    position = cursor.Position();
    if (questions) {
      record.TakeWireFields(wire_class, 0);
    } else {
      record.ReadRecordRest(buffer, position, wire_class, &names_);
    }
  }
}

std::unique_ptr<TzvDnsRecord> TzvDnsMessage::CreateRecord(std::int32_t record_type) {
  switch (record_type) {
    case kzvDnsTypeMX:
      return std::make_unique<TzvDnsMXRecord>();
    case kzvDnsTypeNS:
      return std::make_unique<TzvDnsNSRecord>();
    case kzvDnsTypeA:
      return std::make_unique<TzvDnsARecord>();
    case kzvDnsTypePTR:
      return std::make_unique<TzvDnsPTRRecord>();
    case kzvDnsTypeSOA:
      return std::make_unique<TzvDnsSOARecord>();
    case kzvDnsTypeCNAME:
      return std::make_unique<TzvDnsCNAMERecord>();
    case kzvDnsTypeTXT:
      return std::make_unique<TzvDnsTXTRecord>();
    default:
      return std::make_unique<TzvDnsRecord>();
  }
}

void TzvDnsMessage::CheckResponseCode(std::int32_t code) {
  if (code != 0) throw EzvDnsError(code);
}

// ---- Typed records ----

std::unique_ptr<TzvDnsRecord> TzvDnsMXRecord::Create() const {
  return std::make_unique<TzvDnsMXRecord>();
}

void TzvDnsMXRecord::Assign(const TPersistent* source) {
  TzvDnsRecord::Assign(source);
  if (auto* mx = dynamic_cast<const TzvDnsMXRecord*>(source)) {
    Preference = mx->Preference;
    MailServer = mx->MailServer;
  }
}

void TzvDnsMXRecord::BuildData(TzvByteArray& buffer, std::int32_t& position) {
  TzvDnsRecord::BuildData(buffer, position);
  // The preference goes out before the mail server is checked; a refusal abandons the
  // whole message anyway.
  ByteArrayWriteWord(static_cast<std::uint16_t>(Preference), buffer, position);
  BuildNameData(MailServer, buffer, position);
}

void TzvDnsMXRecord::ParseData(const TzvByteArray& buffer, std::int32_t& position) {
  TzvDnsRecord::ParseData(buffer, position);
  const std::size_t end = DataEnd(buffer, position);
  TzvWireCursor cursor = DataCursor(buffer, position);
  Preference = cursor.ReadWord();
  position = cursor.Position();
  ReadDataName(buffer, position, end, MailServer);
}

std::unique_ptr<TzvDnsRecord> TzvDnsNSRecord::Create() const {
  return std::make_unique<TzvDnsNSRecord>();
}

void TzvDnsNSRecord::Assign(const TPersistent* source) {
  TzvDnsRecord::Assign(source);
  if (auto* ns = dynamic_cast<const TzvDnsNSRecord*>(source)) NameServer = ns->NameServer;
}

void TzvDnsNSRecord::BuildData(TzvByteArray& buffer, std::int32_t& position) {
  TzvDnsRecord::BuildData(buffer, position);
  BuildNameData(NameServer, buffer, position);
}

void TzvDnsNSRecord::ParseData(const TzvByteArray& buffer, std::int32_t& position) {
  TzvDnsRecord::ParseData(buffer, position);
  ReadDataName(buffer, position, DataEnd(buffer, position), NameServer);
}

std::unique_ptr<TzvDnsRecord> TzvDnsARecord::Create() const {
  return std::make_unique<TzvDnsARecord>();
}

void TzvDnsARecord::Assign(const TPersistent* source) {
  TzvDnsRecord::Assign(source);
  if (auto* a = dynamic_cast<const TzvDnsARecord*>(source)) IPAddress = a->IPAddress;
}

void TzvDnsARecord::BuildData(TzvByteArray& buffer, std::int32_t& position) {
  TzvDnsRecord::BuildData(buffer, position);
  static const TzvCharSet kDot = MakeCharSet(".");
  if (IPAddress.empty() || CountWords(IPAddress, kDot) != 4) throw EzvDnsError(2);
  // The parts are the runs between dots, so empty parts are passed over, and each is
  // stored as its low eight bits, unchecked.
  std::uint8_t octets[4];
  for (std::int32_t k = 1; k <= 4; ++k) {
    const auto value = TryStrToInt(PickWord(k, IPAddress, kDot));
    if (!value) throw EzvDnsError(2);
    octets[k - 1] = static_cast<std::uint8_t>(*value);
  }
  TzvWireWriter writer(buffer.Bytes(), position);
  writer.WriteBytes(octets);
  position = writer.Position();
}

void TzvDnsARecord::ParseData(const TzvByteArray& buffer, std::int32_t& position) {
  TzvDnsRecord::ParseData(buffer, position);
  TzvWireCursor cursor = DataCursor(buffer, position);
  std::uint32_t network_order = 0;
  std::memcpy(&network_order, cursor.ReadBytes(4).data(), 4);
  IPAddress = TzvIPAddress::IPv4ToText(network_order);
  position = cursor.Position();
}

std::unique_ptr<TzvDnsRecord> TzvDnsPTRRecord::Create() const {
  return std::make_unique<TzvDnsPTRRecord>();
}

void TzvDnsPTRRecord::Assign(const TPersistent* source) {
  TzvDnsRecord::Assign(source);
  if (auto* ptr = dynamic_cast<const TzvDnsPTRRecord*>(source)) DomainName = ptr->DomainName;
}

void TzvDnsPTRRecord::BuildData(TzvByteArray& buffer, std::int32_t& position) {
  TzvDnsRecord::BuildData(buffer, position);
  BuildNameData(DomainName, buffer, position);
}

void TzvDnsPTRRecord::ParseData(const TzvByteArray& buffer, std::int32_t& position) {
  TzvDnsRecord::ParseData(buffer, position);
  ReadDataName(buffer, position, DataEnd(buffer, position), DomainName);
}

std::unique_ptr<TzvDnsRecord> TzvDnsSOARecord::Create() const {
  return std::make_unique<TzvDnsSOARecord>();
}

void TzvDnsSOARecord::Assign(const TPersistent* source) {
  TzvDnsRecord::Assign(source);
  if (auto* soa = dynamic_cast<const TzvDnsSOARecord*>(source)) {
    Expire = soa->Expire;
    MinimumTTL = soa->MinimumTTL;
    Retry = soa->Retry;
    SerialNumber = soa->SerialNumber;
    Refresh = soa->Refresh;
    ResponsibleMailbox = soa->ResponsibleMailbox;
    PrimaryNameServer = soa->PrimaryNameServer;
  }
}

void TzvDnsSOARecord::BuildData(TzvByteArray& buffer, std::int32_t& position) {
  TzvDnsRecord::BuildData(buffer, position);
  // Empty names are legal here: they stand for the root.
  WriteName(PrimaryNameServer, buffer, position);
  WriteName(ResponsibleMailbox, buffer, position);
  TzvWireWriter writer(buffer.Bytes(), position);
  writer.WriteDWord(SerialNumber);
  writer.WriteDWord(Refresh);
  writer.WriteDWord(Retry);
  writer.WriteDWord(Expire);
  writer.WriteDWord(MinimumTTL);
  position = writer.Position();
}

void TzvDnsSOARecord::ParseData(const TzvByteArray& buffer, std::int32_t& position) {
  TzvDnsRecord::ParseData(buffer, position);
  const std::size_t end = DataEnd(buffer, position);
  ReadDataName(buffer, position, end, PrimaryNameServer);
  ReadDataName(buffer, position, end, ResponsibleMailbox);
  TzvWireCursor cursor(buffer.Bytes().first(end), position);
  SerialNumber = cursor.ReadDWord();
  Refresh = cursor.ReadDWord();
  Retry = cursor.ReadDWord();
  Expire = cursor.ReadDWord();
  MinimumTTL = cursor.ReadDWord();
  position = cursor.Position();
}

std::unique_ptr<TzvDnsRecord> TzvDnsCNAMERecord::Create() const {
  return std::make_unique<TzvDnsCNAMERecord>();
}

void TzvDnsCNAMERecord::Assign(const TPersistent* source) {
  TzvDnsRecord::Assign(source);
  if (auto* cname = dynamic_cast<const TzvDnsCNAMERecord*>(source)) {
    CanonicalName = cname->CanonicalName;
  }
}

void TzvDnsCNAMERecord::BuildData(TzvByteArray& buffer, std::int32_t& position) {
  TzvDnsRecord::BuildData(buffer, position);
  BuildNameData(CanonicalName, buffer, position);
}

void TzvDnsCNAMERecord::ParseData(const TzvByteArray& buffer, std::int32_t& position) {
  TzvDnsRecord::ParseData(buffer, position);
  ReadDataName(buffer, position, DataEnd(buffer, position), CanonicalName);
}

std::unique_ptr<TzvDnsRecord> TzvDnsTXTRecord::Create() const {
  return std::make_unique<TzvDnsTXTRecord>();
}

void TzvDnsTXTRecord::Assign(const TPersistent* source) {
  TzvDnsRecord::Assign(source);
  if (auto* txt = dynamic_cast<const TzvDnsTXTRecord*>(source)) Text = txt->Text;
}

void TzvDnsTXTRecord::BuildData(TzvByteArray& buffer, std::int32_t& position) {
  TzvDnsRecord::BuildData(buffer, position);
  if (Text.empty()) throw EzvDnsError(2);
  WriteCharacterString(Text, buffer, position);
}

void TzvDnsTXTRecord::ParseData(const TzvByteArray& buffer, std::int32_t& position) {
  TzvDnsRecord::ParseData(buffer, position);
  const std::size_t end = DataEnd(buffer, position);
  Text = ReadCharacterString(buffer, position);
  // Only the first character-string is kept; the others must still be whole strings.
  TzvWireCursor rest(buffer.Bytes().first(end), position);
  while (rest.Remaining() > 0) rest.Skip(rest.ReadByte());
  position = rest.Position();
}

// ---- presentation ----

std::string TzvDnsRecord::DataText(TzvDnsTextStyle /*style*/) const {
  return {};
}

void TzvDnsRecord::VisitFields(TzvDnsFieldVisitor& /*visitor*/) const {}

std::string TzvDnsMXRecord::DataText(TzvDnsTextStyle style) const {
  return std::to_string(Preference) + " " + DnsNameText(MailServer, style);
}

std::string TzvDnsNSRecord::DataText(TzvDnsTextStyle style) const {
  return DnsNameText(NameServer, style);
}

std::string TzvDnsARecord::DataText(TzvDnsTextStyle /*style*/) const {
  return IPAddress;
}

std::string TzvDnsPTRRecord::DataText(TzvDnsTextStyle style) const {
  return DnsNameText(DomainName, style);
}

std::string TzvDnsSOARecord::DataText(TzvDnsTextStyle style) const {
  return DnsNameText(PrimaryNameServer, style) + " " + DnsNameText(ResponsibleMailbox, style) +
         " " + std::to_string(SerialNumber) + " " + std::to_string(Refresh) + " " +
         std::to_string(Retry) + " " + std::to_string(Expire) + " " + std::to_string(MinimumTTL);
}

std::string TzvDnsCNAMERecord::DataText(TzvDnsTextStyle style) const {
  return DnsNameText(CanonicalName, style);
}

std::string TzvDnsTXTRecord::DataText(TzvDnsTextStyle style) const {
  return DnsQuotedText(Text, style);
}
