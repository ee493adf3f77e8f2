// What the main window needs of a DNS lookup, as a small interface: the settings it
// copies from its fields, the lookups, the result lists it prints, what the last exchange
// did (for the status bar), and the listing of the machine's DNS servers. The real implementation
// forwards to TzvDnsQuery; tests hand the window scripted ones, so the window's behaviour is
// checked without a network.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "base/Classes.h"
#include "dns/zvDnsQuery.h"
#include "dns/zvDnssecChain.h"

class TDnsLookup {
 public:
  virtual ~TDnsLookup() = default;

  // Everything the questions are asked with, copied from the window's fields at once:
  // server, port, time-out, transport (UDP with TCP when the answer is truncated, TCP, or
  // TLS or HTTPS with the certificate checked against the system's CAs) and, with DNSSEC,
  // the DO and CD bits (CheckDnssec then judges the last answer). Lookups that cannot
  // choose a transport or check DNSSEC ignore those.
  virtual void SetSettings(const TzvDnsExchangeSettings& settings) = 0;

  // Each lookup leaves its results in the four lists, or fails with an exception.
  virtual void ResolveMX(const std::string& name) = 0;
  virtual void ResolveIP(const std::string& name) = 0;
  virtual void ResolveHostName(const std::string& name) = 0;
  virtual void ResolveNS(const std::string& name) = 0;
  // IPv6 addresses, listed among the hosts. Lookups that do not offer it fail.
  virtual void ResolveAAAA(const std::string& name) {
    throw Exception("This lookup cannot ask for IPv6 addresses: " + name);
  }

  // A question of any other type (TXT, SOA, DS, ...): the answer's records stay in
  // Answers() until the next lookup, and the aliases it went through in Aliases().
  virtual void ResolveRecords(const std::string& name, std::int32_t type) {
    throw Exception("This lookup cannot ask for type " + std::to_string(type) + ": " + name);
  }
  // A zone transfer (AXFR) of `zone`, each record handed to the visitor as it comes.
  virtual TzvDnsTransferResult TransferZone(const std::string& zone,
                                            TzvDnsTransferVisitor& /*visitor*/) {
    throw Exception("This lookup cannot transfer a zone: " + zone);
  }
  virtual const TzvDnsRecordList& Answers() const {
    static const TzvDnsRecordList kNone;
    return kNone;
  }
  // The last lookup's answer as it was decoded, to compare servers by; null when the
  // lookup keeps none or got none.
  virtual const TzvDnsMessage* Response() const { return nullptr; }

  // The verdict on the last lookup's answer, its chain of trust asked of the server that
  // answered; indeterminate, with the reason, when it could not be judged.
  virtual TzvDnssecResult CheckDnssec() {
    TzvDnssecResult result;
    result.Reason = "this lookup cannot check DNSSEC";
    return result;
  }

  // The window's stop for the lookups it starts (net/zvStop.h): requested, it ends every
  // wait of the lookup and of its check of DNSSEC. The window clears it when it starts
  // the next lookup.
  virtual void SetStop(TzvStop /*stop*/) {}
  // Called while a lookup waits (from an event handled inside its wait): makes the wait
  // end as soon as it can, so that the lookup returns, normally with a failure.
  virtual void Abort() {}
  // The lookup and its check are over: a connection kept for their questions is closed.
  virtual void CloseSessions() {}
  // What the last lookup's last exchange did; ServerAddress is empty when nothing is
  // known of it.
  virtual TzvDnsExchangeInfo LastExchange() const { return {}; }

  virtual const TzvMailServerList& MailServers() const = 0;
  virtual const TzvHostList& Hosts() const = 0;
  virtual const TStrings& NameServers() const = 0;
  virtual const TStrings& Aliases() const = 0;
};

// How the window gets its lookup and the machine's DNS servers.
struct TLookupServices {
  // Called once when the window is created; the window owns what it returns.
  std::function<std::unique_ptr<TDnsLookup>()> CreateLookup;
  // Appends the machine's configured DNS servers; failures pass to the caller.
  std::function<void(TStrings& list)> GetSystemDnsServers;
};

// The real services: TzvDnsQuery and the system's configuration.
TLookupServices DefaultLookupServices();
