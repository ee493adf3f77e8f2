#include "cli/SessionOptionText.h"

#include "base/SysUtils.h"
#include "cli/ResultText.h"
#include "dns/zvDnsSessionOptions.h"

namespace {

// The keepalive's time-out in units of 100 ms; none for a length an answer's cannot have.
std::optional<int> KeepaliveUnits(const TzvEdnsOption& option) {
  if (option.Data.size() != 2) return std::nullopt;
  return option.Data[0] << 8 | option.Data[1];
}

}  // namespace

std::optional<std::string> SessionOptionLine(const TzvEdnsOption& option,
                                             TzvCookieVerdict verdict) {
  switch (option.Code) {
    case kzvEdnsOptionCookie: {
      const std::string name = CookieVerdictName(verdict);
      return "; COOKIE: " + OptionHex(option, "") + (name.empty() ? "" : " (" + name + ")");
    }
    case kzvEdnsOptionKeepalive:
      if (const auto units = KeepaliveUnits(option))
        return Format("; TCP KEEPALIVE: %d.%d secs", *units / 10, *units % 10);
      return "; TCP KEEPALIVE: " + OptionHex(option, " ") + " (malformed)";
    default:
      return std::nullopt;
  }
}

void WriteJsonSessionOptions(TJsonWriter& json, const TzvDnsOPTRecord& opt,
                             TzvCookieVerdict verdict, bool retried) {
  json.Key("cookie");
  if (const TzvEdnsOption* cookie = opt.FindOption(kzvEdnsOptionCookie)) {
    json.BeginObject();
    json.Key("hex");
    json.String(OptionHex(*cookie, ""));
    json.Key("verdict");
    const std::string name = CookieVerdictName(verdict);
    if (name.empty())
      json.Null();
    else
      json.String(name);
    json.Key("retried");
    json.Bool(retried);
    json.EndObject();
  } else {
    json.Null();
  }
  json.Key("keepalive_ms");
  const TzvEdnsOption* keepalive = opt.FindOption(kzvEdnsOptionKeepalive);
  const auto units = keepalive != nullptr ? KeepaliveUnits(*keepalive) : std::nullopt;
  if (units)
    json.Number(std::int64_t{*units} * 100);
  else
    json.Null();
}
