#include "net/zvIpAddress.h"

#include <arpa/inet.h>
#include <net/if.h>

#include <cstring>
#include <memory>

#include "net/zvSocketUtils.h"
#include "net/zvWinSock2.h"

namespace {

void NoFree(addrinfo*) {}

// The one-entry list made for a dotted IPv4 text without asking getaddrinfo, laid out
// like the first entry getaddrinfo gives for it.
struct TOwnInfo {
  addrinfo info{};  // first, so that the list pointer is the object's
  sockaddr_in address{};
};

void FreeOwnInfo(addrinfo* list) {
  std::unique_ptr<TOwnInfo> owned(reinterpret_cast<TOwnInfo*>(list));
}

// A plain dotted-decimal IPv4 text, which getaddrinfo would take to the same address.
std::unique_ptr<addrinfo, void (*)(addrinfo*)> DottedIPv4Info(const std::string& text) {
  in_addr parsed{};
  if (::inet_pton(AF_INET, text.c_str(), &parsed) != 1) return {nullptr, NoFree};
  auto own = std::make_unique<TOwnInfo>();
  own->address.sin_family = AF_INET;
  own->address.sin_addr = parsed;
  own->info.ai_flags = AI_NUMERICHOST;
  own->info.ai_family = AF_INET;
  own->info.ai_socktype = SOCK_STREAM;
  own->info.ai_protocol = IPPROTO_TCP;
  own->info.ai_addrlen = sizeof own->address;
  own->info.ai_addr = reinterpret_cast<sockaddr*>(&own->address);
  return {&own.release()->info, FreeOwnInfo};
}

// Texts the platform parsers would cut short (at a NUL) or read only in part (up to a
// blank) are no addresses.
bool HasHiddenTail(const std::string& text) {
  for (unsigned char c : text) {
    if (c <= ' ') return true;
  }
  return false;
}

[[noreturn]] void InvalidFamily() {
  RaiseSocketErrorText(SzvInvalidAddressFamily, kzvErrInvalidAddressFamily);
}
[[noreturn]] void InvalidHost() {
  RaiseSocketErrorText(SzvInvalidHostAddress, kzvErrInvalidHostAddress);
}

std::unique_ptr<TzvIPAddress> CreateBestKind() {
  if (zvWinSock2::IsIPv6Available()) return std::make_unique<TzvIPAddress6>();
  return std::make_unique<TzvIPAddress4>();
}

}  // namespace

// ---------------------------------------------------------------------------------------
// TzvIPAddress

void TzvIPAddress::SetPort(int port) {
  // The address holds 16 bits: a larger port would wrap round and name another one.
  if (port < 0 || port > 65535) RaiseSocketErrorText(SzvInvalidPortNumber, kzvErrInvalidPort);
}

std::unique_ptr<TzvIPAddress> TzvIPAddress::CreateForFamily(int family) {
  auto address = CreateBestKind();
  address->Init(family);  // a failure frees the object on the way out
  return address;
}

std::unique_ptr<TzvIPAddress> TzvIPAddress::CreateWildcard(int family) {
  auto address = CreateBestKind();
  address->InitAny(family);
  return address;
}

std::unique_ptr<TzvIPAddress> TzvIPAddress::CreateFromText(const std::string& text) {
  // The IPv6-capable kind is asked first even without the binding; it then just fails.
  std::unique_ptr<TzvIPAddress> address = std::make_unique<TzvIPAddress6>();
  if (address->Parse(text)) return address;
  address = std::make_unique<TzvIPAddress4>();
  if (address->Parse(text)) return address;
  InvalidHost();
}

std::unique_ptr<TzvIPAddress> TzvIPAddress::CreateBindingAddress(const std::string& text,
                                                                 int family) {
  if (!text.empty()) return CreateFromText(text);
  return CreateWildcard(family);
}

bool TzvIPAddress::IsIPAddress(const std::string& text) {
  if (text.empty()) return false;
  if (TzvIPAddress6().Parse(text)) return true;
  return TzvIPAddress4().Parse(text);
}

