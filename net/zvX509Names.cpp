#include "net/zvX509Names.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <vector>

#include "net/zvGnutls.h"

namespace {

using Bytes = std::span<const std::uint8_t>;

constexpr std::uint8_t kSequence = 0x30;
constexpr std::uint8_t kSet = 0x31;
constexpr std::uint8_t kOid = 0x06;

// Calls `each(set_index_in_name, attribute_index_in_set, oid, tag, value)` for every
// attribute of `name`; false when the name is malformed.
template <class Each>
bool ForEachAttribute(Bytes name, Each each) {
  Bytes sets, set, attribute, oid, value;
  std::uint8_t tag = 0;
  if (!zvNextDerElement(name, tag, sets) || tag != kSequence || !name.empty()) return false;
  for (int set_index = 0; !sets.empty(); ++set_index) {
    if (!zvNextDerElement(sets, tag, set) || tag != kSet || set.empty()) return false;
    for (int index = 0; !set.empty(); ++index) {
      if (!zvNextDerElement(set, tag, attribute) || tag != kSequence ||
          !zvNextDerElement(attribute, tag, oid) || tag != kOid ||
          !zvNextDerElement(attribute, tag, value) || !attribute.empty())
        return false;
      each(set_index, index, oid, tag, value);
    }
  }
  return true;
}

// The short name OpenSSL gives an attribute of a name, or its dotted number.
std::string AttributeName(Bytes oid) {
  static const std::pair<std::vector<std::uint8_t>, const char*> kNames[] = {
      {{0x55, 0x04, 0x03}, "CN"},
      {{0x55, 0x04, 0x06}, "C"},
      {{0x55, 0x04, 0x0a}, "O"},
      {{0x55, 0x04, 0x0b}, "OU"},
      {{0x55, 0x04, 0x07}, "L"},
      {{0x55, 0x04, 0x08}, "ST"},
      {{0x55, 0x04, 0x05}, "serialNumber"},
      {{0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d, 0x01, 0x09, 0x01}, "emailAddress"},
      {{0x09, 0x92, 0x26, 0x89, 0x93, 0xf2, 0x2c, 0x64, 0x01, 0x19}, "DC"},
  };
  for (const auto& [bytes, name] : kNames)
    if (std::equal(oid.begin(), oid.end(), bytes.begin(), bytes.end())) return name;
  std::string dotted;
  std::uint64_t value = 0;
  for (const std::uint8_t byte : oid) {
    value = value << 7 | (byte & 0x7f);
    if ((byte & 0x80) != 0) continue;
    if (dotted.empty()) {
      const std::uint64_t first = std::min<std::uint64_t>(value / 40, 2);
      dotted = std::to_string(first) + "." + std::to_string(value - 40 * first);
    } else {
      dotted += "." + std::to_string(value);
    }
    value = 0;
  }
  return dotted;
}

void AppendLength(std::vector<std::uint8_t>& out, std::size_t length) {
  if (length < 0x80) {
    out.push_back(static_cast<std::uint8_t>(length));
    return;
  }
  std::array<std::uint8_t, sizeof(std::size_t)> bytes{};
  std::size_t count = 0;
  for (; length > 0; length >>= 8) bytes[count++] = static_cast<std::uint8_t>(length);
  out.push_back(static_cast<std::uint8_t>(0x80 | count));
  while (count > 0) out.push_back(bytes[--count]);
}

void AppendElement(std::vector<std::uint8_t>& out, std::uint8_t tag, Bytes content) {
  out.push_back(tag);
  AppendLength(out, content.size());
  out.insert(out.end(), content.begin(), content.end());
}

void AppendUtf8(std::vector<std::uint8_t>& out, std::uint32_t code) {
  if (code < 0x80) {
    out.push_back(static_cast<std::uint8_t>(code));
  } else if (code < 0x800) {
    out.push_back(static_cast<std::uint8_t>(0xc0 | code >> 6));
    out.push_back(static_cast<std::uint8_t>(0x80 | (code & 0x3f)));
  } else if (code < 0x10000) {
    out.push_back(static_cast<std::uint8_t>(0xe0 | code >> 12));
    out.push_back(static_cast<std::uint8_t>(0x80 | (code >> 6 & 0x3f)));
    out.push_back(static_cast<std::uint8_t>(0x80 | (code & 0x3f)));
  } else {
    out.push_back(static_cast<std::uint8_t>(0xf0 | code >> 18));
    out.push_back(static_cast<std::uint8_t>(0x80 | (code >> 12 & 0x3f)));
    out.push_back(static_cast<std::uint8_t>(0x80 | (code >> 6 & 0x3f)));
    out.push_back(static_cast<std::uint8_t>(0x80 | (code & 0x3f)));
  }
}

// A text value as UTF-8, by its type's width: one byte a character (the ASCII types and
// T61String, read as Latin-1, as OpenSSL reads it), two (BMPString) or four
// (UniversalString); UTF8String as it is. False for a type that is not text.
bool ToUtf8(std::uint8_t tag, Bytes value, std::vector<std::uint8_t>& out) {
  std::size_t width = 0;
  switch (tag) {
    case 0x0c:  // UTF8String
      out.assign(value.begin(), value.end());
      return true;
    case 0x13:  // PrintableString
    case 0x14:  // T61String
    case 0x16:  // IA5String
    case 0x1a:  // VisibleString
      width = 1;
      break;
    case 0x1e:  // BMPString
      width = 2;
      break;
    case 0x1c:  // UniversalString
      width = 4;
      break;
    default:
      return false;
  }
  out.clear();
  for (std::size_t at = 0; at + width <= value.size(); at += width) {
    std::uint32_t code = 0;
    for (std::size_t i = 0; i < width; ++i) code = code << 8 | value[at + i];
    AppendUtf8(out, code);
  }
  return true;
}

bool IsSpace(std::uint8_t c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

// Spaces trimmed at both ends and runs of them made one, ASCII letters in lower case.
std::vector<std::uint8_t> Canonical(const std::vector<std::uint8_t>& text) {
  std::size_t begin = 0, end = text.size();
  while (begin < end && IsSpace(text[begin])) ++begin;
  while (end > begin && IsSpace(text[end - 1])) --end;
  std::vector<std::uint8_t> out;
  for (std::size_t i = begin; i < end; ++i) {
    const std::uint8_t c = text[i];
    if (IsSpace(c)) {
      if (!IsSpace(text[i - 1])) out.push_back(' ');
    } else {
      out.push_back(c >= 'A' && c <= 'Z' ? static_cast<std::uint8_t>(c - 'A' + 'a') : c);
    }
  }
  return out;
}

}  // namespace

bool zvNextDerElement(std::span<const std::uint8_t>& in, std::uint8_t& tag,
                      std::span<const std::uint8_t>& content) {
  if (in.size() < 2) return false;
  tag = in[0];
  std::size_t length = in[1];
  std::size_t at = 2;
  if (length >= 0x80) {
    const std::size_t bytes = length & 0x7f;
    if (bytes == 0 || bytes > 3 || in.size() < 2 + bytes) return false;
    length = 0;
    for (std::size_t i = 0; i < bytes; ++i) length = length << 8 | in[2 + i];
    at += bytes;
  }
  if (in.size() - at < length) return false;
  content = in.subspan(at, length);
  in = in.subspan(at + length);
  return true;
}

std::string zvNameLine(std::span<const std::uint8_t> name) {
  std::string line;
  const bool read =
      ForEachAttribute(name, [&](int, int index, Bytes oid, std::uint8_t, Bytes value) {
        line += (index == 0 ? "/" : "+") + AttributeName(oid) + "=";
        // As OpenSSL writes them: what is not printable ASCII in hex.
        for (const std::uint8_t byte : value) {
          if (byte >= ' ' && byte <= '~') {
            line += static_cast<char>(byte);
          } else {
            static constexpr char kHex[] = "0123456789ABCDEF";
            line += {'\\', 'x', kHex[byte >> 4], kHex[byte & 0xf]};
          }
        }
      });
  return read ? line : std::string();
}

std::string zvNameHash(std::span<const std::uint8_t> name) {
  // The sets one after another, without the name's own sequence around them; in each set
  // its attributes in DER's order for a set (by their encodings).
  std::vector<std::uint8_t> canonical;
  std::vector<std::vector<std::uint8_t>> set;
  auto close_set = [&] {
    if (set.empty()) return;
    std::sort(set.begin(), set.end());
    std::vector<std::uint8_t> members;
    for (const auto& attribute : set)
      members.insert(members.end(), attribute.begin(), attribute.end());
    AppendElement(canonical, kSet, members);
    set.clear();
  };
  std::vector<std::uint8_t> text;
  const bool read =
      ForEachAttribute(name, [&](int, int index, Bytes oid, std::uint8_t tag, Bytes value) {
        if (index == 0) close_set();
        std::vector<std::uint8_t> attribute;
        AppendElement(attribute, kOid, oid);
        if (ToUtf8(tag, value, text)) {
          AppendElement(attribute, 0x0c, Canonical(text));
        } else {
          AppendElement(attribute, tag, value);
        }
        std::vector<std::uint8_t> sequence;
        AppendElement(sequence, kSequence, attribute);
        set.push_back(std::move(sequence));
      });
  close_set();
  const TzvGnutls& gnutls = Gnutls();
  std::array<std::uint8_t, 20> digest{};
  if (!read || !gnutls.Failure.empty() ||
      gnutls.gnutls_hash_fast(GNUTLS_DIG_SHA1, canonical.data(), canonical.size(), digest.data()) <
          0)
    return {};
  std::array<char, 9> hex{};
  std::snprintf(hex.data(), hex.size(), "%08lx",
                static_cast<unsigned long>(digest[0] | digest[1] << 8 | digest[2] << 16 |
                                           static_cast<std::uint32_t>(digest[3]) << 24));
  return hex.data();
}
