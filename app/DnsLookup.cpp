#include "app/DnsLookup.h"

#include "dns/zvRegistry.h"

#if PELLAMAR_HAVE_DNS_QUERY
#include "app/DnsQueryLookup.h"
#endif

namespace {

#if !PELLAMAR_HAVE_DNS_QUERY
// Stands in for the query component in a build that lacks it: every lookup fails, so
// the window shows its error lines instead of results it cannot have.
class TUnavailableLookup : public TDnsLookup {
 public:
  void SetServer(const std::string&) override {}
  void SetPort(int) override {}
  void SetTimeOut(int) override {}
  void ResolveMX(const std::string&) override { Fail(); }
  void ResolveIP(const std::string&) override { Fail(); }
  void ResolveHostName(const std::string&) override { Fail(); }
  void ResolveNS(const std::string&) override { Fail(); }
  const TzvMailServerList& MailServers() const override { return mail_servers_; }
  const TzvHostList& Hosts() const override { return hosts_; }
  const TStrings& NameServers() const override { return name_servers_; }
  const TStrings& Aliases() const override { return aliases_; }

 private:
  [[noreturn]] static void Fail() {
    throw Exception("This build of Pellamar has no DNS query component");
  }
  TzvMailServerList mail_servers_;
  TzvHostList hosts_;
  TStrings name_servers_;
  TStrings aliases_;
};
#endif

}  // namespace

TLookupServices DefaultLookupServices() {
  TLookupServices services;
#if PELLAMAR_HAVE_DNS_QUERY
  services.CreateLookup = [] { return CreateDnsQueryLookup(); };
#else
  services.CreateLookup = []() -> std::unique_ptr<TDnsLookup> {
    return std::make_unique<TUnavailableLookup>();
  };
#endif
  services.GetSystemDnsServers = [](TStrings& list) { GetSystemDnsServers(list); };
  return services;
}
