#include "app/DnsQueryLookup.h"

#include <string>

#include "dns/zvDnsQuery.h"

namespace {

// The window's lookup, forwarded one to one to the query component.
class TzvDnsQueryLookup : public TDnsLookup {
 public:
  TzvDnsQueryLookup() : query_(std::make_unique<TzvDnsQuery>(nullptr)) {}

  void SetServer(const std::string& server) override { query_->SetServer(server); }
  void SetPort(int port) override { query_->SetPort(port); }
  void SetTimeOut(int milliseconds) override { query_->SetTimeOut(milliseconds); }

  // What the lookups return is not needed: the window reads only the result lists.
  void ResolveMX(const std::string& name) override { query_->ResolveMX(name); }
  void ResolveIP(const std::string& name) override { query_->ResolveIP(name); }
  void ResolveHostName(const std::string& name) override { query_->ResolveHostName(name); }
  void ResolveAAAA(const std::string& name) override { query_->ResolveAAAA(name); }
  void ResolveNS(const std::string& name) override {
    std::string first_name_server;
    query_->ResolveNS(name, first_name_server);
  }

  void Abort() override { query_->Abort(); }
  TzvDnsExchangeInfo LastExchange() const override { return query_->LastExchange(); }

  const TzvMailServerList& MailServers() const override { return query_->MailServers(); }
  const TzvHostList& Hosts() const override { return query_->Hosts(); }
  const TStrings& NameServers() const override { return query_->NameServers(); }
  const TStrings& Aliases() const override { return query_->Aliases(); }

 private:
  std::unique_ptr<TzvDnsQuery> query_;
};

}  // namespace

std::unique_ptr<TDnsLookup> CreateDnsQueryLookup() {
  return std::make_unique<TzvDnsQueryLookup>();
}
