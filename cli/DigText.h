// A lookup written as dig 9.18 writes it: the command line, the header with opcode,
// status, ID, flags and counts, the OPT pseudosection, the four sections in zone-file
// form (name, TTL, class, type and data, tab apart at dig's columns), and the statistics
// (query time, server, when, message size); or the same message in dig's YAML layout.
// dig's display switches (+noall +answer, +nocmd, +multi, +ttlunits, ...) trim and shape
// it, so scripts written against dig's output read ours unchanged.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "dns/zvDnsCookieJar.h"
#include "dns/zvDnsMessage.h"
#include "dns/zvDnsOptRecord.h"

// What dig's display switches leave in; dig's defaults.
struct TDigDisplay {
  bool Cmd = true;       // "; <<>> ... <<>> ARGS" and the global options line
  bool Comments = true;  // the header, the OPT pseudosection, the section headings
  bool Question = true;
  bool Answer = true;
  bool Authority = true;
  bool Additional = true;
  bool Stats = true;      // query time, server, when, message size
  bool Qr = false;        // the question as sent, before the answer
  bool Multi = false;     // SOA, DNSKEY, CDNSKEY and RRSIG over several commented lines
  bool TtlUnits = false;  // TTLs as 1h30m rather than 5400
  bool TtlId = true;      // the TTL column
  bool Class = true;      // the class column
  bool Identify = false;  // without the statistics, where the answer came from
  // Only the first SOA of a zone transfer; a lookup's answer holds one already, so this
  // is read and changes nothing.
  bool OneSoa = false;
  // Sets every part at once, as dig's +all and +noall.
  void All(bool on) { Cmd = Comments = Question = Answer = Authority = Additional = Stats = on; }
};

// The facts of one lookup besides the reply.
struct TDigLookup {
  std::string CommandLine;   // the arguments after the program's name, as typed
  std::string ServerName;    // as given (or configured): SERVER's "(...)" part
  bool ServerGiven = false;  // on the command line: "; (1 server found)"
  std::string ServerAddress;
  std::int32_t Port = 53;
  std::string Transport = "UDP";
  std::int64_t Microseconds = 0;      // the exchange's time
  std::int64_t WhenMicroseconds = 0;  // when the reply came, since 1970 in UTC
  std::int32_t MessageSize = 0;       // the reply's bytes
  // The question as sent, for +qr: its flags and EDNS offer.
  bool RecursionDesired = true;
  bool Edns = true;
  std::uint16_t BufferSize = 1232;
  bool DnssecOk = false;
  bool CheckingDisabled = false;
  bool AuthenticData = false;
  std::uint16_t EdnsFlags = 0;
  std::vector<TzvEdnsOption> EdnsOptions;
  // What the exchange made of the answer's cookie.
  TzvCookieVerdict Cookie = TzvCookieVerdict::cvNotSent;
};

// The whole text, every line ended by '\n'. `response` is null when no reply came: then
// only the command line and ";; no answer" lines are written.
std::string DigText(const TzvDnsMessage* response, const TDigLookup& lookup,
                    const TDigDisplay& display);
// The reply as dig +yaml writes it: one "- type: MESSAGE" document.
std::string DigYaml(const TzvDnsMessage& response, const TDigLookup& lookup,
                    const TDigDisplay& display);
// One record as a line of dig's sections (no '\n'), shaped by +multi, +ttlunits,
// +nottlid and +noclass.
std::string DigRecordLine(const TzvDnsRecord& record, const TDigDisplay& display);
// A number of seconds as dig's units: "1h30m" short, "1 hour 30 minutes" verbose.
std::string DigTtlText(std::uint32_t seconds, bool verbose);
