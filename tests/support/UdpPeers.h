// Loopback peers for the transport tests: a UDP responder served by a thread of its own,
// and a helper that sends one datagram. They use the plain system calls, so that what
// they do does not depend on the code under test. Only loopback addresses are used.
#pragma once

#include <sys/socket.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

using Bytes = std::vector<std::uint8_t>;

class UdpLoopbackPeer {
 public:
  // Gets each received datagram; a result is sent back to its sender.
  using Reply = std::function<std::optional<Bytes>(const Bytes& request)>;

  // Binds 127.0.0.1 (AF_INET) or ::1 (AF_INET6) on a port the system picks.
  explicit UdpLoopbackPeer(Reply reply, int family = AF_INET);
  ~UdpLoopbackPeer();
  UdpLoopbackPeer(const UdpLoopbackPeer&) = delete;
  UdpLoopbackPeer& operator=(const UdpLoopbackPeer&) = delete;

  int Port() const { return port_; }
  std::string Address() const { return family_ == AF_INET ? "127.0.0.1" : "::1"; }
  // The datagrams received so far, and the port each came from.
  std::vector<Bytes> Requests() const;
  std::vector<int> SenderPorts() const;

  static Reply Echo();
  static Reply Silent();

 private:
  void Serve();

  int family_;
  int socket_ = -1;
  int stop_fd_ = -1;
  int port_ = 0;
  Reply reply_;
  mutable std::mutex lock_;
  std::vector<Bytes> requests_;
  std::vector<int> sender_ports_;
  std::thread thread_;
};

// Sends one datagram from a fresh socket to a loopback address and port; true when sent.
bool SendLoopbackDatagram(const std::string& address, int port, const Bytes& data);

Bytes BytesOf(const std::string& text);
