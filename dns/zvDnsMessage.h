// The DNS message codec: one message in memory (header and four sections of records)
// and its RFC 1035 wire form. The query component builds its questions with it and reads
// the answers' typed records. Names are written uncompressed; compression is followed
// when reading, within firm bounds.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <sys/types.h>

#include "base/Classes.h"
#include "base/RecycleBin.h"
#include "dns/zvUtils.h"

// Record type codes the codec knows a record class for.
inline constexpr std::int32_t kzvDnsTypeA = 1;
inline constexpr std::int32_t kzvDnsTypeNS = 2;
inline constexpr std::int32_t kzvDnsTypeCNAME = 5;
inline constexpr std::int32_t kzvDnsTypeSOA = 6;
inline constexpr std::int32_t kzvDnsTypePTR = 12;
inline constexpr std::int32_t kzvDnsTypeMX = 15;
inline constexpr std::int32_t kzvDnsTypeTXT = 16;

// A fresh message identifier from the system's cryptographic random source, so that
// no number of identifiers seen predicts the next (a forger must guess 16 bits afresh
// for every question). Thread-safe.
std::uint16_t NewMessageID();

// Where NewMessageID takes its random bytes: getrandom unless a test replaced it (and
// then it must put it back). Bytes already drawn from an earlier source are not used.
using TzvRandomBytesFn = ssize_t (*)(void* buffer, size_t length, unsigned int flags);
TzvRandomBytesFn& MessageIdRandomSource();

// The size of the buffer a message is encoded into: the classic UDP limit.
inline constexpr std::int32_t kzvDnsMaxMessageSize = 512;

enum TzvDnsOpCode { ocQuery, ocInverseQuery, ocStatus };

// Record classes with their wire values. Any other value read from the wire counts as
// rcInternet.
enum TzvDnsRecordClass : std::uint8_t { rcInternet = 1, rcChaos = 3, rcHesiod = 4 };

class TzvDnsMessageHeader {
 public:
  TzvDnsMessageHeader() { Clear(); }

  // Defaults: a fresh random identifier, all flags false (so the message is a response
  // until IsQuery is set), opcode ocQuery, response code and counts 0.
  void Clear();
  void Build(TzvByteArray& buffer, std::int32_t& position) const;
  void Parse(const TzvByteArray& buffer, std::int32_t& position);

  bool IsRecursionAvailable = false;
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
};

class TzvDnsRecordPool;
class TzvDnsMessage;

// One question or resource record. The base class carries what every record shares and
// treats its data as opaque (skipped when read, nothing written); the typed records
// below read and write their own data.
class TzvDnsRecord : public TPersistent {
 public:
  std::string ClassName() const override { return "TzvDnsRecord"; }
  // A new, empty record of the same class as this one.
  virtual std::unique_ptr<TzvDnsRecord> Create() const { return std::make_unique<TzvDnsRecord>(); }
  // Copies the shared fields from any record; other sources fail with
  // "Cannot assign a %s to a %s".
  void Assign(const TPersistent* source) override;
  // Puts every field back as a newly made record of this class has it, keeping the memory
  // its texts hold. A message reuses the records it decoded through this, so a class that
  // adds fields must override it and call its parent's.
  virtual void Reset();

  virtual void BuildData(TzvByteArray& buffer, std::int32_t& position);
  virtual void ParseData(const TzvByteArray& buffer, std::int32_t& position);

  // The owner name, type and class.
  void WriteQuestion(TzvByteArray& buffer, std::int32_t& position);
  void ReadQuestion(const TzvByteArray& buffer, std::int32_t& position);
  // The question part, then time to live, data length and data.
  void WriteRecord(TzvByteArray& buffer, std::int32_t& position);
  void ReadRecord(const TzvByteArray& buffer, std::int32_t& position);

  // Names: labels joined by ".", the root being the empty text. Written without
  // compression; labels over 63 bytes and names over 255 are refused.
  static void WriteName(std::string_view name, TzvByteArray& buffer, std::int32_t& position);
  // Follows compression pointers (forward ones too). Leaves the position behind the
  // name's bytes where it started, i.e. behind the first pointer met.
  static std::string ReadName(const TzvByteArray& buffer, std::int32_t& position);
  // One length byte and up to 255 bytes; an empty text or one of 256 bytes or more is
  // written as the empty string.
  static void WriteCharacterString(std::string_view text, TzvByteArray& buffer,
                                   std::int32_t& position);
  // Checks the string, with its length byte, against this record's DataLength.
  std::string ReadCharacterString(const TzvByteArray& buffer, std::int32_t& position) const;

