#include "dns/zvDnsMessage.h"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>
#include <sys/random.h>
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <limits>
#include <typeinfo>
#include <utility>

#include "net/zvSocketUtils.h"

namespace {

// A list keeps at most this many records for reuse: enough for the answers a lookup meets
// again and again, while an odd large one cannot keep its memory.
constexpr std::size_t kMaxSpareRecords = 128;

// RFC 1035 limits on names. A longer label would have a length byte with its top bits
// set, which a reader takes for a compression pointer.
constexpr std::size_t kMaxLabelOctets = 63;
constexpr std::size_t kMaxNameOctets = 255;
// A name of 255 octets holds at most 127 labels, so no honest name needs more jumps;
// the cap stops pointer cycles that carry no labels (which the length cap cannot see).
constexpr int kMaxPointerJumps = 128;

// Identifiers are taken from the system's cryptographic source a block at a time, which
// spares a system call per message without making them any easier to guess. Each thread
// keeps its own block, so drawing one takes no lock. A forked child would repeat its
// parent's unused block, so the block is dropped in the child (whose one thread is the
// one that forked). A block of 1 KiB makes the system call's own cost (not the generator's,
// which is per byte) a few nanoseconds' worth per message.
struct TMessageIdPool {
  std::array<std::uint16_t, 512> ids{};
  std::size_t left = 0;
  TzvRandomBytesFn filled_from = nullptr;
};

thread_local TMessageIdPool id_pool;

TMessageIdPool& IdPool() {
  static const bool watching_forks = [] {
    pthread_atfork(nullptr, nullptr, [] { id_pool.left = 0; });
    return true;
  }();
  (void)watching_forks;
  return id_pool;
}

// Fills the buffer from /dev/urandom, or raises a socket error (a lookup that cannot
// start) when even that cannot be read.
void ReadUrandom(std::uint8_t* bytes, std::size_t length) {
  const int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    const int error = errno;
    throw EzvSocketError("No random numbers from the system: " + SystemErrorText(error), error);
  }
  std::size_t filled = 0;
  while (filled < length) {
    const ssize_t got = ::read(fd, bytes + filled, length - filled);
    if (got > 0) {
      filled += static_cast<std::size_t>(got);
    } else if (got == 0 || errno != EINTR) {
      const int error = got == 0 ? EIO : errno;
      ::close(fd);
      throw EzvSocketError("No random numbers from the system: " + SystemErrorText(error), error);
    }
  }
  ::close(fd);
}

// Out of line: drawing an identifier from the block, which every new message does, then
// needs no stack frame of its own.
[[gnu::noinline]] void FillIdPool(TMessageIdPool& pool, TzvRandomBytesFn source) {
  auto* bytes = reinterpret_cast<std::uint8_t*>(pool.ids.data());
  std::size_t filled = 0;
  const std::size_t wanted = sizeof pool.ids;
  while (filled < wanted) {
    const ssize_t got = source(bytes + filled, wanted - filled, 0);
    if (got > 0) {
      filled += static_cast<std::size_t>(got);
    } else if (got == 0 || errno != EINTR) {
      // An old kernel, or a sandbox that refuses the call (ENOSYS, EPERM): the same
      // generator is behind the device file.
      ReadUrandom(bytes + filled, wanted - filled);
      break;
    }
  }
  pool.left = pool.ids.size();
  pool.filled_from = source;
}

[[noreturn]] void RaiseEncoding(const std::string& text) {
  throw EzvDnsError(text, kzvDnsErrInvalidSize);
}

TzvDnsRecordClass RecordClassFromWire(std::uint16_t value) {
  if (value == rcChaos) return rcChaos;
  if (value == rcHesiod) return rcHesiod;
  return rcInternet;
}

// The text form of a name: labels joined by dots, a dot or backslash inside a label written
// "\." or "\\" as dig writes them, so that "a.b" as one label never reads as two. At most
// 255 octets, twice that as text when every octet needs its backslash: it fits a buffer on
// the caller's stack and is copied once, straight into the string field that keeps it. The
// buffer has a block's room to spare, so a label is copied as one whole block even near the
// end of the name.
constexpr std::size_t kLabelBlock = 16;
constexpr std::size_t kMaxNameText = 2 * kMaxNameOctets;
struct NameText {
  char text[kMaxNameText + 1 + kLabelBlock];
  std::size_t length = 0;
};

// Whether a label's bytes hold a dot or a backslash, which its text must escape.
inline bool NeedsEscape(const std::uint8_t* label, std::size_t length) {
  return std::memchr(label, '.', length) != nullptr || std::memchr(label, '\\', length) != nullptr;
}

// Writes the label's text with a backslash before each dot and backslash; returns how many
// backslashes it added.
std::size_t WriteEscapedLabel(char* out, const std::uint8_t* label, std::size_t length) {
  std::size_t added = 0;
  for (std::size_t i = 0; i < length; ++i) {
    const char c = static_cast<char>(label[i]);
    if (c == '.' || c == '\\') {
      *out++ = '\\';
      ++added;
    }
    *out++ = c;
  }
  return added;
}

// Copies `length` bytes of name text in whole blocks, so up to a block's worth past both ends:
// both buffers have that room to spare. Each block goes through a local one, so the bytes
// read past the source's end may be ones just written, as when a suffix kept in the store of
// names is copied to the store's end; they only ever land past the copy's own end.
inline void CopyInBlocks(char* to, const char* from, std::size_t length) {
  for (std::size_t at = 0; at < length; at += kLabelBlock) {
    char block[kLabelBlock];
    std::memcpy(block, from + at, kLabelBlock);
    std::memcpy(to + at, block, kLabelBlock);
  }
}

// The names a decoding has read so far, by the offsets of their labels: nearly every name in
// an answer ends in a pointer to one read before (the question's name, a mail server's), so
// the text behind such a pointer is copied whole instead of walked label by label again.
// Only offsets a pointer can reach are kept, in a small table indexed by offset.
class TNameCache {
 public:
  explicit TNameCache(const std::uint8_t* message) : message_(message) {}

