// The DNS message codec: one message in memory (header and four sections of records)
// and its RFC 1035 wire form. The query component builds its questions with it and reads
// the answers' typed records. Names are written uncompressed; compression is followed
// when reading, within firm bounds.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/Classes.h"
#include "dns/zvDnsName.h"
#include "dns/zvDnsPresentation.h"
#include "dns/zvMessageId.h"
#include "dns/zvUtils.h"

// Record type codes the codec knows a record class for.
inline constexpr std::int32_t kzvDnsTypeA = 1;
inline constexpr std::int32_t kzvDnsTypeNS = 2;
inline constexpr std::int32_t kzvDnsTypeCNAME = 5;
inline constexpr std::int32_t kzvDnsTypeSOA = 6;
inline constexpr std::int32_t kzvDnsTypePTR = 12;
inline constexpr std::int32_t kzvDnsTypeMX = 15;
inline constexpr std::int32_t kzvDnsTypeTXT = 16;

// The size of the buffer a message is encoded into: the classic UDP limit.
inline constexpr std::int32_t kzvDnsMaxMessageSize = 512;

// The header's four opcode bits. Values without a name here (3, 6 to 15) are kept as
// they came, so a reply is never mistaken for one of another kind.
enum TzvDnsOpCode : std::uint8_t {
  ocQuery = 0,
  ocInverseQuery = 1,
  ocStatus = 2,
  ocNotify = 4,
  ocUpdate = 5
};

// Record classes with their wire values. Any other value read from the wire counts as
// rcInternet; a question may still be given any 16-bit class ("CLASS65280").
enum TzvDnsRecordClass : std::uint16_t { rcInternet = 1, rcChaos = 3, rcHesiod = 4 };

class TzvDnsMessageHeader {
 public:
  TzvDnsMessageHeader() { Clear(); }

  // Defaults: a fresh random identifier, all flags false (so the message is a response
  // until IsQuery is set), opcode ocQuery, response code and counts 0.
  void Clear();
  void Build(TzvByteArray& buffer, std::int32_t& position) const;
  void Parse(const TzvByteArray& buffer, std::int32_t& position);

  bool IsRecursionAvailable = false;
  // DNSSEC's two header bits: the server validated the answer (AD), and the asker will
  // validate it itself, so a validating server hands over data it would refuse (CD).
  bool IsAuthenticData = false;
  bool IsCheckingDisabled = false;
  bool IsAuthoritativeAnswer = false;
  bool IsQuery = false;
  bool IsRecursionDesired = false;
  bool IsTruncated = false;
  std::int32_t ResponseCode = 0;
  TzvDnsOpCode OpCode = ocQuery;
  std::int32_t ID = 0;
  std::int32_t AnswerCount = 0;
  std::int32_t QueryCount = 0;
  std::int32_t AuthorityCount = 0;
  std::int32_t AdditionalCount = 0;

 private:
  void ResetFlagsAndCounts();
  // Every flag field from the header's second word.
  void SetFlags(std::uint16_t flags);
};

// One question or resource record. The base class carries what every record shares and
// treats its data as opaque (skipped when read, nothing written); the typed records
// below read and write their own data, and a received one whose fields leave some of its
// data unread is malformed.
class TzvDnsRecord : public TPersistent {
 public:
  std::string ClassName() const override { return "TzvDnsRecord"; }
  // A new, empty record of the same class as this one.
  virtual std::unique_ptr<TzvDnsRecord> Create() const { return std::make_unique<TzvDnsRecord>(); }
  // Copies the shared fields from any record; other sources fail with
  // "Cannot assign a %s to a %s".
  void Assign(const TPersistent* source) override;

  virtual void BuildData(TzvByteArray& buffer, std::int32_t& position);
  virtual void ParseData(const TzvByteArray& buffer, std::int32_t& position);
  // The data in presentation form, what a zone file or dig writes after the type
  // ("10 mail1.pellamar.test" readable, "10 mail1.pellamar.test." in dig's style). A
  // question, or a record whose data the codec skipped, gives the empty text.
  virtual std::string DataText(TzvDnsTextStyle style = TzvDnsTextStyle::Readable) const;
  // The data's fields, in order, each under its JSON key. None for the base class nor for
  // the classic types (A, NS, CNAME, SOA, PTR, MX, TXT, AAAA, SRV, CAA), whose JSON objects
  // scripts already read as name, type, class, ttl and data. A record may give its own
  // "data" member, which the JSON report then writes instead of DataText's.
  virtual void VisitFields(TzvDnsFieldVisitor& visitor) const;

