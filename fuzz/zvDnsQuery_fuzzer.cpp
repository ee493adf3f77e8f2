// Fuzzes a whole lookup: the fuzzer's bytes are the server's replies, over UDP and over
// the TCP retry, to one of the four lookups, with or without referral following. The
// datagrams are played in memory; the retry over TCP goes through the real TCP client
// (its connection, its waits, its bounded reads) to a loopback peer on a thread of this
// process that sends the fuzzer's bytes, in the fuzzer's pieces. So everything above the
// UDP socket runs as it does for real: matching answers to questions, dropping strangers,
// the retry of truncated answers with its length framing, the referral walk and decoding.
//
// The TCP peer needs a network of its own, so that nothing the fuzzer makes up (a glue
// address a referral names) can reach past loopback: inside the test namespace
// (PELLAMAR_NETNS=1) it uses that one, elsewhere it makes a private namespace for itself,
// which needs root. Without either, the TCP replies are played in memory too.
//
// Input: one byte choosing the lookup (bits 0-1), referral following (bit 2) and its
// depth (bits 3-5), then replies, each a flags byte, a 16-bit length and that many bytes.
// Flags: 0x01 the reply carries the request's ID; 0x02 the reply is the request's own
// header and question turned into an answer (QR set, the reply's first bytes giving the
// flags and the three record counts), followed by the reply's remaining bytes as records;
// 0x04 it comes from another address (a stranger); 0x08 nothing comes at all (a
// time-out). Over TCP, the replies from the connection's start up to one flagged 0x80 (or
// the input's end) are what the peer sends, each in a send of its own, before it closes
// the connection: 0x10 sends the bytes without a length word in front, 0x20 closes the
// connection instead, 0x40 sends the first bytes one at a time.
//
// Checked: only the library's own exceptions leave a lookup, Server is as the caller set
// it afterwards, no lookup makes more exchanges than its bound, and the TCP client never
// reads past the message its length word announces.
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "dns/zvDnsQuery.h"
#include "net/zvSocketUtils.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint8_t kSameId = 0x01;
constexpr std::uint8_t kEchoQuestion = 0x02;
constexpr std::uint8_t kStranger = 0x04;
constexpr std::uint8_t kSilence = 0x08;
constexpr std::uint8_t kNoLength = 0x10;
constexpr std::uint8_t kClose = 0x20;
constexpr std::uint8_t kByteByByte = 0x40;
constexpr std::uint8_t kLastOnConnection = 0x80;

// One reply as the input gives it, before it is shaped after the request it answers.
struct RawReply {
  std::uint8_t flags = 0;
  Bytes bytes;
};

// The reply's bytes, shaped by its flags after `request` (without a length word).
Bytes Shape(const RawReply& raw, const Bytes& request) {
  Bytes reply;
  if ((raw.flags & kEchoQuestion) != 0 && request.size() >= 12) {
    // The request's header and question (it holds exactly one), as an answer.
    const Bytes& bytes = raw.bytes;
    reply = request;
    reply[2] = static_cast<std::uint8_t>(0x80 | (bytes.size() > 0 ? bytes[0] & 0x7F : 0));
    reply[3] = bytes.size() > 1 ? bytes[1] : 0;
    for (std::size_t i = 0; i < 6; ++i) reply[6 + i] = bytes.size() > 2 + i ? bytes[2 + i] : 0;
    if (bytes.size() > 8) reply.insert(reply.end(), bytes.begin() + 8, bytes.end());
  } else {
    reply = raw.bytes;
  }
  if ((raw.flags & kSameId) != 0 && reply.size() >= 2 && request.size() >= 2) {
    reply[0] = request[0];
    reply[1] = request[1];
  }
  return reply;
}

