// How the outputs show the options of an answer that belong to the exchange rather than
// to the question: the cookie with its verdict and the keepalive time-out as dig writes
// them. Padding is the answer's own kind of line: its length alone, never its bytes.
#pragma once

#include <optional>
#include <string>

#include "cli/JsonText.h"
#include "dns/zvDnsCookieJar.h"
#include "dns/zvDnsOptRecord.h"

// The pseudo-section's line for a cookie ("; COOKIE: <hex> (good)"), a keepalive
// ("; TCP KEEPALIVE: 1.5 secs"); none for any other option. `verdict` is the exchange's judgement of the cookie.
std::optional<std::string> SessionOptionLine(const TzvEdnsOption& option, TzvCookieVerdict verdict);

// The JSON members "cookie" ({hex, verdict, retried: whether a BADCOOKIE answer was
// asked again}, or null without one) and "keepalive_ms" (null without one) of an
// answer's OPT record.
void WriteJsonSessionOptions(TJsonWriter& json, const TzvDnsOPTRecord& opt,
                             TzvCookieVerdict verdict, bool retried);
