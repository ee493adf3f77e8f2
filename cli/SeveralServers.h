// Comparing what several servers answered to the same question: has a change reached
// every name server, does a resolver say what the authoritative server says?
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

class TzvDnsMessage;

// The most servers one question may be asked of (more is a usage error), and how many of
// them are asked at once: each one asked holds a thread and its sockets, so the others
// wait for a place and a silent one among them costs another time-out. What every
// server's answer holds is kept until all have answered, so the first bound is also
// what bounds the memory.
inline constexpr std::size_t kMostServers = 1000;
inline constexpr std::size_t kServersAtOnce = 64;

// Calls ask(0) to ask(count - 1), each from one of at most kServersAtOnce threads that
// take the servers in order as places come free (fewer when the system has no more to
// give), and returns when every call has returned. `ask` must not throw.
void AskEachServer(std::size_t count, const std::function<void(std::size_t)>& ask);

// What one server answered, reduced to what is compared.
struct TServerAnswer {
  std::string Server;
  bool Answered = false;
  std::int32_t ResponseCode = -1;  // -1 without an answer
  // The answer section's records as "name TYPE data" lines (no TTL, which each server
  // counts down on its own), sorted; the OPT record left out.
  std::vector<std::string> Records;
  std::optional<std::uint32_t> Serial;  // of an SOA record in the answer or authority
};

// The answer as compared; `response` null when none came.
TServerAnswer ServerAnswerOf(const std::string& server, const TzvDnsMessage* response);

// Whether every server's answer is the same: ";; the answers agree" or ";; the answers
// differ", then one line for each difference: the response codes side by side, each
// record that not every server holds with the servers that do, the SOA serials side by
// side. Texts from the wire are shown escaped.
// The words of those lines, so that the window can give them in its own language.
struct TAgreementWords {
  const char* Agree = ";; the answers agree";
  const char* Differ = ";; the answers differ:";
  const char* Response = ";;   response: ";
  const char* NoAnswer = "no answer";
  const char* OnlyFrom = "  only from ";
  const char* Serial = ";;   SOA serial: ";
};
std::vector<std::string> AgreementLines(const std::vector<TServerAnswer>& answers,
                                        const TAgreementWords& words = {});

// True when AgreementLines would say they agree.
bool AnswersAgree(const std::vector<TServerAnswer>& answers);
