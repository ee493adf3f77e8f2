// A TCP proxy on a loopback address in front of a DNS server's TCP, TLS or HTTPS port,
// counting the connections clients open through it. Bytes pass as they come (TLS goes
// end to end, so the client checks the server's own certificate); or, in front of plain
// DNS over TCP, message by message, with the answers to a burst of pipelined questions
// handed back in the reverse order, or the connection closed by the "server" once it has
// carried a number of answers. Plain system calls only, one thread per connection;
// loopback addresses only, inside the test namespace.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class StreamProxy {
 public:
  struct Options {
    // Message by message (plain DNS over TCP only).
    bool Framed = false;
    // The answers to questions that came together go back last first.
    bool Reverse = false;
    // Closes each connection after this many answers (0: never); the answers left of
    // its burst are dropped.
    int CloseAfter = 0;
  };

  // Listens on address:port and connects each client to upstream:upstream_port. Fails
  // with std::system_error.
  StreamProxy(const std::string& address, std::uint16_t port, const std::string& upstream,
              std::uint16_t upstream_port, Options options);
  ~StreamProxy();
  StreamProxy(const StreamProxy&) = delete;
  StreamProxy& operator=(const StreamProxy&) = delete;

  // Connections accepted so far.
  int Connections() const { return connections_; }
  // The most questions that came together on one connection (framed only).
  int LargestBurst() const { return largest_burst_; }

 private:
  void Run();
  void Serve(int client);
  void Pipe(int client, int server);
  void Relay(int client, int server);

  Options options_;
  std::string upstream_;
  std::uint16_t upstream_port_;
  int listener_ = -1;
  int wake_read_ = -1;
  int wake_write_ = -1;
  std::atomic<int> connections_{0};
  std::atomic<int> largest_burst_{0};
  std::mutex mutex_;
  std::vector<std::thread> sessions_;
  std::thread thread_;
};
