// DNSSEC's chain of trust, built by us: from the root's trust anchors down to the zone that
// signed an answer, each zone's keys proven by its parent's DS records, each DS set by the
// parent's keys. A zone whose parent proves (by NSEC or NSEC3) that it has no DS is
// insecure, and so is everything below it. Questions for keys and DS records go through
// a function the caller gives (the same server and exchange as the lookup's).
//
// Answers that deny a name or a type (NXDOMAIN, NODATA) are judged by the NSEC or NSEC3
// records of their authority section, and an answer made from a wildcard by the proof that
// the name asked for does not exist itself.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "dns/zvDnsDsRecords.h"
#include "dns/zvDnsKeyRecords.h"
#include "dns/zvDnsMessage.h"
#include "dns/zvDnssecAnchors.h"

enum class TzvDnssecVerdict { Secure, Insecure, Bogus, Indeterminate };

// "secure", "insecure", "bogus", "indeterminate".
std::string DnssecVerdictText(TzvDnssecVerdict verdict);

struct TzvDnssecResult {
  TzvDnssecVerdict Verdict = TzvDnssecVerdict::Indeterminate;
  std::string Reason;  // empty when secure or insecure
  // What was proven, a line each: "ed.example: DNSKEY 10265/15 matches DS", ...
  std::vector<std::string> Chain;
};

// Asks one question with the DNSSEC OK bit and gives the decoded answer (error replies
// included); throws when no answer came.
using TzvDnssecAsk =
    std::function<std::unique_ptr<TzvDnsMessage>(const std::string& name, std::int32_t type)>;

class TzvDnsQuery;

// Asks like `lookup` does (its server as the last exchange reached it, port, time-out,
// tries, EDNS buffer, transport and its TLS settings, address family), with the DO and
// CD bits, one component
// per question. `lookup` is read when this is called, not afterwards. `asking`, when
// given, is told of each question's component before it asks and with null once it is
// done, so a caller can Abort the one that waits.
TzvDnssecAsk DnssecAskLike(const TzvDnsQuery& lookup,
                           std::function<void(TzvDnsQuery*)> asking = {});

class TzvDnssecValidator {
 public:
  // `anchors`: DS or DNSKEY records (of any zone, the root's usually); `now` in seconds since
  // 1970.
  TzvDnssecValidator(TzvDnssecAsk ask, std::vector<std::unique_ptr<TzvDnsRecord>> anchors,
                     std::uint32_t now);
  ~TzvDnssecValidator();
  TzvDnssecValidator(const TzvDnssecValidator&) = delete;
  TzvDnssecValidator& operator=(const TzvDnssecValidator&) = delete;

  // The verdict on every record set of the answer section (each must be secure for the
  // answer to be; one bogus makes it bogus).
  TzvDnssecResult ValidateAnswer(const TzvDnsMessage& answer);

 private:
  struct TZone;
  // The zone's keys once proven, or null with `result` saying why (bogus, insecure or
  // indeterminate).
  const TZone* ProvenZone(const std::string& zone, TzvDnssecResult& result, int depth);
  // Whether `name` is proven to sit in or below an unsigned delegation.
  TzvDnssecResult InsecurityOf(const std::string& name);
  // The answer's proof that `name` (canonical wire form) has no records of `type`, or
  // does not exist when `nxdomain`; with `wildcard_labels` (an answer made from a wildcard
  // whose RRSIG has that many labels), that no closer name than the wildcard matched.
  TzvDnssecResult DenialOf(const TzvDnsMessage& answer, const std::vector<std::uint8_t>& name,
                           std::int32_t type, bool nxdomain, int wildcard_labels = -1);
  const TzvDnsMessage& Ask(const std::string& name, std::int32_t type);

  TzvDnssecAsk ask_;
  std::vector<std::unique_ptr<TzvDnsRecord>> anchors_;
  std::uint32_t now_;
  // Every answer asked for, kept while records of them are in use.
  std::vector<std::unique_ptr<TzvDnsMessage>> answers_;
  std::map<std::string, std::unique_ptr<TZone>> zones_;
  std::vector<std::string> chain_;
};