  // The owner name, type and class.
  void WriteQuestion(TzvByteArray& buffer, std::int32_t& position);
  void ReadQuestion(const TzvByteArray& buffer, std::int32_t& position);
  // The question part, then time to live, data length and data.
  void WriteRecord(TzvByteArray& buffer, std::int32_t& position);
  void ReadRecord(const TzvByteArray& buffer, std::int32_t& position);

  // Names in the text form of dns/zvDnsName.h. Written without compression; labels over
  // 63 bytes and names over 255 are refused.
  static void WriteName(std::string_view name, TzvByteArray& buffer, std::int32_t& position);
  // Follows compression pointers (forward ones too). Leaves the position behind the
  // name's bytes where it started, i.e. behind the first pointer met.
  static std::string ReadName(const TzvByteArray& buffer, std::int32_t& position);
  // One length byte and up to 255 bytes; an empty text or one of 256 bytes or more is
  // written as the empty string.
  static void WriteCharacterString(std::string_view text, TzvByteArray& buffer,
                                   std::int32_t& position);
  // Reads within this record's data (DataLength bytes from where its data starts).
  std::string ReadCharacterString(const TzvByteArray& buffer, std::int32_t& position) const;

  TzvDnsRecordClass RecordClass = rcInternet;
  std::int32_t RecordType = 0;
  std::string Name;
  std::uint32_t TTL = 0;
  std::int32_t DataLength = 0;

 protected:
  // Where the wire keeps the class and the time to live. A record whose own fields live
  // there (the OPT record's payload size, extended response code and flags) composes them
  // for writing and takes them apart when read; TakeWireFields runs before ParseData, after
  // TTL and DataLength are set (for a question, with a time to live of 0).
  virtual std::uint16_t WireClass() const { return RecordClass; }
  virtual std::uint32_t WireTTL() const { return TTL; }
  virtual void TakeWireFields(std::uint16_t /*wire_class*/, std::uint32_t /*ttl*/) {}

  // For ParseData: a cursor over this record's data, which starts at `position` and is
  // DataLength bytes long. A field that claims more than the data leaves is malformed, not
  // the start of the next record, so the cursor cannot read past the data's end.
  TzvWireCursor DataCursor(const TzvByteArray& buffer, std::int32_t position) const;
  // The same limit for a name in the data (its pointers may still lead anywhere in the
  // message): one whose own bytes run past `data_end` raises the size error and leaves
  // `field` as it was.
  void ReadDataName(const TzvByteArray& buffer, std::int32_t& position, std::size_t data_end,
                    std::string& field) const;
  // Where the data that starts at `position` ends; past the buffer raises the size error.
  std::size_t DataEnd(const TzvByteArray& buffer, std::int32_t position) const;

 private:
  friend class TzvDnsMessage;
  // What follows the question part of a resource record (its class as it came on the
  // wire): TTL, data length and data; the names in the data through the decoding's cache.
  void ReadRecordRest(const TzvByteArray& buffer, std::int32_t& position, std::uint16_t wire_class,
                      TzvDnsNameCache* names = nullptr);

  // The running decoding's cache of names, while ParseData runs.
  TzvDnsNameCache* decoding_names_ = nullptr;
};

// An ordered list that owns its records. Pointers it hands out stay valid until it is
// cleared.
class TzvDnsRecordList : public TPersistent {
 public:
  std::string ClassName() const override { return "TzvDnsRecordList"; }
  // Replaces the records with copies (of the same classes) of another list's records.
  void Assign(const TPersistent* source) override;

