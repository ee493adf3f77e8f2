// Feeds arbitrary datagrams to the message decoder the query component uses (the
// extended message, which also makes the AAAA, SRV, CAA, multi-string TXT and OPT records,
// DNSSEC's records, the service bindings and the field table's types, and generic records
// for every other type). Every record's text in dig's style is printable ASCII. Beyond "no crash"
// it checks that only the codec's own error escapes, that a fully decoded message holds as many
// records as its header announced and keeps EDNS's rules (one OPT record at most, in the additional
// section, under the root, its response-code bits in the header's), and that a decoded message that
// can be encoded again decodes to the same sections (and encodes to the same bytes a second time, a
// record whose data holds no name or type bitmap as long as it came: no byte of it left unread);
// and that a message decoded again and again, as the query component's are, shows exactly what a
// new one shows. DNSSEC's records read their type bitmaps sorted and without repeats, and their
// text gives back the keys, digests and signatures they hold.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

#include "base/Base64.h"
#include "cli/SessionOptionText.h"
#include "dns/zvDnsDsRecords.h"
#include "dns/zvDnsEdnsOptions.h"
#include "dns/zvDnsFieldRecords.h"
#include "dns/zvDnsKeyRecords.h"
#include "dns/zvDnsMessage.h"
#include "dns/zvDnsNsecRecords.h"
#include "dns/zvDnsOptRecord.h"
#include "dns/zvDnsRecordTypes.h"
#include "dns/zvDnsRrsigRecord.h"
#include "dns/zvDnsSessionOptions.h"
#include "dns/zvDnsSvcbRecord.h"
#include "fuzz/FuzzCheck.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// True when every section was decoded: no error, or only the reply's response code.
// Any exception other than EzvDnsError passes through and is reported by the fuzzer.
bool Decode(TzvDnsMessage& message, const std::uint8_t* data, std::size_t size) {
  TMemoryStream stream;
  stream.WriteBuffer(data, static_cast<std::int32_t>(size));
  stream.SetPosition(0);
  try {
    message.Parse(stream);
    return true;
  } catch (const EzvDnsError& e) {
    // Twelve bits of response code with an OPT record's eight.
    FUZZ_CHECK(e.ErrorCode() == kzvDnsErrInvalidSize ||
               (e.ErrorCode() >= 1 && e.ErrorCode() <= 0xFFF));
    return e.ErrorCode() > 0;
  }
}

// Names whose text the encoder writes back label for label. Empty labels (a leading,
// doubled or trailing dot, as a pointer to the root produces) do not survive text form and
// are left out of the round trip.
bool Representable(const std::string& name) {
  if (name.empty()) return true;
  return name.front() != '.' && name.back() != '.' && name.find("..") == std::string::npos;
}

bool NamesRepresentable(const TzvDnsRecord& record) {
  if (!Representable(record.Name)) return false;
  if (auto* mx = dynamic_cast<const TzvDnsMXRecord*>(&record)) return Representable(mx->MailServer);
  if (auto* ns = dynamic_cast<const TzvDnsNSRecord*>(&record)) return Representable(ns->NameServer);
  if (auto* ptr = dynamic_cast<const TzvDnsPTRRecord*>(&record)) {
    return Representable(ptr->DomainName);
  }
  if (auto* cname = dynamic_cast<const TzvDnsCNAMERecord*>(&record)) {
    return Representable(cname->CanonicalName);
  }
  if (auto* soa = dynamic_cast<const TzvDnsSOARecord*>(&record)) {
    return Representable(soa->PrimaryNameServer) && Representable(soa->ResponsibleMailbox);
  }
  if (auto* srv = dynamic_cast<const TzvDnsSRVRecord*>(&record)) return Representable(srv->Target);
  if (auto* rrsig = dynamic_cast<const TzvDnsRRSIGRecord*>(&record)) {
    return Representable(rrsig->SignerName);
  }
  if (auto* nsec = dynamic_cast<const TzvDnsNSECRecord*>(&record)) {
    return Representable(nsec->NextDomainName);
  }
  if (auto* svcb = dynamic_cast<const TzvDnsSVCBRecord*>(&record))
    return Representable(svcb->Target);
  if (auto* fields = dynamic_cast<const TzvDnsFieldRecord*>(&record)) {
    // Only names keep text in a field's Text; character-strings are any bytes and stay so.
    const auto layout = TzvDnsFieldRecord::Layout(record.RecordType);
    for (std::size_t i = 0; i < layout.size() && i < fields->Fields.size(); ++i)
      if ((layout[i].Kind == TzvDnsFieldKind::Name || layout[i].Kind == TzvDnsFieldKind::Gateway) &&
          !Representable(fields->Fields[i].Text))
        return false;
  }
  return true;
}

