#include "dns/zvDnsCookieJar.h"

#include <algorithm>

#include "dns/zvDnsRecordTypes.h"
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

TzvAnswerCookie AnswerCookieOf(std::span<const std::uint8_t> answer) {
  TzvDnsExtendedMessage message;
  TMemoryStream stream;
  stream.WriteBuffer(answer.data(), static_cast<std::int64_t>(answer.size()));
  stream.SetPosition(0);
  try {
    message.Decode(stream);
  } catch (const EzvDnsError&) {
    return {};
  }
  TzvAnswerCookie result;
  result.ResponseCode = message.Header().ResponseCode;
  const TzvDnsOPTRecord* opt = FindOptRecord(message);
  if (const TzvEdnsOption* cookie = opt != nullptr ? opt->FindOption(kzvEdnsOptionCookie) : nullptr)
    result.Cookie = *cookie;
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