  TzvDnsRecordClass RecordClass = rcInternet;
  std::int32_t RecordType = 0;
  std::string Name;
  std::uint32_t TTL = 0;
  std::int32_t DataLength = 0;

 private:
  friend class TzvDnsMessage;
  friend class TzvDnsRecordPool;
  // What follows the question part of a resource record: TTL, data length and data.
  void ReadRecordRest(const TzvByteArray& buffer, std::int32_t& position);

  // The pool of the message whose decoding made this record, and where it keeps records of
  // the type code this one was made for (the public RecordType may be changed by anyone). A copy of
  // a record belongs to no pool: only records the message made itself may go back to it.
  struct TPoolTag {
    TPoolTag() = default;
    TPoolTag(const TPoolTag&) {}
    TPoolTag& operator=(const TPoolTag&) { return *this; }
    const TzvDnsRecordPool* pool = nullptr;
    std::uint32_t entry = 0;  // the pool's entry for the type code
  };
  TPoolTag pool_tag_;
};

// The records a message made while decoding, kept after its lists were cleared so the next
// decoding reuses them (and the memory their texts hold) instead of allocating anew. Records
// are found by the type code the message's CreateRecord made them for, and every one taken is
// Reset first. A record cleared from a list is not handed out again by the next decoding, and
// while it waits its memory is poisoned for AddressSanitizer: a pointer kept past a clear is
// caught on its first use, as a freed record would be.
class TzvDnsRecordPool {
 public:
  TzvDnsRecordPool() = default;
  TzvDnsRecordPool(const TzvDnsRecordPool&) = delete;
  TzvDnsRecordPool& operator=(const TzvDnsRecordPool&) = delete;

  // A record for the type code: a reset one made for it that has waited through a whole
  // decoding since it was cleared, else a new one from the maker's CreateRecord, which the
  // pool may then take back.
  std::unique_ptr<TzvDnsRecord> Make(std::int32_t type_code, TzvDnsMessage& maker);
  // Keeps a record this pool adopted; any other one, or one past the pool's limit, is
  // destroyed.
  void Put(std::unique_ptr<TzvDnsRecord> record);
  // A decoding ended: records put back before its end may serve the next one, not those
  // put back during it or later.
  void EndDecoding() { ++generation_; }

 private:
  // The records made for one type code.
  struct TEntry {
    std::int32_t type_code = 0;
    TRecycleBin<TzvDnsRecord> bin;
  };
  TEntry* Find(std::int32_t type_code);

  // In place, so a message made for one decoding allocates nothing for its pool.
  static constexpr std::size_t kMaxTypes = 16;
  std::array<TEntry, kMaxTypes> entries_;
  std::size_t entry_count_ = 0;
  std::size_t held_ = 0;
  std::uint64_t generation_ = 0;
};

// An ordered list that owns its records.
class TzvDnsRecordList : public TPersistent {
 public:
  std::string ClassName() const override { return "TzvDnsRecordList"; }
  // Replaces the records with copies (of the same classes) of another list's records.
  void Assign(const TPersistent* source) override;

  int Add(std::unique_ptr<TzvDnsRecord> record) { return items_.Add(std::move(record)); }
  // A message's list gives the records its decoding made back to the message's pool.
  void Clear();
  int Count() const { return items_.Count(); }
  // Valid until the list is cleared; outside 0 .. Count-1 fails with
  // "List index out of bounds (%d)".
  TzvDnsRecord* Items(int index) const { return items_.Items(index); }
  TzvDnsRecord* operator[](int index) const { return items_.Items(index); }
  // The first record of the type whose name matches ignoring ASCII case, or nullptr.
  TzvDnsRecord* FindItem(std::string_view name, std::int32_t record_type) const;

  auto begin() const { return items_.begin(); }
  auto end() const { return items_.end(); }

 private:
  friend class TzvDnsMessage;
  void Reserve(int count) { items_.Reserve(count); }
  TObjectList<TzvDnsRecord> items_;
  TzvDnsRecordPool* pool_ = nullptr;
};