// A field record with no name among its fields.
bool HoldsNoName(const TzvDnsRecord& record) {
  const auto* fields = dynamic_cast<const TzvDnsFieldRecord*>(&record);
  if (fields == nullptr) return false;
  for (const TzvDnsFieldSlot& slot : TzvDnsFieldRecord::Layout(record.RecordType))
    if (slot.Kind == TzvDnsFieldKind::Name || slot.Kind == TzvDnsFieldKind::Gateway) return false;
  return true;
}

bool AllRepresentable(const TzvDnsMessage& message) {
  for (const TzvDnsRecordList* list : {&message.Queries(), &message.Answers(),
                                       &message.Authorities(), &message.AdditionalRecords()}) {
    for (const auto& record : *list) {
      if (!NamesRepresentable(*record)) return false;
    }
  }
  return true;
}

// Records whose data holds no name (which a pointer may shorten) and no type bitmap (which
// may come longer than it needs): their fields take every byte of the data, none left over,
// so they are written back as long as they came.
bool WrittenAsLongAsRead(const TzvDnsRecord& record) {
  return dynamic_cast<const TzvDnsARecord*>(&record) != nullptr ||
         dynamic_cast<const TzvDnsAAAARecord*>(&record) != nullptr ||
         dynamic_cast<const TzvDnsTXTStringsRecord*>(&record) != nullptr ||
         dynamic_cast<const TzvDnsCAARecord*>(&record) != nullptr ||
         dynamic_cast<const TzvDnsOPTRecord*>(&record) != nullptr ||
         dynamic_cast<const TzvDnsDSRecord*>(&record) != nullptr ||
         dynamic_cast<const TzvDnsDNSKEYRecord*>(&record) != nullptr ||
         dynamic_cast<const TzvDnsNSEC3PARAMRecord*>(&record) != nullptr ||
         dynamic_cast<const TzvDnsGenericRecord*>(&record) != nullptr || HoldsNoName(record);
}

