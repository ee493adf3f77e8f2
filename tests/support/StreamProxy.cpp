#include "tests/support/StreamProxy.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <system_error>

#include "tests/support/TestAddress.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr int kWaitMs = 5000;
// Questions that arrive within this of each other count as one burst.
constexpr int kBurstMs = 20;

[[noreturn]] void ThrowErrno(const std::string& what) {
  throw std::system_error(errno, std::generic_category(), what);
}

// Whether fd has something to read within ms, and the proxy is not stopping.
bool Readable(int fd, int wake, int ms) {
  pollfd p[2] = {{fd, POLLIN, 0}, {wake, POLLIN, 0}};
  return poll(p, 2, ms) > 0 && p[1].revents == 0 && p[0].revents != 0;
}

bool ReadAll(int fd, int wake, std::uint8_t* out, std::size_t count) {
  while (count > 0) {
    if (!Readable(fd, wake, kWaitMs)) return false;
    const ssize_t got = read(fd, out, count);
    if (got <= 0) return false;
    out += got;
    count -= static_cast<std::size_t>(got);
  }
  return true;
}

std::optional<Bytes> ReadFramed(int fd, int wake) {
  std::uint8_t length[2];
  if (!ReadAll(fd, wake, length, 2)) return std::nullopt;
  Bytes message(static_cast<std::size_t>((length[0] << 8) | length[1]));
  if (!ReadAll(fd, wake, message.data(), message.size())) return std::nullopt;
  return message;
}

bool WriteFramed(int fd, const Bytes& message) {
  Bytes framed = {static_cast<std::uint8_t>(message.size() >> 8),
                  static_cast<std::uint8_t>(message.size() & 0xFF)};
  framed.insert(framed.end(), message.begin(), message.end());
  return send(fd, framed.data(), framed.size(), MSG_NOSIGNAL) ==
         static_cast<ssize_t>(framed.size());
}

int StreamSocket(const std::string& address, std::uint16_t port, sockaddr_storage& where,
                 socklen_t& size) {
  size = TestSocketAddress(address, port, where);
  const int fd = socket(where.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) ThrowErrno("socket");
  return fd;
}

}  // namespace

StreamProxy::StreamProxy(const std::string& address, std::uint16_t port,
                         const std::string& upstream, std::uint16_t upstream_port, Options options)
    : options_(options), upstream_(upstream), upstream_port_(upstream_port) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) ThrowErrno("pipe");
  wake_read_ = fds[0];
  wake_write_ = fds[1];
  sockaddr_storage where{};
  socklen_t size = 0;
  listener_ = StreamSocket(address, port, where, size);
  const int on = 1;
  setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (bind(listener_, reinterpret_cast<sockaddr*>(&where), size) != 0 ||
      listen(listener_, 8) != 0) {
    const int error = errno;
    for (int fd : {listener_, wake_read_, wake_write_}) close(fd);
    throw std::system_error(error, std::generic_category(), "bind " + address);
  }
  thread_ = std::thread([this] { Run(); });
}

StreamProxy::~StreamProxy() {
  // Never read: every wait of every session sees it from now on.
  const char wake = 1;
  [[maybe_unused]] const ssize_t written = write(wake_write_, &wake, 1);
  thread_.join();
  for (std::thread& session : sessions_) session.join();
  for (int fd : {listener_, wake_read_, wake_write_}) close(fd);
}

void StreamProxy::Run() {
  while (Readable(listener_, wake_read_, -1)) {
    const int client = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) continue;
    ++connections_;
    std::lock_guard<std::mutex> lock(mutex_);
    sessions_.emplace_back([this, client] { Serve(client); });
  }
}

void StreamProxy::Serve(int client) {
  sockaddr_storage where{};
  socklen_t size = 0;
  const int server = StreamSocket(upstream_, upstream_port_, where, size);
  if (connect(server, reinterpret_cast<sockaddr*>(&where), size) == 0)
    options_.Framed ? Relay(client, server) : Pipe(client, server);
  close(server);
  close(client);
}

void StreamProxy::Pipe(int client, int server) {
  std::uint8_t buffer[16384];
  for (;;) {
    pollfd p[3] = {{client, POLLIN, 0}, {server, POLLIN, 0}, {wake_read_, POLLIN, 0}};
    if (poll(p, 3, kWaitMs * 6) <= 0 || p[2].revents != 0) return;
    for (int i = 0; i < 2; ++i) {
      if (p[i].revents == 0) continue;
      const ssize_t got = read(p[i].fd, buffer, sizeof buffer);
      if (got <= 0) return;
      if (send(p[1 - i].fd, buffer, static_cast<std::size_t>(got), MSG_NOSIGNAL) != got) return;
    }
  }
}

void StreamProxy::Relay(int client, int server) {
  int carried = 0;
  while (auto first = ReadFramed(client, wake_read_)) {
    std::vector<Bytes> burst = {std::move(*first)};
    while (Readable(client, wake_read_, kBurstMs))
      if (auto more = ReadFramed(client, wake_read_))
        burst.push_back(std::move(*more));
      else
        break;
    largest_burst_ = std::max<int>(largest_burst_, static_cast<int>(burst.size()));
    for (const Bytes& question : burst)
      if (!WriteFramed(server, question)) return;
    std::vector<Bytes> answers;
    for (std::size_t i = 0; i < burst.size(); ++i) {
      auto answer = ReadFramed(server, wake_read_);
      if (!answer) return;
      answers.push_back(std::move(*answer));
    }
    if (options_.Reverse) std::reverse(answers.begin(), answers.end());
    for (const Bytes& answer : answers) {
      if (options_.CloseAfter > 0 && carried == options_.CloseAfter) return;
      if (!WriteFramed(client, answer)) return;
      ++carried;
    }
    if (options_.CloseAfter > 0 && carried == options_.CloseAfter) return;
  }
}
