#include "dns/zvDnssecTrace.h"

#include <utility>

#include "dns/zvDnsRecordTypes.h"
#include "dns/zvDnssecVerify.h"

TzvTraceZoneCheck DnssecTraceCheck(std::vector<std::unique_ptr<TzvDnsRecord>> anchors,
                                   std::uint32_t now) {
  auto kept =
      std::make_shared<const std::vector<std::unique_ptr<TzvDnsRecord>>>(std::move(anchors));
  return [kept, now](const TzvTraceStep& step, const std::vector<TzvTraceStep>& steps,
                     const TzvTraceAsk& ask) {
    // The zones the trace has reached and the server that answered for each.
    std::vector<std::pair<std::vector<std::uint8_t>, std::string>> zones;
    for (const TzvTraceStep& done : steps)
      if (done.Level == 0 && !done.ServerAddress.empty())
        zones.emplace_back(DnssecCanonicalName(done.Zone), done.ServerAddress);
    // A question goes where the trace found its answer: DS records to the parent's
    // servers (the deepest zone above the name), anything else to the deepest zone that
    // holds the name.
    TzvDnssecAsk route = [zones, ask](const std::string& name, std::int32_t type) {
      const std::vector<std::uint8_t> wire = DnssecCanonicalName(name);
      const std::string* server = nullptr;
      std::size_t deepest = 0;
      for (const auto& [zone, address] : zones) {
        if (!IsDnsNameWithin(wire, zone) || (type == kzvDnsTypeDS && zone == wire)) continue;
        if (server == nullptr || zone.size() > deepest) {
          server = &address;
          deepest = zone.size();
        }
      }
      if (server == nullptr)
        throw EzvDnsError("the trace reached no server for " + name, kzvDnsErrTraceNoServer);
      return ask(*server, {name, type, true});
    };
    std::vector<std::unique_ptr<TzvDnsRecord>> anchors;
    for (const auto& anchor : *kept) {
      auto copy = anchor->Create();
      copy->Assign(anchor.get());
      anchors.push_back(std::move(copy));
    }
    // A validator per step: each verdict stands on questions of its own.
    TzvDnssecValidator validator(route, std::move(anchors), now);
    try {
      const auto keys = route(step.Zone, kzvDnsTypeDNSKEY);
      return validator.ValidateAnswer(*keys);
    } catch (const std::exception& error) {
      TzvDnssecResult result;
      result.Verdict = TzvDnssecVerdict::Indeterminate;
      result.Reason = error.what();
      return result;
    }
  };
}
