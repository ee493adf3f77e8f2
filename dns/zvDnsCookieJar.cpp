#include "dns/zvDnsCookieJar.h"

#include <algorithm>

#include "dns/zvMessageId.h"

std::string CookieVerdictName(TzvCookieVerdict verdict) {
  switch (verdict) {
    case TzvCookieVerdict::cvGood:
      return "good";
    case TzvCookieVerdict::cvEchoed:
      return "echoed";
    case TzvCookieVerdict::cvBad:
      return "bad";
    case TzvCookieVerdict::cvMalformed:
      return "malformed";
    case TzvCookieVerdict::cvNotSent:
    case TzvCookieVerdict::cvNone:
      break;
  }
  return {};
}

TzvCookieVerdict JudgeCookie(std::span<const std::uint8_t> client_cookie_sent,
                             const TzvEdnsOption* answer) {
  if (client_cookie_sent.size() < kzvClientCookieSize) return TzvCookieVerdict::cvNotSent;
  if (answer == nullptr) return TzvCookieVerdict::cvNone;
  const std::size_t size = answer->Data.size();
  if (size < kzvClientCookieSize ||
      (size > kzvClientCookieSize && size < kzvClientCookieSize + kzvServerCookieMin) ||
      size > kzvClientCookieSize + kzvServerCookieMax)
    return TzvCookieVerdict::cvMalformed;
  if (!std::equal(answer->Data.begin(), answer->Data.begin() + kzvClientCookieSize,
                  client_cookie_sent.begin()))
    return TzvCookieVerdict::cvBad;
  return size == kzvClientCookieSize ? TzvCookieVerdict::cvEchoed : TzvCookieVerdict::cvGood;
}

namespace {

// Past the name at `at` (labels, or a compression pointer that ends it); false when it
// runs out of the message.
bool SkipName(std::span<const std::uint8_t> bytes, std::size_t& at) {
  while (at < bytes.size()) {
    const std::uint8_t length = bytes[at];
    if (length == 0) return ++at, true;
    if ((length & 0xC0) == 0xC0) return (at += 2) <= bytes.size();
    at += 1 + length;
  }
  return false;
}

std::uint16_t WordAt(std::span<const std::uint8_t> bytes, std::size_t at) {
  return static_cast<std::uint16_t>(bytes[at] << 8 | bytes[at + 1]);
}

}  // namespace

TzvAnswerCookie AnswerCookieOf(std::span<const std::uint8_t> answer) {
  // Read in place, without decoding the records: every answer of a batch over UDP passes
  // here before it is taken.
  TzvAnswerCookie result;
  if (answer.size() < 12) return result;
  std::size_t at = 12;
  for (int i = 0; i < WordAt(answer, 4); ++i)
    if (!SkipName(answer, at) || (at += 4) > answer.size()) return result;
  const int records = WordAt(answer, 6) + WordAt(answer, 8) + WordAt(answer, 10);
  result.ResponseCode = answer[3] & 0x0F;
  for (int i = 0; i < records; ++i) {
    if (!SkipName(answer, at) || at + 10 > answer.size()) return result;
    const std::uint16_t type = WordAt(answer, at), length = WordAt(answer, at + 8);
    const std::size_t data = at + 10, end = data + length;
    if (end > answer.size()) return result;
    if (type == kzvDnsTypeOPT) {
      result.ResponseCode |= answer[at + 4] << 4;
      for (std::size_t option = data; option + 4 <= end;) {
        const std::uint16_t code = WordAt(answer, option), size = WordAt(answer, option + 2);
        if (option + 4 + size > end) break;
        if (code == kzvEdnsOptionCookie) {
          result.Cookie =
              TzvEdnsOption{code,
                            {answer.begin() + static_cast<std::ptrdiff_t>(option + 4),
                             answer.begin() + static_cast<std::ptrdiff_t>(option + 4 + size)}};
          return result;
        }
        option += 4 + size;
      }
      return result;
    }
    at = end;
  }
  return result;
}

std::vector<std::uint8_t> TzvDnsCookieJar::Offer(const std::string& server) {
  auto [found, fresh] = entries_.try_emplace(server);
  TEntry& entry = found->second;
  if (fresh) {
    // From the same source as the message IDs, two bytes at a time.
    for (std::size_t i = 0; i < kzvClientCookieSize; i += 2) {
      const std::uint16_t random = NewMessageID();
      entry.Client[i] = static_cast<std::uint8_t>(random >> 8);
      entry.Client[i + 1] = static_cast<std::uint8_t>(random & 0xFF);
    }
  }
  std::vector<std::uint8_t> data(entry.Client.begin(), entry.Client.end());
  data.insert(data.end(), entry.Server.begin(), entry.Server.end());
  return data;
}

void TzvDnsCookieJar::Learn(const std::string& server, const TzvEdnsOption& answer) {
  const auto found = entries_.find(server);
  if (found == entries_.end() ||
      JudgeCookie(found->second.Client, &answer) != TzvCookieVerdict::cvGood)
    return;
  found->second.Server.assign(answer.Data.begin() + kzvClientCookieSize, answer.Data.end());
}

std::vector<std::uint8_t> TzvDnsCookieJar::ServerCookie(const std::string& server) const {
  const auto found = entries_.find(server);
  return found == entries_.end() ? std::vector<std::uint8_t>{} : found->second.Server;
}
