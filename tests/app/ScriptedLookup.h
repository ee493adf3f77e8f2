// A lookup the window's tests script: it records how the window set it up and which
// lookups it asked for, and each lookup fills the result lists or fails as the test says.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/DnsLookup.h"
#include "dns/zvDnsRecordTypes.h"
#include "dns/zvDnsTsig.h"
#include "dns/zvRegistry.h"

struct TLookupCall {
  std::string Kind;  // "MX", "A", "PTR", "NS", or the type asked for ("TXT")
  std::string Name;
  std::string Server;
  int Port;
  int TimeOut;
};

class TScriptedLookup : public TDnsLookup {
 public:
  // Runs inside each lookup after the lists were cleared; may fill them, wait or throw.
  std::function<void(TScriptedLookup& lookup, const TLookupCall& call)> Script;
  std::vector<TLookupCall> Calls;
  // Set when the window frees its lookup.
  std::shared_ptr<bool> Destroyed = std::make_shared<bool>(false);

  TzvMailServerList Mail;
  TzvHostList HostList;
  TStrings NameServerList;
  TStrings AliasList;

  ~TScriptedLookup() override { *Destroyed = true; }

  void SetSettings(const TzvDnsExchangeSettings& settings) override {
    server_ = settings.Server;
    port_ = settings.Port;
    time_out_ = settings.TimeOut;
    tsig_ = settings.Tsig;
  }

  void ResolveMX(const std::string& name) override { Run("MX", name); }
  void ResolveIP(const std::string& name) override { Run("A", name); }
  void ResolveHostName(const std::string& name) override { Run("PTR", name); }
  void ResolveNS(const std::string& name) override { Run("NS", name); }
  void ResolveRecords(const std::string& name, std::int32_t type) override {
    Run(DnsTypeText(type).c_str(), name);
  }

  // A zone transfer: recorded as a call of kind "AXFR", then played by the script.
  std::function<void(TzvDnsTransferVisitor& visitor)> Transfer;
  TzvDnsTransferResult TransferZone(const std::string& zone,
                                    TzvDnsTransferVisitor& visitor) override {
    Calls.push_back({"AXFR", zone, server_, port_, time_out_});
    if (Transfer) Transfer(visitor);
    Tsig = tsig_;
    return {};
  }
  // The key the last settings carried (TSIG), null without one.
  std::shared_ptr<const TzvTsigKey> Tsig;

  // Counts the window's requests to stop waiting and passes them on to the test.
  int Aborts = 0;
  std::function<void()> OnAbort;
  void Abort() override {
    ++Aborts;
    if (OnAbort) OnAbort();
  }

  // What LastExchange reports; the script may set it.
  TzvDnsExchangeInfo Exchange;
  TzvDnsExchangeInfo LastExchange() const override { return Exchange; }

  const TzvMailServerList& MailServers() const override { return Mail; }
  const TzvHostList& Hosts() const override { return HostList; }
  const TStrings& NameServers() const override { return NameServerList; }
  const TStrings& Aliases() const override { return AliasList; }

  void AddMailServer(const std::string& name, int preference, const std::string& address) {
    auto item = std::make_unique<TzvMailServerInfo>();
    item->Name = name;
    item->Preference = preference;
    item->IPAddress = address;
    Mail.Add(std::move(item));
  }
  void AddHost(const std::string& name, const std::string& address) {
    auto item = std::make_unique<TzvHostInfo>();
    item->Name = name;
    item->IPAddress = address;
    HostList.Add(std::move(item));
  }

 private:
  void Run(const char* kind, const std::string& name) {
    Mail.Clear();
    HostList.Clear();
    NameServerList.Clear();
    AliasList.Clear();
    Calls.push_back({kind, name, server_, port_, time_out_});
    if (Script) Script(*this, Calls.back());
  }

  std::string server_;
  int port_ = -1;
  int time_out_ = -1;
  std::shared_ptr<const TzvTsigKey> tsig_;
};

// Services that hand the window a scripted lookup (kept reachable through `lookup`) and
// list DNS servers from the given registry tree.
inline TLookupServices ScriptedServices(
    TScriptedLookup*& lookup,
    std::shared_ptr<TzvMemoryRegistry> registry = std::make_shared<TzvMemoryRegistry>()) {
  TLookupServices services;
  services.CreateLookup = [&lookup]() -> std::unique_ptr<TDnsLookup> {
    auto made = std::make_unique<TScriptedLookup>();
    lookup = made.get();
    return made;
  };
  services.GetSystemDnsServers = [registry](TStrings& list) {
    GetSystemDnsServers(list, *registry);
  };
  return services;
}
