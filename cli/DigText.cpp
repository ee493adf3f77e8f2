#include "cli/DigText.h"

#include <cstdio>
#include <ctime>
#include <memory>
#include <sstream>
#include <string_view>
#include <tuple>
#include <vector>

#include "base/Base64.h"
#include "base/Version.h"
#include "cli/ResultText.h"
#include "dns/zvDnsEdnsOptions.h"
#include "dns/zvDnsKeyRecords.h"
#include "dns/zvDnsOptRecord.h"
#include "dns/zvDnsRecordTypes.h"
#include "dns/zvDnsRrsigRecord.h"
#include "dns/zvUtils.h"

namespace {

// dig's zone-file columns: where the TTL, class, type and data start. With one of TTL and
// class left out the later columns move one tab stop left, with both (or +multi) two.
struct TColumns {
  std::size_t Ttl, Class, Type, Data;
};

TColumns ColumnsOf(const TDigDisplay& display) {
  if (display.Multi || (!display.TtlId && !display.Class)) return {24, 24, 24, 32};
  if (!display.TtlId || !display.Class) return {24, 24, 32, 40};
  return {24, 32, 40, 48};
}

// Moves to column `to` with tabs, then spaces, as a zone file is indented; past it, one
// step further, so two fields never touch.
void IndentTo(std::string& line, std::size_t& column, std::size_t to) {
  if (to < column + 1) to = column + 1;
  const std::size_t tabs = to / 8 - column / 8;
  if (tabs > 0) {
    line.append(tabs, '\t');
    column = to / 8 * 8;
  }
  line.append(to - column, ' ');
  column = to;
}

void Append(std::string& line, std::size_t& column, const std::string& text) {
  line += text;
  column += text.size();
}

// The continuation lines of +multi start at the data's column.
constexpr const char* kMultiIndent = "\t\t\t\t";

const char* AlgorithmMnemonic(std::uint8_t algorithm) {
  switch (algorithm) {
    case 1:
      return "RSAMD5";
    case 3:
      return "DSA";
    case 5:
      return "RSASHA1";
    case 6:
      return "NSEC3DSA";
    case 7:
      return "NSEC3RSASHA1";
    case 8:
      return "RSASHA256";
    case 10:
      return "RSASHA512";
    case 12:
      return "ECCGOST";
    case 13:
      return "ECDSAP256SHA256";
    case 14:
      return "ECDSAP384SHA384";
    case 15:
      return "ED25519";
    case 16:
      return "ED448";
    default:
      return nullptr;
  }
}

// Text over lines of 44 characters, each on a line of its own at the data's column.
std::string MultiLines(std::string_view text) {
  std::string lines;
  for (std::size_t at = 0; at < text.size(); at += 44)
    lines += std::string("\n") + kMultiIndent + std::string(text.substr(at, 44));
  return lines;
}

std::string MultiBase64(const std::vector<std::uint8_t>& bytes) {
  return MultiLines(Base64Encode(bytes));
}

// The record's text as dig writes it on one line, cut into its first `fields` words and
// the rest run together (the spaces dig puts in long hex or base64 dropped).
std::pair<std::string, std::string> FieldsAndData(const TzvDnsRecord& record, std::size_t fields) {
  std::istringstream words(record.DataText(TzvDnsTextStyle::Dig));
  std::string head, data;
  std::size_t count = 0;
  for (std::string word; words >> word; ++count) {
    if (count >= fields)
      data += word;
    else
      head += (count > 0 ? " " : "") + word;
  }
  return {head, data};
}

// The fields before a digest or a key, for the types whose +multi form is those fields,
// then the rest (hex or base64) over lines of 44 characters in parentheses; 0 for the
// others.
std::size_t LeadingFields(std::int32_t type) {
  switch (type) {
    case kzvDnsTypeDS:
    case kzvDnsTypeCDS:
    case kzvDnsTypeTLSA:
    case kzvDnsTypeSMIMEA:
    case kzvDnsTypeZONEMD:
    case kzvDnsTypeCERT:
      return 3;
    case kzvDnsTypeSSHFP:
      return 2;
    default:
      return 0;
  }
}

std::string MultiBlob(const TzvDnsRecord& record, std::size_t fields) {
  const auto [head, data] = FieldsAndData(record, fields);
  if (data.empty()) return {};
  return head + " (" + MultiLines(data) + " )";
}

// The +multi form that opens its parenthesis first: "( " and the fields (IPSECKEY's four)
// or, without fields, the first line of the key (OPENPGPKEY, DHCID), then the rest over
// lines of 44 characters. DHCID adds what its digest is about, as dig does.
std::string MultiOpened(const TzvDnsRecord& record, std::size_t fields) {
  const auto [head, data] = FieldsAndData(record, fields);
  const std::string first = fields > 0 ? head : data.substr(0, 44);
  std::string text = "(" + (first.empty() ? std::string() : " " + first) +
                     MultiLines(std::string_view(data).substr(fields > 0 ? 0 : first.size())) +
                     " )";
  if (record.RecordType == kzvDnsTypeDHCID) {
    const std::vector<std::uint8_t> bytes = Base64Decode(data);
    if (bytes.size() >= 3)
      text += " ; " + std::to_string(bytes[0] << 8 | bytes[1]) + ' ' + std::to_string(bytes[2]) +
              ' ' + std::to_string(bytes.size() - 3);
  }
  return text;
}

// The data of +multi for the types dig folds; empty for the others, which keep one line.
std::string MultiData(const TzvDnsRecord& record) {
  if (const std::size_t fields = LeadingFields(record.RecordType)) return MultiBlob(record, fields);
  if (record.RecordType == kzvDnsTypeIPSECKEY) return MultiOpened(record, 4);
  if (record.RecordType == kzvDnsTypeOPENPGPKEY || record.RecordType == kzvDnsTypeDHCID)
    return MultiOpened(record, 0);
  if (const auto* soa = dynamic_cast<const TzvDnsSOARecord*>(&record)) {
    std::string data = DnsNameText(soa->PrimaryNameServer, TzvDnsTextStyle::Dig) + ' ' +
                       DnsNameText(soa->ResponsibleMailbox, TzvDnsTextStyle::Dig) + " (";
    const std::pair<std::uint32_t, const char*> fields[] = {{soa->SerialNumber, "serial"},
                                                            {soa->Refresh, "refresh"},
                                                            {soa->Retry, "retry"},
                                                            {soa->Expire, "expire"},
                                                            {soa->MinimumTTL, "minimum"}};
    for (const auto& [value, what] : fields) {
      const bool serial = &value == &fields[0].first;
      char number[16];
      std::snprintf(number, sizeof number, "%-10u", value);
      data += std::string("\n") + kMultiIndent + number + " ; " + what;
      if (!serial) data += " (" + DigTtlText(value, true) + ")";
    }
    return data + "\n" + kMultiIndent + ")";
  }
  if (const auto* key = dynamic_cast<const TzvDnsDNSKEYRecord*>(&record)) {
    std::string data =
        std::to_string(key->Flags) + ' ' + std::to_string(key->Protocol) + ' ' +
        std::to_string(key->Algorithm) + " (" + MultiBase64(key->PublicKey) + "\n" + kMultiIndent +
        ") ; " +
        ((key->Flags & 0x0001) != 0 ? ((key->Flags & 0x0080) != 0 ? "revoked KSK" : "KSK") : "ZSK");
    const char* mnemonic = AlgorithmMnemonic(key->Algorithm);
    data += std::string("; alg = ") +
            (mnemonic != nullptr ? mnemonic : std::to_string(key->Algorithm).c_str()) +
            " ; key id = " + std::to_string(key->KeyTag());
    return data;
  }
  if (const auto* sig = dynamic_cast<const TzvDnsRRSIGRecord*>(&record)) {
    return DnsTypeText(sig->TypeCovered) + ' ' + std::to_string(sig->Algorithm) + ' ' +
           std::to_string(sig->Labels) + ' ' + std::to_string(sig->OriginalTTL) + " (\n" +
           kMultiIndent + DnsSignatureTimeText(sig->Expiration) + ' ' +
           DnsSignatureTimeText(sig->Inception) + ' ' + std::to_string(sig->KeyTag) + ' ' +
           DnsNameText(sig->SignerName, TzvDnsTextStyle::Dig) + MultiBase64(sig->Signature) + " )";
  }
  return {};
}

std::string TtlText(std::uint32_t ttl, const TDigDisplay& display) {
  return display.TtlUnits ? DigTtlText(ttl, false) : std::to_string(ttl);
}

const char* OpCodeText(int code) {
  static constexpr const char* kNames[] = {"QUERY",      "IQUERY",     "STATUS",     "RESERVED3",
                                           "NOTIFY",     "UPDATE",     "RESERVED6",  "RESERVED7",
                                           "RESERVED8",  "RESERVED9",  "RESERVED10", "RESERVED11",
                                           "RESERVED12", "RESERVED13", "RESERVED14", "RESERVED15"};
  return kNames[code & 0x0F];
}

std::string FlagsText(const TzvDnsMessageHeader& header) {
  std::string flags;
  const std::pair<bool, const char*> bits[] = {{!header.IsQuery, " qr"},
                                               {header.IsAuthoritativeAnswer, " aa"},
                                               {header.IsTruncated, " tc"},
                                               {header.IsRecursionDesired, " rd"},
                                               {header.IsRecursionAvailable, " ra"},
                                               {header.IsAuthenticData, " ad"},
                                               {header.IsCheckingDisabled, " cd"}};
  for (const auto& [set, name] : bits)
    if (set) flags += name;
  return flags;
}

std::int32_t FullResponseCode(const TzvDnsMessage& message) {
  const TzvDnsOPTRecord* opt = FindOptRecord(message);
  return message.Header().ResponseCode + (opt != nullptr ? opt->ExtendedRCode << 4 : 0);
}

std::string QuestionLine(const TzvDnsRecord& question, const TDigDisplay& display) {
  const TColumns columns = ColumnsOf(display);
  std::string line;
  std::size_t column = 0;
  // dig counts the columns from the name, not from the ';' before it.
  line = ";";
  Append(line, column, DnsNameText(question.Name, TzvDnsTextStyle::Dig));
  if (display.Class) {
    IndentTo(line, column, columns.Class);
    Append(line, column, DnsClassText(question.RecordClass));
  }
  IndentTo(line, column, columns.Type);
  Append(line, column, DnsTypeText(question.RecordType));
  return line;
}

// One message as dig prints it between ";; Got answer:" (or ";; Sending:") and the
// statistics.
void WriteMessage(std::string& text, const TzvDnsMessage& message, const TDigLookup& lookup,
                  const TDigDisplay& display) {
  const TzvDnsMessageHeader& header = message.Header();
  if (display.Comments) {
    text += ";; ->>HEADER<<- opcode: " + std::string(OpCodeText(header.OpCode)) +
            ", status: " + DnsResponseCodeName(FullResponseCode(message)) +
            ", id: " + std::to_string(header.ID) + '\n';
    text += ";; flags:" + FlagsText(header) +
            "; QUERY: " + std::to_string(message.Queries().Count()) +
            ", ANSWER: " + std::to_string(message.Answers().Count()) +
            ", AUTHORITY: " + std::to_string(message.Authorities().Count()) +
            ", ADDITIONAL: " + std::to_string(message.AdditionalRecords().Count()) + '\n';
    if (!header.IsQuery && lookup.RecursionDesired && !header.IsRecursionAvailable)
      text += ";; WARNING: recursion requested but not available\n";
    text += '\n';
    if (const TzvDnsOPTRecord* opt = FindOptRecord(message))
      for (const std::string& line : OptPseudoSection(*opt, lookup.Cookie)) text += line + '\n';
  }
  if (display.Question && message.Queries().Count() > 0) {
    if (display.Comments) text += ";; QUESTION SECTION:\n";
    for (const auto& question : message.Queries()) text += QuestionLine(*question, display) + '\n';
    if (display.Comments) text += '\n';
  }
  const std::tuple<bool, const char*, const TzvDnsRecordList*> sections[] = {
      {display.Answer, "ANSWER", &message.Answers()},
      {display.Authority, "AUTHORITY", &message.Authorities()},
      {display.Additional, "ADDITIONAL", &message.AdditionalRecords()}};
  for (const auto& [shown, title, records] : sections) {
    if (!shown) continue;
    std::string lines;
    for (const auto& record : *records)
      if (record->RecordType != kzvDnsTypeOPT) lines += DigRecordLine(*record, display) + '\n';
    if (lines.empty()) continue;
    if (display.Comments) text += std::string(";; ") + title + " SECTION:\n";
    text += lines;
    if (display.Comments) text += '\n';
  }
}

// The question as this program sends it: the reply's question and ID, the lookup's flags
// and EDNS offer.
std::unique_ptr<TzvDnsExtendedMessage> SentMessage(const TzvDnsMessage& response,
                                                   const TDigLookup& lookup) {
  auto owned = std::make_unique<TzvDnsExtendedMessage>();
  TzvDnsExtendedMessage& sent = *owned;
  sent.Header().ID = response.Header().ID;
  sent.Header().IsQuery = true;
  sent.Header().IsRecursionDesired = lookup.RecursionDesired;
  sent.Header().IsCheckingDisabled = lookup.CheckingDisabled;
  sent.Header().IsAuthenticData = lookup.AuthenticData;
  for (const auto& question : response.Queries()) {
    std::unique_ptr<TzvDnsRecord> copy = sent.CreateRecord(question->RecordType);
    copy->RecordType = question->RecordType;
    copy->RecordClass = question->RecordClass;
    copy->Name = question->Name;
    sent.Queries().Add(std::move(copy));
  }
  if (lookup.Edns) {
    auto opt = std::make_unique<TzvDnsOPTRecord>();
    opt->UDPPayloadSize = lookup.BufferSize;
    opt->DnssecOK = lookup.DnssecOk;
    opt->OtherFlags = lookup.EdnsFlags;
    opt->Options = lookup.EdnsOptions;
    sent.AdditionalRecords().Add(std::move(opt));
  }
  return owned;
}

std::string ServerText(const TDigLookup& lookup) {
  return lookup.ServerAddress + '#' + std::to_string(lookup.Port) + '(' + lookup.ServerName + ')';
}

std::string YamlQuoted(const std::string& text) {
  std::string quoted = "'";
  for (const char c : text) quoted += c == '\'' ? std::string("''") : std::string(1, c);
  return quoted + "'";
}

std::string YamlTimestamp(std::int64_t microseconds) {
  const std::time_t seconds = static_cast<std::time_t>(microseconds / 1000000);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[48];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                static_cast<int>(microseconds / 1000 % 1000));
  return text;
}

}  // namespace

