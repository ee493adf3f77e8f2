// Domain names between their wire form and their text form. The text is the labels joined
// by dots, the root being the empty text; a dot or backslash inside a label is written
// "\." or "\\" as dig writes it, so that one label "a.b" never reads as two. Every record
// of the codec reads and writes its names through these two functions.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "dns/zvUtils.h"

// RFC 1035 limits: a longer label would have a length byte with its top bits set, which a
// reader takes for a compression pointer.
inline constexpr std::size_t kzvDnsMaxLabelOctets = 63;
inline constexpr std::size_t kzvDnsMaxNameOctets = 255;

// The names one decoding has read, by the offsets of their labels. Nearly every name in an
// answer ends in a pointer to a name read before (the question's, a mail server's): its text
// is then copied whole instead of walked label by label again. A cache serves one message's
// bytes; Reset empties it for the next.
class TzvDnsNameCache {
 public:
  // What decoding from a label on gives: the text (without a last dot), the octets on the
  // wire (length bytes included, the zero byte not) and the pointers followed.
  struct TSuffix {
    std::string_view text;
    std::size_t octets = 0;
    int jumps = 0;
  };
  // A label a decoding read: its offset, where its text starts in the name's, and the octets
  // and pointers before it.
  struct TLabel {
    std::size_t offset;
    std::size_t text_at;
    std::size_t octets_before;
    int jumps_before;
  };

  void Reset();
  // The suffix that starts at `offset`, if a decoding read it; valid until the next Remember.
  bool Find(std::size_t offset, TSuffix& suffix) const;
  // Keeps a name just decoded whole: its text, octets and pointers followed, and the labels
  // it read itself, each the start of a suffix.
  void Remember(std::string_view text, std::size_t octets, int jumps,
                std::span<const TLabel> labels);

 private:
  // Offsets are looked up in a small table, one slot per offset modulo its size; a name that
  // lands on a taken slot replaces what was there.
  static constexpr std::size_t kSlots = 64;
  // Past this much text a large answer's later names are simply walked.
  static constexpr std::size_t kMaxText = 8192;
  // Small fields, so that emptying the table for each decoding stays cheap: offsets are
  // below 0x4000, texts below kMaxText, octets at most 255 and jumps at most 128.
  struct TSlot {
    std::uint16_t offset_plus_one = 0;  // 0: empty
    std::uint16_t text_at = 0;
    std::uint16_t length = 0;
    std::uint8_t octets = 0;
    std::uint8_t jumps = 0;
  };
  std::array<TSlot, kSlots> slots_{};
  std::string texts_;
};

// Decodes the name that starts at `position` of `message` into `text`, following
// compression pointers (forward ones too) anywhere inside the message. Returns the offset
// behind the name's own bytes: behind its zero byte, or behind the first pointer met.
// A name that leaves the message, holds more than 255 octets or follows more pointers than
// a real name can need fails with the codec's size error and leaves `text` as it was.
// With a cache made for these bytes, suffixes read before are taken from it and this name
// is kept in it.
std::size_t DecodeDnsName(std::span<const std::uint8_t> message, std::size_t position,
                          std::string& text, TzvDnsNameCache* cache = nullptr);

// Writes the name's wire form, uncompressed, reading the escapes of dig's text form: "\."
// and "\\" are a dot and a backslash inside a label, "\DDD" the octet of that decimal
// value, a backslash before any other character that character. "." alone is the root.
// Refuses (EzvDnsError, the encoding's code) a name over 255 octets, then one with an empty
// label, then one with a label over 63 octets, and a broken escape.
void EncodeDnsName(std::string_view name, TzvWireWriter& writer);