std::string TzvIPAddress::IPv4ToText(std::uint32_t address) {
  // Every send and receive names its peer, so this runs for each datagram: four octets
  // written digit by digit into a buffer the string's own small storage then holds,
  // instead of a formatting call.
  std::uint8_t octets[4];
  std::memcpy(octets, &address, 4);  // network order: the first octet first
  char text[16];
  std::size_t n = 0;
  for (const std::uint8_t octet : octets) {
    if (octet >= 100) text[n++] = static_cast<char>('0' + octet / 100);
    if (octet >= 10) text[n++] = static_cast<char>('0' + octet / 10 % 10);
    text[n++] = static_cast<char>('0' + octet % 10);
    text[n++] = '.';
  }
  return std::string(text, n - 1);
}

std::string TzvIPAddress::ScopeText(std::uint32_t scope_id) {
  char name[IF_NAMESIZE];
  if (::if_indextoname(scope_id, name) != nullptr) return name;
  return std::to_string(scope_id);
}

std::string TzvIPAddress::IPv6ToText(const std::array<std::uint8_t, 16>& address) {
  std::string text;
  auto append = [&text](const std::string& part) {
    if (!text.empty()) text += ':';
    text += part;
  };
  auto hex = [](unsigned group) { return Format("%X", group); };

  int run = 0;            // length of the pending run of zero groups
  bool run_done = false;  // the first run has been written: no other is compressed
  for (int i = 0; i < 8; ++i) {
    const unsigned group = (static_cast<unsigned>(address[2 * i]) << 8) | address[2 * i + 1];
    if (group == 0 && !run_done) {
      ++run;
      continue;
    }
    if (run > 0) {
      run_done = true;
      if (run == 1) {
        append("0");
        append(hex(group));
      } else {
        text += "::" + hex(group);
      }
      run = 0;
      continue;
    }
    append(hex(group));
  }
  if (run == 1) append("0");
  if (run >= 2) text += "::";
  return text;
}

// ---------------------------------------------------------------------------------------
// TzvIPAddress4

TzvIPAddress4::TzvIPAddress4() {
  Clear();
}

int TzvIPAddress4::Port() const {
  return ntohs(socket_address_.sin_port);
}

void TzvIPAddress4::Clear() {
  std::memset(&socket_address_, 0, sizeof socket_address_);
}

bool TzvIPAddress4::Parse(const std::string& text) {
  Clear();
  if (HasHiddenTail(text)) return false;
  const in_addr_t address = ::inet_addr(text.c_str());
  if (address == INADDR_NONE) return false;
  socket_address_.sin_family = AF_INET;
  socket_address_.sin_addr.s_addr = address;
  return true;
}

void TzvIPAddress4::Init(int family) {
  if (family != AF_INET) InvalidFamily();
  Clear();
  socket_address_.sin_family = AF_INET;
}

void TzvIPAddress4::InitAny(int family) {
  Init(family);
  socket_address_.sin_addr.s_addr = htonl(INADDR_ANY);
}

void TzvIPAddress4::SetPort(int port) {
  TzvIPAddress::SetPort(port);
  socket_address_.sin_port = htons(static_cast<std::uint16_t>(port));
}

std::string TzvIPAddress4::ToString() const {
  return IPv4ToText(socket_address_.sin_addr.s_addr);
}

// ---------------------------------------------------------------------------------------
// TzvIPAddress6

TzvIPAddress6::TzvIPAddress6() : info_list_(nullptr, NoFree) {}

TzvIPAddress6::~TzvIPAddress6() {
  Clear();
}

sockaddr* TzvIPAddress6::SockAddr() {
  return info_list_ ? info_list_->ai_addr : nullptr;
}

int TzvIPAddress6::AddressFamily() const {
  return info_list_ ? info_list_->ai_family : 0;
}

socklen_t TzvIPAddress6::SockAddrLength() const {
  return info_list_ ? info_list_->ai_addrlen : 0;
}

