// IP address values: one socket address (family, address, port) in the record the socket
// calls take and fill, with conversions to and from text. The connections make one per
// socket call; the resolvers use the numeric test and the text formatters.
//
// Two kinds share one interface: TzvIPAddress4 holds an IPv4 address in its own record and
// works everywhere; TzvIPAddress6 holds an IPv4 or IPv6 address from a numeric-only
// address-information lookup and works only when zvWinSock2::IsIPv6Available(). The
// class-level factories pick the best kind available.
#pragma once

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "base/Classes.h"

class TzvIPAddress : public TObject {
 public:
  std::string ClassName() const override { return "TzvIPAddress"; }

  virtual bool IsIPv6() const = 0;
  // The record to hand to the socket calls; null when there is no address.
  virtual sockaddr* SockAddr() = 0;
  // AF_INET, AF_INET6, or 0 when there is none.
  virtual int AddressFamily() const = 0;
  virtual socklen_t SockAddrLength() const = 0;
  // Host order, 0..65535.
  virtual int Port() const = 0;
  virtual void Clear() = 0;
  // True when the text is a numeric address, which is then held (port 0). Never raises.
  virtual bool Parse(const std::string& text) = 0;
  // The unspecified address of the family, port 0; -7 "Invalid address family" when the
  // kind does not support the family.
  virtual void Init(int family) = 0;
  // The wildcard address of the family (any local address), port 0.
  virtual void InitAny(int family) = 0;
  // A port outside 0..65535 raises -3 "Invalid port number".
  virtual void SetPort(int port);
  // The address without the port. An IPv6 address with a scope (a link-local one) ends in
  // "%" and its interface's name, or the scope's number when no interface has it, as
  // CreateFromText takes it back.
  virtual std::string ToString() const = 0;

  // Factories: each returns a new object, or raises having freed what it made.
  // The best kind with Init(family).
  static std::unique_ptr<TzvIPAddress> CreateForFamily(int family);
  // The best kind with InitAny(family).
  static std::unique_ptr<TzvIPAddress> CreateWildcard(int family);
  // The IPv6-capable kind if it parses the text, else the IPv4 kind; -2 "Invalid host
  // address" when neither does.
  static std::unique_ptr<TzvIPAddress> CreateFromText(const std::string& text);
  // CreateFromText(text) for a non-empty text, else CreateWildcard(family).
  static std::unique_ptr<TzvIPAddress> CreateBindingAddress(const std::string& text, int family);
  // Whether either kind parses the text; no name is ever looked up.
  static bool IsIPAddress(const std::string& text);

  // Dotted decimal of an IPv4 address given in network order.
  static std::string IPv4ToText(std::uint32_t address);
  // Upper-case hexadecimal groups; only the first run of two or more zero groups is
  // written as "::" (a single zero group is written "0"), later runs are written out.
  static std::string IPv6ToText(const std::array<std::uint8_t, 16>& address);
  // The text of an IPv6 scope after the "%": its interface's name, or the number.
  static std::string ScopeText(std::uint32_t scope_id);
};

class TzvIPAddress4 : public TzvIPAddress {
 public:
  TzvIPAddress4();
  std::string ClassName() const override { return "TzvIPAddress4"; }

  bool IsIPv6() const override { return false; }
  sockaddr* SockAddr() override { return reinterpret_cast<sockaddr*>(&socket_address_); }
  int AddressFamily() const override { return socket_address_.sin_family; }
  socklen_t SockAddrLength() const override { return sizeof(sockaddr_in); }
  int Port() const override;
  void Clear() override;
  // What inet_addr accepts (a.b.c.d, a.b.c, a.b, a; decimal, octal or hexadecimal parts),
  // except 255.255.255.255, which is its failure value, and texts with blanks or control
  // characters, whose tails inet_addr would silently ignore.
  bool Parse(const std::string& text) override;
  void Init(int family) override;
  void InitAny(int family) override;
  void SetPort(int port) override;
  std::string ToString() const override;

  const sockaddr_in& SocketAddress() const { return socket_address_; }

 private:
  sockaddr_in socket_address_;
};

class TzvIPAddress6 : public TzvIPAddress {
 public:
  TzvIPAddress6();
  ~TzvIPAddress6() override;
  std::string ClassName() const override { return "TzvIPAddress6"; }

  bool IsIPv6() const override { return AddressFamily() == AF_INET6; }
  sockaddr* SockAddr() override;
  int AddressFamily() const override;
  socklen_t SockAddrLength() const override;
  int Port() const override;
  void Clear() override;
  // Whatever a numeric-only getaddrinfo accepts, IPv4 or IPv6; false without the binding.
  bool Parse(const std::string& text) override;
  void Init(int family) override;
  void InitAny(int family) override;
  // -2 "Invalid host address" when no IPv4 or IPv6 address is held.
  void SetPort(int port) override;
  std::string ToString() const override;

  // The list of the last successful Parse (only its first entry is used); null when none.
  const addrinfo* InfoList() const { return info_list_.get(); }

 private:
  using TFreeList = void (*)(addrinfo*);
  // Released with the freeaddrinfo that was bound when the list was made, so the list
  // goes back to whoever made it whatever the binding says later.
  std::unique_ptr<addrinfo, TFreeList> info_list_;
};