  int Add(std::unique_ptr<TzvDnsRecord> record);
  void Clear() { records_.clear(); }
  int Count() const { return static_cast<int>(records_.size()); }
  // Outside 0 .. Count-1 fails with "List index out of bounds (%d)".
  TzvDnsRecord* Items(int index) const {
    if (index < 0 || index >= Count()) RaiseListIndexError(index);
    return records_[static_cast<std::size_t>(index)].get();
  }
  TzvDnsRecord* operator[](int index) const { return Items(index); }
  // The first record of the type whose name matches ignoring ASCII case, or nullptr.
  TzvDnsRecord* FindItem(std::string_view name, std::int32_t record_type) const;

  auto begin() const { return records_.cbegin(); }
  auto end() const { return records_.cend(); }

 private:
  friend class TzvDnsMessage;
  void Reserve(std::size_t count) { records_.reserve(count); }
  std::vector<std::unique_ptr<TzvDnsRecord>> records_;
};

class TzvDnsMessage {
 public:
  TzvDnsMessage() = default;
  virtual ~TzvDnsMessage() = default;
  TzvDnsMessage(const TzvDnsMessage&) = delete;
  TzvDnsMessage& operator=(const TzvDnsMessage&) = delete;

  TzvDnsMessageHeader& Header() { return header_; }
  const TzvDnsMessageHeader& Header() const { return header_; }
  TzvDnsRecordList& Authorities() { return authorities_; }
  const TzvDnsRecordList& Authorities() const { return authorities_; }
  TzvDnsRecordList& Answers() { return answers_; }
  const TzvDnsRecordList& Answers() const { return answers_; }
  TzvDnsRecordList& Queries() { return queries_; }
  const TzvDnsRecordList& Queries() const { return queries_; }
  TzvDnsRecordList& AdditionalRecords() { return additional_records_; }
  const TzvDnsRecordList& AdditionalRecords() const { return additional_records_; }

  // A new identifier, default flags, and all four sections emptied.
  void Clear();
  // Writes the encoded message at the stream's position. The header's counts are taken
  // from the sections. A message that cannot be encoded writes nothing.
  void Build(TStream& stream);
  // Decodes the bytes from the stream's position to its end. Fails on a malformed
  // message, keeping what was decoded before the fault, and, after decoding everything,
  // on a non-zero response code. An OPT record (type 41) outside the additional section,
  // a second one, or one not owned by the root makes the message malformed; the upper
  // eight bits of the response code it carries join the header's four in ResponseCode.
  void Parse(TStream& stream);
  // Decodes as Parse does, but an error reply is a reply like any other: its response
  // code stays in the header, for the caller to read. Only a malformed message fails.
  void Decode(TStream& stream);
  // Takes the other message's header and sections over in place of its own (the other
  // is left with this one's), without copying a record.
  void TakeSections(TzvDnsMessage& other);
  // The record class for a type code; a plain TzvDnsRecord for codes it does not know.
  virtual std::unique_ptr<TzvDnsRecord> CreateRecord(std::int32_t record_type);
  static void CheckResponseCode(std::int32_t code);

 private:
  void ParseSection(const TzvByteArray& buffer, std::int32_t& position, TzvDnsRecordList& list,
                    std::int32_t count, bool questions);
  // The OPT record's placement rules, then its bits of the response code.
  void TakeExtendedResponseCode();

  TzvDnsMessageHeader header_;
  TzvDnsRecordList authorities_;
  TzvDnsRecordList answers_;
  TzvDnsRecordList queries_;
  TzvDnsRecordList additional_records_;
  // Kept for the message's life: the query component encodes and decodes every lookup
  // through the same two messages.
  TzvByteArray build_buffer_;  // sized at the first Build
  TzvByteArray parse_buffer_;
  TzvDnsNameCache names_;  // of the running decoding
};

class TzvDnsMXRecord : public TzvDnsRecord {
 public:
  TzvDnsMXRecord() { RecordType = kzvDnsTypeMX; }
  std::string ClassName() const override { return "TzvDnsMXRecord"; }
  std::unique_ptr<TzvDnsRecord> Create() const override;
  void Assign(const TPersistent* source) override;
  void BuildData(TzvByteArray& buffer, std::int32_t& position) override;
  void ParseData(const TzvByteArray& buffer, std::int32_t& position) override;
  std::string DataText(TzvDnsTextStyle style = TzvDnsTextStyle::Readable) const override;

