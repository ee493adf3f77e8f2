// International domain names: the A-label form (xn--...) a name is sent in, and the
// Unicode form an A-label name is shown in. The query component converts every name it
// asks about; the formatters of the window and the companion show answers' names with
// their Unicode form beside them. Conversion follows IDNA 2008 with the UTS #46 mapping
// (libidn2), as current browsers and lookup tools do.
#pragma once

#include <cstdint>
#include <string>

// A name that cannot be put into A-label form (EzvDnsError with this code).
inline constexpr std::int32_t kzvDnsErrInvalidName = -20;

// A name of ASCII bytes only comes back unchanged, so every name that worked before
// (underscores, reverse names, a trailing dot) still does. A name with other bytes is
// taken as UTF-8 and converted label by label; one that is not valid UTF-8 or breaks the
// IDNA rules fails with EzvDnsError "Invalid international name '<name>': <reason>".
std::string IdnToAscii(const std::string& name);

// The Unicode form of a name that holds at least one valid A-label, or the empty text for
// any other name (so a caller shows nothing beside it).
std::string IdnToUnicode(const std::string& name);