int TzvIPAddress6::Port() const {
  if (!info_list_ || info_list_->ai_addr == nullptr) return 0;
  if (info_list_->ai_family == AF_INET && info_list_->ai_addrlen >= sizeof(sockaddr_in))
    return ntohs(reinterpret_cast<const sockaddr_in*>(info_list_->ai_addr)->sin_port);
  if (info_list_->ai_family == AF_INET6 && info_list_->ai_addrlen >= sizeof(sockaddr_in6))
    return ntohs(reinterpret_cast<const sockaddr_in6*>(info_list_->ai_addr)->sin6_port);
  return 0;
}

void TzvIPAddress6::Clear() {
  info_list_.reset();
}

bool TzvIPAddress6::Parse(const std::string& text) {
  Clear();
  if (!zvWinSock2::IsIPv6Available()) return false;
  if (text.find('\0') != std::string::npos) return false;
  // The usual server text needs no lookup machinery (and no allocation of three entries).
  if (auto own = DottedIPv4Info(text)) {
    info_list_ = std::move(own);
    return true;
  }
  addrinfo hints{};
  hints.ai_flags = AI_NUMERICHOST;
  hints.ai_family = AF_UNSPEC;
  addrinfo* list = nullptr;
  const TFreeList release = zvWinSock2::SocketApi().freeaddrinfo;
  if (zvWinSock2::getaddrinfo(text.c_str(), nullptr, &hints, &list) != 0) {
    if (list != nullptr) release(list);
    return false;
  }
  info_list_ = std::unique_ptr<addrinfo, TFreeList>(list, release);
  return list != nullptr;
}

void TzvIPAddress6::Init(int family) {
  if (family != AF_INET && family != AF_INET6) InvalidFamily();
  if (!Parse(family == AF_INET6 ? "::" : "0.0.0.0")) InvalidHost();
}

void TzvIPAddress6::InitAny(int family) {
  Init(family);
  if (family == AF_INET)
    reinterpret_cast<sockaddr_in*>(info_list_->ai_addr)->sin_addr.s_addr = htonl(INADDR_ANY);
}

void TzvIPAddress6::SetPort(int port) {
  TzvIPAddress::SetPort(port);
  const std::uint16_t value = htons(static_cast<std::uint16_t>(port));
  if (info_list_ && info_list_->ai_family == AF_INET &&
      info_list_->ai_addrlen >= sizeof(sockaddr_in)) {
    reinterpret_cast<sockaddr_in*>(info_list_->ai_addr)->sin_port = value;
  } else if (info_list_ && info_list_->ai_family == AF_INET6 &&
             info_list_->ai_addrlen >= sizeof(sockaddr_in6)) {
    reinterpret_cast<sockaddr_in6*>(info_list_->ai_addr)->sin6_port = value;
  } else {
    InvalidHost();
  }
}

std::string TzvIPAddress6::ToString() const {
  if (!info_list_ || info_list_->ai_addr == nullptr) return std::string();
  if (info_list_->ai_family == AF_INET && info_list_->ai_addrlen >= sizeof(sockaddr_in))
    return IPv4ToText(reinterpret_cast<const sockaddr_in*>(info_list_->ai_addr)->sin_addr.s_addr);
  if (info_list_->ai_family == AF_INET6 && info_list_->ai_addrlen >= sizeof(sockaddr_in6)) {
    const auto* in6 = reinterpret_cast<const sockaddr_in6*>(info_list_->ai_addr);
    std::array<std::uint8_t, 16> bytes{};
    std::memcpy(bytes.data(), &in6->sin6_addr, bytes.size());
    std::string text = IPv6ToText(bytes);
    // A link-local address means nothing without its interface: the text is made again
    // into an address for the next socket (the TCP retry, a later exchange), which has to
    // reach the same interface, so the scope goes with it.
    if (in6->sin6_scope_id != 0) text += '%' + ScopeText(in6->sin6_scope_id);
    return text;
  }
  return std::string();
}
