// Lets a test pretend that the optional address-information operations are missing from
// the socket binding, so the IPv4-only address objects and resolvers run on a machine
// that has them. The entries are put back when the guard goes.
#pragma once

#include "net/zvWinSock2.h"

class ScopedAddressInfoAbsent {
 public:
  // Hides getaddrinfo and/or freeaddrinfo (both by default).
  explicit ScopedAddressInfoAbsent(bool hide_getaddrinfo = true, bool hide_freeaddrinfo = true)
      : api_(zvWinSock2::SocketApi()),
        saved_get_(api_.getaddrinfo),
        saved_free_(api_.freeaddrinfo) {
    if (hide_getaddrinfo) api_.getaddrinfo = nullptr;
    if (hide_freeaddrinfo) api_.freeaddrinfo = nullptr;
  }
  ~ScopedAddressInfoAbsent() {
    api_.getaddrinfo = saved_get_;
    api_.freeaddrinfo = saved_free_;
  }
  ScopedAddressInfoAbsent(const ScopedAddressInfoAbsent&) = delete;
  ScopedAddressInfoAbsent& operator=(const ScopedAddressInfoAbsent&) = delete;

 private:
  zvWinSock2::TzvSocketApi& api_;
  zvWinSock2::TGetAddrInfoFn saved_get_;
  zvWinSock2::TFreeAddrInfoFn saved_free_;
};
