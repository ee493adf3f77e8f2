// What the main window's status bar says about a lookup: while it waits, which server is
// asked; afterwards, the response code or the failure in a word or two of Spanish, how
// long the answer took, how it travelled, and the whole story for a tooltip. Plain
// functions over plain values, so every outcome is checked without a network or a window.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

#include "dns/zvDnsQuery.h"
#include "dns/zvDnssecChain.h"

// Why a lookup failed, in the terms the status bar tells apart.
enum class TLookupFailureKind {
  kNone,     // it did not fail
  kSocket,   // EzvSocketError: transport, time-out, refused port, unknown server
  kDns,      // EzvDnsError: an error reply (Code 1 to 15) or a malformed answer
  kInput,    // a port or time-out text that is not a usable number
  kStopped,  // the user stopped it (Escape, or closing the window)
  kOther,    // anything else
};

struct TLookupFailure {
  TLookupFailureKind Kind = TLookupFailureKind::kNone;
  std::int32_t Code = 0;  // ErrorCode of a socket or DNS failure, else 0
  std::string Text;       // the failure's own message
};

// Sorts a caught failure. A socket failure with the library's "stopped" code counts as
// stopped; conversion errors of the fields count as input.
TLookupFailure ClassifyFailure(std::exception_ptr failure);

struct TLookupOutcome {
  std::string Result;     // "NOERROR", "NXDOMAIN", "sin respuesta", "conexión rechazada", ...
                          // "SERVFAIL — DNSKEY Missing" with an Extended DNS Error
  std::string Time;       // how long the answer took ("12 ms"); empty when none came
  std::string Transport;  // "UDP", "TCP", "TLS" or "HTTPS"; empty when nothing was exchanged
  std::string Details;    // several lines for a tooltip: server, transport, time, failure,
                          // the answer's Extended DNS Errors and its AD bit
};

// The outcome of a lookup from its last exchange (ServerAddress empty: nothing is known
// of it) and its failure (Kind kNone for success).
TLookupOutcome DescribeOutcome(const TzvDnsExchangeInfo& exchange, const TLookupFailure& failure);

// "12 ms", "0,4 ms", "1,5 s": a time for a person, with the Spanish decimal comma.
std::string FormatElapsed(std::int64_t microseconds);

// The status text while a lookup waits: the server as typed and the port.
std::string DescribeWait(const std::string& server, const std::string& port);

// The DNSSEC verdict for the status bar: "DNSSEC: segura", "insegura", "falsa" or
// "indeterminada"; the reason and the chain that was proven for its tooltip. Alarm is set
// for "falsa", which the bar draws so that it cannot be missed.
struct TDnssecOutcome {
  std::string Text;
  std::string Details;
  bool Alarm = false;
};

// `resolver_authenticated`: the answer came with AD, a validating resolver's own verdict,
// which the tooltip names beside ours.
TDnssecOutcome DescribeDnssec(const TzvDnssecResult& result, bool resolver_authenticated = false);
