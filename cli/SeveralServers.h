// Comparing what several servers answered to the same question: has a change reached
// every name server, does a resolver say what the authoritative server says?
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class TzvDnsMessage;

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
std::vector<std::string> AgreementLines(const std::vector<TServerAnswer>& answers);

// True when AgreementLines would say they agree.
bool AnswersAgree(const std::vector<TServerAnswer>& answers);
