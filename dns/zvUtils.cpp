#include "dns/zvUtils.h"

#include <cstring>
#include <iterator>

const char* DnsResponseCodeText(std::int32_t code) {
  switch (code) {
    case 1:
      return SzvDnsFormatError;
    case 2:
      return SzvDnsServerFailure;
    case 3:
      return SzvDnsNameError;
    case 4:
      return SzvDnsNotImplemented;
    case 5:
      return SzvDnsRefused;
    case 16:
      return SzvDnsBadVersion;
    default:
      return SzvDnsUnspecifiedError;
  }
}

std::string DnsResponseCodeName(std::int32_t code) {
  static constexpr const char* kNames[] = {
      "NOERROR", "FORMERR", "SERVFAIL", "NXDOMAIN", "NOTIMP",  "REFUSED", "YXDOMAIN", "YXRRSET",
      "NXRRSET", "NOTAUTH", "NOTZONE",  nullptr,    nullptr,   nullptr,   nullptr,    nullptr,
      "BADVERS", "BADKEY",  "BADTIME",  "BADMODE",  "BADNAME", "BADALG",  "BADTRUNC", "BADCOOKIE"};
  if (code >= 0 && code < static_cast<std::int32_t>(std::size(kNames)) && kNames[code] != nullptr) {
    return kNames[code];
  }
  return "RCODE" + std::to_string(code);
}

void RaiseDnsInvalidSize() {
  throw EzvDnsError(SzvDnsInvalidSize, kzvDnsErrInvalidSize);
}

TzvWireWriter::TzvWireWriter(std::span<std::uint8_t> bytes, std::int32_t position) : bytes_(bytes) {
  if (position < 0 || static_cast<std::size_t>(position) > bytes.size()) RaiseTooLong();
  pos_ = static_cast<std::size_t>(position);
}

void TzvWireWriter::WriteBytes(std::span<const std::uint8_t> bytes) {
  Require(bytes.size());
  if (!bytes.empty()) std::memcpy(bytes_.data() + pos_, bytes.data(), bytes.size());
  pos_ += bytes.size();
}

void TzvWireWriter::PatchWord(std::size_t offset, std::uint16_t value) {
  if (offset > bytes_.size() || bytes_.size() - offset < 2) RaiseTooLong();
  bytes_[offset] = static_cast<std::uint8_t>(value >> 8);
  bytes_[offset + 1] = static_cast<std::uint8_t>(value);
}

void TzvWireWriter::RaiseTooLong() const {
  throw EzvDnsError(Format(SzvDnsMessageTooLong, static_cast<int>(bytes_.size())),
                    kzvDnsErrInvalidSize);
}

void ByteArrayWriteWord(std::uint16_t value, TzvByteArray& buffer, std::int32_t& position) {
  TzvWireWriter writer(buffer.Bytes(), position);
  writer.WriteWord(value);
  position = writer.Position();
}

void ByteArrayWriteDWord(std::uint32_t value, TzvByteArray& buffer, std::int32_t& position) {
  // Both halves are checked before either is written, so a value that does not fit
  // leaves the buffer as it was.
  TzvWireWriter writer(buffer.Bytes(), position);
  writer.WriteDWord(value);
  position = writer.Position();
}

TzvCharSet MakeCharSet(std::string_view characters) {
  TzvCharSet set;
  for (char c : characters) set.set(static_cast<unsigned char>(c));
  return set;
}

namespace {

bool IsDelimiter(char c, const TzvCharSet& delimiters) {
  return delimiters.test(static_cast<unsigned char>(c));
}

}  // namespace

std::int32_t CountWords(std::string_view text, const TzvCharSet& delimiters) {
  std::int32_t count = 0;
  std::size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && IsDelimiter(text[i], delimiters)) ++i;
    if (i < text.size()) ++count;
    while (i < text.size() && !IsDelimiter(text[i], delimiters)) ++i;
  }
  return count;
}

std::int32_t FindWordStart(std::int32_t n, std::string_view text, const TzvCharSet& delimiters) {
  std::int32_t count = 0;
  std::size_t i = 0;
  while (i < text.size() && count != n) {
    while (i < text.size() && IsDelimiter(text[i], delimiters)) ++i;
    if (i < text.size()) {
      ++count;
      if (count == n) return static_cast<std::int32_t>(i) + 1;
    }
    while (i < text.size() && !IsDelimiter(text[i], delimiters)) ++i;
  }
  return 0;
}

std::string PickWord(std::int32_t n, std::string_view text, const TzvCharSet& delimiters) {
  const std::int32_t start = FindWordStart(n, text, delimiters);
  if (start == 0) return {};
  std::size_t end = static_cast<std::size_t>(start) - 1;
  while (end < text.size() && !IsDelimiter(text[end], delimiters)) ++end;
  return std::string(text.substr(static_cast<std::size_t>(start) - 1,
                                 end - (static_cast<std::size_t>(start) - 1)));
}
