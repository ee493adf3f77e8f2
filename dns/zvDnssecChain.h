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

enum class TzvDnssecVerdict { Secure, Insecure, Bogus, Indeterminate };

// "secure", "insecure", "bogus", "indeterminate".
std::string DnssecVerdictText(TzvDnssecVerdict verdict);

struct TzvDnssecResult {
  TzvDnssecVerdict Verdict = TzvDnssecVerdict::Indeterminate;
  std::string Reason;  // empty when secure or insecure
  // What was proven, a line each: "ed.example: DNSKEY 10265/15 matches DS", ...
  std::vector<std::string> Chain;
};

// The root's trust anchors: the keys IANA publishes (KSK-2017, tag 20326, and KSK-2024,
// tag 38696), as DNSKEY records of ".".
std::vector<std::unique_ptr<TzvDnsRecord>> BuiltInRootAnchors();

// Trust anchors in zone-file form, a record a line (". IN DS 20326 8 2 E06D..." or
// ". 172800 IN DNSKEY 257 3 8 AwEA..."), as unbound's anchor files and Debian's
// /usr/share/dns/root.key hold them; ";" starts a comment. Other lines fail with the
// codec's error naming the line.
std::vector<std::unique_ptr<TzvDnsRecord>> ReadTrustAnchors(const std::string& text);

// The trust anchors of a file in that form; fails with the codec's error, naming the file,
// when it cannot be read or holds none.
std::vector<std::unique_ptr<TzvDnsRecord>> ReadTrustAnchorFile(const std::string& path);

// Where Debian keeps the root's keys current (package dns-root-data).
inline constexpr const char* kzvDebianRootKeyFile = "/usr/share/dns/root.key";

// The root's keys as the system keeps them (`file`, Debian's copy), so a key rollover
// reaches us with the system's updates; the built-in keys when that file is missing or
// cannot be used.
std::vector<std::unique_ptr<TzvDnsRecord>> DefaultTrustAnchors(
    const std::string& file = kzvDebianRootKeyFile);

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