  std::int32_t Preference = 0;
  std::string MailServer;
};

class TzvDnsNSRecord : public TzvDnsRecord {
 public:
  TzvDnsNSRecord() { RecordType = kzvDnsTypeNS; }
  std::string ClassName() const override { return "TzvDnsNSRecord"; }
  std::unique_ptr<TzvDnsRecord> Create() const override;
  void Assign(const TPersistent* source) override;
  void BuildData(TzvByteArray& buffer, std::int32_t& position) override;
  void ParseData(const TzvByteArray& buffer, std::int32_t& position) override;
  std::string DataText(TzvDnsTextStyle style = TzvDnsTextStyle::Readable) const override;

  std::string NameServer;
};

class TzvDnsARecord : public TzvDnsRecord {
 public:
  TzvDnsARecord() { RecordType = kzvDnsTypeA; }
  std::string ClassName() const override { return "TzvDnsARecord"; }
  std::unique_ptr<TzvDnsRecord> Create() const override;
  void Assign(const TPersistent* source) override;
  void BuildData(TzvByteArray& buffer, std::int32_t& position) override;
  void ParseData(const TzvByteArray& buffer, std::int32_t& position) override;
  std::string DataText(TzvDnsTextStyle style = TzvDnsTextStyle::Readable) const override;

  std::string IPAddress;
};

class TzvDnsPTRRecord : public TzvDnsRecord {
 public:
  TzvDnsPTRRecord() { RecordType = kzvDnsTypePTR; }
  std::string ClassName() const override { return "TzvDnsPTRRecord"; }
  std::unique_ptr<TzvDnsRecord> Create() const override;
  void Assign(const TPersistent* source) override;
  void BuildData(TzvByteArray& buffer, std::int32_t& position) override;
  void ParseData(const TzvByteArray& buffer, std::int32_t& position) override;
  std::string DataText(TzvDnsTextStyle style = TzvDnsTextStyle::Readable) const override;

  std::string DomainName;
};

class TzvDnsSOARecord : public TzvDnsRecord {
 public:
  TzvDnsSOARecord() { RecordType = kzvDnsTypeSOA; }
  std::string ClassName() const override { return "TzvDnsSOARecord"; }
  std::unique_ptr<TzvDnsRecord> Create() const override;
  void Assign(const TPersistent* source) override;
  void BuildData(TzvByteArray& buffer, std::int32_t& position) override;
  void ParseData(const TzvByteArray& buffer, std::int32_t& position) override;
  std::string DataText(TzvDnsTextStyle style = TzvDnsTextStyle::Readable) const override;

  std::uint32_t Expire = 0;
  std::uint32_t MinimumTTL = 0;
  std::uint32_t Retry = 0;
  std::uint32_t SerialNumber = 0;
  std::uint32_t Refresh = 0;
  std::string ResponsibleMailbox;
  std::string PrimaryNameServer;
};

class TzvDnsCNAMERecord : public TzvDnsRecord {
 public:
  TzvDnsCNAMERecord() { RecordType = kzvDnsTypeCNAME; }
  std::string ClassName() const override { return "TzvDnsCNAMERecord"; }
  std::unique_ptr<TzvDnsRecord> Create() const override;
  void Assign(const TPersistent* source) override;
  void BuildData(TzvByteArray& buffer, std::int32_t& position) override;
  void ParseData(const TzvByteArray& buffer, std::int32_t& position) override;
  std::string DataText(TzvDnsTextStyle style = TzvDnsTextStyle::Readable) const override;

  std::string CanonicalName;
};

class TzvDnsTXTRecord : public TzvDnsRecord {
 public:
  TzvDnsTXTRecord() { RecordType = kzvDnsTypeTXT; }
  std::string ClassName() const override { return "TzvDnsTXTRecord"; }
  std::unique_ptr<TzvDnsRecord> Create() const override;
  void Assign(const TPersistent* source) override;
  void BuildData(TzvByteArray& buffer, std::int32_t& position) override;
  void ParseData(const TzvByteArray& buffer, std::int32_t& position) override;
  std::string DataText(TzvDnsTextStyle style = TzvDnsTextStyle::Readable) const override;

  std::string Text;
};
