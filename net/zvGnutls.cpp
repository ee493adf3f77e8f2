#include "net/zvGnutls.h"

#include <dlfcn.h>

namespace {

// GnuTLS and the libraries under it bind their references to each other when loaded (they
// are linked to be bound at once); looked up in their own scope first, each is found at
// the first place searched instead of after every library of the program. A sanitizer's
// runtime stands in for malloc and its kin in the program's scope, which must then come
// first.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int kOwnScopeFirst = 0;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || \
    __has_feature(memory_sanitizer)
constexpr int kOwnScopeFirst = 0;
#else
constexpr int kOwnScopeFirst = RTLD_DEEPBIND;
#endif
#else
constexpr int kOwnScopeFirst = RTLD_DEEPBIND;
#endif

// The oldest release with every function of the table (gnutls_ciphersuite_get).
constexpr const char* kOldestVersion = "3.7.4";

}  // namespace

const TzvGnutls& Gnutls() {
  static const TzvGnutls loaded = [] {
    TzvGnutls gnutls;
    // Kept for the process. Loading it runs its own set-up (random source, the algorithms
    // this processor speeds up), once.
    void* library = ::dlopen("libgnutls.so.30", RTLD_NOW | RTLD_LOCAL | kOwnScopeFirst);
    bool complete = library != nullptr;
#define PELLAMAR_BIND(name) \
  if (complete)             \
    complete =              \
        (gnutls.name = reinterpret_cast<decltype(&::name)>(::dlsym(library, #name))) != nullptr;
    PELLAMAR_GNUTLS_FUNCTIONS(PELLAMAR_BIND)
#undef PELLAMAR_BIND
    if (complete) {
      auto* free = static_cast<gnutls_free_function*>(::dlsym(library, "gnutls_free"));
      complete = free != nullptr && *free != nullptr;
      if (complete) gnutls.Free = *free;
    }
    if (!complete) {
      const char* reason = ::dlerror();
      gnutls.Failure = reason != nullptr ? reason : "libgnutls.so.30 is incomplete";
    } else if (gnutls.gnutls_check_version(kOldestVersion) == nullptr) {
      gnutls.Failure = std::string("GnuTLS ") + gnutls.gnutls_check_version(nullptr) +
                       " is older than " + kOldestVersion;
    }
    return gnutls;
  }();
  return loaded;
}