bool SameFields(const TzvDnsRecord& x, const TzvDnsRecord& y) {
  if (x.ClassName() != y.ClassName() || x.Name != y.Name || x.RecordType != y.RecordType ||
      x.RecordClass != y.RecordClass || x.TTL != y.TTL) {
    return false;
  }
  if (WrittenAsLongAsRead(x) && x.DataLength != y.DataLength) return false;
  if (auto* a = dynamic_cast<const TzvDnsMXRecord*>(&x)) {
    auto* b = dynamic_cast<const TzvDnsMXRecord*>(&y);
    return a->Preference == b->Preference && a->MailServer == b->MailServer;
  }
  if (auto* a = dynamic_cast<const TzvDnsNSRecord*>(&x)) {
    return a->NameServer == dynamic_cast<const TzvDnsNSRecord*>(&y)->NameServer;
  }
  if (auto* a = dynamic_cast<const TzvDnsARecord*>(&x)) {
    return a->IPAddress == dynamic_cast<const TzvDnsARecord*>(&y)->IPAddress;
  }
  if (auto* a = dynamic_cast<const TzvDnsPTRRecord*>(&x)) {
    return a->DomainName == dynamic_cast<const TzvDnsPTRRecord*>(&y)->DomainName;
  }
  if (auto* a = dynamic_cast<const TzvDnsCNAMERecord*>(&x)) {
    return a->CanonicalName == dynamic_cast<const TzvDnsCNAMERecord*>(&y)->CanonicalName;
  }
  if (auto* a = dynamic_cast<const TzvDnsTXTStringsRecord*>(&x)) {
    return a->Strings == dynamic_cast<const TzvDnsTXTStringsRecord*>(&y)->Strings;
  }
  if (auto* a = dynamic_cast<const TzvDnsTXTRecord*>(&x)) {
    return a->Text == dynamic_cast<const TzvDnsTXTRecord*>(&y)->Text;
  }
  if (auto* a = dynamic_cast<const TzvDnsAAAARecord*>(&x)) {
    return a->IPAddress == dynamic_cast<const TzvDnsAAAARecord*>(&y)->IPAddress;
  }
  if (auto* a = dynamic_cast<const TzvDnsSRVRecord*>(&x)) {
    auto* b = dynamic_cast<const TzvDnsSRVRecord*>(&y);
    return a->Priority == b->Priority && a->Weight == b->Weight && a->Port == b->Port &&
           a->Target == b->Target;
  }
  if (auto* a = dynamic_cast<const TzvDnsCAARecord*>(&x)) {
    auto* b = dynamic_cast<const TzvDnsCAARecord*>(&y);
    return a->Flags == b->Flags && a->Tag == b->Tag && a->Value == b->Value;
  }
  if (auto* a = dynamic_cast<const TzvDnsOPTRecord*>(&x)) {
    auto* b = dynamic_cast<const TzvDnsOPTRecord*>(&y);
    if (a->UDPPayloadSize != b->UDPPayloadSize || a->ExtendedRCode != b->ExtendedRCode ||
        a->Version != b->Version || a->DnssecOK != b->DnssecOK || a->OtherFlags != b->OtherFlags ||
        a->Options.size() != b->Options.size()) {
      return false;
    }
    for (std::size_t i = 0; i < a->Options.size(); ++i) {
      if (a->Options[i].Code != b->Options[i].Code || a->Options[i].Data != b->Options[i].Data) {
        return false;
      }
    }
    return true;
  }
  if (auto* a = dynamic_cast<const TzvDnsDNSKEYRecord*>(&x)) {
    auto* b = dynamic_cast<const TzvDnsDNSKEYRecord*>(&y);
    return a->Flags == b->Flags && a->Protocol == b->Protocol && a->Algorithm == b->Algorithm &&
           a->PublicKey == b->PublicKey;
  }
  if (auto* a = dynamic_cast<const TzvDnsDSRecord*>(&x)) {
    auto* b = dynamic_cast<const TzvDnsDSRecord*>(&y);
    return a->KeyTag == b->KeyTag && a->Algorithm == b->Algorithm &&
           a->DigestType == b->DigestType && a->Digest == b->Digest;
  }
  if (auto* a = dynamic_cast<const TzvDnsRRSIGRecord*>(&x)) {
    auto* b = dynamic_cast<const TzvDnsRRSIGRecord*>(&y);
    return a->TypeCovered == b->TypeCovered && a->Algorithm == b->Algorithm &&
           a->Labels == b->Labels && a->OriginalTTL == b->OriginalTTL &&
           a->Expiration == b->Expiration && a->Inception == b->Inception &&
           a->KeyTag == b->KeyTag && a->SignerName == b->SignerName && a->Signature == b->Signature;
  }
  if (auto* a = dynamic_cast<const TzvDnsNSECRecord*>(&x)) {
    auto* b = dynamic_cast<const TzvDnsNSECRecord*>(&y);
    return a->NextDomainName == b->NextDomainName && a->Types == b->Types;
  }
  if (auto* a = dynamic_cast<const TzvDnsNSEC3Record*>(&x)) {
    auto* b = dynamic_cast<const TzvDnsNSEC3Record*>(&y);
    return a->HashAlgorithm == b->HashAlgorithm && a->Flags == b->Flags &&
           a->Iterations == b->Iterations && a->Salt == b->Salt &&
           a->NextHashedOwner == b->NextHashedOwner && a->Types == b->Types;
  }
  if (auto* a = dynamic_cast<const TzvDnsNSEC3PARAMRecord*>(&x)) {
    auto* b = dynamic_cast<const TzvDnsNSEC3PARAMRecord*>(&y);
    return a->HashAlgorithm == b->HashAlgorithm && a->Flags == b->Flags &&
           a->Iterations == b->Iterations && a->Salt == b->Salt;
  }
  if (auto* a = dynamic_cast<const TzvDnsGenericRecord*>(&x)) {
    return a->Data == dynamic_cast<const TzvDnsGenericRecord*>(&y)->Data;
  }
  if (auto* a = dynamic_cast<const TzvDnsFieldRecord*>(&x)) {
    return a->Fields == dynamic_cast<const TzvDnsFieldRecord*>(&y)->Fields;
  }
  if (auto* a = dynamic_cast<const TzvDnsSVCBRecord*>(&x)) {
    auto* b = dynamic_cast<const TzvDnsSVCBRecord*>(&y);
    return a->Priority == b->Priority && a->Target == b->Target && a->Params == b->Params;
  }
  if (auto* a = dynamic_cast<const TzvDnsSOARecord*>(&x)) {
    auto* b = dynamic_cast<const TzvDnsSOARecord*>(&y);
    return a->PrimaryNameServer == b->PrimaryNameServer &&
           a->ResponsibleMailbox == b->ResponsibleMailbox && a->SerialNumber == b->SerialNumber &&
           a->Refresh == b->Refresh && a->Retry == b->Retry && a->Expire == b->Expire &&
           a->MinimumTTL == b->MinimumTTL;
  }
  return true;
}