  const std::uint8_t* Message() const { return message_; }

  // What decoding from `offset` to the end of its name gives, if known: the text with a dot
  // after each label, and the pointers followed on the way.
  struct TSuffix {
    const char* text;
    std::size_t length;
    int jumps;
  };
  bool Find(std::size_t offset, TSuffix& suffix) const {
    const std::size_t at = offset % kSlots;
    if (offsets_plus_one_[at] != offset + 1) return false;
    const TSlot& slot = slots_[at];
    suffix = {text_ + slot.text_at, slot.length, slot.jumps};
    return true;
  }

  // Keeps the text of a name just decoded and, for each label it read itself, the suffix
  // from that label on. labels[i] is the label's offset, starts[i] where its text begins,
  // jumps_before[i] the pointers followed before it.
  void Remember(const char* text, std::size_t length, int jumps, std::size_t count,
                const std::uint16_t* labels, const std::uint16_t* starts,
                const std::uint8_t* jumps_before) {
    if (count == 0 || length > kTextRoom - used_) return;
    CopyInBlocks(text_ + used_, text, length);
    for (std::size_t i = 0; i < count; ++i)
      Keep(labels[i], used_ + starts[i], length - starts[i], jumps - jumps_before[i]);
    used_ += length;
  }

  // Keeps the name made of the label at `offset` (`length` bytes at `label`) followed by a
  // known suffix, written straight into this store, and points `text` at it without its last
  // dot: the usual name in an answer's data, a host's own label and a pointer to its zone's
  // name. False, keeping nothing, when the store is full or a pointer cannot reach the label.
  // `whole_block`: a whole block may be read from `label`.
  bool RememberLabelBefore(std::size_t offset, const std::uint8_t* label, std::size_t length,
                           bool whole_block, const TSuffix& suffix, std::string_view& text) {
    const std::size_t total = length + 1 + suffix.length;
    if (offset >= kReachable || total > kTextRoom - used_) return false;
    char* const out = text_ + used_;
    if (whole_block)
      std::memcpy(out, label, kLabelBlock);
    else
      std::memcpy(out, label, length);
    out[length] = '.';
    CopyInBlocks(out + length + 1, suffix.text, suffix.length);  // the suffix is in this store
    Keep(offset, used_, total, suffix.jumps + 1);
    used_ += total;
    text = {out, total - 1};
    return true;
  }

  // Offsets a compression pointer can name.
  static constexpr std::size_t kReachable = 0x4000;

 private:
  static constexpr std::size_t kSlots = 64;
  static constexpr std::size_t kTextRoom = 2048;
  struct TSlot {
    std::uint16_t text_at;
    std::uint16_t length;
    std::uint8_t jumps;
  };
  static_assert(kReachable < 0xFFFF);
  // Records that the text from the label at `offset` on lies at `text_at` in the store.
  void Keep(std::size_t offset, std::size_t text_at, std::size_t length, int jumps) {
    const std::size_t at = offset % kSlots;
    offsets_plus_one_[at] = static_cast<std::uint16_t>(offset + 1u);
    slots_[at] = {static_cast<std::uint16_t>(text_at), static_cast<std::uint16_t>(length),
                  static_cast<std::uint8_t>(jumps)};
  }
  const std::uint8_t* message_;
  // Which offset each slot holds, plus one (0: none), apart from the slots themselves: only
  // these 128 bytes need clearing for each decoding.
  std::array<std::uint16_t, kSlots> offsets_plus_one_{};
  std::array<TSlot, kSlots> slots_;
  std::size_t used_ = 0;
  char text_[kTextRoom + kLabelBlock];  // a suffix is read in whole blocks, past its end too
};

// The cache of the decoding running on this thread, if any; names read from other bytes
// (or outside a decoding) do without.
thread_local TNameCache* active_names = nullptr;

// Decodes the name at offset `pos` (inside the message or at its end) into its text form and
// returns the offset behind the name's own bytes: behind its terminating zero, or behind the
// first compression pointer met. Pointers may lead anywhere inside the message, forward too;
// cycles are cut by the jump and length caps.
//
// Every answer carries a dozen names, so this walks the message with a plain index instead of
// a cursor per step; each read is still checked against the message's end first.
std::size_t DecodeNameAt(const std::uint8_t* const bytes, const std::size_t size, std::size_t pos,
                         NameText& name, TNameCache* const cache) {
  char* const out = name.text;
  // The text so far, every label followed by its dot: as long as the wire form of the labels
  // read, less the backslashes of escaped characters, so it also counts the name's octets
  // (all but the terminating zero).
  std::size_t out_length = 0;
  std::size_t escapes = 0;
  int jumps = 0;
  bool after_jump = false;
  bool complete = true;    // the text is the name's own, fit to serve as a suffix
  std::size_t resume = 0;  // behind the first pointer, once one is met
  // The labels read here (a name has at most 127), for the cache.
  std::size_t labels_read = 0;
  std::uint16_t label_at[128];
  std::uint16_t label_start[128];
  std::uint8_t label_jumps[128];
  for (;;) {
    // A name must end in a zero byte inside the message; a pointer must lead inside it.
    if (pos >= size) RaiseDnsInvalidSize();
    const std::uint8_t length = bytes[pos];
    if (length == 0) {
      // A pointer straight to a zero byte leaves an empty last label, kept as a trailing dot.
      if (after_jump) {
        out[out_length++] = '.';
        complete = false;
      }
      break;
    }
    if ((length & 0xC0) == 0xC0) {
      if (size - pos < 2) RaiseDnsInvalidSize();
      if (jumps == 0) resume = pos + 2;
      if (++jumps > kMaxPointerJumps) RaiseDnsInvalidSize();
      pos = ComposeWord(length & 0x3F, bytes[pos + 1]);
      after_jump = true;
      TNameCache::TSuffix known;
      if (cache != nullptr && cache->Find(pos, known)) {
        // The rest was read before, from these very bytes: only the caps are checked again.
        // A known suffix holds no escapes: its text is as long as its octets.
        if (out_length - escapes + known.length + 1 > kMaxNameOctets) RaiseDnsInvalidSize();
        if (jumps + known.jumps > kMaxPointerJumps) RaiseDnsInvalidSize();
        CopyInBlocks(out + out_length, known.text, known.length);
        out_length += known.length;
        break;
      }
      continue;
    }
    // Length bytes 0x40 to 0xBF are taken as plain label lengths, as old servers wrote them;
    // the name's length cap still holds them in.
    const std::size_t start = pos + 1;
    if (length > size - start) RaiseDnsInvalidSize();
    if (out_length - escapes + length + 1 + 1 > kMaxNameOctets) RaiseDnsInvalidSize();
    if (pos < TNameCache::kReachable) {
      label_at[labels_read] = static_cast<std::uint16_t>(pos);
      label_start[labels_read] = static_cast<std::uint16_t>(out_length);
      label_jumps[labels_read] = static_cast<std::uint8_t>(jumps);
      ++labels_read;
    }
    // Most labels are a few bytes long, and a copy whose length the compiler cannot see
    // becomes string instructions that take longer to start than such labels take to move.
    if (length <= kLabelBlock && size - start >= kLabelBlock)
      std::memcpy(out + out_length, bytes + start, kLabelBlock);
    else
      std::memcpy(out + out_length, bytes + start, length);
    if (NeedsEscape(bytes + start, length)) {
      const std::size_t added = WriteEscapedLabel(out + out_length, bytes + start, length);
      escapes += added;
      out_length += added;
    }
    out_length += length;
    out[out_length++] = '.';
    pos = start + length;
    after_jump = false;
  }
  // The store keeps only texts without escapes, whose length is their octets'.
  if (cache != nullptr && complete && escapes == 0) {
    cache->Remember(out, out_length, jumps, labels_read, label_at, label_start, label_jumps);
  }
  if (out_length > 0) --out_length;  // the last dot
  name.length = out_length;
  // Both lie inside the message (at most at its end).
  return jumps > 0 ? resume : pos + 1;
}

