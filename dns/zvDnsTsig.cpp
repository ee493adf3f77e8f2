#include "dns/zvDnsTsig.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <fstream>
#include <optional>
#include <sstream>

#include "base/Base64.h"
#include "dns/zvUtils.h"

namespace {

[[noreturn]] void Fail(const std::string& text) {
  throw EzvDnsError(text, kzvDnsErrTsig);
}

std::string Lower(std::string_view text) {
  std::string lower(text);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return lower;
}

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front())))
    text.remove_prefix(1);
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())))
    text.remove_suffix(1);
  return text;
}

// A key's name in lower case without its trailing dot; refused when empty or when a
// label could not be sent.
std::string KeyName(std::string_view name) {
  std::string lower = Lower(TrimBlanks(name));
  if (!lower.empty() && lower.back() == '.') lower.pop_back();
  if (lower.empty()) Fail("The TSIG key has no name");
  std::size_t start = 0;
  for (;;) {
    const std::size_t dot = lower.find('.', start);
    const std::size_t length = (dot == std::string::npos ? lower.size() : dot) - start;
    if (length == 0 || length > 63) Fail("The TSIG key's name '" + lower + "' is not a DNS name");
    if (dot == std::string::npos) break;
    start = dot + 1;
  }
  if (lower.size() > 253) Fail("The TSIG key's name is longer than 255 bytes");
  return lower;
}

TzvHmacAlgorithm Algorithm(std::string_view name) {
  const auto algorithm = HmacAlgorithmOf(TrimBlanks(name));
  if (!algorithm)
    Fail("Unknown TSIG algorithm '" + std::string(TrimBlanks(name)) +
         "' (hmac-sha256, hmac-sha384, hmac-sha512, hmac-sha224, hmac-sha1 or hmac-md5)");
  return *algorithm;
}

// The secret's bytes; what is wrong with its text is told without the text.
std::vector<std::uint8_t> Secret(std::string_view text) {
  std::vector<std::uint8_t> secret;
  try {
    secret = Base64Decode(TrimBlanks(text));
  } catch (const std::exception&) {
    Fail("The TSIG key's secret is not base64");
  }
  if (secret.empty()) Fail("The TSIG key's secret is empty");
  return secret;
}

TzvTsigKey MakeKey(std::string_view algorithm, std::string_view name, std::string_view secret) {
  TzvTsigKey key;
  key.Algorithm = Algorithm(algorithm);
  key.Name = KeyName(name);
  key.Secret = Secret(secret);
  return key;
}

// The wire form of a name in lower case (the canonical form signatures cover).
void AppendName(std::string_view name, std::vector<std::uint8_t>& out) {
  std::size_t start = 0;
  while (start < name.size()) {
    std::size_t dot = name.find('.', start);
    if (dot == std::string_view::npos) dot = name.size();
    out.push_back(static_cast<std::uint8_t>(dot - start));
    for (std::size_t i = start; i < dot; ++i)
      out.push_back(static_cast<std::uint8_t>(std::tolower(static_cast<unsigned char>(name[i]))));
    start = dot + 1;
  }
  out.push_back(0);
}

void AppendWord(std::uint32_t value, std::vector<std::uint8_t>& out) {
  out.push_back(static_cast<std::uint8_t>(value >> 8));
  out.push_back(static_cast<std::uint8_t>(value));
}

void AppendTime(std::uint64_t time, std::vector<std::uint8_t>& out) {
  for (int shift = 40; shift >= 0; shift -= 8)
    out.push_back(static_cast<std::uint8_t>(time >> shift));
}

// A name in the message, compression followed (a bounded number of times), in its
// canonical wire form; the cursor left behind the name's own bytes.
std::vector<std::uint8_t> ReadName(std::span<const std::uint8_t> message, TzvWireCursor& cursor) {
  std::vector<std::uint8_t> wire;
  TzvWireCursor at = cursor;
  bool jumped = false;
  for (int jumps = 0;;) {
    const std::uint8_t length = at.ReadByte();
    if ((length & 0xC0) == 0xC0) {
      const std::size_t offset = static_cast<std::size_t>(length & 0x3F) << 8 | at.ReadByte();
      if (!jumped) cursor = at, jumped = true;
      if (++jumps > 127) RaiseDnsInvalidSize();
      at = TzvWireCursor(message, 0);
      at.Jump(offset);
      continue;
    }
    if (length > 63) RaiseDnsInvalidSize();
    wire.push_back(length);
    if (length == 0) break;
    for (const std::uint8_t byte : at.ReadBytes(length))
      wire.push_back(static_cast<std::uint8_t>(std::tolower(byte)));
    if (wire.size() > 255) RaiseDnsInvalidSize();
  }
  if (!jumped) cursor = at;
  return wire;
}

