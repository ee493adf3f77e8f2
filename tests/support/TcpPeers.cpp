#include "tests/support/TcpPeers.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <iterator>
#include <system_error>

#include "tests/support/TestAddress.h"

namespace {

// Longer than any test waits for a client, short enough that a stuck client cannot hold
// the peer's thread (and the test's end) for long.
constexpr std::chrono::milliseconds kClientPatience{5000};

[[noreturn]] void ThrowErrno(const char* what) {
  throw std::system_error(errno, std::generic_category(), what);
}

}  // namespace

TcpLoopbackPeer::TcpLoopbackPeer(const std::string& address, std::uint16_t port, Script script)
    : script_(std::move(script)) {
  sockaddr_storage bound{};
  socklen_t size = TestSocketAddress(address, port, bound);
  listener_ = ::socket(bound.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (listener_ < 0) ThrowErrno("socket");
  const int on = 1;
  ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (::bind(listener_, reinterpret_cast<sockaddr*>(&bound), size) != 0 ||
      ::listen(listener_, 4) != 0 ||
      ::getsockname(listener_, reinterpret_cast<sockaddr*>(&bound), &size) != 0) {
    const int error = errno;
    ::close(listener_);
    errno = error;
    ThrowErrno(("listen " + address).c_str());
  }
  port_ = PortOfSocketAddress(bound);
  stop_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (stop_fd_ < 0) {
    ::close(listener_);
    ThrowErrno("eventfd");
  }
  thread_ = std::thread([this] { Run(); });
}

TcpLoopbackPeer::~TcpLoopbackPeer() {
  ::eventfd_write(stop_fd_, 1);
  thread_.join();
  ::close(listener_);
  ::close(stop_fd_);
}

bool TcpLoopbackPeer::WaitFor(int fd, short events, std::chrono::milliseconds limit) {
  pollfd fds[2] = {{fd, events, 0}, {stop_fd_, POLLIN, 0}};
  for (;;) {
    const int ready = ::poll(fds, 2, static_cast<int>(limit.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0 || fds[1].revents != 0) return false;
    return true;
  }
}

void TcpLoopbackPeer::Run() {
  for (;;) {
    if (!WaitFor(listener_, POLLIN, std::chrono::milliseconds(-1))) return;
    const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) continue;
    ++connections_;
    Session session(*this, fd);
    if (ReadRequest(session)) script_(session);
    ::close(fd);
  }
}

bool TcpLoopbackPeer::ReadRequest(Session& session) {
  Bytes got;
  std::uint8_t buffer[4096];
  for (;;) {
    if (got.size() >= 2 && got.size() >= 2u + ((got[0] << 8) | got[1])) break;
    const ssize_t n = ::recv(session.fd_, buffer, sizeof buffer, 0);
    if (n > 0) {
      got.insert(got.end(), buffer, buffer + n);
    } else if (n == 0 || (errno != EAGAIN && errno != EINTR) ||
               !WaitFor(session.fd_, POLLIN, kClientPatience)) {
      return false;
    }
  }
  session.request_.assign(got.begin() + 2, got.begin() + 2 + ((got[0] << 8) | got[1]));
  return true;
}

bool TcpLoopbackPeer::Session::Send(const Bytes& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      peer_.bytes_sent_ += n;
    } else if ((n < 0 && errno != EAGAIN && errno != EINTR) ||
               !peer_.WaitFor(fd_, POLLOUT, kClientPatience)) {
      return false;
    }
  }
  return true;
}

bool TcpLoopbackPeer::Session::Sleep(std::chrono::milliseconds delay) {
  pollfd stop = {peer_.stop_fd_, POLLIN, 0};
  const auto deadline = std::chrono::steady_clock::now() + delay;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return true;
    const int ready = ::poll(&stop, 1, static_cast<int>(left.count()));
    if (ready > 0) return false;
  }
}

TcpLoopbackPeer::Bytes TcpLoopbackPeer::Framed(const Bytes& message) {
  Bytes framed(2 + message.size());
  framed[0] = static_cast<std::uint8_t>(message.size() >> 8);
  framed[1] = static_cast<std::uint8_t>(message.size() & 0xFF);
  std::copy(message.begin(), message.end(), framed.begin() + 2);
  return framed;
}

TcpLoopbackPeer::Bytes TcpLoopbackPeer::AnswerOf(const Bytes& request,
                                                 const std::vector<std::string>& addresses) {
  // The header and the question, as asked.
  std::size_t end = 12;
  while (end < request.size() && request[end] != 0) end += 1 + request[end];
  end += 1 + 4;
  if (request.size() < end) return {};
  Bytes answer(request.begin(), request.begin() + static_cast<std::ptrdiff_t>(end));
  answer[2] = static_cast<std::uint8_t>(0x80 | (request[2] & 0x79) | 0x04);  // QR, AA
  answer[3] = 0x80;                                                          // RA
  answer[6] = static_cast<std::uint8_t>(addresses.size() >> 8);
  answer[7] = static_cast<std::uint8_t>(addresses.size() & 0xFF);
  for (std::size_t i = 8; i < 12; ++i) answer[i] = 0;
  for (const std::string& text : addresses) {
    in_addr address{};
    ::inet_pton(AF_INET, text.c_str(), &address);
    const auto* octets = reinterpret_cast<const std::uint8_t*>(&address.s_addr);
    // Owner: a pointer to the question's name; type A, class IN, TTL 300, 4 bytes.
    const std::uint8_t head[] = {0xC0, 12, 0, 1, 0, 1, 0, 0, 1, 44, 0, 4};
    answer.insert(answer.end(), std::begin(head), std::end(head));
    answer.insert(answer.end(), octets, octets + 4);
  }
  return answer;
}
