#include "dns/zvDnsPresentation.h"

#include <algorithm>

#include "base/SysUtils.h"

namespace {

bool IsUtf8(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t length = Utf8SequenceLength(text, i);
    if (length == 0) return false;
    i += length;
  }
  return true;
}

void AppendEscapedByte(std::string& out, unsigned char c) {
  out += '\\';
  out += static_cast<char>('0' + c / 100);
  out += static_cast<char>('0' + c / 10 % 10);
  out += static_cast<char>('0' + c % 10);
}

bool IsPrintableAscii(unsigned char c) {
  return c > 0x20 && c < 0x7F;
}

}  // namespace

std::string DnsSafeText(std::string_view text, bool in_string, char quote) {
  // Printable ASCII with nothing to double, nearly every name and text: as it is.
  if (std::all_of(text.begin(), text.end(), [in_string, quote](char c) {
        return c >= 0x20 && c < 0x7F && (!in_string || (c != '\\' && (quote == 0 || c != quote)));
      }))
    return std::string(text);
  const bool utf8 = IsUtf8(text);
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    const std::size_t length = c < 0x80 ? 1 : utf8 ? Utf8SequenceLength(text, i) : 0;
    if (length == 0) {  // a byte of a text that is not UTF-8
      AppendEscapedByte(out, c);
      ++i;
      continue;
    }
    if (IsHiddenCharacter(Utf8CodePoint(text, i, length))) {
      for (std::size_t k = 0; k < length; ++k)
        AppendEscapedByte(out, static_cast<unsigned char>(text[i + k]));
      i += length;
      continue;
    }
    if (in_string && (c == '\\' || (quote != 0 && c == static_cast<unsigned char>(quote))))
      out += '\\';
    out.append(text, i, length);
    i += length;
  }
  return out;
}

std::string DnsNameText(std::string_view name, TzvDnsTextStyle style) {
  if (name.empty() || name == ".") return ".";
  if (style == TzvDnsTextStyle::Readable) return DnsSafeText(name, false);
  std::string out;
  out.reserve(name.size() + 1);
  for (std::size_t i = 0; i < name.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(name[i]);
    if (c == '\\' && i + 1 < name.size()) {  // the codec's own "\." or "\\"
      out.append(name, i, 2);
      ++i;
    } else if (!IsPrintableAscii(c)) {
      AppendEscapedByte(out, c);
    } else {
      if (std::string_view("\"();@$").find(static_cast<char>(c)) != std::string_view::npos)
        out += '\\';
      out += static_cast<char>(c);
    }
  }
  out += '.';
  return out;
}

std::string DnsQuotedText(std::string_view text, TzvDnsTextStyle style) {
  if (style == TzvDnsTextStyle::Readable) return '"' + DnsSafeText(text, true, '"') + '"';
  std::string out = "\"";
  for (const char ch : text) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c >= 0x7F) {
      AppendEscapedByte(out, c);
      continue;
    }
    if (c == '"' || c == '\\') out += '\\';
    out += ch;
  }
  out += '"';
  return out;
}

std::string DnsEscapedText(std::string_view text, TzvDnsTextStyle style) {
  if (style == TzvDnsTextStyle::Readable) return DnsSafeText(text, false);
  std::string out;
  for (const char ch : text) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (!IsPrintableAscii(c)) {
      AppendEscapedByte(out, c);
      continue;
    }
    if (c == '"' || c == '\\') out += '\\';
    out += ch;
  }
  return out;
}

std::string DnsSplitText(std::string_view text, bool split) {
  constexpr std::size_t kDigGroup = 56;
  if (!split || text.size() <= kDigGroup) return std::string(text);
  std::string out;
  out.reserve(text.size() + text.size() / kDigGroup);
  for (std::size_t at = 0; at < text.size(); at += kDigGroup) {
    if (at > 0) out += ' ';
    out.append(text.substr(at, kDigGroup));
  }
  return out;
}