// A TSIG record found last in a message.
struct TTsigRecord {
  std::size_t Start = 0;  // where the record starts: the message signed ends here
  std::vector<std::uint8_t> Name, Algorithm;
  std::uint64_t Time = 0;
  std::uint16_t Fudge = 0;
  std::vector<std::uint8_t> Mac;
  std::uint16_t OriginalId = 0, Error = 0;
  std::vector<std::uint8_t> Other;
};

// The message's last record when it is a TSIG record. A TSIG record anywhere else makes
// the message malformed.
std::optional<TTsigRecord> FindTsig(std::span<const std::uint8_t> message) {
  TzvWireCursor cursor(message, 0);
  cursor.Skip(4);
  const std::uint32_t questions = cursor.ReadWord();
  const std::uint32_t records =
      std::uint32_t{cursor.ReadWord()} + cursor.ReadWord() + std::uint32_t{cursor.ReadWord()};
  for (std::uint32_t i = 0; i < questions; ++i) {
    ReadName(message, cursor);
    cursor.Skip(4);
  }
  std::optional<TTsigRecord> found;
  for (std::uint32_t i = 0; i < records; ++i) {
    if (found) Fail("The answer carries a TSIG record before its last record");
    const std::size_t start = cursor.Position();
    std::vector<std::uint8_t> name = ReadName(message, cursor);
    const std::uint16_t type = cursor.ReadWord();
    cursor.Skip(6);
    const std::uint16_t length = cursor.ReadWord();
    TzvWireCursor data(cursor.ReadBytes(length), 0);
    if (type != kzvDnsTypeTSIG) continue;
    if (i + 1 != records || static_cast<std::size_t>(cursor.Position()) != message.size())
      Fail("The answer carries a TSIG record before its last record");
    TTsigRecord tsig;
    tsig.Start = start;
    tsig.Name = std::move(name);
    // The algorithm's name is never compressed: read within the data alone.
    const auto bytes = message.subspan(cursor.Position() - length, length);
    tsig.Algorithm = ReadName(bytes, data);
    tsig.Time = std::uint64_t{data.ReadWord()} << 32 | data.ReadDWord();
    tsig.Fudge = data.ReadWord();
    const auto mac = data.ReadBytes(data.ReadWord());
    tsig.Mac.assign(mac.begin(), mac.end());
    tsig.OriginalId = data.ReadWord();
    tsig.Error = data.ReadWord();
    const auto other = data.ReadBytes(data.ReadWord());
    tsig.Other.assign(other.begin(), other.end());
    if (data.Position() != std::int32_t{length}) RaiseDnsInvalidSize();
    found = std::move(tsig);
  }
  return found;
}

// The TSIG variables a signature covers: all of them, or the timers alone for the later
// messages of a transfer.
void AppendVariables(const TzvTsigKey& key, std::uint64_t time, std::uint16_t fudge,
                     std::uint16_t error, std::span<const std::uint8_t> other, bool timers_only,
                     std::vector<std::uint8_t>& out) {
  if (!timers_only) {
    AppendName(key.Name, out);
    AppendWord(255, out);                    // class ANY
    AppendWord(0, out), AppendWord(0, out);  // TTL
    AppendName(HmacAlgorithmName(key.Algorithm), out);
  }
  AppendTime(time, out);
  AppendWord(fudge, out);
  if (timers_only) return;
  AppendWord(error, out);
  AppendWord(static_cast<std::uint32_t>(other.size()), out);
  out.insert(out.end(), other.begin(), other.end());
}

void AppendMac(std::span<const std::uint8_t> mac, std::vector<std::uint8_t>& out) {
  AppendWord(static_cast<std::uint32_t>(mac.size()), out);
  out.insert(out.end(), mac.begin(), mac.end());
}

bool SameBytes(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) {
  if (a.size() != b.size()) return false;
  std::uint8_t differ = 0;
  for (std::size_t i = 0; i < a.size(); ++i) differ |= a[i] ^ b[i];
  return differ == 0;
}

}  // namespace

