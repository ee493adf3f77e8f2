#include "tests/support/DnsRelay.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <system_error>

#include "tests/support/TestAddress.h"

namespace {

constexpr std::size_t kUdpLimit = 1232;
constexpr int kWaitMs = 3000;

[[noreturn]] void ThrowErrno(const std::string& what) {
  throw std::system_error(errno, std::generic_category(), what);
}

int Socket(const std::string& address, int kind, sockaddr_storage& where, socklen_t& size) {
  size = TestSocketAddress(address, 53, where);
  const int fd = socket(where.ss_family, kind | SOCK_CLOEXEC, 0);
  if (fd < 0) ThrowErrno("socket");
  return fd;
}

bool WaitReadable(int fd, int ms) {
  pollfd p = {fd, POLLIN, 0};
  return poll(&p, 1, ms) > 0;
}

bool ReadAll(int fd, std::uint8_t* out, std::size_t count) {
  while (count > 0) {
    if (!WaitReadable(fd, kWaitMs)) return false;
    const ssize_t got = read(fd, out, count);
    if (got <= 0) return false;
    out += got;
    count -= static_cast<std::size_t>(got);
  }
  return true;
}

bool WriteFramed(int fd, const std::vector<std::uint8_t>& message) {
  std::vector<std::uint8_t> framed = {static_cast<std::uint8_t>(message.size() >> 8),
                                      static_cast<std::uint8_t>(message.size() & 0xFF)};
  framed.insert(framed.end(), message.begin(), message.end());
  return send(fd, framed.data(), framed.size(), MSG_NOSIGNAL) ==
         static_cast<ssize_t>(framed.size());
}

std::optional<std::vector<std::uint8_t>> ReadFramed(int fd) {
  std::uint8_t length[2];
  if (!ReadAll(fd, length, 2)) return std::nullopt;
  std::vector<std::uint8_t> message(static_cast<std::size_t>((length[0] << 8) | length[1]));
  if (!ReadAll(fd, message.data(), message.size())) return std::nullopt;
  return message;
}

// One exchange with a server at address:53, over TCP or UDP.
std::optional<std::vector<std::uint8_t>> Exchange(const std::string& address,
                                                  const std::vector<std::uint8_t>& request,
                                                  bool tcp) {
  sockaddr_storage where{};
  socklen_t size = 0;
  const int fd = Socket(address, tcp ? SOCK_STREAM : SOCK_DGRAM, where, size);
  std::optional<std::vector<std::uint8_t>> reply;
  if (connect(fd, reinterpret_cast<sockaddr*>(&where), size) == 0) {
    if (tcp) {
      if (WriteFramed(fd, request)) reply = ReadFramed(fd);
    } else if (send(fd, request.data(), request.size(), 0) >= 0 && WaitReadable(fd, kWaitMs)) {
      std::vector<std::uint8_t> buffer(65535);
      const ssize_t got = recv(fd, buffer.data(), buffer.size(), 0);
      if (got > 0) reply.emplace(buffer.begin(), buffer.begin() + got);
    }
  }
  close(fd);
  return reply;
}

}  // namespace

DnsRelay::DnsRelay(const std::string& address, std::string upstream)
    : address_(address), upstream_(std::move(upstream)) {
  sockaddr_storage where{};
  socklen_t size = 0;
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) ThrowErrno("pipe");
  wake_read_ = fds[0];
  wake_write_ = fds[1];
  try {
    udp_ = Socket(address, SOCK_DGRAM, where, size);
    if (bind(udp_, reinterpret_cast<sockaddr*>(&where), size) != 0) ThrowErrno("bind " + address);
    tcp_ = Socket(address, SOCK_STREAM, where, size);
    const int on = 1;
    setsockopt(tcp_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (bind(tcp_, reinterpret_cast<sockaddr*>(&where), size) != 0 || listen(tcp_, 8) != 0)
      ThrowErrno("bind " + address + " (TCP)");
  } catch (...) {
    for (int fd : {udp_, tcp_, wake_read_, wake_write_})
      if (fd >= 0) close(fd);
    throw;
  }
  thread_ = std::thread([this] { Run(); });
}

DnsRelay::~DnsRelay() {
  const char wake = 1;
  while (write(wake_write_, &wake, 1) < 0 && errno == EINTR) {
  }
  thread_.join();
  for (std::thread& late : late_) late.join();
  for (int fd : {udp_, tcp_, wake_read_, wake_write_}) close(fd);
}

