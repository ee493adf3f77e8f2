// The addresses the loopback peers of the tests may use: 127.0.0.0/8, ::1, and link-local
// addresses on the loopback interface written with their scope ("fe80::53%lo"), which the
// test namespace gives lo. Anything else is refused, so no peer can be pointed at a real
// network by mistake.
#pragma once

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>

// Fills `out` with the address and port; gives its length. Raises std::invalid_argument
// for a text that is not one of the addresses above.
inline socklen_t TestSocketAddress(const std::string& text, std::uint16_t port,
                                   sockaddr_storage& out) {
  std::memset(&out, 0, sizeof out);
  in_addr v4{};
  if (::inet_pton(AF_INET, text.c_str(), &v4) == 1) {
    if ((ntohl(v4.s_addr) >> 24) != 127)
      throw std::invalid_argument("not a loopback address: " + text);
    auto& in = reinterpret_cast<sockaddr_in&>(out);
    in.sin_family = AF_INET;
    in.sin_port = htons(port);
    in.sin_addr = v4;
    return sizeof in;
  }
  const std::size_t percent = text.find('%');
  const std::string bare = text.substr(0, percent);
  auto& in6 = reinterpret_cast<sockaddr_in6&>(out);
  if (::inet_pton(AF_INET6, bare.c_str(), &in6.sin6_addr) != 1)
    throw std::invalid_argument("not an address: " + text);
  if (percent == std::string::npos) {
    if (!IN6_IS_ADDR_LOOPBACK(&in6.sin6_addr))
      throw std::invalid_argument("not a loopback address: " + text);
  } else {
    // Link-local on the loopback interface only: the scope must name lo.
    const unsigned loopback = ::if_nametoindex("lo");
    const std::string scope = text.substr(percent + 1);
    if (!IN6_IS_ADDR_LINKLOCAL(&in6.sin6_addr) || loopback == 0 ||
        (scope != "lo" && scope != std::to_string(loopback)))
      throw std::invalid_argument("not a link-local address on lo: " + text);
    in6.sin6_scope_id = loopback;
  }
  in6.sin6_family = AF_INET6;
  in6.sin6_port = htons(port);
  return sizeof in6;
}

// The port of a socket address.
inline std::uint16_t PortOfSocketAddress(const sockaddr_storage& address) {
  if (address.ss_family == AF_INET)
    return ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port);
  return ntohs(reinterpret_cast<const sockaddr_in6&>(address).sin6_port);
}
