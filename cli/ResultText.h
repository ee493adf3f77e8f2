// The lines a lookup's results and the machine's DNS server list are shown as. The window
// appends them to its result pane and the command-line companion writes them to standard
// output, both through these functions, so the two never drift apart.
#pragma once

#include <string>
#include <vector>

#include "base/Classes.h"
#include "dns/zvDnsQuery.h"

// Each section is a heading, one line per entry in list order and one empty line; an
// empty list gives no lines at all.
std::vector<std::string> MailServerLines(const TzvMailServerList& mail_servers);
std::vector<std::string> HostLines(const TzvHostList& hosts);
std::vector<std::string> NameServerLines(const TStrings& name_servers);
std::vector<std::string> AliasLines(const TStrings& aliases);

// The four sections of a successful lookup, in the order mail servers, hosts, name
// servers, aliases. A lookup that found nothing gives no lines.
std::vector<std::string> LookupResultLines(const TzvMailServerList& mail_servers,
                                           const TzvHostList& hosts, const TStrings& name_servers,
                                           const TStrings& aliases);

// What a failed lookup shows, whatever the failure was.
std::vector<std::string> LookupErrorLines();

// The server listing: the heading (written even when no server is found), then one line
// per server. No empty line follows.
std::string DnsServerListHeading();
std::vector<std::string> DnsServerLines(const TStrings& servers);