std::string DigTtlText(std::uint32_t seconds, bool verbose) {
  const std::pair<std::uint32_t, const char*> units[] = {
      {604800, "week"}, {86400, "day"}, {3600, "hour"}, {60, "minute"}, {1, "second"}};
  std::string text;
  for (const auto& [size, name] : units) {
    const std::uint32_t count = seconds / size;
    seconds %= size;
    if (count == 0) continue;
    if (verbose)
      text +=
          (text.empty() ? "" : " ") + std::to_string(count) + ' ' + name + (count == 1 ? "" : "s");
    else
      text += std::to_string(count) + name[0];
  }
  if (text.empty()) text = verbose ? "0 seconds" : "0s";
  return text;
}

std::string DigRecordLine(const TzvDnsRecord& record, const TDigDisplay& display) {
  const TColumns columns = ColumnsOf(display);
  std::string line;
  std::size_t column = 0;
  Append(line, column, DnsNameText(record.Name, TzvDnsTextStyle::Dig));
  if (display.TtlId) {
    IndentTo(line, column, columns.Ttl);
    Append(line, column, TtlText(record.TTL, display));
  }
  if (display.Class) {
    IndentTo(line, column, columns.Class);
    Append(line, column, DnsClassText(record.RecordClass));
  }
  IndentTo(line, column, columns.Type);
  Append(line, column, DnsTypeText(record.RecordType));
  std::string data = display.Multi ? MultiData(record) : std::string();
  if (data.empty()) data = record.DataText(TzvDnsTextStyle::Dig);
  if (data.empty()) return line;
  IndentTo(line, column, columns.Data);
  return line + data;
}

