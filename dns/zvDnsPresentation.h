// Records as text: the two styles their data is written in, the escaping of names and
// character-strings each style uses, and the visitor a record hands its fields to one by
// one (the JSON report writes them as named members). Every record class writes its own
// data through these (TzvDnsRecord::DataText and VisitFields), so the text output, the
// short output, the verbose lines, the window's "Registros" lines and JSON never drift
// apart.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

enum class TzvDnsTextStyle : std::uint8_t {
  // This program's own text (the window, the sections output, JSON's "data"): UTF-8
  // text kept readable, only hidden characters escaped; names without their last dot.
  Readable,
  // dig's: every byte outside printable ASCII written \DDD, names absolute with their
  // last dot, the root ".". `pellamar-cli --short` is byte for byte dig +short.
  Dig,
};

// What the readable style shows of a text: every byte of a hidden character (see
// IsHiddenCharacter), and every byte of a text that is not valid UTF-8 as a whole,
// written \DDD as dig writes it; the rest of valid UTF-8 as it is. In a name a backslash
// is already the start of an escape the codec wrote ("a\\.b"), so it passes; in a
// character-string (`in_string`) it is doubled, and so is `quote` when given.
std::string DnsSafeText(std::string_view text, bool in_string, char quote = 0);
// A name as the codec keeps it (dns/zvDnsName.h) in the style: readable, the root "."
// and other names without a last dot; dig's, with '"', '(', ')', ';', '@' and '$' escaped
// by a backslash, bytes outside printable ASCII as \DDD, and the last dot.
std::string DnsNameText(std::string_view name, TzvDnsTextStyle style);
// A character-string in double quotes: '"' and '\' escaped in both styles, other bytes
// as the style escapes them.
std::string DnsQuotedText(std::string_view text, TzvDnsTextStyle style);
// A text outside quotes (CAA's tag): readable as DnsSafeText gives it; in dig's style '"'
// and '\' escaped by a backslash, blanks and bytes outside printable ASCII as \DDD.
std::string DnsEscapedText(std::string_view text, TzvDnsTextStyle style);
// Long base64 or hex data as dig prints it in a record's text: in groups of 56 characters
// with a space between them, or whole when `split` is false (dig +nosplit).
std::string DnsSplitText(std::string_view text, bool split = true);

// Receives a record's fields in their order, each under its JSON key. Names come as the
// codec keeps them and character-strings as their raw bytes, for the receiver to show
// safely; every other text is already in its presentation form (hex, base64, a type's
// mnemonic, an address).
class TzvDnsFieldVisitor {
 public:
  virtual ~TzvDnsFieldVisitor() = default;
  virtual void Number(std::string_view key, std::int64_t value) = 0;
  virtual void Name(std::string_view key, const std::string& name) = 0;
  virtual void Text(std::string_view key, std::string_view text) = 0;
  virtual void Words(std::string_view key, const std::vector<std::string>& words) = 0;
  // A key that is there with no value (SVCB's no-default-alpn).
  virtual void Flag(std::string_view key) = 0;
  // The fields between the two belong to one member (SVCB's params).
  virtual void BeginGroup(std::string_view key) = 0;
  virtual void EndGroup() = 0;
};
