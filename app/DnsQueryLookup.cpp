#include "app/DnsQueryLookup.h"

#include <string>
#include <type_traits>

#include "dns/zvDnsQuery.h"

namespace {

// The component may hand its result lists out by reference or by pointer.
template <class T>
const auto& Deref(const T& value) {
  if constexpr (std::is_pointer_v<T>)
    return *value;
  else
    return value;
}

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
    [&](auto& query) {
      std::string first_name_server;
      if constexpr (requires { query.ResolveNS(name, first_name_server); })
        query.ResolveNS(name, first_name_server);
      else
        query.ResolveNS(name);
    }(*query_);
  }

  // The connection's abort wakes its waiting read or write, which then ends without data.
  void Abort() override {
    [](auto& query) {
      if constexpr (requires { query.Connection().Abort(); }) query.Connection().Abort();
    }(*query_);
  }

  const TzvMailServerList& MailServers() const override { return Deref(query_->MailServers()); }
  const TzvHostList& Hosts() const override { return Deref(query_->Hosts()); }
  const TStrings& NameServers() const override { return Deref(query_->NameServers()); }
  const TStrings& Aliases() const override { return Deref(query_->Aliases()); }

 private:
  std::unique_ptr<TzvDnsQuery> query_;
};

}  // namespace

std::unique_ptr<TDnsLookup> CreateDnsQueryLookup() {
  return std::make_unique<TzvDnsQueryLookup>();
}