// What one TCP connection carries: the replies, each with its length word unless told
// otherwise, up to the first that closes instead.
std::vector<Bytes> StreamPieces(const std::vector<RawReply>& script, const Bytes& request) {
  std::vector<Bytes> pieces;
  for (const RawReply& raw : script) {
    if ((raw.flags & kClose) != 0) break;
    const Bytes reply = Shape(raw, request);
    Bytes piece;
    if ((raw.flags & kNoLength) == 0) {
      piece.push_back(static_cast<std::uint8_t>(reply.size() >> 8));
      piece.push_back(static_cast<std::uint8_t>(reply.size()));
    }
    piece.insert(piece.end(), reply.begin(), reply.end());
    pieces.push_back(std::move(piece));
  }
  return pieces;
}

// ---------------------------------------------------------------------------------------
// The TCP peer

// Listens on 127.0.0.1 and serves one connection per script on a thread of its own: reads
// the request behind its length word, sends the script's pieces, closes, and waits for
// Finish, which also throws away any connection it never took.
class StreamPeer {
 public:
  // Null when no loopback listener can be made.
  static StreamPeer* Start() {
    auto* peer = new StreamPeer();
    if (peer->listener_ >= 0 && peer->cancel_ >= 0) {
      peer->thread_ = std::thread([peer] { peer->Run(); });
      return peer;
    }
    delete peer;
    return nullptr;
  }

  int Port() const { return port_; }

  // The script of the next connection; the client connects afterwards.
  void Serve(std::vector<RawReply> script) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      job_ = std::move(script);
      busy_ = true;
    }
    changed_.notify_all();
  }

  // The client is done with the connection (or never made it): the peer stops whatever it
  // does and is idle again when this returns.
  void Finish() {
    ::eventfd_write(cancel_, 1);
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return !busy_; });
  }

 private:
  StreamPeer() {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    cancel_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(listener_, 8) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      if (listener_ >= 0) ::close(listener_);
      listener_ = -1;
      return;
    }
    port_ = ntohs(address.sin_port);
  }

  void Run() {
    for (;;) {
      std::vector<RawReply> script;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return job_.has_value(); });
        script = std::move(*job_);
        job_.reset();
      }
      ServeOne(script);
      // Until the client says it is done; then nothing of this connection is left.
      pollfd cancel = {cancel_, POLLIN, 0};
      while (::poll(&cancel, 1, -1) < 0) {
      }
      eventfd_t ignored = 0;
      ::eventfd_read(cancel_, &ignored);
      for (int fd; (fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;) ::close(fd);
      {
        std::lock_guard<std::mutex> lock(mutex_);
        busy_ = false;
      }
      changed_.notify_all();
    }
  }

  // Waits for the events on fd; false when the client is done meanwhile.
  bool Wait(int fd, short events) {
    pollfd fds[2] = {{fd, events, 0}, {cancel_, POLLIN, 0}};
    for (;;) {
      if (::poll(fds, 2, -1) < 0) continue;
      return fds[1].revents == 0;
    }
  }

  bool SendAll(int fd, const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
      const ssize_t sent = ::send(fd, data, size, MSG_NOSIGNAL);
      if (sent > 0) {
        data += sent;
        size -= static_cast<std::size_t>(sent);
      } else if (sent < 0 && errno != EAGAIN && errno != EINTR) {
        return false;  // the client has gone
      } else if (!Wait(fd, POLLOUT)) {
        return false;
      }
    }
    return true;
  }

  void ServeOne(const std::vector<RawReply>& script) {
    if (!Wait(listener_, POLLIN)) return;
    const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) return;
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    Bytes framed;
    std::uint8_t buffer[1024];
    bool complete = false;
    while (!complete) {
      const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
      if (got > 0) {
        framed.insert(framed.end(), buffer, buffer + got);
      } else if (got == 0 || (errno != EAGAIN && errno != EINTR) || !Wait(fd, POLLIN)) {
        break;
      }
      complete = framed.size() >= 2 && framed.size() >= 2u + (framed[0] << 8 | framed[1]);
    }
    if (complete) {
      // The length word must say what follows: the client sends nothing else.
      if (framed.size() != 2u + (framed[0] << 8 | framed[1])) std::abort();
      const Bytes request(framed.begin() + 2, framed.end());
      const std::vector<Bytes> pieces = StreamPieces(script, request);
      for (std::size_t i = 0; i < pieces.size(); ++i) {
        const Bytes& piece = pieces[i];
        std::size_t at = 0;
        if ((script[i].flags & kByteByByte) != 0) {
          for (; at < piece.size() && at < 16; ++at) {
            if (!SendAll(fd, &piece[at], 1)) break;
            sched_yield();
          }
        }
        if (!SendAll(fd, piece.data() + at, piece.size() - at)) break;
        sched_yield();
      }
    }
    ::close(fd);
  }

  int listener_ = -1;
  int cancel_ = -1;
  int port_ = 0;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::optional<std::vector<RawReply>> job_;
  bool busy_ = false;
  std::thread thread_;
};