// Decodes the name at `pos` like DecodeNameAt and points `text` at its text, which stays valid
// while `scratch` and the decoding do. Most names in an answer are a lone pointer to a name read
// before: their text is taken straight from the cache, not copied to the stack and from there
// again (a copy that would also have to wait for the pieces just written to it).
inline std::size_t DecodeName(const std::uint8_t* const bytes, const std::size_t size,
                              const std::size_t pos, NameText& scratch, TNameCache* const cache,
                              std::string_view& text) {
  if (cache != nullptr && size - pos >= 2) {
    const std::uint8_t first = bytes[pos];
    TNameCache::TSuffix known;
    // Within the caps as DecodeNameAt checks them; otherwise it raises the error below.
    if ((first & 0xC0) == 0xC0) {
      if (cache->Find(ComposeWord(first & 0x3F, bytes[pos + 1]), known) &&
          1 + known.jumps <= kMaxPointerJumps && known.length + 1 <= kMaxNameOctets) {
        text = {known.text, known.length - 1};  // a known suffix has one label at least
        return pos + 2;
      }
    } else if (first != 0 && first < 0x40 && size - pos >= std::size_t{first} + 3u) {
      // One label, then a pointer to a name read before.
      const std::size_t at = pos + 1 + first;
      if ((bytes[at] & 0xC0) == 0xC0 && !NeedsEscape(bytes + pos + 1, first) &&
          cache->Find(ComposeWord(bytes[at] & 0x3F, bytes[at + 1]), known) &&
          1 + known.jumps <= kMaxPointerJumps && first + 1u + known.length + 1u <= kMaxNameOctets &&
          cache->RememberLabelBefore(pos, bytes + pos + 1, first,
                                     first <= kLabelBlock && size - pos - 1 >= kLabelBlock, known,
                                     text)) {
        return at + 2;
      }
    }
  }
  const std::size_t end = DecodeNameAt(bytes, size, pos, scratch, cache);
  text = {scratch.text, scratch.length};
  return end;
}

// The cache of the running decoding, if it was made for these bytes.
TNameCache* NameCacheFor(const std::uint8_t* bytes) {
  return active_names != nullptr && active_names->Message() == bytes ? active_names : nullptr;
}

// A name read at a moving position of the message, into a record's field. Its own bytes (up
// to the first pointer) must end by `limit`, or the field is left as it was.
void ReadNameInto(const TzvByteArray& buffer, std::int32_t& position, std::string& field,
                  std::size_t limit = std::numeric_limits<std::size_t>::max()) {
  const std::uint8_t* const bytes = buffer.Data();
  const std::size_t size = buffer.Length();
  if (position < 0 || static_cast<std::size_t>(position) > size) RaiseDnsInvalidSize();
  NameText scratch;
  std::string_view text;
  const std::size_t end = DecodeName(bytes, size, static_cast<std::size_t>(position), scratch,
                                     NameCacheFor(bytes), text);
  if (end > limit) RaiseDnsInvalidSize();
  field.assign(text.data(), text.size());
  position = static_cast<std::int32_t>(end);
}

// RFC 2136's update messages delete records and state prerequisites with classes NONE and
// ANY, whose records may carry no data at all.
constexpr std::uint16_t kClassNone = 254;
constexpr std::uint16_t kClassAny = 255;

// Splits a name text into its labels as WriteName writes them: at every dot, a final dot
// adding nothing. Calls visit(label) for each.
template <class Visit>
void ForEachLabel(std::string_view name, Visit visit) {
  while (!name.empty()) {
    const std::size_t dot = name.find('.');
    visit(name.substr(0, dot));
    name = dot == std::string_view::npos ? std::string_view{} : name.substr(dot + 1);
  }
}

// The decimal digits of every octet value followed by a dot, made once at compile time, so
// an address is formatted by copying four words instead of dividing per digit.
struct OctetText {
  char text[4];         // "7.", "42.", "255." (the rest unused)
  std::uint8_t length;  // with the dot
};