void CheckSameSection(const TzvDnsRecordList& x, const TzvDnsRecordList& y) {
  FUZZ_CHECK(x.Count() == y.Count());
  for (int i = 0; i < x.Count(); ++i) FUZZ_CHECK(SameFields(*x[i], *y[i]));
}

void CheckSameHeader(const TzvDnsMessageHeader& x, const TzvDnsMessageHeader& y) {
  FUZZ_CHECK(x.ID == y.ID && x.OpCode == y.OpCode && x.ResponseCode == y.ResponseCode);
  FUZZ_CHECK(x.IsQuery == y.IsQuery && x.IsAuthoritativeAnswer == y.IsAuthoritativeAnswer &&
             x.IsTruncated == y.IsTruncated && x.IsRecursionDesired == y.IsRecursionDesired &&
             x.IsRecursionAvailable == y.IsRecursionAvailable);
}

// What a fully decoded message shows of EDNS: an OPT record only once, in the additional
// section, under the root; its fields put together again give the time to live it came with,
// and its response-code bits are the header's upper ones. A generic record holds its data.
void CheckEdns(const TzvDnsMessage& message) {
  for (const TzvDnsRecordList* list : {&message.Answers(), &message.Authorities()}) {
    for (const auto& record : *list) FUZZ_CHECK(record->RecordType != kzvDnsTypeOPT);
  }
  int opt_records = 0;
  for (const auto& record : message.AdditionalRecords()) {
    if (record->RecordType != kzvDnsTypeOPT) continue;
    ++opt_records;
    FUZZ_CHECK(record->Name.empty());
  }
  FUZZ_CHECK(opt_records <= 1);
  if (const TzvDnsOPTRecord* opt = FindOptRecord(message)) {
    const std::uint32_t ttl = std::uint32_t{opt->ExtendedRCode} << 24 |
                              std::uint32_t{opt->Version} << 16 | (opt->DnssecOK ? 0x8000u : 0u) |
                              opt->OtherFlags;
    FUZZ_CHECK(opt->OtherFlags < 0x8000 && ttl == opt->TTL);
    FUZZ_CHECK(message.Header().ResponseCode >> 4 == opt->ExtendedRCode);
    // The options' decoders: a client subnet they accept is written back to the same
    // bytes, an error's shown text is bounded whatever came, padding is never data.
    for (const TzvEdnsOption& option : opt->Options) {
      if (const auto subnet = DecodeClientSubnet(option)) {
        FUZZ_CHECK(ClientSubnetOption(*subnet).Data == option.Data);
        FUZZ_CHECK(!ClientSubnetText(*subnet).empty());
      }
      if (const auto seconds = DecodeExpire(option)) FUZZ_CHECK(option.Data.size() == 4);
      if (const auto version = DecodeZoneVersion(option)) FUZZ_CHECK(option.Data.size() == 6);
    }
    for (const TzvExtendedError& error : ExtendedErrors(message))
      FUZZ_CHECK(ExtendedErrorShownText(error).size() <= 4 * kzvMostExtendedErrorText + 3);
  }
  for (const TzvDnsRecordList* list :
       {&message.Answers(), &message.Authorities(), &message.AdditionalRecords()}) {
    for (const auto& record : *list) {
      if (auto* generic = dynamic_cast<const TzvDnsGenericRecord*>(record.get())) {
        FUZZ_CHECK(generic->Data.size() == static_cast<std::size_t>(generic->DataLength));
      }
    }
  }
}

