#include "net/zvSocketUtils.h"

#include <netdb.h>

#include <cerrno>
#include <cstring>

std::int32_t HostLookupErrorCode(int eai_code) {
  switch (eai_code) {
    case 0:
      return 0;
    case EAI_NONAME:
      return kzvHostNotFound;
#ifdef EAI_NODATA
    case EAI_NODATA:
      return kzvNoData;
#endif
    case EAI_AGAIN:
      return kzvTryAgain;
    default:
      return kzvNoRecovery;
  }
}

namespace {

// glibc's texts for the host-lookup numbers come from gai_strerror.
const char* HostLookupText(std::int32_t code) {
  switch (code) {
    case kzvHostNotFound:
      return gai_strerror(EAI_NONAME);
    case kzvTryAgain:
      return gai_strerror(EAI_AGAIN);
    case kzvNoRecovery:
      return gai_strerror(EAI_FAIL);
    case kzvNoData:
#ifdef EAI_NODATA
      return gai_strerror(EAI_NODATA);
#else
      return gai_strerror(EAI_NONAME);
#endif
    default:
      return nullptr;
  }
}

}  // namespace

std::string SystemErrorText(std::int32_t code) {
  char buffer[256] = {};
  if (const char* text = HostLookupText(code)) {
    std::strncpy(buffer, text, sizeof buffer - 1);
  } else if (code > 0 && code < 4096) {
    // The GNU strerror_r may return a static text instead of filling the buffer.
    const char* text = strerror_r(code, buffer, sizeof buffer - 1);
    if (text != buffer) std::strncpy(buffer, text, sizeof buffer - 1);
    // glibc invents "Unknown error N" for numbers it has no text for; that is no text.
    if (std::strncmp(buffer, "Unknown error", 13) == 0) buffer[0] = '\0';
  }
  buffer[sizeof buffer - 1] = '\0';
  return Trim(buffer);
}

void RaiseSocketError(std::int32_t code) {
  throw EzvSocketError(SystemErrorText(code), code);
}

void RaiseSocketErrorText(const std::string& text, std::int32_t code) {
  throw EzvSocketError(text, code);
}