// Moves this thread (and the threads it makes from now on) into a network namespace of
// its own with only loopback up, unless it runs in the test namespace already. False when
// neither is possible: nothing may then be sent.
bool InPrivateNetwork() {
  const char* flag = std::getenv("PELLAMAR_NETNS");
  if (flag != nullptr && std::strcmp(flag, "1") == 0) return true;
  if (::unshare(CLONE_NEWNET) != 0) return false;
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  ifreq request{};
  std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
  bool up = ::ioctl(fd, SIOCGIFFLAGS, &request) == 0;
  if (up) {
    request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
    up = ::ioctl(fd, SIOCSIFFLAGS, &request) == 0;
  }
  ::close(fd);
  return up;
}

StreamPeer* stream_peer = nullptr;

// ---------------------------------------------------------------------------------------
// The query

class FuzzedServerQuery : public TzvDnsQuery {
 public:
  explicit FuzzedServerQuery(std::span<const std::uint8_t> replies)
      : TzvDnsQuery(nullptr), input_(replies) {}

  int DatagramExchanges() const { return datagram_exchanges_; }
  int StreamExchanges() const { return stream_exchanges_; }

 protected:
  void OpenDatagramExchange(std::string& address, std::int32_t& port) override {
    ++datagram_exchanges_;
    address = Server();
    port = Port();
  }
  void SendDatagram(TMemoryStream& request) override { request_ = Contents(request); }
  void ReceiveDatagram(TMemoryStream& answer, std::int32_t, std::string& from_address,
                       std::int32_t& from_port) override {
    RawReply raw;
    if (!NextReply(raw) || (raw.flags & kSilence) != 0)
      RaiseSocketErrorText(SzvTimeoutError, kzvErrTimeout);
    const Bytes reply = Shape(raw, request_);
    answer.WriteBuffer(reply.data(), static_cast<std::int64_t>(reply.size()));
    from_address = (raw.flags & kStranger) != 0 ? "192.0.2.66" : Server();
    from_port = Port();
  }
  void CloseDatagramExchange() override {}