bool StrictlyIncreasing(const std::vector<std::uint16_t>& types) {
  for (std::size_t i = 1; i < types.size(); ++i) {
    if (types[i - 1] >= types[i]) return false;
  }
  return true;
}

// What follows the first `fields` words of a text, blanks and all.
std::string AfterFields(const std::string& text, int fields) {
  std::size_t at = 0;
  for (int i = 0; i < fields && at != std::string::npos; ++i) {
    at = text.find(' ', at);
    if (at != std::string::npos) ++at;
  }
  return at == std::string::npos ? std::string() : text.substr(at);
}

// DNSSEC's records as a fully decoded message holds them: bitmaps sorted without repeats, a
// hash in every NSEC3, and text from which the key and digest read back, split or whole.
void CheckDnssec(const TzvDnsMessage& message) {
  // Questions are left out: they have the records' classes but carry no data.
  for (const TzvDnsRecordList* list :
       {&message.Answers(), &message.Authorities(), &message.AdditionalRecords()}) {
    for (const auto& record : *list) {
      if (auto* key = dynamic_cast<const TzvDnsDNSKEYRecord*>(record.get())) {
        FUZZ_CHECK(Base64Decode(AfterFields(key->PresentationText(), 3)) == key->PublicKey);
        FUZZ_CHECK(Base64Decode(AfterFields(key->PresentationText(false), 3)) == key->PublicKey);
        key->KeyTag();
      } else if (auto* ds = dynamic_cast<const TzvDnsDSRecord*>(record.get())) {
        std::string hex = AfterFields(ds->PresentationText(), 3);
        std::erase(hex, ' ');
        FUZZ_CHECK(hex == HexEncode(ds->Digest));
      } else if (auto* rrsig = dynamic_cast<const TzvDnsRRSIGRecord*>(record.get())) {
        const std::string text = rrsig->PresentationText(false);
        const std::string signature = Base64Encode(rrsig->Signature);
        FUZZ_CHECK(text.size() >= signature.size() &&
                   text.compare(text.size() - signature.size(), std::string::npos, signature) == 0);
      } else if (auto* nsec = dynamic_cast<const TzvDnsNSECRecord*>(record.get())) {
        FUZZ_CHECK(StrictlyIncreasing(nsec->Types));
        nsec->PresentationText();
      } else if (auto* nsec3 = dynamic_cast<const TzvDnsNSEC3Record*>(record.get())) {
        FUZZ_CHECK(StrictlyIncreasing(nsec3->Types) && !nsec3->NextHashedOwner.empty());
        FUZZ_CHECK(AfterFields(nsec3->PresentationText(), 4).find(' ') ==
                   (nsec3->Types.empty() ? std::string::npos
                                         : (nsec3->NextHashedOwner.size() * 8 + 4) / 5));
      } else if (auto* param = dynamic_cast<const TzvDnsNSEC3PARAMRecord*>(record.get())) {
        param->PresentationText();
      }
    }
  }
}

// Every record's text in both styles and its fields: dig's style holds printable ASCII only
// (every other byte written \DDD), a record the codec decoded has some text, and the
// fields are handed over whatever the data held.
class TCountingVisitor : public TzvDnsFieldVisitor {
 public:
  void Number(std::string_view, std::int64_t) override { ++fields; }
  void Name(std::string_view, const std::string&) override { ++fields; }
  void Text(std::string_view, std::string_view) override { ++fields; }
  void Words(std::string_view, const std::vector<std::string>&) override { ++fields; }
  void Flag(std::string_view) override { ++fields; }
  void BeginGroup(std::string_view) override { ++groups; }
  void EndGroup() override { --groups; }
  int fields = 0, groups = 0;
};

