#include "app/DnsLookup.h"

#include "app/DnsQueryLookup.h"
#include "dns/zvRegistry.h"

TLookupServices DefaultLookupServices() {
  TLookupServices services;
  services.CreateLookup = [] { return CreateDnsQueryLookup(); };
  services.GetSystemDnsServers = [](TStrings& list) { GetSystemDnsServers(list); };
  return services;
}