void DnsRelay::SetRule(Rule rule) {
  std::lock_guard<std::mutex> lock(mutex_);
  rule_ = std::move(rule);
}

std::vector<std::pair<std::string, std::uint16_t>> DnsRelay::Questions() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return questions_;
}

void DnsRelay::ClearQuestions() {
  std::lock_guard<std::mutex> lock(mutex_);
  questions_.clear();
}

WireMessage DnsRelay::Ask(const std::string& name, std::uint16_t type, const std::string& server) {
  WireMessage question;
  question.id = 0x7e1a;
  question.flags = 0x0110;  // RD, CD
  question.qname = name;
  question.qtype = type;
  // EDNS with a 4096-byte buffer and the DO bit.
  question.additional.push_back({".", wire_type::OPT, 4096, 0x8000, {}});
  const auto reply = Exchange(server.empty() ? upstream_ : server, question.Bytes(), true);
  if (!reply) throw std::runtime_error("no answer to " + name + " from the relay's upstream");
  return WireMessage::Parse(*reply);
}

std::vector<std::uint8_t> DnsRelay::Answer(const std::vector<std::uint8_t>& request, bool tcp,
                                           std::chrono::milliseconds* delay) {
  WireMessage question;
  try {
    question = WireMessage::Parse(request);
  } catch (const std::runtime_error&) {
    return {};
  }
  Rule rule;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    questions_.emplace_back(question.qname, question.qtype);
    rule = rule_;
  }
  Reply reply;
  if (rule) {
    try {
      reply = rule(question, *this);
    } catch (const std::exception&) {
      reply.silent = true;  // a forgery that could not be made: no answer rather than a true one
    }
  }
  if (delay != nullptr)
    *delay = reply.delay;
  else
    std::this_thread::sleep_for(reply.delay);
  if (reply.silent) return {};
  if (!reply.message)
    return Exchange(upstream_, request, tcp).value_or(std::vector<std::uint8_t>{});
  reply.message->id = question.id;
  reply.message->flags |= 0x8000;
  std::vector<std::uint8_t> bytes = reply.message->Bytes();
  if (!tcp && bytes.size() > kUdpLimit) {
    WireMessage truncated = *reply.message;
    truncated.flags |= 0x0200;
    truncated.answer.clear();
    truncated.authority.clear();
    truncated.additional.clear();
    bytes = truncated.Bytes();
  }
  return bytes;
}

void DnsRelay::ServeTcp(int connection) {
  while (auto request = ReadFramed(connection)) {
    const std::vector<std::uint8_t> reply = Answer(*request, true);
    if (reply.empty() || !WriteFramed(connection, reply)) break;
  }
  close(connection);
}

void DnsRelay::Run() {
  std::vector<std::uint8_t> buffer(65535);
  while (true) {
    pollfd fds[3] = {{udp_, POLLIN, 0}, {tcp_, POLLIN, 0}, {wake_read_, POLLIN, 0}};
    if (poll(fds, 3, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[2].revents != 0) return;
    if ((fds[1].revents & POLLIN) != 0) {
      const int connection = accept4(tcp_, nullptr, nullptr, SOCK_CLOEXEC);
      if (connection >= 0) ServeTcp(connection);
    }
    if ((fds[0].revents & POLLIN) == 0) continue;
    sockaddr_storage peer{};
    socklen_t peer_size = sizeof peer;
    const ssize_t got = recvfrom(udp_, buffer.data(), buffer.size(), MSG_DONTWAIT,
                                 reinterpret_cast<sockaddr*>(&peer), &peer_size);
    if (got <= 0) continue;
    std::chrono::milliseconds delay{0};
    const std::vector<std::uint8_t> reply =
        Answer(std::vector<std::uint8_t>(buffer.begin(), buffer.begin() + got), false, &delay);
    if (reply.empty()) continue;
    // A late answer is sent from a thread of its own, so that it holds up no other.
    const auto send = [this, reply, peer, peer_size, delay] {
      std::this_thread::sleep_for(delay);
      sendto(udp_, reply.data(), reply.size(), 0, reinterpret_cast<const sockaddr*>(&peer),
             peer_size);
    };
    if (delay.count() == 0) {
      send();
    } else {
      std::lock_guard<std::mutex> lock(mutex_);
      late_.emplace_back(send);
    }
  }
}