void CheckPresentation(const TzvDnsMessage& message) {
  for (const TzvDnsRecordList* list :
       {&message.Answers(), &message.Authorities(), &message.AdditionalRecords()}) {
    for (const auto& record : *list) {
      const std::string dig = record->DataText(TzvDnsTextStyle::Dig);
      for (const char c : dig) FUZZ_CHECK(c >= 0x20 && c < 0x7F);
      record->DataText(TzvDnsTextStyle::Readable);
      TCountingVisitor visitor;
      record->VisitFields(visitor);
      FUZZ_CHECK(visitor.groups == 0);
      if (dynamic_cast<const TzvDnsSVCBRecord*>(record.get()) != nullptr) {
        FUZZ_CHECK(!dig.empty() && visitor.fields >= 2);
      }
    }
  }
}

bool Encode(TzvDnsMessage& message, Bytes& out) {
  TMemoryStream stream;
  try {
    message.Build(stream);
  } catch (const EzvDnsError&) {
    // Refused: nothing may have reached the stream.
    FUZZ_CHECK(stream.Size() == 0);
    return false;
  }
  out.assign(stream.Memory(), stream.Memory() + stream.Size());
  return true;
}

}  // namespace

// The options an answer carries for the exchange: the cookie judged by its length alone
// (malformed exactly when no cookie has that length), the keepalive read only at its one
// length, and their lines printable, whatever the option holds.
void CheckSessionOptions(const TzvDnsMessage& message, std::span<const std::uint8_t> data) {
  const TzvAnswerCookie answer = AnswerCookieOf(data);
  const TzvDnsOPTRecord* opt = FindOptRecord(message);
  if (opt == nullptr) return;
  FUZZ_CHECK(answer.Cookie.has_value() == (opt->FindOption(kzvEdnsOptionCookie) != nullptr));
  for (const TzvEdnsOption& option : opt->Options) {
    Bytes client(option.Data.begin(),
                 option.Data.begin() + std::min<std::size_t>(8, option.Data.size()));
    client.resize(8);
    const TzvCookieVerdict verdict = JudgeCookie(client, &option);
    const std::size_t n = option.Data.size();
    FUZZ_CHECK((verdict == TzvCookieVerdict::cvMalformed) ==
               (n < 8 || (n > 8 && n < 16) || n > 40));
    if (const auto line = SessionOptionLine(option, verdict))
      for (const char c : *line) FUZZ_CHECK(c >= 0x20 && c < 0x7F);
  }
  const auto idle = KeepaliveTimeOut(message);
  FUZZ_CHECK(!idle || idle->count() <= 65535 * 100);
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  TzvDnsExtendedMessage first;
  const bool decoded = Decode(first, data, size);
  // Into the message every input goes through: the same header and sections, however far
  // the decoding got, whatever the inputs before left in it.
  static TzvDnsExtendedMessage alone;
  FUZZ_CHECK(Decode(alone, data, size) == decoded);
  // (A datagram too short for an identifier leaves each message a random one.)
  if (size >= 2) CheckSameHeader(first.Header(), alone.Header());
  CheckSameSection(first.Queries(), alone.Queries());
  CheckSameSection(first.Answers(), alone.Answers());
  CheckSameSection(first.Authorities(), alone.Authorities());
  CheckSameSection(first.AdditionalRecords(), alone.AdditionalRecords());
  if (!decoded) return 0;
  const TzvDnsMessageHeader& header = first.Header();
  FUZZ_CHECK(first.Queries().Count() == header.QueryCount);
  FUZZ_CHECK(first.Answers().Count() == header.AnswerCount);
  FUZZ_CHECK(first.Authorities().Count() == header.AuthorityCount);
  FUZZ_CHECK(first.AdditionalRecords().Count() == header.AdditionalCount);
  CheckEdns(first);
  CheckSessionOptions(first, {data, size});
  CheckDnssec(first);
  CheckPresentation(first);
  if (!AllRepresentable(first)) return 0;

  Bytes built;
  if (!Encode(first, built)) return 0;
  TzvDnsExtendedMessage second;
  FUZZ_CHECK(Decode(second, built.data(), built.size()));
  CheckSameHeader(first.Header(), second.Header());
  CheckSameSection(first.Queries(), second.Queries());
  CheckSameSection(first.Answers(), second.Answers());
  CheckSameSection(first.Authorities(), second.Authorities());
  CheckSameSection(first.AdditionalRecords(), second.AdditionalRecords());

  Bytes rebuilt;
  FUZZ_CHECK(Encode(second, rebuilt));
  FUZZ_CHECK(rebuilt == built);
  return 0;
}