constexpr std::array<OctetText, 256> MakeOctetTexts() {
  std::array<OctetText, 256> table{};
  for (unsigned value = 0; value < 256; ++value) {
    OctetText& entry = table[value];
    entry.length = 0;
    if (value >= 100) entry.text[entry.length++] = static_cast<char>('0' + value / 100);
    if (value >= 10) entry.text[entry.length++] = static_cast<char>('0' + value / 10 % 10);
    entry.text[entry.length++] = static_cast<char>('0' + value % 10);
    entry.text[entry.length++] = '.';
  }
  return table;
}

constexpr std::array<OctetText, 256> kOctetTexts = MakeOctetTexts();

// "%d.%d.%d.%d" of four octets, assigned in place: the text always fits a string's own
// small buffer, so nothing is allocated. The longest text takes 15 bytes; all 15 are copied
// (a copy of fixed size is a few moves, a variable one starts string instructions) and the
// string is then cut to the text's length.
void AssignIPv4(std::span<const std::uint8_t> octets, std::string& text) {
  constexpr std::size_t kLongest = 15;  // "255.255.255.255"
  char out[kLongest + 4];               // a whole word is copied for the last octet too
  std::size_t n = 0;
  for (std::size_t i = 0; i < 4; ++i) {
    const OctetText& entry = kOctetTexts[octets[i]];
    std::memcpy(out + n, entry.text, sizeof entry.text);
    n += entry.length;
  }
  text.assign(out, kLongest);
  text.resize(n - 1);  // without the last dot
}

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// Writes a name whose text holds backslash escapes, read as dig reads them: "\DDD" is the
// octet of that decimal value, a backslash before any other character stands for that
// character, so "\." is a dot inside a label rather than the end of one.
void WriteEscapedName(std::string_view name, TzvByteArray& buffer, std::int32_t& position) {
  const auto refuse = [&name](const char* why) {
    RaiseEncoding(Format("'%s' is not a legal name (%s)", std::string(name).c_str(), why));
  };
  std::string wire(1, '\0');  // each label's length byte is filled in when the label ends
  std::size_t label_at = 0;
  const auto end_label = [&] {
    const std::size_t length = wire.size() - label_at - 1;
    if (length == 0) RaiseEncoding(Format(SzvDnsEmptyLabel, std::string(name).c_str()));
    if (length > kMaxLabelOctets) RaiseEncoding(SzvDnsLabelTooLong);
    wire[label_at] = static_cast<char>(length);
  };
  for (std::size_t i = 0; i < name.size();) {
    const char c = name[i];
    if (c == '.') {
      end_label();
      label_at = wire.size();
      wire += '\0';
      ++i;
    } else if (c != '\\') {
      wire += c;
      ++i;
    } else if (i + 1 == name.size()) {
      refuse("a backslash ends it");
    } else if (IsDigit(name[i + 1])) {
      if (name.size() - i < 4 || !IsDigit(name[i + 2]) || !IsDigit(name[i + 3]))
        refuse("\\DDD needs three digits");
      const int value = (name[i + 1] - '0') * 100 + (name[i + 2] - '0') * 10 + (name[i + 3] - '0');
      if (value > 255) refuse("\\DDD above 255");
      wire += static_cast<char>(value);
      i += 4;
    } else {
      wire += name[i + 1];
      i += 2;
    }
    if (wire.size() > kMaxNameOctets + kMaxLabelOctets) RaiseEncoding(SzvDnsNameTooLong);
  }
  if (wire.size() - label_at == 1)
    wire.pop_back();  // a final dot: the name is complete
  else
    end_label();
  wire += '\0';
  if (wire.size() > kMaxNameOctets) RaiseEncoding(SzvDnsNameTooLong);
  TzvWireWriter writer(buffer.Bytes(), position);
  writer.WriteText(wire);
  position = writer.Position();
}

// Writes a name field of a record whose data is only that name; an empty one cannot be
// sent.
void BuildNameData(const std::string& name, TzvByteArray& buffer, std::int32_t& position) {
  if (name.empty()) throw EzvDnsError(2);
  TzvDnsRecord::WriteName(name, buffer, position);
}

}  // namespace

TzvRandomBytesFn& MessageIdRandomSource() {
  static TzvRandomBytesFn source = ::getrandom;
  return source;
}

std::uint16_t NewMessageID() {
  TMessageIdPool& pool = IdPool();
  const TzvRandomBytesFn source = MessageIdRandomSource();
  if (pool.left == 0 || pool.filled_from != source) FillIdPool(pool, source);
  return pool.ids[--pool.left];
}

// ---- Header ----

void TzvDnsMessageHeader::Clear() {
  ID = NewMessageID();
  ResetFlagsAndCounts();
}

void TzvDnsMessageHeader::ResetFlagsAndCounts() {
  IsRecursionAvailable = false;
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
  ResponseCode = flags & 0x0F;
}

// ---- Record base ----

#ifndef PELLAMAR_ASAN
namespace {

// Freed records' memory, per thread, in size steps of 16 bytes; the record classes are
// all well under 256 bytes. A few dozen blocks per size are enough for the largest answers
// decoded again and again; beyond that a freed record goes back to the heap.
constexpr std::size_t kRecordGrain = 16;
constexpr std::size_t kRecordSizes = 16;
constexpr std::size_t kKeptPerSize = 64;

struct TFreeRecord {
  TFreeRecord* next;
};

struct TRecordStore {
  TRecordStore() = default;
  TRecordStore(const TRecordStore&) = delete;
  TRecordStore& operator=(const TRecordStore&) = delete;
  ~TRecordStore();
  std::array<TFreeRecord*, kRecordSizes> heads{};
  std::array<std::size_t, kRecordSizes> counts{};
};

// Set once the thread's store is gone: records freed later (by other destructors at the
// thread's or the program's end) go straight back to the heap.
thread_local bool record_store_gone = false;
thread_local TRecordStore record_store;

TRecordStore::~TRecordStore() {
  record_store_gone = true;
  for (TFreeRecord*& head : heads) {
    while (head != nullptr) {
      TFreeRecord* const block = head;
      head = block->next;
      ::operator delete(block);
    }
  }
}

// The size step of a record of `size` bytes; kRecordSizes or more when it has none.
std::size_t RecordSizeStep(std::size_t size) {
  return (size + kRecordGrain - 1) / kRecordGrain - 1;
}

}  // namespace
#endif

