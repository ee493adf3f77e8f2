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
#include <typeinfo>
#include <vector>

#include <sys/types.h>

#include "base/Classes.h"
#include "base/RecycleBin.h"  // the poison switch for waiting records
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
  // Every flag field from the header's second word.
  void SetFlags(std::uint16_t flags);
};

class TzvDnsRecordList;
class TzvDnsMessage;

// One question or resource record. The base class carries what every record shares and
// treats its data as opaque (skipped when read, nothing written); the typed records
// below read and write their own data.
class TzvDnsRecord : public TPersistent {
 public:
  // A decoding makes a dozen records and a message freed frees as many: their memory is
  // kept per thread, by size, for the next records made instead of going back to the
  // general heap each time. (Not under AddressSanitizer, which then sees every record's
  // memory come and go as it would without this.) No record class may ask for an
  // alignment beyond the usual one.
  static void* operator new(std::size_t size);
  static void operator delete(void* memory, std::size_t size) noexcept;

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

 protected:
  // For ParseData: a cursor over this record's data, which starts at `position` and is
  // DataLength bytes long. A field that claims more than the data leaves is malformed, not
  // the start of the next record, so the cursor cannot read past the data's end.
  TzvWireCursor DataCursor(const TzvByteArray& buffer, std::int32_t position) const;
  // The same limit for a name in the data (its pointers may still lead anywhere in the
  // message): one whose own bytes run past `data_end` raises the size error and leaves
  // `field` as it was.
  static void ReadDataName(const TzvByteArray& buffer, std::int32_t& position,
                           std::size_t data_end, std::string& field);
  // Where the data that starts at `position` ends; past the buffer raises the size error.
  std::size_t DataEnd(const TzvByteArray& buffer, std::int32_t position) const;

 private:
  friend class TzvDnsMessage;
  friend class TzvDnsRecordList;
  // What follows the question part of a resource record (its class as it came on the
  // wire): TTL, data length and data.
  void ReadRecordRest(const TzvByteArray& buffer, std::int32_t& position,
                      std::uint16_t wire_class);
  // The same for a reused record that was not reset first (TSpareTag::decoding_sets_all).
  void ReadUnresetRecordRest(const TzvByteArray& buffer, std::int32_t& position,
                             std::uint16_t wire_class);
  // Empties the data fields, keeping the name, type, class, TTL and data length.
  void ClearData();

  // Whether a message's decoding made this record, and for what. Only such records go back
  // to their list's spares when it is cleared (a list's records can be put in no other
  // list); a copy of a record is not one.
  struct TSpareTag {
    TSpareTag() = default;
    TSpareTag(const TSpareTag&) {}
    TSpareTag& operator=(const TSpareTag&) { return *this; }
    bool decoded = false;
    std::int32_t type_code = 0;  // what it was made for (RecordType may be changed by anyone)
    // Whether the record is a resource record of one of the codec's own classes (not of a
    // class derived from one), whose decoding sets every field when it succeeds: reused,
    // such a record is reset only if its decoding fails. Learnt at its first reuse.
    enum class TSetsAll : std::uint8_t { Unknown, No, Yes };
    TSetsAll decoding_sets_all = TSetsAll::Unknown;
  };
  TSpareTag spare_tag_;
};

// An ordered list that owns its records.
//
// A message's lists keep the records its decoding made when they are cleared, and the next
// decodings but one take them back (their texts keeping their memory) for the
// records at the same places, when of the same type code: answers to the same question look
// alike, so a lookup repeated allocates nothing. A record let go of waits through one whole
// decoding before it is handed out again, and while it waits its memory is poisoned for
// AddressSanitizer, so a pointer kept past a clear is reported on its first use, as a
// freed record's would be.
class TzvDnsRecordList : public TPersistent {
 public:
  TzvDnsRecordList() = default;
  ~TzvDnsRecordList() override;
  TzvDnsRecordList(const TzvDnsRecordList&) = delete;
  TzvDnsRecordList& operator=(const TzvDnsRecordList&) = delete;
  std::string ClassName() const override { return "TzvDnsRecordList"; }
  // Replaces the records with copies (of the same classes) of another list's records.
  void Assign(const TPersistent* source) override;

  int Add(std::unique_ptr<TzvDnsRecord> record);
  void Clear();
  int Count() const { return static_cast<int>(count_); }
  // Valid until the list is cleared; outside 0 .. Count-1 fails with
  // "List index out of bounds (%d)".
  TzvDnsRecord* Items(int index) const {
    if (index < 0 || static_cast<std::size_t>(index) >= count_) RaiseListIndexError(index);
    return sets_[live_][static_cast<std::size_t>(index)].get();
  }
  TzvDnsRecord* operator[](int index) const { return Items(index); }
  // The first record of the type whose name matches ignoring ASCII case, or nullptr.
  TzvDnsRecord* FindItem(std::string_view name, std::int32_t record_type) const;

  auto begin() const { return sets_[live_].cbegin(); }
  auto end() const { return sets_[live_].cbegin() + static_cast<std::ptrdiff_t>(count_); }

