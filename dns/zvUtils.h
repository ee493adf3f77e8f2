// The wire primitives of the DNS codec: the byte array an encoded message lives in,
// big-endian reads and writes on it that never leave its bounds, the codec's exception,
// and the word functions that split dotted texts (IPv4 addresses, server lists).
// zvDnsMessage is written on top of it; the query component uses the word functions.
#pragma once

#include <bitset>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "net/zvSocketUtils.h"

// The codec's own failure codes and texts. Response codes (1 to 4095 with EDNS's upper
// bits) are the other codes an EzvDnsError carries.
inline constexpr std::int32_t kzvDnsErrInvalidSize = -1;

inline constexpr const char* SzvDnsInvalidSize = "The size of the datagram is invalid";
inline constexpr const char* SzvDnsFormatError = "Format error";
inline constexpr const char* SzvDnsServerFailure = "Server failure";
inline constexpr const char* SzvDnsNameError = "No such name";
// The response code of "No such name" (NXDOMAIN).
inline constexpr std::int32_t kzvDnsResponseNameError = 3;
inline constexpr const char* SzvDnsNotImplemented = "Not implemented";
inline constexpr const char* SzvDnsRefused = "Refused";
inline constexpr const char* SzvDnsUnspecifiedError = "Unspecified error";
inline constexpr const char* SzvDnsBadVersion = "Bad OPT version";

// A received message whose OPT record breaks the rules of EDNS (code -1): the first
// text with one of the others in it.
inline constexpr const char* SzvDnsMalformedOpt = "Malformed OPT record: %s";
inline constexpr const char* SzvDnsOptOutsideAdditional = "outside the additional section";
inline constexpr const char* SzvDnsOptMoreThanOne = "more than one in the message";
inline constexpr const char* SzvDnsOptNotRoot = "owner name is not the root";
inline constexpr const char* SzvDnsOptOptionPastEnd = "an option runs past the record's data";

// A received record whose fields end before its data does (code -1): its type, the bytes
// its fields take and its data length.
inline constexpr const char* SzvDnsDataLeftOver =
    "Malformed record of type %d: its fields take %d of its %d data bytes";

// Encoding refusals: the message would not fit its buffer, or a name breaks the limits
// of the wire form (a longer label would read back as a compression pointer).
inline constexpr const char* SzvDnsMessageTooLong = "The message is longer than %d bytes";
inline constexpr const char* SzvDnsLabelTooLong = "Label longer than 63 bytes";
inline constexpr const char* SzvDnsEmptyLabel = "'%s' is not a legal name (empty label)";
inline constexpr const char* SzvDnsNameTooLong = "Name longer than 255 bytes";

// The text a reply's response code stands for; "Unspecified error" for 0 and for codes
// the table does not know.
const char* DnsResponseCodeText(std::int32_t code);
// The response code's mnemonic as dig shows it in its header line ("NXDOMAIN",
// "BADVERS"); "RCODE" and the number for codes without one.
std::string DnsResponseCodeName(std::int32_t code);

// The DNS codec's failure: a malformed or unencodable message (code -1), or a reply whose
// response code was not 0 (the response code, with its text).
class EzvDnsError : public EzvSocketError {
 public:
  explicit EzvDnsError(std::int32_t code) : EzvSocketError(DnsResponseCodeText(code), code) {}
  EzvDnsError(std::string message, std::int32_t code) : EzvSocketError(std::move(message), code) {}
};

[[noreturn]] void RaiseDnsInvalidSize();

// A growable array of bytes; new elements are zero. It holds one encoded DNS message.
class TzvByteArray {
 public:
  TzvByteArray() = default;
  explicit TzvByteArray(std::size_t length) : bytes_(length) {}
  explicit TzvByteArray(std::span<const std::uint8_t> bytes) : bytes_(bytes.begin(), bytes.end()) {}

  std::int32_t Length() const { return static_cast<std::int32_t>(bytes_.size()); }
  void SetLength(std::size_t length) { bytes_.resize(length); }
  // The bytes held in reserve: a shorter length keeps its memory.
  std::size_t Capacity() const { return bytes_.capacity(); }

  std::uint8_t& operator[](std::size_t index) { return bytes_[index]; }
  std::uint8_t operator[](std::size_t index) const { return bytes_[index]; }
  std::uint8_t* Data() { return bytes_.data(); }
  const std::uint8_t* Data() const { return bytes_.data(); }
  std::span<std::uint8_t> Bytes() { return bytes_; }
  std::span<const std::uint8_t> Bytes() const { return bytes_; }

 private:
  std::vector<std::uint8_t> bytes_;
};

// Reads big-endian values from a received message. A read that would pass the end fails
// with "The size of the datagram is invalid" and leaves the position where it was, so
// no reader of the codec can look outside the message.
class TzvWireCursor {
 public:
  // A position outside 0 .. size is refused at once.
  TzvWireCursor(std::span<const std::uint8_t> bytes, std::int32_t position) : bytes_(bytes) {
    if (position < 0 || static_cast<std::size_t>(position) > bytes.size()) RaiseDnsInvalidSize();
    pos_ = static_cast<std::size_t>(position);
  }