  void OpenStreamExchange(const std::string& address, std::int32_t port,
                          std::int32_t time_out) override {
    ++stream_exchanges_;
    std::vector<RawReply> script;
    RawReply raw;
    while (NextReply(raw)) {
      const bool last = (raw.flags & (kLastOnConnection | kClose)) != 0;
      script.push_back(std::move(raw));
      if (last) break;
    }
    if (stream_peer == nullptr) {
      script_ = std::move(script);
      unread_.clear();
      return;
    }
    stream_peer->Serve(std::move(script));
    serving_ = true;
    TzvDnsQuery::OpenStreamExchange(address, port, time_out);
  }
  void SendStream(TMemoryStream& request) override {
    if (stream_peer != nullptr) {
      TzvDnsQuery::SendStream(request);
      return;
    }
    const Bytes framed = Contents(request);
    if (framed.size() < 2 || framed.size() - 2 != std::size_t(framed[0] << 8 | framed[1]))
      std::abort();  // the length word must say what follows
    request_.assign(framed.begin() + 2, framed.end());
    for (const Bytes& piece : StreamPieces(script_, request_))
      unread_.insert(unread_.end(), piece.begin(), piece.end());
  }
  bool ReceiveStream(TMemoryStream& answer, std::int64_t most) override {
    bool open = true;
    if (stream_peer != nullptr) {
      open = TzvDnsQuery::ReceiveStream(answer, most);
    } else if (unread_.empty()) {
      open = false;
    } else {
      const auto count = static_cast<std::ptrdiff_t>(
          std::min<std::int64_t>(most < 0 ? INT64_MAX : most, std::int64_t(unread_.size())));
      answer.Seek(0, TSeekOrigin::soEnd);
      answer.WriteBuffer(unread_.data(), count);
      unread_.erase(unread_.begin(), unread_.begin() + count);
    }
    // Nothing past the message the length word announces is ever read.
    const std::int64_t size = answer.Size();
    const std::uint8_t* bytes = answer.Memory();
    if (size > 2 && size > 2 + (bytes[0] << 8 | bytes[1])) std::abort();
    return open;
  }
  void CloseStreamExchange() override {
    if (stream_peer == nullptr) return;
    TzvDnsQuery::CloseStreamExchange();
    if (serving_) stream_peer->Finish();
    serving_ = false;
  }

 private:
  static Bytes Contents(TMemoryStream& stream) {
    return Bytes(stream.Memory(), stream.Memory() + stream.Size());
  }

  // The next reply of the input; false when the input is used up.
  bool NextReply(RawReply& raw) {
    if (input_.size() < 3) return false;
    raw.flags = input_[0];
    const std::size_t length = std::min<std::size_t>(input_[1] << 8 | input_[2], input_.size() - 3);
    raw.bytes.assign(input_.begin() + 3, input_.begin() + 3 + static_cast<std::ptrdiff_t>(length));
    input_ = input_.subspan(3 + length);
    return true;
  }

  std::span<const std::uint8_t> input_;
  Bytes request_;
  int datagram_exchanges_ = 0;
  int stream_exchanges_ = 0;
  // The peer serves this query's connection.
  bool serving_ = false;
  // Without the peer: the connection's script, and what it has not handed out yet.
  std::vector<RawReply> script_;
  Bytes unread_;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (InPrivateNetwork()) stream_peer = StreamPeer::Start();
  if (stream_peer == nullptr)
    std::fprintf(stderr,
                 "zvDnsQuery_fuzzer: no private network (run as root or in the test "
                 "namespace): the TCP replies are played in memory\n");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::uint8_t choice = data[0];
  FuzzedServerQuery query(std::span<const std::uint8_t>(data + 1, size - 1));
  query.SetServer("127.0.0.1");
  // The peer's port, which the TCP retry connects to; the datagrams never leave memory.
  if (stream_peer != nullptr) query.SetPort(stream_peer->Port());
  // Long enough for any loopback exchange, short enough that a wait that never ends shows.
  query.SetTimeOut(3000);
  query.SetUseRecursiveQueries((choice & 0x04) != 0);
  query.SetMaxRecursiveQueries((choice >> 3) & 0x07);
  try {
    switch (choice & 0x03) {
      case 0:
        query.ResolveMX("user@example.test");
        break;
      case 1:
        query.ResolveIP("www.example.test");
        break;
      case 2:
        query.ResolveHostName("192.0.2.1");
        break;
      default: {
        std::string first;
        query.ResolveNS("example.test", first);
        break;
      }
    }
  } catch (const Exception&) {
    // The library's own failures are the expected outcome of most inputs.
  }
  if (query.Server() != "127.0.0.1") std::abort();
  if (query.DatagramExchanges() > TzvDnsQuery::kMaxExchangesPerLookup) std::abort();
  if (query.StreamExchanges() > query.DatagramExchanges()) std::abort();
  return 0;
}
