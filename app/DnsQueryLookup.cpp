#include "app/DnsQueryLookup.h"

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

#include "dns/zvDnsQuery.h"
#include "dns/zvDnssecChain.h"
#include "net/zvTlsSessionCache.h"

namespace {

// A file of trust anchors to use instead of the root's keys, for a private tree or a
// test bed; the window has no field for it.
constexpr const char* kTrustAnchorVariable = "PELLAMAR_TRUST_ANCHOR";

// The window's lookup, forwarded one to one to the query component.
class TzvDnsQueryLookup : public TDnsLookup {
 public:
  TzvDnsQueryLookup() : query_(std::make_unique<TzvDnsQuery>(nullptr)) {}

  void SetSettings(const TzvDnsExchangeSettings& settings) override {
    TzvDnsExchangeSettings kept = settings;
    // The window's TLS sessions, kept from one lookup to the next: the next lookup over
    // TLS or HTTPS to the same server resumes instead of running a full handshake.
    if (kept.Tls.Sessions == nullptr) kept.Tls.Sessions = sessions_;
    query_->SetSettings(kept);
  }
  void SetStop(TzvStop stop) override { query_->SetStop(std::move(stop)); }
  void CloseSessions() override { query_->CloseSessions(); }

  // What the lookups return is not needed: the window reads only the result lists.
  void ResolveMX(const std::string& name) override {
    Start();
    query_->ResolveMX(name);
  }
  void ResolveIP(const std::string& name) override {
    Start();
    query_->ResolveIP(name);
  }
  void ResolveHostName(const std::string& name) override {
    Start();
    query_->ResolveHostName(name);
  }
  void ResolveAAAA(const std::string& name) override {
    Start();
    query_->ResolveAAAA(name);
  }
  void ResolveRecords(const std::string& name, std::int32_t type) override {
    Start();
    query_->ResolveRecords(name, type);
  }
  TzvDnsTransferResult TransferZone(const std::string& zone,
                                    TzvDnsTransferVisitor& visitor) override {
    Start();
    TzvDnsTransferRequest request;
    request.Zone = zone;
    return query_->Transfer(query_->Settings(), request, visitor);
  }
  const TzvDnsRecordList& Answers() const override { return query_->Response().Answers(); }
  const TzvDnsMessage* Response() const override {
    return query_->LastExchange().Answered ? &query_->Response() : nullptr;
  }
  void ResolveNS(const std::string& name) override {
    Start();
    std::string first_name_server;
    query_->ResolveNS(name, first_name_server);
  }

  TzvDnssecResult CheckDnssec() override {
    try {
      auto anchors = WindowTrustAnchors();
      // The chain's questions go through the lookup's component, so Abort reaches them.
      TzvDnssecQueryAsker asker(*query_, deadline_);
      TzvDnssecValidator validator(asker, std::move(anchors),
                                   static_cast<std::uint32_t>(std::time(nullptr)));
      return validator.ValidateAnswer(query_->Response());
    } catch (const std::exception& e) {
      TzvDnssecResult result;
      result.Reason = e.what();
      return result;
    }
  }

  void Abort() override { query_->Abort(); }
  TzvDnsExchangeInfo LastExchange() const override { return query_->LastExchange(); }

  const TzvMailServerList& MailServers() const override { return query_->MailServers(); }
  const TzvHostList& Hosts() const override { return query_->Hosts(); }
  const TStrings& NameServers() const override { return query_->NameServers(); }
  const TStrings& Aliases() const override { return query_->Aliases(); }

 private:
  // The lookup's time-out runs from here and bounds its chain of trust too, as
  // pellamar-cli's -W does: the check ends when the lookup's time is up.
  void Start() {
    const std::int32_t time_out = query_->TimeOut();
    deadline_.reset();
    if (time_out >= 0)
      deadline_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(time_out);
  }

  std::unique_ptr<TzvDnsQuery> query_;
  std::shared_ptr<TzvTlsSessionCache> sessions_ = std::make_shared<TzvTlsSessionCache>();
  std::optional<std::chrono::steady_clock::time_point> deadline_;
};

}  // namespace

std::vector<std::unique_ptr<TzvDnsRecord>> WindowTrustAnchors() {
  const char* file = std::getenv(kTrustAnchorVariable);
  return file != nullptr && *file != '\0' ? ReadTrustAnchorFile(file) : DefaultTrustAnchors();
}

std::unique_ptr<TDnsLookup> CreateDnsQueryLookup() {
  return std::make_unique<TzvDnsQueryLookup>();
}