void* TzvDnsRecord::operator new(std::size_t size) {
#ifndef PELLAMAR_ASAN
  const std::size_t step = RecordSizeStep(size);
  if (step < kRecordSizes && !record_store_gone) {
    TRecordStore& store = record_store;
    if (TFreeRecord* const block = store.heads[step]) {
      store.heads[step] = block->next;
      --store.counts[step];
      return block;
    }
    // Made at the full step, so that any record of the step can have it later.
    return ::operator new((step + 1) * kRecordGrain);
  }
#endif
  return ::operator new(size);
}

void TzvDnsRecord::operator delete(void* memory, [[maybe_unused]] std::size_t size) noexcept {
  if (memory == nullptr) return;
#ifndef PELLAMAR_ASAN
  const std::size_t step = RecordSizeStep(size);
  if (step < kRecordSizes && !record_store_gone) {
    TRecordStore& store = record_store;
    if (store.counts[step] < kKeptPerSize) {
      auto* const block = static_cast<TFreeRecord*>(memory);
      block->next = store.heads[step];
      store.heads[step] = block;
      ++store.counts[step];
      return;
    }
  }
#endif
  ::operator delete(memory);
}

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

void TzvDnsRecord::Reset() {
  RecordClass = rcInternet;
  RecordType = 0;
  Name.clear();
  TTL = 0;
  DataLength = 0;
}

void TzvDnsRecord::BuildData(TzvByteArray&, std::int32_t&) {}

void TzvDnsRecord::ParseData(const TzvByteArray&, std::int32_t&) {}

void TzvDnsRecord::WriteName(std::string_view name, TzvByteArray& buffer, std::int32_t& position) {
  if (name.find('\\') != std::string_view::npos) {
    WriteEscapedName(name, buffer, position);
    return;
  }
  // "." alone, like the empty text, is the root: the zero byte only.
  if (name == ".") name = {};
  // Every dot becomes a length byte, the first label gets one in front and the zero byte
  // ends the name; a final dot adds nothing. So the wire length is known from the text.
  const std::size_t octets = name.empty() ? 1 : name.size() + 2 - (name.back() == '.' ? 1 : 0);
  if (octets > kMaxNameOctets) RaiseEncoding(SzvDnsNameTooLong);
  // An empty label would be a zero length byte, which ends the name on the wire: what
  // follows it would be read as the type, class and the next record.
  if (!name.empty() && (name.front() == '.' || name.find("..") != std::string_view::npos))
    RaiseEncoding(Format(SzvDnsEmptyLabel, std::string(name).c_str()));

  TzvWireWriter writer(buffer.Bytes(), position);
  ForEachLabel(name, [&](std::string_view label) {
    if (label.size() > kMaxLabelOctets) RaiseEncoding(SzvDnsLabelTooLong);
    writer.WriteByte(static_cast<std::uint8_t>(label.size()));
    writer.WriteText(label);
  });
  writer.WriteByte(0);
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
  std::string text;
  if (length > 0) {
    const auto bytes = cursor.ReadBytes(length);
    // The text ends at the first zero byte; the whole declared length is consumed.
    std::size_t used = 0;
    while (used < bytes.size() && bytes[used] != 0) ++used;
    text.assign(reinterpret_cast<const char*>(bytes.data()), used);
  }
  position = cursor.Position();
  return text;
}

void TzvDnsRecord::WriteQuestion(TzvByteArray& buffer, std::int32_t& position) {
  WriteName(Name, buffer, position);
  TzvWireWriter writer(buffer.Bytes(), position);
  writer.WriteWord(static_cast<std::uint16_t>(RecordType));
  writer.WriteWord(RecordClass);
  position = writer.Position();
}

void TzvDnsRecord::ReadQuestion(const TzvByteArray& buffer, std::int32_t& position) {
  ReadNameInto(buffer, position, Name);
  TzvWireCursor cursor(buffer.Bytes(), position);
  RecordType = cursor.ReadWord();
  RecordClass = RecordClassFromWire(cursor.ReadWord());
  position = cursor.Position();
}

void TzvDnsRecord::WriteRecord(TzvByteArray& buffer, std::int32_t& position) {
  WriteQuestion(buffer, position);
  TzvWireWriter writer(buffer.Bytes(), position);
  writer.WriteDWord(TTL);
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
                                std::size_t data_end, std::string& field) {
  ReadNameInto(buffer, position, field, data_end);
}

void TzvDnsRecord::ClearData() {
  std::string name = std::move(Name);
  const std::int32_t type = RecordType;
  const TzvDnsRecordClass record_class = RecordClass;
  const std::uint32_t ttl = TTL;
  const std::int32_t data_length = DataLength;
  Reset();
  Name = std::move(name);
  RecordType = type;
  RecordClass = record_class;
  TTL = ttl;
  DataLength = data_length;
}