TzvTsigKey ParseTsigKeyText(std::string_view text) {
  const std::size_t last = text.rfind(':');
  if (last == std::string_view::npos) Fail("A TSIG key is given as [ALG:]NAME:SECRET");
  const std::string_view head = text.substr(0, last), secret = text.substr(last + 1);
  const std::size_t first = head.find(':');
  if (first == std::string_view::npos) return MakeKey("hmac-sha256", head, secret);
  return MakeKey(head.substr(0, first), head.substr(first + 1), secret);
}

TzvTsigKey ParseTsigKeyFileText(std::string_view text) {
  // Comments go first: "#" and "//" to the end of the line (Knot's and BIND's).
  std::string plain;
  std::istringstream lines{std::string(text)};
  std::vector<std::string> kept;
  for (std::string line; std::getline(lines, line);) {
    const std::size_t hash = std::min(line.find('#'), line.find("//"));
    if (hash != std::string::npos) line.resize(hash);
    if (!TrimBlanks(line).empty()) kept.push_back(line), plain += line + '\n';
  }
  // BIND: key "NAME" { algorithm ALG; secret "SECRET"; };
  if (const std::size_t key = plain.find("key");
      key != std::string::npos && plain.find('{', key) != std::string::npos) {
    const std::size_t open = plain.find('{', key);
    std::string name(TrimBlanks(plain.substr(key + 3, open - key - 3)));
    name.erase(std::remove(name.begin(), name.end(), '"'), name.end());
    std::string algorithm, secret;
    std::istringstream body(plain.substr(open + 1));
    for (std::string statement; std::getline(body, statement, ';');) {
      std::istringstream words(statement);
      std::string word, value;
      words >> word >> value;
      value.erase(std::remove(value.begin(), value.end(), '"'), value.end());
      if (word == "algorithm") algorithm = value;
      if (word == "secret") secret = value;
    }
    if (algorithm.empty() || secret.empty())
      Fail("The key file's key lacks its algorithm or secret");
    return MakeKey(algorithm, name, secret);
  }
  // Knot: key: / - id: NAME / algorithm: ALG / secret: SECRET
  if (plain.find("id:") != std::string::npos) {
    std::string name, algorithm, secret;
    for (std::string line : kept) {
      std::string_view item = TrimBlanks(line);
      if (item.starts_with("- ")) item = TrimBlanks(item.substr(2));
      const std::size_t colon = item.find(':');
      if (colon == std::string_view::npos) continue;
      const std::string_view field = TrimBlanks(item.substr(0, colon));
      std::string value(TrimBlanks(item.substr(colon + 1)));
      value.erase(std::remove(value.begin(), value.end(), '"'), value.end());
      std::string* slot = field == "id"          ? &name
                          : field == "algorithm" ? &algorithm
                          : field == "secret"    ? &secret
                                                 : nullptr;
      // The first key of the file only.
      if (slot != nullptr && slot->empty()) *slot = value;
    }
    if (name.empty() || algorithm.empty() || secret.empty())
      Fail("The key file's key lacks its id, algorithm or secret");
    return MakeKey(algorithm, name, secret);
  }
  if (kept.empty()) Fail("The key file holds no key");
  return ParseTsigKeyText(TrimBlanks(kept.front()));
}

TzvTsigKey ReadTsigKeyFile(const std::string& path) {
  std::ifstream file(path);
  if (!file) Fail("Cannot read the key file " + path);
  std::ostringstream text;
  text << file.rdbuf();
  return ParseTsigKeyFileText(text.str());
}

std::string TsigErrorName(std::uint16_t error) {
  switch (error) {
    case kzvTsigBadSig:
      return "BADSIG";
    case kzvTsigBadKey:
      return "BADKEY";
    case kzvTsigBadTime:
      return "BADTIME";
    case kzvTsigBadTrunc:
      return "BADTRUNC";
    default:
      return "TSIG error " + std::to_string(error);
  }
}

std::uint64_t TsigNow(const TzvTsigKey& key) {
  const auto now = std::chrono::duration_cast<std::chrono::seconds>(
                       std::chrono::system_clock::now().time_since_epoch())
                       .count();
  return static_cast<std::uint64_t>(now + key.ClockOffset);
}

