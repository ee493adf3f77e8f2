#include "dns/zvIdn.h"

#include <idn2.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <memory>

#include "base/SysUtils.h"
#include "dns/zvUtils.h"

namespace {

struct TFreeIdn {
  void operator()(char* text) const { idn2_free(text); }
};
using TIdnText = std::unique_ptr<char, TFreeIdn>;

bool IsAscii(const std::string& name) {
  return std::all_of(name.begin(), name.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

bool HasALabel(const std::string& name) {
  const std::string lower = LowerCase(name);
  return lower.rfind("xn--", 0) == 0 || lower.find(".xn--") != std::string::npos;
}

}  // namespace

std::string IdnToAscii(const std::string& name) {
  if (IsAscii(name)) return name;
  // A NUL inside the text would end the C string early and convert another name.
  if (name.find('\0') != std::string::npos)
    throw EzvDnsError("Invalid international name: it holds a NUL byte", kzvDnsErrInvalidName);
  char* converted = nullptr;
  // Non-transitional processing keeps ß and ς as themselves (IDNA 2008), as browsers do.
  const int status =
      idn2_to_ascii_8z(name.c_str(), &converted, IDN2_NONTRANSITIONAL | IDN2_NFC_INPUT);
  TIdnText owned(converted);
  if (status != IDN2_OK) {
    throw EzvDnsError(
        Format("Invalid international name '%s': %s", name.c_str(), idn2_strerror(status)),
        kzvDnsErrInvalidName);
  }
  return owned.get();
}

std::string IdnToUnicode(const std::string& name) {
  if (!HasALabel(name) || !IsAscii(name) || name.find('\0') != std::string::npos) return "";
  // Punycode keeps the letter case of its ASCII part ("XN--CAF-DMA" would read "CAFé");
  // an A-label is compared without case, so it is decoded in lower case.
  std::string folded = name;
  std::size_t start = 0;
  while (start <= folded.size()) {
    std::size_t end = folded.find('.', start);
    if (end == std::string::npos) end = folded.size();
    if (end - start >= 4 && LowerCase(folded.substr(start, 4)) == "xn--") {
      for (std::size_t i = start; i < end; ++i)
        folded[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(folded[i])));
    }
    start = end + 1;
  }
  char* converted = nullptr;
  const int status = idn2_to_unicode_8z8z(folded.c_str(), &converted, 0);
  TIdnText owned(converted);
  if (status != IDN2_OK || converted == nullptr) return "";
  // A label such as "xn--abc" that decodes to nothing new is not worth showing twice.
  const std::string text = owned.get();
  return text == folded ? std::string() : text;
}