void TzvDnsRecord::ReadRecordRest(const TzvByteArray& buffer, std::int32_t& position,
                                  std::uint16_t wire_class) {
  const std::size_t size = buffer.Length();
  if (position < 0 || static_cast<std::size_t>(position) > size) RaiseDnsInvalidSize();
  const std::size_t at = static_cast<std::size_t>(position);
  const std::uint8_t* const fixed = buffer.Data() + at;
  // Time to live, then data length: a record cut between them keeps its time to live.
  if (size - at < 4) RaiseDnsInvalidSize();
  TTL = std::uint32_t{ComposeWord(fixed[0], fixed[1])} << 16 | ComposeWord(fixed[2], fixed[3]);
  if (size - at < 6) RaiseDnsInvalidSize();
  DataLength = ComposeWord(fixed[4], fixed[5]);
  const std::size_t start = at + 6;
  if (static_cast<std::size_t>(DataLength) > size - start) RaiseDnsInvalidSize();
  position = static_cast<std::int32_t>(start) + DataLength;
  if (DataLength == 0 && (wire_class == kClassNone || wire_class == kClassAny)) {
    // Nothing to read: a reused record must not show what an earlier decoding left.
    ClearData();
    return;
  }
  // The parser reads from a copy; whatever it leaves unread is skipped, so the next
  // record starts where the data length says.
  std::int32_t data = static_cast<std::int32_t>(start);
  ParseData(buffer, data);
  if (data > position) RaiseDnsInvalidSize();
}

void TzvDnsRecord::ReadUnresetRecordRest(const TzvByteArray& buffer, std::int32_t& position,
                                         std::uint16_t wire_class) {
  const std::int32_t data_at = position;
  try {
    ReadRecordRest(buffer, position, wire_class);
  } catch (...) {
    // The fields not reached may still hold what an earlier decoding put there. The record
    // is reset and decoded again up to the same fault, so it shows exactly what a new
    // record would.
    std::string name = std::move(Name);
    const std::int32_t type = RecordType;
    const TzvDnsRecordClass record_class = RecordClass;
    Reset();
    Name = std::move(name);
    RecordType = type;
    RecordClass = record_class;
    std::int32_t again = data_at;
    try {
      ReadRecordRest(buffer, again, wire_class);
    } catch (...) {
    }
    throw;
  }
}

// ---- Record list ----

TzvDnsRecordList::~TzvDnsRecordList() {
  // Spares are poisoned; every record is shown to the sanitizer again before it is freed.
  for (TSlots& set : sets_) {
    for (auto& slot : set) {
      if (slot != nullptr) SetRecycledPoison(slot.get(), sizeof(TzvDnsRecord), false);
    }
  }
}

void TzvDnsRecordList::FreeSlot(std::unique_ptr<TzvDnsRecord>& slot) {
  if (slot == nullptr) return;
  SetRecycledPoison(slot.get(), sizeof(TzvDnsRecord), false);
  slot.reset();
}

int TzvDnsRecordList::Add(std::unique_ptr<TzvDnsRecord> record) {
  if (record == nullptr || !record->spare_tag_.decoded) holds_callers_ = true;
  TSlots& live = sets_[live_];
  if (count_ < live.size()) {
    FreeSlot(live[count_]);  // a spare that did not fit
    live[count_] = std::move(record);
  } else {
    live.push_back(std::move(record));
  }
  return static_cast<int>(count_++);
}

namespace {

// Whether a successful decoding of a resource record sets every field of the record's class,
// so that a reused one need not be reset first. Only the codec's own classes are known to;
// a class derived from one may add fields that only its Reset empties. (Classes are told
// apart by the address of their type information: should a copy from another library make
// that fail, the record is merely reset as any other.)
bool DecodingSetsAllFields(const TzvDnsRecord& record) {
  const std::type_info* const type = &typeid(record);
  return type == &typeid(TzvDnsMXRecord) || type == &typeid(TzvDnsARecord) ||
         type == &typeid(TzvDnsNSRecord) || type == &typeid(TzvDnsRecord) ||
         type == &typeid(TzvDnsPTRRecord) || type == &typeid(TzvDnsCNAMERecord) ||
         type == &typeid(TzvDnsSOARecord) || type == &typeid(TzvDnsTXTRecord);
}

}  // namespace

void TzvDnsRecordList::PrepareSpare(TzvDnsRecord& record, bool resource_record) {
  using TSetsAll = TzvDnsRecord::TSpareTag::TSetsAll;
  TSetsAll& sets_all = record.spare_tag_.decoding_sets_all;
  if (sets_all == TSetsAll::Unknown)
    sets_all = resource_record && DecodingSetsAllFields(record) ? TSetsAll::Yes : TSetsAll::No;
  if (sets_all == TSetsAll::No) record.Reset();
}

void TzvDnsRecordList::Clear() {
  TSlots& live = sets_[live_];
  if (decodings_ == nullptr) {
    live.clear();
    count_ = 0;
    return;
  }
  // Records the caller added are the caller's, and go now; only those the message's
  // decodings made are kept.
  if (holds_callers_) {
    for (std::size_t i = 0; i < count_; ++i) {
      if (live[i] != nullptr && !live[i]->spare_tag_.decoded) live[i].reset();
    }
    holds_callers_ = false;
  }
  // With no decoding since the last clear, what the list held was the caller's alone.
  if (cleared_at_ == *decodings_) {
    count_ = 0;
    return;
  }
  cleared_at_ = *decodings_;
  // Spares nobody took in the decoding that ends here are freed; the records it made wait
  // through the next one (an odd large list keeps none).
  for (std::size_t i = count_; i < live.size(); ++i) FreeSlot(live[i]);
  live.resize(count_ <= kMaxSpareRecords ? count_ : 0);
  for (auto& slot : live) {
    if (slot != nullptr) SetRecycledPoison(slot.get(), sizeof(TzvDnsRecord), true);
  }
  count_ = 0;
  live_ ^= 1;
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
  for (const auto& record : *this) {
    if (record->RecordType == record_type && SameText(record->Name, name)) return record.get();
  }
  return nullptr;
}

// ---- Message ----

namespace {

// A TCP answer's buffer may be 64 KiB; a thread keeps no more than a few datagrams' worth.
constexpr std::size_t kMaxBufferLeft = 4096;

// A lookup following a referral makes a question and an answer message together, so a thread
// keeps the blocks the last two messages to end left.
constexpr std::size_t kMaxPartsKept = 2;

// Set once the thread's kept blocks are gone: a message ending later (at the thread's or the
// program's end) frees its own.
thread_local bool parts_kept_gone = false;

}  // namespace