std::vector<std::uint8_t> SignTsigMessage(const TzvTsigKey& key, std::vector<std::uint8_t>& message,
                                          std::uint64_t now) {
  if (message.size() < 12) RaiseDnsInvalidSize();
  std::vector<std::uint8_t> signed_data(message);
  AppendVariables(key, now, kzvTsigFudge, 0, {}, false, signed_data);
  const std::vector<std::uint8_t> mac = ComputeHmac(key.Algorithm, key.Secret, signed_data);
  std::vector<std::uint8_t> data;
  AppendName(HmacAlgorithmName(key.Algorithm), data);
  AppendTime(now, data);
  AppendWord(kzvTsigFudge, data);
  AppendMac(mac, data);
  data.push_back(message[0]), data.push_back(message[1]);  // the original ID
  AppendWord(0, data), AppendWord(0, data);                // no error, no other data
  AppendName(key.Name, message);
  AppendWord(kzvDnsTypeTSIG, message);
  AppendWord(255, message);
  AppendWord(0, message), AppendWord(0, message);
  AppendWord(static_cast<std::uint32_t>(data.size()), message);
  message.insert(message.end(), data.begin(), data.end());
  const std::uint32_t additional = (std::uint32_t{message[10]} << 8 | message[11]) + 1;
  message[10] = static_cast<std::uint8_t>(additional >> 8);
  message[11] = static_cast<std::uint8_t>(additional);
  return mac;
}

TzvTsigVerifier::TzvTsigVerifier(const TzvTsigKey& key, std::vector<std::uint8_t> request_mac)
    : key_(key), prior_mac_(std::move(request_mac)) {}

bool TzvTsigVerifier::Verify(std::span<const std::uint8_t> message, std::uint64_t now) {
  std::optional<TTsigRecord> tsig = FindTsig(message);
  if (!tsig) {
    const std::int32_t code = message.size() >= 4 ? message[3] & 0x0F : 0;
    if (signed_ == 0 && code != 0)
      Fail("The server refused the signed question with " + DnsResponseCodeName(code) +
           ", without a signature");
    if (signed_ == 0) Fail("The answer is not signed, though the question was");
    if (++unsigned_ > kzvTsigMostUnsigned)
      Fail("More than " + std::to_string(kzvTsigMostUnsigned) + " messages came unsigned");
    pending_.insert(pending_.end(), message.begin(), message.end());
    return false;
  }
  if (tsig->Error != 0) Fail("The server refused the signature: " + TsigErrorName(tsig->Error));
  std::vector<std::uint8_t> name, algorithm;
  AppendName(key_.Name, name);
  AppendName(HmacAlgorithmName(key_.Algorithm), algorithm);
  if (tsig->Name != name || tsig->Algorithm != algorithm)
    Fail("The answer is signed with another key (BADKEY)");
  // What the signature covers: the prior signature, the messages since, and this one as
  // it was before its TSIG record was added (its original ID, one record fewer).
  std::vector<std::uint8_t> covered;
  covered.reserve(2 + prior_mac_.size() + pending_.size() + tsig->Start + 64);
  AppendMac(prior_mac_, covered);
  covered.insert(covered.end(), pending_.begin(), pending_.end());
  const std::size_t at = covered.size();
  covered.insert(covered.end(), message.begin(), message.begin() + tsig->Start);
  covered[at] = static_cast<std::uint8_t>(tsig->OriginalId >> 8);
  covered[at + 1] = static_cast<std::uint8_t>(tsig->OriginalId);
  const std::uint32_t additional = (std::uint32_t{covered[at + 10]} << 8 | covered[at + 11]) - 1;
  covered[at + 10] = static_cast<std::uint8_t>(additional >> 8);
  covered[at + 11] = static_cast<std::uint8_t>(additional);
  AppendVariables(key_, tsig->Time, tsig->Fudge, tsig->Error, tsig->Other, signed_ > 0, covered);
  const std::vector<std::uint8_t> mac = ComputeHmac(key_.Algorithm, key_.Secret, covered);
  if (!SameBytes(mac, tsig->Mac))
    Fail(signed_ == 0 ? "The answer's signature does not hold (BADSIG)"
                      : "Message " + std::to_string(signed_ + unsigned_ + 1) +
                            " of the answer carries a signature that does not hold (BADSIG)");
  const std::uint64_t early = now > tsig->Fudge ? now - tsig->Fudge : 0;
  if (tsig->Time < early || tsig->Time > now + tsig->Fudge)
    Fail("The answer was signed outside the allowed time (BADTIME)");
  prior_mac_ = tsig->Mac;
  pending_.clear();
  unsigned_ = 0;
  ++signed_;
  return true;
}

void TzvTsigVerifier::Finish() const {
  if (unsigned_ > 0) Fail("The answer's last messages are not signed");
}
