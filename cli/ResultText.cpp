#include "cli/ResultText.h"

#include <algorithm>
#include <cstdio>

#include "base/SysUtils.h"
#include "cli/DigText.h"
#include "dns/zvDnsEdnsOptions.h"
#include "cli/SessionOptionText.h"
#include "dns/zvDnsRecordTypes.h"
#include "dns/zvIdn.h"

namespace {

void AppendSection(std::vector<std::string>& lines, std::vector<std::string> section) {
  for (std::string& line : section) lines.push_back(std::move(line));
}

std::vector<std::string> StringSection(const char* heading, const TStrings& entries) {
  std::vector<std::string> lines;
  if (entries.Count() == 0) return lines;
  lines.emplace_back(heading);
  for (const std::string& entry : entries) lines.push_back(ShownName(entry));
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
    lines.push_back(ShownName(server->Name) + ", Preference " + std::to_string(server->Preference) +
                    ", " + server->IPAddress);
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
    // The address of a reverse lookup is the text the user gave or the reverse name.
    lines.push_back(ShownName(host->Name) + ", " + EscapedName(host->IPAddress));
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
  for (const std::string& server : servers) lines.push_back(" - " + EscapedName(server));
  return lines;
}

std::string EscapedName(const std::string& name) {
  return DnsSafeText(name, false);
}

std::string DomainText(const std::string& name) {
  return name.empty() ? std::string(".") : EscapedName(name);
}

std::string ShownName(const std::string& name) {
  const std::string unicode = IdnToUnicode(name);
  return unicode.empty() ? DomainText(name) : EscapedName(name) + " (" + EscapedName(unicode) + ")";
}

std::string RecordLine(const TzvDnsRecord& record) {
  // The root owns records too (its SOA in a denial from a root server).
  return DomainText(record.Name) + '\t' + std::to_string(record.TTL) + '\t' +
         DnsClassText(record.RecordClass) + '\t' + DnsTypeText(record.RecordType) + '\t' +
         RecordDataText(record);
}

std::string QuotedText(const std::string& text) {
  return DnsQuotedText(text, TzvDnsTextStyle::Readable);
}

std::string RecordDataText(const TzvDnsRecord& record) {
  return record.DataText(TzvDnsTextStyle::Readable);
}

std::vector<std::string> OtherRecordLines(const TzvDnsRecordList& records,
                                          std::int32_t record_type) {
  std::vector<std::string> lines;
  for (const auto& record : records) {
    if (record->RecordType == kzvDnsTypeOPT) continue;
    if (record_type != kzvDnsTypeANY && record->RecordType != record_type) continue;
    if (lines.empty()) lines.emplace_back("====== Registros ======");
    lines.push_back(ShownName(record->Name) + ", " + DnsTypeText(record->RecordType) + ", " +
                    RecordDataText(*record));
  }
  if (!lines.empty()) lines.emplace_back();
  return lines;
}

std::string OptionHex(const TzvEdnsOption& option, const std::string& separator) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  for (const std::uint8_t byte : option.Data) {
    if (!hex.empty()) hex += separator;
    hex += kHex[byte >> 4];
    hex += kHex[byte & 0x0F];
  }
  return hex;
}

std::string OptionText(const TzvEdnsOption& option) {
  return DnsSafeText(
      std::string_view(reinterpret_cast<const char*>(option.Data.data()), option.Data.size()), true,
      '"');
}

namespace {

std::string NsidLine(const TzvEdnsOption& nsid) {
  return OptionHex(nsid, " ") + " (\"" + OptionText(nsid) + "\")";
}

// An option's line in dig's pseudo-section, without its "; ".
std::string OptionLine(const TzvEdnsOption& option) {
  switch (option.Code) {
    case kzvEdnsOptionNSID:
      return "NSID: " + NsidLine(option);
    case kzvEdnsOptionExtendedError:
      if (const auto error = DecodeExtendedError(option)) {
        std::string line = "EDE: " + std::to_string(error->Code);
        if (const char* name = ExtendedErrorName(error->Code))
          line += std::string(" (") + name + ")";
        if (!error->Text.empty()) line += ": (" + ExtendedErrorShownText(*error) + ")";
        return line;
      }
      break;
    case kzvEdnsOptionClientSubnet:
      if (const auto subnet = DecodeClientSubnet(option))
        return "CLIENT-SUBNET: " + ClientSubnetText(*subnet);
      break;
    case kzvEdnsOptionExpire:
      if (option.Data.empty()) return "EXPIRE:";
      if (const auto seconds = DecodeExpire(option))
        return "EXPIRE: " + std::to_string(*seconds) + " (" + DigTtlText(*seconds, true) + ")";
      break;
    case kzvEdnsOptionZoneVersion:
      if (option.Data.empty()) return "ZONEVERSION:";
      if (const auto version = DecodeZoneVersion(option))
        return "ZONEVERSION: " + std::to_string(version->Serial) + " (SOA-SERIAL, " +
               std::to_string(version->Labels) + " labels)";
      break;
    case kzvEdnsOptionPadding:
      // Padding is not data: its length alone, as dig gives it.
      return "PAD: (" + std::to_string(option.Data.size()) + " bytes)";
    default:
      break;
  }
  // Any other code, and an option whose length its code does not allow, as bytes.
  std::string line = "OPT=" + std::to_string(option.Code) + ":";
  if (!option.Data.empty())
    line += ' ' + OptionHex(option, " ") + " (\"" + OptionText(option) + "\")";
  return line;
}

}  // namespace