class TzvDnsMessage {
 public:
  TzvDnsMessage();
  virtual ~TzvDnsMessage();
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
  // on a non-zero response code.
  void Parse(TStream& stream);
  // The record class for a type code; a plain TzvDnsRecord for codes it does not know.
  virtual std::unique_ptr<TzvDnsRecord> CreateRecord(std::int32_t record_type);
  static void CheckResponseCode(std::int32_t code);

 private:
  void ParseSection(const TzvByteArray& buffer, std::int32_t& position, TzvDnsRecordList& list,
                    std::int32_t count, bool questions);
  // Declared before the lists, so it outlives them.
  TzvDnsRecordPool pool_;
  // Held in place: a message made for one lookup allocates none of them.
  TzvDnsMessageHeader header_;
  TzvDnsRecordList authorities_;
  TzvDnsRecordList answers_;
  TzvDnsRecordList queries_;
  TzvDnsRecordList additional_records_;
  TzvByteArray build_buffer_;  // sized at the first Build
  TzvByteArray parse_buffer_;
};

class TzvDnsMXRecord : public TzvDnsRecord {
 public:
  TzvDnsMXRecord() { RecordType = kzvDnsTypeMX; }
  std::string ClassName() const override { return "TzvDnsMXRecord"; }
  std::unique_ptr<TzvDnsRecord> Create() const override;
  void Assign(const TPersistent* source) override;
  void Reset() override;
  void BuildData(TzvByteArray& buffer, std::int32_t& position) override;
  void ParseData(const TzvByteArray& buffer, std::int32_t& position) override;

  std::int32_t Preference = 0;
  std::string MailServer;
};

class TzvDnsNSRecord : public TzvDnsRecord {
 public:
  TzvDnsNSRecord() { RecordType = kzvDnsTypeNS; }
  std::string ClassName() const override { return "TzvDnsNSRecord"; }
  std::unique_ptr<TzvDnsRecord> Create() const override;
  void Assign(const TPersistent* source) override;
  void Reset() override;
  void BuildData(TzvByteArray& buffer, std::int32_t& position) override;
  void ParseData(const TzvByteArray& buffer, std::int32_t& position) override;

  std::string NameServer;
};

class TzvDnsARecord : public TzvDnsRecord {
 public:
  TzvDnsARecord() { RecordType = kzvDnsTypeA; }
  std::string ClassName() const override { return "TzvDnsARecord"; }
  std::unique_ptr<TzvDnsRecord> Create() const override;
  void Assign(const TPersistent* source) override;
  void Reset() override;
  void BuildData(TzvByteArray& buffer, std::int32_t& position) override;
  void ParseData(const TzvByteArray& buffer, std::int32_t& position) override;

  std::string IPAddress;
};

class TzvDnsPTRRecord : public TzvDnsRecord {
 public:
  TzvDnsPTRRecord() { RecordType = kzvDnsTypePTR; }
  std::string ClassName() const override { return "TzvDnsPTRRecord"; }
  std::unique_ptr<TzvDnsRecord> Create() const override;
  void Assign(const TPersistent* source) override;
  void Reset() override;
  void BuildData(TzvByteArray& buffer, std::int32_t& position) override;
  void ParseData(const TzvByteArray& buffer, std::int32_t& position) override;

  std::string DomainName;
};

class TzvDnsSOARecord : public TzvDnsRecord {
 public:
  TzvDnsSOARecord() { RecordType = kzvDnsTypeSOA; }
  std::string ClassName() const override { return "TzvDnsSOARecord"; }
  std::unique_ptr<TzvDnsRecord> Create() const override;
  void Assign(const TPersistent* source) override;
  void Reset() override;
  void BuildData(TzvByteArray& buffer, std::int32_t& position) override;
  void ParseData(const TzvByteArray& buffer, std::int32_t& position) override;

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
  void Reset() override;
  void BuildData(TzvByteArray& buffer, std::int32_t& position) override;
  void ParseData(const TzvByteArray& buffer, std::int32_t& position) override;

  std::string CanonicalName;
};

class TzvDnsTXTRecord : public TzvDnsRecord {
 public:
  TzvDnsTXTRecord() { RecordType = kzvDnsTypeTXT; }
  std::string ClassName() const override { return "TzvDnsTXTRecord"; }
  std::unique_ptr<TzvDnsRecord> Create() const override;
  void Assign(const TPersistent* source) override;
  void Reset() override;
  void BuildData(TzvByteArray& buffer, std::int32_t& position) override;
  void ParseData(const TzvByteArray& buffer, std::int32_t& position) override;

  std::string Text;
};
