// A DNS server on a loopback address (port 53, UDP and TCP) in front of a real one: each
// question is passed on to the upstream server and its answer passed back as it came,
// unless the test's rule answers it instead. The rule plays the attacker of the tests of
// DNSSEC (an answer forged from genuine records the relay asks for, silence, a delay) or
// only counts what a client asks. Both the client under test and delv are pointed at the
// relay, so both see the same forgeries. Only inside the test namespace, on 127.0.0.0/8.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/support/WireMessage.h"

class DnsRelay {
 public:
  // What the relay sends for one question: the upstream's answer (no message, not silent),
  // this message (its ID and QR bit set by the relay), or nothing; after `delay`. A message
  // longer than 1232 bytes asked over UDP goes out truncated (TC), so the client asks
  // again over TCP.
  struct Reply {
    std::optional<WireMessage> message;
    bool silent = false;
    std::chrono::milliseconds delay{0};
  };
  using Rule = std::function<Reply(const WireMessage& question, DnsRelay& relay)>;

  // Binds address:53 (UDP and TCP) and starts answering; fails with std::system_error.
  DnsRelay(const std::string& address, std::string upstream = "127.0.0.53");
  ~DnsRelay();
  DnsRelay(const DnsRelay&) = delete;
  DnsRelay& operator=(const DnsRelay&) = delete;

  void SetRule(Rule rule);
  // One question (recursion desired, DO and CD) to `server` (the upstream by default)
  // over TCP; fails with std::runtime_error when no answer comes within 3 s.
  WireMessage Ask(const std::string& name, std::uint16_t type, const std::string& server = "");

  // The questions received so far (name, type), in order; and a fresh count.
  std::vector<std::pair<std::string, std::uint16_t>> Questions() const;
  void ClearQuestions();

 private:
  void Run();
  // The reply's bytes (none for silence); its delay waited here, or given to `delay`.
  std::vector<std::uint8_t> Answer(const std::vector<std::uint8_t>& request, bool tcp,
                                   std::chrono::milliseconds* delay = nullptr);
  void ServeTcp(int connection);

  std::string address_;
  std::string upstream_;
  int udp_ = -1;
  int tcp_ = -1;
  int wake_read_ = -1;
  int wake_write_ = -1;
  mutable std::mutex mutex_;
  Rule rule_;
  std::vector<std::pair<std::string, std::uint16_t>> questions_;
  std::thread thread_;
  std::vector<std::thread> late_;  // sending delayed UDP answers
};
