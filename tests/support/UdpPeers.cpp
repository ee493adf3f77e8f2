#include "tests/support/UdpPeers.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

namespace {

// Fills a socket address for a loopback text ("127.x.y.z" or "::1").
socklen_t LoopbackAddress(const std::string& text, int port, sockaddr_storage& out) {
  std::memset(&out, 0, sizeof out);
  if (text.find(':') == std::string::npos) {
    auto& in = reinterpret_cast<sockaddr_in&>(out);
    in.sin_family = AF_INET;
    in.sin_port = htons(static_cast<std::uint16_t>(port));
    if (::inet_pton(AF_INET, text.c_str(), &in.sin_addr) != 1 ||
        (ntohl(in.sin_addr.s_addr) >> 24) != 127)
      throw std::invalid_argument("not a loopback address: " + text);
    return sizeof in;
  }
  auto& in6 = reinterpret_cast<sockaddr_in6&>(out);
  in6.sin6_family = AF_INET6;
  in6.sin6_port = htons(static_cast<std::uint16_t>(port));
  if (::inet_pton(AF_INET6, text.c_str(), &in6.sin6_addr) != 1 ||
      !IN6_IS_ADDR_LOOPBACK(&in6.sin6_addr))
    throw std::invalid_argument("not a loopback address: " + text);
  return sizeof in6;
}

int PortOf(const sockaddr_storage& address) {
  if (address.ss_family == AF_INET)
    return ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port);
  return ntohs(reinterpret_cast<const sockaddr_in6&>(address).sin6_port);
}

}  // namespace

UdpLoopbackPeer::UdpLoopbackPeer(Reply reply, int family)
    : family_(family), reply_(std::move(reply)) {
  socket_ = ::socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  stop_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (socket_ < 0 || stop_fd_ < 0) throw std::runtime_error("cannot make the peer's socket");
  sockaddr_storage address;
  socklen_t length = LoopbackAddress(Address(), 0, address);
  if (::bind(socket_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      ::getsockname(socket_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
    throw std::runtime_error("cannot bind the peer's socket");
  port_ = PortOf(address);
  thread_ = std::thread([this] { Serve(); });
}

UdpLoopbackPeer::~UdpLoopbackPeer() {
  ::eventfd_write(stop_fd_, 1);
  if (thread_.joinable()) thread_.join();
  ::close(socket_);
  ::close(stop_fd_);
}

void UdpLoopbackPeer::Serve() {
  std::vector<std::uint8_t> buffer(65536);
  for (;;) {
    pollfd fds[2] = {{socket_, POLLIN, 0}, {stop_fd_, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) continue;
    if (fds[1].revents != 0) return;
    sockaddr_storage from{};
    socklen_t from_length = sizeof from;
    const ssize_t n = ::recvfrom(socket_, buffer.data(), buffer.size(), 0,
                                 reinterpret_cast<sockaddr*>(&from), &from_length);
    if (n < 0) continue;
    Bytes request(buffer.begin(), buffer.begin() + n);
    {
      std::lock_guard guard(lock_);
      requests_.push_back(request);
      sender_ports_.push_back(PortOf(from));
    }
    if (auto answer = reply_(request)) {
      ::sendto(socket_, answer->data(), answer->size(), 0, reinterpret_cast<sockaddr*>(&from),
               from_length);
    }
  }
}

std::vector<Bytes> UdpLoopbackPeer::Requests() const {
  std::lock_guard guard(lock_);
  return requests_;
}

std::vector<int> UdpLoopbackPeer::SenderPorts() const {
  std::lock_guard guard(lock_);
  return sender_ports_;
}

UdpLoopbackPeer::Reply UdpLoopbackPeer::Echo() {
  return [](const Bytes& request) { return std::optional<Bytes>(request); };
}

UdpLoopbackPeer::Reply UdpLoopbackPeer::Silent() {
  return [](const Bytes&) { return std::optional<Bytes>(); };
}

bool SendLoopbackDatagram(const std::string& address, int port, const Bytes& data) {
  sockaddr_storage to;
  const socklen_t length = LoopbackAddress(address, port, to);
  const int s = ::socket(to.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (s < 0) return false;
  const ssize_t sent =
      ::sendto(s, data.data(), data.size(), 0, reinterpret_cast<sockaddr*>(&to), length);
  ::close(s);
  return sent == static_cast<ssize_t>(data.size());
}

Bytes BytesOf(const std::string& text) {
  return Bytes(text.begin(), text.end());
}