// The lists of a block left here were cleared as it was left, so the records of its last
// message's last decoding wait through the next message's first decoding before they are
// handed out again, poisoned meanwhile: a pointer kept past the message's end is still
// reported.
struct TzvDnsMessage::TPartsKept {
  TPartsKept() = default;
  TPartsKept(const TPartsKept&) = delete;
  TPartsKept& operator=(const TPartsKept&) = delete;
  ~TPartsKept() { parts_kept_gone = true; }
  std::array<std::unique_ptr<TParts>, kMaxPartsKept> blocks;  // the last one left on top
  std::size_t count = 0;
};

thread_local TzvDnsMessage::TPartsKept TzvDnsMessage::parts_kept_;

void TzvDnsRecordList::DropKeptRecords() {
  TSlots& live = sets_[live_];
  for (std::size_t i = count_; i < live.size(); ++i) FreeSlot(live[i]);
  live.resize(count_);
  TSlots& waiting = sets_[live_ ^ 1];
  for (auto& slot : waiting) FreeSlot(slot);
  waiting.clear();
}

TzvDnsMessage::TzvDnsMessage() : parts_(TakeParts()) {}

TzvDnsMessage::~TzvDnsMessage() {
  LeaveParts();
}

std::unique_ptr<TzvDnsMessage::TParts> TzvDnsMessage::TakeParts() {
  if (!parts_kept_gone) {
    TPartsKept& kept = parts_kept_;
    if (kept.count > 0) return std::move(kept.blocks[--kept.count]);
  }
  auto parts = std::make_unique<TParts>();
  for (TzvDnsRecordList* list :
       {&parts->queries, &parts->answers, &parts->authorities, &parts->additional_records})
    list->decodings_ = &parts->decodings;
  return parts;
}

void TzvDnsMessage::LeaveParts() noexcept {
  // Records a derived class's CreateRecord made go with the message.
  if ((decoded_ && !leaves_parts_) || parts_kept_gone) return;
  TParts& parts = *parts_;
  parts.queries.Clear();  // the caller's records go; the last decoding's start waiting
  parts.answers.Clear();
  parts.authorities.Clear();
  parts.additional_records.Clear();
  if (parts.parse_buffer.Capacity() > kMaxBufferLeft) parts.parse_buffer = TzvByteArray();
  if (decoded_) parts.made_by = sharing_class_;
  TPartsKept& kept = parts_kept_;
  if (kept.count == kept.blocks.size()) {
    // The oldest block goes, with its records.
    std::move(kept.blocks.begin() + 1, kept.blocks.end(), kept.blocks.begin());
    --kept.count;
  }
  kept.blocks[kept.count++] = std::move(parts_);
}

bool TzvDnsMessage::StartFirstDecoding() {
  decoded_ = true;
  // Records kept for reuse are those the CreateRecord of the class that left them made.
  leaves_parts_ = typeid(*this) == *sharing_class_;
  TParts& parts = *parts_;
  if (parts.made_by != nullptr && !(leaves_parts_ && *parts.made_by == *sharing_class_)) {
    parts.queries.DropKeptRecords();
    parts.answers.DropKeptRecords();
    parts.authorities.DropKeptRecords();
    parts.additional_records.DropKeptRecords();
    parts.made_by = nullptr;
  }
  return parts.queries.AsCleared() && parts.answers.AsCleared() && parts.authorities.AsCleared() &&
         parts.additional_records.AsCleared();
}

void TzvDnsMessage::Clear() {
  header_.Clear();
  parts_->authorities.Clear();
  parts_->answers.Clear();
  parts_->queries.Clear();
  parts_->additional_records.Clear();
}

void TzvDnsMessage::Build(TStream& stream) {
  const TParts& parts = *parts_;
  header_.QueryCount = parts.queries.Count();
  header_.AnswerCount = parts.answers.Count();
  header_.AuthorityCount = parts.authorities.Count();
  header_.AdditionalCount = parts.additional_records.Count();

  // One fixed buffer per message, zeroed for every build as a fresh one would be.
  TzvByteArray& buffer = parts_->build_buffer;
  if (buffer.Length() == 0) buffer.SetLength(kzvDnsMaxMessageSize);
  std::fill(buffer.Data(), buffer.Data() + buffer.Length(), std::uint8_t{0});
  std::int32_t position = 0;
  header_.Build(buffer, position);
  for (const auto& record : parts.queries) record->WriteQuestion(buffer, position);
  for (const auto& record : parts.answers) record->WriteRecord(buffer, position);
  for (const auto& record : parts.authorities) record->WriteRecord(buffer, position);
  for (const auto& record : parts.additional_records) record->WriteRecord(buffer, position);
  // Only now that the whole message is encoded does anything reach the stream.
  stream.WriteBuffer(buffer.Data(), position);
}

void TzvDnsMessage::Parse(TStream& stream) {
  // The header is read first thing below and sets every field, its identifier included,
  // even when it is cut short; so only the sections need emptying here (drawing a fresh
  // identifier that would be overwritten at once costs a lock and a generator step).
  // The records cleared here are not reused by this decoding: a pointer kept from the last
  // one still finds a poisoned record.
  struct TEndDecoding {
    std::uint64_t& decodings;
    ~TEndDecoding() { ++decodings; }
  } end_decoding{parts_->decodings};
  TParts& parts = *parts_;
  // A new message's lists are mostly as the message that left them cleared them.
  if (decoded_ || !StartFirstDecoding()) {
    parts.authorities.Clear();
    parts.answers.Clear();
    parts.queries.Clear();
    parts.additional_records.Clear();
  }
  TzvByteArray& buffer = parts.parse_buffer;
  try {
    const std::int64_t available = stream.Size() - stream.Position();
    // Offsets inside a message are 32-bit; nothing that large is a DNS message anyway.
    if (available > std::numeric_limits<std::int32_t>::max()) RaiseDnsInvalidSize();
    // The buffer is kept between parses (a message is reused for every lookup), sized to
    // exactly the datagram each time.
    buffer.SetLength(static_cast<std::size_t>(available > 0 ? available : 0));
    stream.ReadBuffer(buffer.Data(), buffer.Length());
  } catch (...) {
    // Failing before the header is read leaves the header as a cleared message has it.
    header_.Clear();
    throw;
  }

  // Names read while this decoding runs may take their endings from those read before.
  TNameCache names(buffer.Data());
  struct TActiveNames {
    TNameCache* previous;
    explicit TActiveNames(TNameCache* names) : previous(active_names) { active_names = names; }
    ~TActiveNames() { active_names = previous; }
  } active{&names};
  std::int32_t position = 0;
  header_.Parse(buffer, position);
  ParseSection(buffer, position, parts.queries, header_.QueryCount, true);
  ParseSection(buffer, position, parts.answers, header_.AnswerCount, false);
  ParseSection(buffer, position, parts.authorities, header_.AuthorityCount, false);
  ParseSection(buffer, position, parts.additional_records, header_.AdditionalCount, false);
  // An error reply is reported only once everything it carries has been decoded.
  CheckResponseCode(header_.ResponseCode);
}

