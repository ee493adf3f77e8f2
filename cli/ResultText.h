// The lines a lookup's results and the machine's DNS server list are shown as. The window
// appends them to its result pane and the command-line companion writes them to standard
// output, both through these functions, so the two never drift apart.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/Classes.h"
#include "dns/zvDnsOptRecord.h"
#include "dns/zvDnsQuery.h"

// Names are shown safely, as dig writes them: each byte of a control character (C0, C1,
// DEL), of a bidirectional control or of a character of no width is written as a
// backslash and three decimal digits ("\\007", "\\226\\128\\174"), and so is every byte
// above 0x7F of a name that is not valid UTF-8; other UTF-8 text is shown as it is. A dot
// or backslash inside a label comes from the codec already escaped ("a\\.b"). A name with
// valid IDNA 2008 A-labels gets its Unicode form beside it in brackets, escaped the same
// way: "xn--caf-dma.test (café.test)".
std::string EscapedName(const std::string& name);
std::string ShownName(const std::string& name);
// A domain name from an answer escaped as above, with the root (the empty name) written
// "." as dig writes it: a null MX ("0 ."), an SRV target "." that says there is no such
// service, a record the root owns. ShownName writes the root so too.
std::string DomainText(const std::string& name);

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

// The answer's records of one of the types that have no result list of their own (TXT,
// SOA, CNAME, SRV, CAA), under that type's heading: "====== Textos ======",
// "====== Inicio de Autoridad ======", "====== Nombres Canónicos ======",
// "====== Servicios ======", "====== Autoridades de Certificación ======". Records of other
// types in the list are passed over; none of the type gives no lines.
std::vector<std::string> RecordSectionLines(const TzvDnsRecordList& records,
                                            std::int32_t record_type);

// A record's data as a line of dig's answer section shows it ("10 mail1.pellamar.test",
// "\"uno\" \"dos\"", "0 issue \"ca.test\""); names and texts shown safely as above. A type
// the codec does not decode gives the empty text.
std::string RecordDataText(const TzvDnsRecord& record);
// A whole record as a line of dig's sections: name, TTL, class, type and data, tab apart.
std::string RecordLine(const TzvDnsRecord& record);
// A character-string in double quotes, with '"' and '\' escaped and other bytes as names.
std::string QuotedText(const std::string& text);

// The answer's records of a type without a heading of its own (ANY asks every type,
// TYPEnnn one the codec has no class for) under "====== Registros ======", one line
// each: "name, TYPE, data" with the data as dig shows it (RFC 3597's "\\# 4 0A000001"
// for unknown types). No records of the type give no lines.
std::vector<std::string> OtherRecordLines(const TzvDnsRecordList& records,
                                          std::int32_t record_type);

// What a question of a type without result lists found: its records under the type's
// heading (or "====== Registros ======"), then the aliases the answer went through (not
// for a CNAME question, whose own section already names them). Shared by the companion's
// sections output and the window.
std::vector<std::string> RecordResultLines(const TzvDnsRecordList& answers,
                                           std::int32_t record_type, const TStrings& aliases);

// An EDNS option's data as hex bytes with `separator` between them ("6e 73 31"), and as
// text made safe (the NSID's usual form).
std::string OptionHex(const TzvEdnsOption& option, const std::string& separator);
std::string OptionText(const TzvEdnsOption& option);
// The server's NSID under "====== Identificador del Servidor (NSID) ======" as dig
// shows it ('6e 73 31 ("ns1")'); no lines when the answer carries none.
std::vector<std::string> NsidLines(const TzvDnsMessage& response);
// The answer's Extended DNS Errors, one line each after the results:
// ";; EDE: 9 (DNSKEY Missing): text"; none without.
std::vector<std::string> ExtendedErrorLines(const TzvDnsMessage& response);
// The OPT record as dig's "OPT PSEUDOSECTION": version, flags and buffer size, then one
// line per option; the cookie's with the exchange's verdict on it.
std::vector<std::string> OptPseudoSection(const TzvDnsOPTRecord& opt,
                                          TzvCookieVerdict cookie = TzvCookieVerdict::cvNotSent);

// What a failed lookup shows, whatever the failure was.
std::vector<std::string> LookupErrorLines();

// The server listing: the heading (written even when no server is found), then one line
// per server. No empty line follows.
std::string DnsServerListHeading();
std::vector<std::string> DnsServerLines(const TStrings& servers);
