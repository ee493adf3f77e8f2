// Fuzzes a whole lookup: the fuzzer's bytes are the server's replies, over UDP and over
// the TCP retry, to one of the four lookups, with or without referral following, with
// the component's retry and EDNS settings. The datagrams are played in memory; the retry
// over TCP goes through the real TCP client (its connection, its waits, its bounded reads)
// to a loopback peer on a thread of this process that sends the fuzzer's bytes, in the
// fuzzer's pieces. So everything above the UDP socket runs as it does for real: matching
// answers to questions, dropping strangers, sending a lost datagram again, dropping EDNS
// for a server that refuses it, the retry of truncated answers with its length framing,
// the referral walk and decoding.
//
// A datagram that never comes must cost no real time: the component resends when the
// steady clock says the wait is over, so this binary runs the monotonic clock ahead by
// the wait it was given whenever it plays a silence (see clock_gettime below). Nothing
// else moves that clock forward, and real time still passes as usual.
//
// The TCP peer needs a network of its own, so that nothing the fuzzer makes up (a glue
// address a referral names) can reach past loopback: inside the test namespace
// (PELLAMAR_NETNS=1) it uses that one, elsewhere it makes a private namespace for itself,
// which needs root. Without either, the TCP replies are played in memory too.
//
// Input: one byte choosing the lookup (bits 0-1), referral following (bit 2) and its
// depth (bits 3-5), an EDNS buffer of 4096 bytes instead of 1232 (bit 6), and whether an
// options byte follows (bit 7). Options: tries minus one (bits 0-1, so 1 to 4), EDNS off
// (bit 2), NSID asked for (bit 3), DNSSEC OK (bit 4), TCP from the start (bit 5), class
// CH instead of IN (bit 6), a time-out of 700 ms instead of 3000 (bit 7: room for two
// datagrams only). Without the options byte: three tries, EDNS on, neither NSID nor DO,
// UDP, IN, 3000 ms. Then replies, each a flags byte, a 16-bit length and that many bytes.
// Flags: 0x01 the reply carries the request's ID; 0x02 the reply is the request's header
// and question (not its OPT record) turned into an answer (QR set, the reply's first
// bytes giving the flags and the three record counts), followed by the reply's remaining
// bytes as records; 0x04 it comes from another address (a stranger); 0x08 nothing comes
// within the wait (the wait times out, its time passes at once, and the component sends
// again while tries are left); the input's end is silence too. Over TCP, the replies from
// the connection's start up to one flagged 0x80 (or the input's end) are what the peer
// sends, each in a send of its own, before it closes the connection: 0x10 sends the bytes
// without a length word in front, 0x20 closes the connection instead, 0x40 sends the
// first bytes one at a time.
//
// Checked: only the library's own exceptions leave a lookup, Server is as the caller set
// it afterwards, no lookup makes more exchanges than its bound, and the TCP client never
// reads past the message its length word announces. Every request is as configured
// (one question of the configured class, RD set, and an OPT record with the configured
// buffer size, DO bit and NSID option, or none). Per exchange: no more datagrams than
// Tries in each round, every resend byte for byte the round's first datagram (same ID),
// a silent server gets exactly the datagrams the retransmission waits fit into the
// time-out, at most one fallback, the fallback's requests without an OPT record, an OPT
// record exactly when EDNS is on and no fallback took it away, and LastExchange's Tries,
// Edns and EdnsFallback telling what was sent.
#include <dlfcn.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
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

// How far the monotonic clock of this process runs ahead of the real one, in ns: the
// waits the played silences have stood for.
std::atomic<std::int64_t> skipped_ns{0};

// Lets the played time pass at once.
void SkipTime(std::int32_t ms) {
  if (ms > 0) skipped_ns.fetch_add(std::int64_t{ms} * 1000000);
}

}  // namespace

// The monotonic clock, ahead by the time skipped; every other clock as it is. This
// definition takes the place of the C library's (and of the sanitizer's interceptor,
// which is weak) for the whole process, std::chrono::steady_clock included. Only
// relative waits (poll) are made with what it says, so running ahead shortens no real
// wait and makes none longer.
extern "C" int clock_gettime(clockid_t clock, timespec* time) noexcept {
  using ClockGetTime = int (*)(clockid_t, timespec*);
  static const auto real = reinterpret_cast<ClockGetTime>(::dlsym(RTLD_NEXT, "clock_gettime"));
  const int result = real(clock, time);
  if (result == 0 && clock == CLOCK_MONOTONIC) {
    const std::int64_t ns = time->tv_nsec + skipped_ns.load(std::memory_order_relaxed);
    time->tv_sec += static_cast<time_t>(ns / 1000000000);
    time->tv_nsec = static_cast<long>(ns % 1000000000);
  }
  return result;
}

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