 private:
  friend class TzvDnsMessage;
  using TSlots = std::vector<std::unique_ptr<TzvDnsRecord>>;
  void Reserve(int count) {
    TSlots& live = sets_[live_];
    if (count > 0 && static_cast<std::size_t>(count) > live.capacity())
      live.reserve(static_cast<std::size_t>(count));
  }
  // Adds the spare waiting ready at the next place, if it is of the type code, and returns
  // it; else adds nothing and returns null. The spare is reset unless it is to be a resource
  // record whose decoding sets every field.
  TzvDnsRecord* AddSpare(std::int32_t type_code, bool resource_record) {
    TSlots& live = sets_[live_];
    if (count_ >= live.size() || live[count_] == nullptr) return nullptr;
    TzvDnsRecord* const record = live[count_].get();
    SetRecycledPoison(record, sizeof(TzvDnsRecord), false);
    if (record->spare_tag_.type_code != type_code) {
      SetRecycledPoison(record, sizeof(TzvDnsRecord), true);
      return nullptr;
    }
    if (record->spare_tag_.decoding_sets_all != TzvDnsRecord::TSpareTag::TSetsAll::Yes)
      PrepareSpare(*record, resource_record);
    ++count_;
    return record;
  }
  // Learns whether the spare's decoding sets every field, and resets it if not.
  static void PrepareSpare(TzvDnsRecord& record, bool resource_record);
  // Frees the record at a slot, which may be a poisoned spare.
  static void FreeSlot(std::unique_ptr<TzvDnsRecord>& slot);
  // Frees the records kept for reuse (the spares and those waiting), keeping the list's own.
  void DropKeptRecords();
  // Whether a clear would do nothing: a message's list cleared since its last decoding that
  // holds no record of the caller's.
  bool AsCleared() const {
    return decodings_ != nullptr && !holds_callers_ && cleared_at_ == *decodings_;
  }

  // Two sets of slots that trade roles at each clear after a decoding, so no record moves:
  // the live set holds the records (its first count_ slots) followed by the spares ready
  // for this decoding, left from the one before last; the other set holds the last
  // decoding's records, waiting. A list outside a message uses the first set only.
  TSlots sets_[2];
  std::size_t live_ = 0;
  std::size_t count_ = 0;
  // Set for a message's lists: how many decodings the message has finished, and how many
  // it had at the list's last clear.
  const std::uint64_t* decodings_ = nullptr;
  std::uint64_t cleared_at_ = 0;
  bool holds_callers_ = false;  // the caller added records since the last clear
};

class TzvDnsMessage {
 public:
  TzvDnsMessage();
  virtual ~TzvDnsMessage();
  TzvDnsMessage(const TzvDnsMessage&) = delete;
  TzvDnsMessage& operator=(const TzvDnsMessage&) = delete;

  TzvDnsMessageHeader& Header() { return header_; }
  const TzvDnsMessageHeader& Header() const { return header_; }
  TzvDnsRecordList& Authorities() { return parts_->authorities; }
  const TzvDnsRecordList& Authorities() const { return parts_->authorities; }
  TzvDnsRecordList& Answers() { return parts_->answers; }
  const TzvDnsRecordList& Answers() const { return parts_->answers; }
  TzvDnsRecordList& Queries() { return parts_->queries; }
  const TzvDnsRecordList& Queries() const { return parts_->queries; }
  TzvDnsRecordList& AdditionalRecords() { return parts_->additional_records; }
  const TzvDnsRecordList& AdditionalRecords() const { return parts_->additional_records; }

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

 protected:
  // For a class of the codec's own whose CreateRecord depends on the type code alone,
  // called by its constructor: messages of exactly that class pass on what they leave (see
  // below) to each other, as those of TzvDnsMessage itself do.
  void ShareLeftPartsWithin(const std::type_info& own_class) { sharing_class_ = &own_class; }

 private:
  void ParseSection(const TzvByteArray& buffer, std::int32_t& position, TzvDnsRecordList& list,
                    std::int32_t count, bool questions);
  // The lists and buffers, in a block of their own that never moves (the lists keep their
  // addresses for the message's whole life). A message of a sharing class itself (not of a
  // class derived from one, whose CreateRecord may make other records) leaves its block,
  // with the records its lists keep for reuse, to the next message its thread makes: a
  // message made for one lookup then decodes as a reused one does, allocating nothing.
  struct TParts {
    TzvDnsRecordList authorities;
    TzvDnsRecordList answers;
    TzvDnsRecordList queries;
    TzvDnsRecordList additional_records;
    TzvByteArray build_buffer;  // sized at the first Build
    TzvByteArray parse_buffer;
    std::uint64_t decodings = 0;  // finished by its messages, whether they failed or not
    // The sharing class whose CreateRecord made the records kept for reuse, if any.
    const std::type_info* made_by = nullptr;
  };
  struct TPartsKept;
  // The blocks ended messages left on this thread.
  static thread_local TPartsKept parts_kept_;
  // A block left on this thread, else a new one.
  static std::unique_ptr<TParts> TakeParts();
  // Leaves the block to the thread's next message, or frees it with the message.
  void LeaveParts() noexcept;
  // Learns whether the message leaves its block, and frees the records kept for reuse in it
  // if another class made them. True when every list is as a clear leaves it.
  bool StartFirstDecoding();

  const std::type_info* sharing_class_ = &typeid(TzvDnsMessage);
  bool decoded_ = false;       // a decoding has started
  bool leaves_parts_ = false;  // learnt at the first decoding
  TzvDnsMessageHeader header_;
  std::unique_ptr<TParts> parts_;
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