std::vector<std::string> ExtendedErrorLines(const TzvDnsMessage& response) {
  std::vector<std::string> lines;
  for (const TzvExtendedError& error : ExtendedErrors(response))
    lines.push_back(";; EDE: " + ExtendedErrorSummary(error));
  return lines;
}

std::vector<std::string> NsidLines(const TzvDnsMessage& response) {
  const TzvDnsOPTRecord* opt = FindOptRecord(response);
  const TzvEdnsOption* nsid = opt != nullptr ? opt->FindOption(kzvEdnsOptionNSID) : nullptr;
  if (nsid == nullptr) return {};
  return {"====== Identificador del Servidor (NSID) ======", NsidLine(*nsid), ""};
}

std::vector<std::string> OptPseudoSection(const TzvDnsOPTRecord& opt, TzvCookieVerdict cookie) {
  std::vector<std::string> lines{";; OPT PSEUDOSECTION:"};
  // The flag bits other than DO as dig gives them: "MBZ: 0x0010, " before the size.
  char mbz[24] = "";
  if (opt.OtherFlags != 0) std::snprintf(mbz, sizeof mbz, " MBZ: 0x%04x,", opt.OtherFlags);
  lines.push_back("; EDNS: version: " + std::to_string(opt.Version) +
                  ", flags:" + (opt.DnssecOK ? " do" : "") + ";" +
                  (opt.OtherFlags != 0 ? mbz : "") + " udp: " + std::to_string(opt.UDPPayloadSize));
  // The exchange's own options (cookie, keepalive) with what the exchange made of them;
  // the rest as the answer carries them.
  for (const TzvEdnsOption& option : opt.Options)
    lines.push_back(SessionOptionLine(option, cookie).value_or("; " + OptionLine(option)));
  return lines;
}

std::vector<std::string> RecordSectionLines(const TzvDnsRecordList& records,
                                            std::int32_t record_type) {
  const char* heading = nullptr;
  switch (record_type) {
    case kzvDnsTypeTXT:
      heading = "====== Textos ======";
      break;
    case kzvDnsTypeSOA:
      heading = "====== Inicio de Autoridad ======";
      break;
    case kzvDnsTypeCNAME:
      heading = "====== Nombres Canónicos ======";
      break;
    case kzvDnsTypeSRV:
      heading = "====== Servicios ======";
      break;
    case kzvDnsTypeCAA:
      heading = "====== Autoridades de Certificación ======";
      break;
    default:
      return {};
  }
  std::vector<std::string> lines;
  for (const auto& record : records) {
    if (record->RecordType != record_type) continue;
    std::string line = ShownName(record->Name) + ", ";
    // The headings' own forms, the Spanish output's, which the record's text does not give.
    if (const auto* soa = dynamic_cast<const TzvDnsSOARecord*>(record.get())) {
      line += DomainText(soa->PrimaryNameServer) + ", " + DomainText(soa->ResponsibleMailbox) +
              ", Serial " + std::to_string(soa->SerialNumber) + ", Refresh " +
              std::to_string(soa->Refresh) + ", Retry " + std::to_string(soa->Retry) + ", Expire " +
              std::to_string(soa->Expire) + ", Minimum " + std::to_string(soa->MinimumTTL);
    } else if (const auto* cname = dynamic_cast<const TzvDnsCNAMERecord*>(record.get())) {
      line += ShownName(cname->CanonicalName);
    } else if (const auto* srv = dynamic_cast<const TzvDnsSRVRecord*>(record.get())) {
      line += "Priority " + std::to_string(srv->Priority) + ", Weight " +
              std::to_string(srv->Weight) + ", Port " + std::to_string(srv->Port) + ", " +
              ShownName(srv->Target);
    } else if (const auto* caa = dynamic_cast<const TzvDnsCAARecord*>(record.get())) {
      line += "Flags " + std::to_string(caa->Flags) + ", " + EscapedName(caa->Tag) + " " +
              QuotedText(caa->Value);
    } else {
      line += RecordDataText(*record);
    }
    if (lines.empty()) lines.emplace_back(heading);
    lines.push_back(std::move(line));
  }
  if (!lines.empty()) lines.emplace_back();
  return lines;
}

std::vector<std::string> RecordResultLines(const TzvDnsRecordList& answers,
                                           std::int32_t record_type, const TStrings& aliases) {
  std::vector<std::string> lines = RecordSectionLines(answers, record_type);
  if (lines.empty()) lines = OtherRecordLines(answers, record_type);
  if (record_type != kzvDnsTypeCNAME) {
    std::vector<std::string> alias_lines = AliasLines(aliases);
    lines.insert(lines.end(), alias_lines.begin(), alias_lines.end());
  }
  return lines;
}