  std::uint8_t PeekByte() const {
    if (pos_ >= bytes_.size()) RaiseDnsInvalidSize();
    return bytes_[pos_];
  }
  std::uint8_t ReadByte() {
    const std::uint8_t value = PeekByte();
    ++pos_;
    return value;
  }
  std::uint16_t ReadWord() {
    Require(2);
    const auto value = static_cast<std::uint16_t>(bytes_[pos_] << 8 | bytes_[pos_ + 1]);
    pos_ += 2;
    return value;
  }
  std::uint32_t ReadDWord() {
    Require(4);
    const std::uint32_t value = std::uint32_t{bytes_[pos_]} << 24 |
                                std::uint32_t{bytes_[pos_ + 1]} << 16 |
                                std::uint32_t{bytes_[pos_ + 2]} << 8 | bytes_[pos_ + 3];
    pos_ += 4;
    return value;
  }
  std::span<const std::uint8_t> ReadBytes(std::size_t count) {
    Require(count);
    const auto bytes = bytes_.subspan(pos_, count);
    pos_ += count;
    return bytes;
  }
  void Skip(std::size_t count) {
    Require(count);
    pos_ += count;
  }
  // Moves to any offset of the message (compression pointers); at or past the end fails.
  void Jump(std::size_t offset) {
    if (offset >= bytes_.size()) RaiseDnsInvalidSize();
    pos_ = offset;
  }

  std::int32_t Position() const { return static_cast<std::int32_t>(pos_); }
  std::size_t Remaining() const { return bytes_.size() - pos_; }
  std::span<const std::uint8_t> Bytes() const { return bytes_; }

 private:
  void Require(std::size_t count) const {
    if (count > bytes_.size() - pos_) RaiseDnsInvalidSize();
  }
  std::span<const std::uint8_t> bytes_;
  std::size_t pos_ = 0;
};

// Writes big-endian values into a buffer of fixed size. A write that would not fit fails
// with "The message is longer than <size> bytes" and writes nothing.
class TzvWireWriter {
 public:
  TzvWireWriter(std::span<std::uint8_t> bytes, std::int32_t position);

  void WriteByte(std::uint8_t value) {
    Require(1);
    bytes_[pos_++] = value;
  }
  void WriteWord(std::uint16_t value) {
    Require(2);
    bytes_[pos_] = static_cast<std::uint8_t>(value >> 8);
    bytes_[pos_ + 1] = static_cast<std::uint8_t>(value);
    pos_ += 2;
  }
  void WriteDWord(std::uint32_t value) {
    Require(4);
    bytes_[pos_] = static_cast<std::uint8_t>(value >> 24);
    bytes_[pos_ + 1] = static_cast<std::uint8_t>(value >> 16);
    bytes_[pos_ + 2] = static_cast<std::uint8_t>(value >> 8);
    bytes_[pos_ + 3] = static_cast<std::uint8_t>(value);
    pos_ += 4;
  }
  void WriteBytes(std::span<const std::uint8_t> bytes);
  void WriteText(std::string_view text) {
    WriteBytes({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
  }
  // Stores a word at an earlier offset (a length that is only known afterwards).
  void PatchWord(std::size_t offset, std::uint16_t value);

  std::int32_t Position() const { return static_cast<std::int32_t>(pos_); }

 private:
  void Require(std::size_t count) const {
    if (count > bytes_.size() - pos_) RaiseTooLong();
  }
  [[noreturn]] void RaiseTooLong() const;
  std::span<std::uint8_t> bytes_;
  std::size_t pos_ = 0;
};

// Big-endian values at a moving position of a message buffer. The writers never grow the
// buffer; a value that does not fit is refused as above.
void ByteArrayWriteWord(std::uint16_t value, TzvByteArray& buffer, std::int32_t& position);
void ByteArrayWriteDWord(std::uint32_t value, TzvByteArray& buffer, std::int32_t& position);
// The reads are defined here: record parsers call them once per field.
inline std::uint16_t ByteArrayReadWord(const TzvByteArray& buffer, std::int32_t& position) {
  TzvWireCursor cursor(buffer.Bytes(), position);
  const std::uint16_t value = cursor.ReadWord();
  position = cursor.Position();
  return value;
}
inline std::uint32_t ByteArrayReadDWord(const TzvByteArray& buffer, std::int32_t& position) {
  TzvWireCursor cursor(buffer.Bytes(), position);
  const std::uint32_t value = cursor.ReadDWord();
  position = cursor.Position();
  return value;
}

inline std::uint16_t ComposeWord(std::uint8_t high, std::uint8_t low) {
  return static_cast<std::uint16_t>(high << 8 | low);
}

// A set of delimiter characters, one bit per 8-bit character code.
using TzvCharSet = std::bitset<256>;

TzvCharSet MakeCharSet(std::string_view characters);

// Words are the maximal runs of characters that are not delimiters. Positions are
// 1-based character positions, 0 meaning "no such word".
std::int32_t CountWords(std::string_view text, const TzvCharSet& delimiters);
std::int32_t FindWordStart(std::int32_t n, std::string_view text, const TzvCharSet& delimiters);
std::string PickWord(std::int32_t n, std::string_view text, const TzvCharSet& delimiters);