// The length of a request's header and first question (its names are written plainly);
// the whole request when it is cut short.
std::size_t QuestionEnd(const Bytes& request) {
  std::size_t at = 12;
  while (at < request.size() && request[at] != 0) at += 1 + request[at];
  return std::min(at + 1 + 4, request.size());
}

// The reply's bytes, shaped by its flags after `request` (without a length word).
Bytes Shape(const RawReply& raw, const Bytes& request) {
  Bytes reply;
  if ((raw.flags & kEchoQuestion) != 0 && request.size() >= 12) {
    // The request's header and question (it holds exactly one), as an answer; its OPT
    // record stays behind, so that the reply's counts describe the input's records.
    const Bytes& bytes = raw.bytes;
    reply.assign(request.begin(),
                 request.begin() + static_cast<std::ptrdiff_t>(QuestionEnd(request)));
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

// What the input's first bytes choose besides the lookup.
struct FuzzSettings {
  int tries = 3;
  bool edns = true;
  std::uint16_t edns_buffer_size = 1232;
  bool nsid = false;
  bool dnssec_ok = false;
  bool tcp = false;
  TzvDnsRecordClass question_class = rcInternet;
  std::int32_t time_out = 3000;
};

// The component's first wait for an answer before it sends again; each later wait is
// twice the one before.
constexpr std::int64_t kFirstResendMs = 400;
// Slack for where a resend falls against the time-out: each resend is timed from the one
// before, rounded up to a millisecond, and real time passes besides the played one.
constexpr std::int64_t kScheduleSlackMs = 50;

// Whether a request is as the settings build it: exactly one question of the configured
// class with RD set and no other records but, when `opt` says so, one OPT record under
// the root with the configured buffer size, version 0, the DO bit as configured and the
// NSID option (empty) when it is asked for. Read on its own, not through the codec whose
// output it checks.
bool RequestIsAsConfigured(const Bytes& request, const FuzzSettings& settings, bool opt) {
  const auto word = [&request](std::size_t at) {
    return static_cast<std::uint32_t>(request[at] << 8 | request[at + 1]);
  };
  if (request.size() < 12) return false;
  // A query (QR clear, opcode 0) with RD set and AD set (asking a validating resolver for
  // its verdict): the component leaves both on by default.
  if ((request[2] & 0xF9) != 0x01 || request[3] != 0x20) return false;
  if (word(4) != 1 || word(6) != 0 || word(8) != 0 || word(10) != (opt ? 1u : 0u)) return false;
  std::size_t at = 12;
  while (at < request.size() && request[at] != 0) {
    if (request[at] > 63) return false;
    at += 1 + request[at];
  }
  if (at + 5 > request.size() || word(at + 3) != settings.question_class) return false;
  at += 5;
  if (opt) {
    const std::size_t options = settings.nsid ? 4 : 0;
    if (at + 11 + options != request.size()) return false;
    if (request[at] != 0 || word(at + 1) != 41 || word(at + 3) != settings.edns_buffer_size)
      return false;
    // Extended response code and version 0; of the flags only DO, as configured.
    if (word(at + 5) != 0 || word(at + 7) != (settings.dnssec_ok ? 0x8000u : 0u)) return false;
    if (word(at + 9) != options) return false;
    at += 11;
    if (settings.nsid && (word(at) != 3 || word(at + 2) != 0)) return false;
    at += options;
  }
  return at == request.size();
}

bool CarriesOpt(const Bytes& request) {
  return request.size() >= 12 && (request[10] != 0 || request[11] != 0);
}

// How many datagrams a server that answers none of them gets, at least and at most:
// one at the round's start, `elapsed_ms` into the exchange, then one after each wait
// while tries are left and the wait ends before the time-out.
void SilentRoundDatagrams(const FuzzSettings& settings, std::int64_t elapsed_ms, int& least,
                          int& most) {
  least = 1;
  most = 1;
  std::int64_t at = elapsed_ms;
  std::int64_t wait = kFirstResendMs;
  for (int sent = 1; sent < settings.tries; ++sent) {
    at += wait;
    wait *= 2;
    if (at + kScheduleSlackMs < settings.time_out && least == sent) ++least;
    if (at - kScheduleSlackMs < settings.time_out) ++most;
  }
}

class FuzzedServerQuery : public TzvDnsQuery {
 public:
  FuzzedServerQuery(std::span<const std::uint8_t> replies, const FuzzSettings& settings)
      : TzvDnsQuery(nullptr), settings_(settings), input_(replies) {
    SetTries(settings.tries);
    SetUseEdns(settings.edns);
    SetEdnsBufferSize(settings.edns_buffer_size);
    SetRequestNsid(settings.nsid);
    SetDnssecOK(settings.dnssec_ok);
    SetUseTcp(settings.tcp);
    SetQuestionClass(settings.question_class);
    SetTimeOut(settings.time_out);
  }

  // Exchanges (SendQuery calls) and their rounds (a fallback adds one).
  int Exchanges() const { return exchanges_; }
  int Rounds() const { return rounds_; }
  int StreamExchanges() const { return stream_exchanges_; }

  // What LastExchange must say about the last exchange.
  void CheckLastExchange() const {
    const TzvDnsExchangeInfo& last = LastExchange();
    // An exchange whose question could not be encoded (a name a referral gave) ends
    // before it opens anything: it sent nothing, and the tracking here never saw it. Every
    // open gives the port it uses, so its port is still 0. (Its address is no sign: a
    // referral's glue may well give an empty one.)
    if (last.Port == 0) {
      if (last.Tries != 0 || last.EdnsFallback) std::abort();
      return;
    }
    if (last.Tries != round_datagrams_) std::abort();
    if (last.EdnsFallback != (round_ == 1)) std::abort();
    if (requests_in_round_ > 0 && last.Edns != last_request_opt_) std::abort();
  }

 protected:
  void OpenDatagramExchange(std::string& address, std::int32_t& port) override {
    // Every round of an exchange starts here, over TCP from the start too. The second
    // round is the fallback's, which SendQuery marks before it starts it.
    if (LastExchange().EdnsFallback) {
      // Once: the first round asked with EDNS, the fallback's asks without.
      if (round_ != 0 || !round_opt_) std::abort();
      round_ = 1;
    } else {
      ++exchanges_;
      round_ = 0;
      exchange_started_ = std::chrono::steady_clock::now();
    }
    ++rounds_;
    round_datagrams_ = 0;
    round_first_.clear();
    round_started_ = std::chrono::steady_clock::now();
    round_ended_silent_ = false;
    requests_in_round_ = 0;
    address = Server();
    port = Port();
  }
  void SendDatagram(TMemoryStream& request) override {
    if (settings_.tcp) std::abort();  // TCP from the start sends no datagram
    round_ended_silent_ = false;
    request_ = Contents(request);
    if (round_datagrams_ == 0) {
      round_first_ = request_;
      CheckRequest(request_);
    } else if (request_ != round_first_) {
      std::abort();  // a resend is the same question under the same ID
    }
    ++round_datagrams_;
    if (round_datagrams_ > settings_.tries) std::abort();
  }
  void ReceiveDatagram(TMemoryStream& answer, std::int32_t time_out, std::string& from_address,
                       std::int32_t& from_port) override {
    round_ended_silent_ = false;
    RawReply raw;
    if (!NextReply(raw) || (raw.flags & kSilence) != 0) {
      // The wait passes without anything arriving.
      SkipTime(time_out);
      round_ended_silent_ = true;
      RaiseSocketErrorText(SzvTimeoutError, kzvErrTimeout);
    }
    const Bytes reply = Shape(raw, request_);
    answer.WriteBuffer(reply.data(), static_cast<std::int64_t>(reply.size()));
    from_address = (raw.flags & kStranger) != 0 ? "192.0.2.66" : Server();
    from_port = Port();
  }
  void CloseDatagramExchange() override {
    if (settings_.tcp) return;
    if (round_datagrams_ == 0) std::abort();  // a round over UDP sends its question
    // The component counts the datagrams of the round that is running: after a fallback,
    // those sent without EDNS.
    if (LastExchange().Tries != round_datagrams_) std::abort();
    int least = 0;
    int most = 0;
    const auto elapsed =
        std::chrono::duration_cast<std::chrono::milliseconds>(round_started_ - exchange_started_)
            .count();
    SilentRoundDatagrams(settings_, elapsed, least, most);
    // An answer may end the round early, never late; a silence that ends it is the
    // time-out, when every datagram the waits fit in has been sent.
    if (round_datagrams_ > most) std::abort();
    if (round_ended_silent_ && round_datagrams_ < least) std::abort();
  }

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
    const Bytes framed = Contents(request);
    if (framed.size() < 2 || framed.size() - 2 != std::size_t(framed[0] << 8 | framed[1]))
      std::abort();  // the length word must say what follows
    request_.assign(framed.begin() + 2, framed.end());
    CheckRequest(request_);
    if (stream_peer != nullptr) {
      TzvDnsQuery::SendStream(request);
      return;
    }
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

  // A request (over UDP or TCP) is as configured, and carries an OPT record when EDNS is
  // on unless a fallback took it away, never otherwise. The fallback takes the record out
  // of the lookup's own message, which the referral walk goes on asking, so after one
  // every later exchange of the lookup may ask without it, of any server.
  void CheckRequest(const Bytes& request) {
    const bool opt = CarriesOpt(request);
    if (!RequestIsAsConfigured(request, settings_, opt)) std::abort();
    if (opt && (!settings_.edns || round_ == 1)) std::abort();
    // A fallback is for its own exchange: the next one offers EDNS again.
    if (!opt && settings_.edns && round_ == 0) std::abort();
    // The component says what it sent.
    if (LastExchange().Edns != opt) std::abort();
    // Both requests of a round (the datagram and the TCP retry after TC) ask alike.
    if (requests_in_round_ > 0 && opt != last_request_opt_) std::abort();
    if (round_ == 0) round_opt_ = opt;
    last_request_opt_ = opt;
    ++requests_in_round_;
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

  const FuzzSettings settings_;
  std::span<const std::uint8_t> input_;
  Bytes request_;
  int exchanges_ = 0;
  int rounds_ = 0;
  int stream_exchanges_ = 0;
  // The running exchange: its round (1 after the fallback) and when its first round
  // started.
  int round_ = 0;
  std::chrono::steady_clock::time_point exchange_started_;
  // The running round: its datagrams, the first of them, when it started, whether the
  // last thing that happened in it was a silence, the requests it made and whether the
  // last of them carried an OPT record; and whether the first round's did.
  int round_datagrams_ = 0;
  Bytes round_first_;
  std::chrono::steady_clock::time_point round_started_;
  bool round_ended_silent_ = false;
  int requests_in_round_ = 0;
  bool last_request_opt_ = false;
  bool round_opt_ = false;
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
  std::size_t header = 1;
  FuzzSettings settings;
  if ((choice & 0x40) != 0) settings.edns_buffer_size = 4096;
  if ((choice & 0x80) != 0) {
    if (size < 2) return 0;
    const std::uint8_t options = data[1];
    header = 2;
    settings.tries = 1 + (options & 0x03);
    settings.edns = (options & 0x04) == 0;
    settings.nsid = (options & 0x08) != 0;
    settings.dnssec_ok = (options & 0x10) != 0;
    settings.tcp = (options & 0x20) != 0;
    settings.question_class = (options & 0x40) != 0 ? rcChaos : rcInternet;
    // Long enough for any loopback exchange, short enough that a wait that never ends
    // shows; the short one leaves room for a second datagram but not a third.
    settings.time_out = (options & 0x80) != 0 ? 700 : 3000;
  }
  FuzzedServerQuery query(std::span<const std::uint8_t>(data + header, size - header), settings);
  query.SetServer("127.0.0.1");
  // The peer's port, which the TCP retry connects to; the datagrams never leave memory.
  if (stream_peer != nullptr) query.SetPort(stream_peer->Port());
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
  if (query.Exchanges() > TzvDnsQuery::kMaxExchangesPerLookup) std::abort();
  // A round is an exchange or its one fallback.
  if (query.Rounds() > 2 * query.Exchanges()) std::abort();
  // A round opens a connection at most twice: a kept one the server has closed since is
  // opened again, once. Over TCP from the start no datagram opens a round, so the bound is
  // the most rounds a lookup may make: each exchange and its fallback.
  const int rounds = settings.tcp ? 2 * TzvDnsQuery::kMaxExchangesPerLookup : query.Rounds();
  if (query.StreamExchanges() > 2 * rounds) std::abort();
  query.CheckLastExchange();
  return 0;
}