void TzvDnsMessage::ParseSection(const TzvByteArray& buffer, std::int32_t& position,
                                 TzvDnsRecordList& list, std::int32_t count, bool questions) {
  // Room for the records the header announces, but never for more than the rest of the
  // datagram could hold: a question takes at least 5 bytes, a resource record 11.
  const std::uint8_t* const bytes = buffer.Data();
  const std::size_t size = buffer.Length();
  if (position < 0 || static_cast<std::size_t>(position) > size) RaiseDnsInvalidSize();
  const std::size_t fit = (size - static_cast<std::size_t>(position)) / (questions ? 5 : 11);
  list.Reserve(static_cast<int>(std::min(static_cast<std::size_t>(count), fit)));
  TNameCache* const names = NameCacheFor(bytes);
  for (std::int32_t i = 0; i < count; ++i) {
    // The record's class depends on its type, which follows its name, so the question
    // part is read first and handed to the record made for it. A fault in it adds no
    // record; the record is added before the rest of its fields are read, so one that
    // fails half-way is still owned by the list.
    NameText scratch;
    std::string_view name;
    std::size_t pos =
        DecodeName(bytes, size, static_cast<std::size_t>(position), scratch, names, name);
    if (size - pos < 4) RaiseDnsInvalidSize();
    const std::int32_t record_type = ComposeWord(bytes[pos], bytes[pos + 1]);
    const std::uint16_t wire_class = ComposeWord(bytes[pos + 2], bytes[pos + 3]);
    const TzvDnsRecordClass record_class = RecordClassFromWire(wire_class);
    pos += 4;
    TzvDnsRecord* record = list.AddSpare(record_type, !questions);
    if (record == nullptr) {
      std::unique_ptr<TzvDnsRecord> made = CreateRecord(record_type);
      if (made == nullptr) made = std::make_unique<TzvDnsRecord>();  // kept opaque
      made->spare_tag_.decoded = true;
      made->spare_tag_.type_code = record_type;
      record = made.get();
      list.Add(std::move(made));
    }
    record->Name.assign(name.data(), name.size());
    record->RecordType = record_type;
    record->RecordClass = record_class;
    position = static_cast<std::int32_t>(pos);
    if (questions) continue;
    if (record->spare_tag_.decoding_sets_all == TzvDnsRecord::TSpareTag::TSetsAll::Yes)
      record->ReadUnresetRecordRest(buffer, position, wire_class);
    else
      record->ReadRecordRest(buffer, position, wire_class);
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

void TzvDnsMXRecord::Reset() {
  TzvDnsRecord::Reset();
  RecordType = kzvDnsTypeMX;
  Preference = 0;
  MailServer.clear();
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

void TzvDnsNSRecord::Reset() {
  TzvDnsRecord::Reset();
  RecordType = kzvDnsTypeNS;
  NameServer.clear();
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

void TzvDnsARecord::Reset() {
  TzvDnsRecord::Reset();
  RecordType = kzvDnsTypeA;
  IPAddress.clear();
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
  AssignIPv4(cursor.ReadBytes(4), IPAddress);
  position = cursor.Position();
}

std::unique_ptr<TzvDnsRecord> TzvDnsPTRRecord::Create() const {
  return std::make_unique<TzvDnsPTRRecord>();
}

void TzvDnsPTRRecord::Assign(const TPersistent* source) {
  TzvDnsRecord::Assign(source);
  if (auto* ptr = dynamic_cast<const TzvDnsPTRRecord*>(source)) DomainName = ptr->DomainName;
}

void TzvDnsPTRRecord::Reset() {
  TzvDnsRecord::Reset();
  RecordType = kzvDnsTypePTR;
  DomainName.clear();
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

void TzvDnsSOARecord::Reset() {
  TzvDnsRecord::Reset();
  RecordType = kzvDnsTypeSOA;
  Expire = 0;
  MinimumTTL = 0;
  Retry = 0;
  SerialNumber = 0;
  Refresh = 0;
  ResponsibleMailbox.clear();
  PrimaryNameServer.clear();
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

void TzvDnsCNAMERecord::Reset() {
  TzvDnsRecord::Reset();
  RecordType = kzvDnsTypeCNAME;
  CanonicalName.clear();
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

void TzvDnsTXTRecord::Reset() {
  TzvDnsRecord::Reset();
  RecordType = kzvDnsTypeTXT;
  Text.clear();
}

void TzvDnsTXTRecord::BuildData(TzvByteArray& buffer, std::int32_t& position) {
  TzvDnsRecord::BuildData(buffer, position);
  if (Text.empty()) throw EzvDnsError(2);
  WriteCharacterString(Text, buffer, position);
}

void TzvDnsTXTRecord::ParseData(const TzvByteArray& buffer, std::int32_t& position) {
  TzvDnsRecord::ParseData(buffer, position);
  // Only the first character-string is kept; the rest goes with the unread data.
  Text = ReadCharacterString(buffer, position);
}
