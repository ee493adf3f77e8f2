// A DNS server's TCP side for the tests of the retry over TCP, scripted per test: it
// accepts connections one after another on a thread of its own, reads each request behind
// its 16-bit length word, and hands it to the test's script, which sends what the test
// wants at the pace it wants (an answer a byte at a time, nothing at all, a flood). The
// connection is closed when the script returns. Plain system calls only, so what it does
// does not depend on the code under test; loopback addresses only (tests/support/TestAddress.h).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

class TcpLoopbackPeer {
 public:
  using Bytes = std::vector<std::uint8_t>;

  // One accepted connection, as the script sees it.
  class Session {
   public:
    // The request message, without its length word.
    const Bytes& Request() const { return request_; }
    // Sends all of `bytes`; false once the client is gone, the peer stops, or the client
    // has taken nothing for seconds.
    bool Send(const Bytes& bytes);
    // Waits; false when the peer is stopping meanwhile.
    bool Sleep(std::chrono::milliseconds delay);

   private:
    friend class TcpLoopbackPeer;
    Session(TcpLoopbackPeer& peer, int fd) : peer_(peer), fd_(fd) {}
    TcpLoopbackPeer& peer_;
    int fd_;
    Bytes request_;
  };
  using Script = std::function<void(Session& session)>;

  // Listens on address (see TestSocketAddress) and port (0: any free port). Fails with
  // std::system_error when it cannot, std::invalid_argument for a non-loopback address.
  TcpLoopbackPeer(const std::string& address, std::uint16_t port, Script script);
  // Stops the thread, also in the middle of a script's send or sleep.
  ~TcpLoopbackPeer();
  TcpLoopbackPeer(const TcpLoopbackPeer&) = delete;
  TcpLoopbackPeer& operator=(const TcpLoopbackPeer&) = delete;

  std::uint16_t Port() const { return port_; }
  // Connections accepted so far, and the bytes sent over all of them.
  int Connections() const { return connections_; }
  std::int64_t BytesSent() const { return bytes_sent_; }

  // A message behind its 16-bit length word.
  static Bytes Framed(const Bytes& message);
  // The answer to a request (header and one question): QR, AA and RA set, and one A
  // record per address (dotted IPv4), owned by the question's name.
  static Bytes AnswerOf(const Bytes& request, const std::vector<std::string>& addresses);

 private:
  void Run();
  // Waits until `events` are ready on fd, the peer stops (false) or `limit` passes (false).
  bool WaitFor(int fd, short events, std::chrono::milliseconds limit);
  // Reads the length word and the request it announces; false on anything else.
  bool ReadRequest(Session& session);

  Script script_;
  int listener_ = -1;
  int stop_fd_ = -1;
  std::uint16_t port_ = 0;
  std::atomic<int> connections_{0};
  std::atomic<std::int64_t> bytes_sent_{0};
  std::thread thread_;
};