std::string DigText(const TzvDnsMessage* response, const TDigLookup& lookup,
                    const TDigDisplay& display) {
  std::string text;
  if (display.Cmd) {
    text += std::string("\n; <<>> pellamar-cli ") + kPellamarVersion + " <<>> " +
            lookup.CommandLine + '\n';
    if (lookup.ServerGiven) text += "; (1 server found)\n";
    text += ";; global options: +cmd\n";
  }
  if (response == nullptr) {
    text += ";; no answer from " + ServerText(lookup) + '\n';
    return text;
  }
  if (display.Qr) {
    if (display.Comments) text += ";; Sending:\n";
    WriteMessage(text, *SentMessage(*response, lookup), lookup, display);
  }
  if (display.Comments) text += ";; Got answer:\n";
  WriteMessage(text, *response, lookup, display);
  if (display.Stats) {
    const std::time_t when = static_cast<std::time_t>(lookup.WhenMicroseconds / 1000000);
    std::tm local{};
    localtime_r(&when, &local);
    char when_text[64];
    std::strftime(when_text, sizeof when_text, "%a %b %d %H:%M:%S %Z %Y", &local);
    text += ";; Query time: " + std::to_string(lookup.Microseconds / 1000) + " msec\n";
    text += ";; SERVER: " + ServerText(lookup) + " (" + lookup.Transport + ")\n";
    text += std::string(";; WHEN: ") + when_text + '\n';
    text += ";; MSG SIZE  rcvd: " + std::to_string(lookup.MessageSize) + "\n\n";
  } else if (display.Identify) {
    text += ";; Received " + std::to_string(lookup.MessageSize) + " bytes from " +
            ServerText(lookup) + " in " + std::to_string(lookup.Microseconds / 1000) + " ms\n\n";
  }
  return text;
}

