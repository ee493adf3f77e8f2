#include "dns/zvIdn.h"

#include <dlfcn.h>
#include <idn2.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <memory>

#include "base/SysUtils.h"
#include "dns/zvUtils.h"

namespace {

// libidn2 is loaded the first time a name needs it. Most names are plain ASCII and never do,
// and loading it (with libunistring behind it) at start-up would cost every run of the
// companion about a quarter of its start-up work.
struct TIdn2 {
  decltype(&idn2_to_ascii_8z) to_ascii = nullptr;
  decltype(&idn2_to_unicode_8z8z) to_unicode = nullptr;
  decltype(&idn2_strerror) error_text = nullptr;
  decltype(&idn2_free) free = nullptr;
  std::string failure;  // why it could not be loaded, when it could not
};

template <class F>
bool Bind(void* library, const char* name, F& function) {
  function = reinterpret_cast<F>(::dlsym(library, name));
  return function != nullptr;
}

const TIdn2& Idn2() {
  static const TIdn2 loaded = [] {
    TIdn2 idn2;
    void* library = ::dlopen("libidn2.so.0", RTLD_NOW | RTLD_LOCAL);  // kept for good
    if (library == nullptr || !Bind(library, "idn2_to_ascii_8z", idn2.to_ascii) ||
        !Bind(library, "idn2_to_unicode_8z8z", idn2.to_unicode) ||
        !Bind(library, "idn2_strerror", idn2.error_text) ||
        !Bind(library, "idn2_free", idn2.free)) {
      const char* reason = ::dlerror();
      idn2.failure = reason != nullptr ? reason : "libidn2.so.0 is incomplete";
      idn2.to_ascii = nullptr;
    }
    return idn2;
  }();
  return loaded;
}

struct TFreeIdn {
  void operator()(char* text) const { Idn2().free(text); }
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
  const TIdn2& idn2 = Idn2();
  if (idn2.to_ascii == nullptr) {
    throw EzvDnsError(Format("Cannot convert the international name '%s': %s", name.c_str(),
                             idn2.failure.c_str()),
                      kzvDnsErrInvalidName);
  }
  char* converted = nullptr;
  // Non-transitional processing keeps ß and ς as themselves (IDNA 2008), as browsers do.
  const int status = idn2.to_ascii(name.c_str(), &converted, IDN2_NONTRANSITIONAL | IDN2_NFC_INPUT);
  TIdnText owned(converted);
  if (status != IDN2_OK) {
    throw EzvDnsError(
        Format("Invalid international name '%s': %s", name.c_str(), idn2.error_text(status)),
        kzvDnsErrInvalidName);
  }
  return owned.get();
}

namespace {

// The Unicode form of one label, or the empty text when it is not an A-label that IDNA 2008
// allows. Punycode decodes any run of letters, so "xn--1a" gives a C1 control and
// "xn--abc-4q0a" a right-to-left override: a decoded label counts only when encoding it
// back under the strict rules (no mapping) gives the very label it came from.
std::string LabelToUnicode(std::string label) {
  if (label.size() < 5 || LowerCase(label.substr(0, 4)) != "xn--") return "";
  // Punycode keeps the letter case of its ASCII part ("XN--CAF-DMA" would read "CAFé");
  // an A-label is compared without case, so it is decoded in lower case.
  for (char& c : label) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  const TIdn2& idn2 = Idn2();
  if (idn2.to_ascii == nullptr) return "";  // shown without its Unicode form, then
  char* converted = nullptr;
  const int decoded = idn2.to_unicode(label.c_str(), &converted, 0);
  TIdnText unicode(converted);
  if (decoded != IDN2_OK || unicode == nullptr) return "";
  char* encoded = nullptr;
  const int status = idn2.to_ascii(unicode.get(), &encoded, IDN2_NO_TR46);
  TIdnText back(encoded);
  if (status != IDN2_OK || back == nullptr || label != back.get()) return "";
  return unicode.get();
}

}  // namespace

std::string IdnToUnicode(const std::string& name) {
  if (!HasALabel(name) || !IsAscii(name) || name.find('\0') != std::string::npos) return "";
  std::string text;
  bool converted = false;
  std::size_t start = 0;
  for (;;) {
    // A dot escaped inside a label ("a\\.b") leaves pieces with backslashes, which no
    // A-label holds: they stay as they are, and the text with them.
    const std::size_t end = std::min(name.find('.', start), name.size());
    const std::string label = name.substr(start, end - start);
    const std::string unicode = LabelToUnicode(label);
    converted = converted || !unicode.empty();
    text += unicode.empty() ? label : unicode;
    if (end == name.size()) break;
    text += '.';
    start = end + 1;
  }
  return converted ? text : std::string();
}
