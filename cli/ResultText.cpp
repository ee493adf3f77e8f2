#include "cli/ResultText.h"

namespace {

void AppendSection(std::vector<std::string>& lines, std::vector<std::string> section) {
  for (std::string& line : section) lines.push_back(std::move(line));
}

std::vector<std::string> StringSection(const char* heading, const TStrings& entries) {
  std::vector<std::string> lines;
  if (entries.Count() == 0) return lines;
  lines.emplace_back(heading);
  for (const std::string& entry : entries) lines.push_back(entry);
  lines.emplace_back();
  return lines;
}

}  // namespace

std::vector<std::string> MailServerLines(const TzvMailServerList& mail_servers) {
  std::vector<std::string> lines;
  if (mail_servers.Count() == 0) return lines;
  lines.emplace_back("====== Servidores de Correo ======");
  for (int i = 0; i < mail_servers.Count(); ++i) {
    const TzvMailServerInfo* server = mail_servers.Items(i);
    // "%s, Preference %d, %s", put together without printf so that a name holding a NUL
    // byte is not cut short.
    lines.push_back(server->Name + ", Preference " + std::to_string(server->Preference) + ", " +
                    server->IPAddress);
  }
  lines.emplace_back();
  return lines;
}

std::vector<std::string> HostLines(const TzvHostList& hosts) {
  std::vector<std::string> lines;
  if (hosts.Count() == 0) return lines;
  lines.emplace_back("====== Hosts ======");
  for (int i = 0; i < hosts.Count(); ++i) {
    const TzvHostInfo* host = hosts.Items(i);
    lines.push_back(host->Name + ", " + host->IPAddress);
  }
  lines.emplace_back();
  return lines;
}

std::vector<std::string> NameServerLines(const TStrings& name_servers) {
  return StringSection("====== Nombre Servidores ======", name_servers);
}

std::vector<std::string> AliasLines(const TStrings& aliases) {
  return StringSection("====== Alias ======", aliases);
}

std::vector<std::string> LookupResultLines(const TzvMailServerList& mail_servers,
                                           const TzvHostList& hosts, const TStrings& name_servers,
                                           const TStrings& aliases) {
  std::vector<std::string> lines;
  AppendSection(lines, MailServerLines(mail_servers));
  AppendSection(lines, HostLines(hosts));
  AppendSection(lines, NameServerLines(name_servers));
  AppendSection(lines, AliasLines(aliases));
  return lines;
}

std::vector<std::string> LookupErrorLines() {
  return {"====== Error ======", " - El servidor no responde."};
}

std::string DnsServerListHeading() {
  return "====== Servidores DNS Locales ======";
}

std::vector<std::string> DnsServerLines(const TStrings& servers) {
  std::vector<std::string> lines;
  for (const std::string& server : servers) lines.push_back(" - " + server);
  return lines;
}
