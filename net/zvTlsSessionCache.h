// The TLS sessions a client keeps for the next connection to the same server, so that it
// resumes (TLS 1.3 tickets, TLS 1.2 tickets) instead of running a full handshake again:
// one round trip and no certificate chain to check. The latest session a server gave is
// kept per key; it holds the TLS library's serialised form only, so this header needs no TLS
// library and one cache can be shared by every thread of the process.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

class TzvTlsSessionCache {
 public:
  // The key of a server: the name checked, its address and port, and what shaped the check
  // (a session made without checking, or against other CAs, must never stand in for a
  // checked one: a resumed session is not checked again).
  static std::string KeyOf(const std::string& host_name, const std::string& address,
                           std::int32_t port, const std::string& ca_file, bool insecure);

  // The session kept for `key`; empty: none.
  std::vector<std::uint8_t> Find(const std::string& key) const;
  // Keeps `session` as the latest for `key`, in place of the one before.
  void Keep(const std::string& key, std::vector<std::uint8_t> session);
  // Forgets the session of `key` (one the server refused).
  void Forget(const std::string& key);
  std::size_t Size() const;

 private:
  // Enough for every server a window or a batch speaks to; past it the oldest goes.
  static constexpr std::size_t kMostServers = 256;
  mutable std::mutex mutex_;
  std::map<std::string, std::vector<std::uint8_t>> sessions_;
  std::vector<std::string> order_;  // keys, oldest first
};