std::string DigYaml(const TzvDnsMessage& response, const TDigLookup& lookup,
                    const TDigDisplay& display) {
  const TzvDnsMessageHeader& header = response.Header();
  const bool six = lookup.ServerAddress.find(':') != std::string::npos;
  std::string yaml = "- type: MESSAGE\n  message:\n";
  yaml += std::string("    type: ") +
          (header.IsRecursionAvailable ? "RECURSIVE_RESPONSE" : "AUTH_RESPONSE") + '\n';
  yaml += "    query_time: !!timestamp " +
          YamlTimestamp(lookup.WhenMicroseconds - lookup.Microseconds) + '\n';
  yaml += "    response_time: !!timestamp " + YamlTimestamp(lookup.WhenMicroseconds) + '\n';
  yaml += "    message_size: " + std::to_string(lookup.MessageSize) + "b\n";
  yaml += std::string("    socket_family: ") + (six ? "INET6" : "INET") + '\n';
  yaml += "    socket_protocol: " + std::string(lookup.Transport == "UDP" ? "UDP" : "TCP") + '\n';
  yaml += "    response_address: \"" + lookup.ServerAddress + "\"\n";
  yaml += "    response_port: " + std::to_string(lookup.Port) + '\n';
  yaml += std::string("    query_address: \"") + (six ? "::" : "0.0.0.0") + "\"\n";
  yaml += "    query_port: 0\n";
  yaml += "    response_message_data:\n";
  const std::string in = "      ";
  yaml += in + "opcode: " + OpCodeText(header.OpCode) + '\n';
  yaml += in + "status: " + DnsResponseCodeName(FullResponseCode(response)) + '\n';
  yaml += in + "id: " + std::to_string(header.ID) + '\n';
  const std::string flags = FlagsText(header);
  yaml += in + "flags:" + flags + '\n';
  yaml += in + "QUESTION: " + std::to_string(response.Queries().Count()) + '\n';
  yaml += in + "ANSWER: " + std::to_string(response.Answers().Count()) + '\n';
  yaml += in + "AUTHORITY: " + std::to_string(response.Authorities().Count()) + '\n';
  yaml += in + "ADDITIONAL: " + std::to_string(response.AdditionalRecords().Count()) + '\n';
  if (const TzvDnsOPTRecord* opt = FindOptRecord(response)) {
    yaml += in + "OPT_PSEUDOSECTION:\n" + in + "  EDNS:\n";
    yaml += in + "    version: " + std::to_string(opt->Version) + '\n';
    yaml += in + "    flags:" + (opt->DnssecOK ? " do" : "") + '\n';
    yaml += in + "    udp: " + std::to_string(opt->UDPPayloadSize) + '\n';
    if (const TzvEdnsOption* nsid = opt->FindOption(kzvEdnsOptionNSID))
      yaml += in + "    NSID: " +
              YamlQuoted(OptionHex(*nsid, " ") + " (\"" + OptionText(*nsid) + "\")") + '\n';
    for (const TzvEdnsOption& option : opt->Options)
      if (const auto subnet = DecodeClientSubnet(option))
        yaml += in + "    CLIENT-SUBNET: " + ClientSubnetText(*subnet) + '\n';
    for (const TzvExtendedError& error : ExtendedErrors(response)) {
      const char* name = ExtendedErrorName(error.Code);
      yaml += in + "    EDE:\n" + in + "      INFO-CODE: " + std::to_string(error.Code) +
              (name != nullptr ? std::string(" (") + name + ")" : "") + '\n';
      if (!error.Text.empty())
        yaml += in + "      EXTRA-TEXT: " + YamlQuoted(ExtendedErrorShownText(error)) + '\n';
    }
  }
  // Each record on one line with single spaces, as dig's YAML keeps them.
  TDigDisplay flat = display;
  flat.Multi = false;
  auto flatten = [](std::string line) {
    std::string out;
    for (const char c : line) {
      const char d = c == '\t' ? ' ' : c;
      if (d == ' ' && !out.empty() && out.back() == ' ') continue;
      out += d;
    }
    return out;
  };
  if (response.Queries().Count() > 0) {
    yaml += in + "QUESTION_SECTION:\n";
    for (const auto& question : response.Queries())
      yaml += in + "  - " + YamlQuoted(flatten(QuestionLine(*question, flat).substr(1))) + '\n';
  }
  const std::pair<const char*, const TzvDnsRecordList*> sections[] = {
      {"ANSWER_SECTION", &response.Answers()},
      {"AUTHORITY_SECTION", &response.Authorities()},
      {"ADDITIONAL_SECTION", &response.AdditionalRecords()}};
  for (const auto& [title, records] : sections) {
    std::string lines;
    for (const auto& record : *records) {
      if (record->RecordType == kzvDnsTypeOPT) continue;
      // Tabs and runs of blanks outside the data only: the data keeps its own spaces.
      const std::string data = record->DataText(TzvDnsTextStyle::Dig);
      std::string line = DigRecordLine(*record, flat);
      line = flatten(line.substr(0, line.size() - data.size())) + data;
      lines += in + "  - " + YamlQuoted(line) + '\n';
    }
    if (!lines.empty()) yaml += in + title + ":\n" + lines;
  }
  return yaml;
}
