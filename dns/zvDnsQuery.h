// The DNS query engine: the query component TzvDnsQuery, which asks one DNS server one
// question over UDP and gathers the answer into result lists, and those lists: hosts (a
// name with its address text) and mail servers (a host with its MX preference), in a form
// callers read without knowing DNS records. The window and the command-line companion
// own one component each and print its lists. The discovery of the machine's DNS
// servers, which the component offers at class level, lives in dns/zvRegistry.h.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "base/Classes.h"
#include "dns/zvDnsExchange.h"
#include "dns/zvDnsMessage.h"
#include "net/zvStop.h"
#include "dns/zvDnsTransfer.h"
#include "net/zvTls.h"
#include "net/zvUdpClient.h"

class TzvHostList;

// A host: its name and its address as text (dotted decimal when it comes from an A
// record; empty when the answer gave no address).
class TzvHostInfo : public TObject {
 public:
  std::string ClassName() const override { return "TzvHostInfo"; }

  std::string IPAddress;
  std::string Name;
};

// A mail exchanger: Name is its host name, IPAddress its address when the answer
// supplied one, Preference the MX preference as carried by the record (0 to 65535).
class TzvMailServerInfo : public TzvHostInfo {
 public:
  std::string ClassName() const override { return "TzvMailServerInfo"; }

  std::int32_t Preference = 0;
};

// An ordered list of hosts that owns its items. Pointers handed out by Items, FindByName
// or a lookup stay valid until the next Clear or the list's destruction.
class TzvHostList : public TObject {
 public:
  TzvHostList() = default;
  TzvHostList(const TzvHostList&) = delete;
  TzvHostList& operator=(const TzvHostList&) = delete;
  std::string ClassName() const override { return "TzvHostList"; }

  // An empty item of the list's item class, not yet in the list: add it when filled.
  std::unique_ptr<TzvHostInfo> NewItem();
  // Appends the item and takes it over; returns its index. A null item is refused with
  // EListError (a list of hosts has no place for "no host").
  int Add(std::unique_ptr<TzvHostInfo> item);
  // Inserts the item at index 0 .. Count, moving later items up; takes it over. Another
  // index fails with "List index out of bounds (%d)".
  void Insert(int index, std::unique_ptr<TzvHostInfo> item);
  // Frees every item.
  void Clear() { items_.Clear(); }
  int Count() const { return items_.Count(); }
  // The item at index 0 .. Count-1; another index fails with "List index out of bounds (%d)".
  TzvHostInfo* Items(int index) const { return items_.Items(index); }
  // The first item whose Name equals name ignoring the case of ASCII letters, or null.
  TzvHostInfo* FindByName(std::string_view name) const;

 protected:
  // A new item of the list's item class.
  virtual std::unique_ptr<TzvHostInfo> MakeItem() const;

 private:
  TObjectList<TzvHostInfo> items_;
};

// Mail servers ordered from the highest preference value to the lowest; items of equal
// preference keep the order in which they were added. The preference must be set before
// the item is added: changing it later does not reorder the list.
class TzvMailServerList : public TzvHostList {
 public:
  std::string ClassName() const override { return "TzvMailServerList"; }

  // An empty mail server, not yet in the list: add it when filled.
  std::unique_ptr<TzvMailServerInfo> NewItem();
  // Inserts the item before the first stored item of lower preference, or appends it
  // when there is none; takes it over. A null item is refused with EListError.
  void Add(std::unique_ptr<TzvMailServerInfo> item);
  // The item at index, which must be a mail server: an item of another class (put there
  // through the plain host list's Insert) fails with "Invalid class typecast".
  TzvMailServerInfo* Items(int index) const;

 protected:
  std::unique_ptr<TzvHostInfo> MakeItem() const override;
};

// ---------------------------------------------------------------------------------------
// The query component

// One DNS lookup of one of four kinds (MX, A, PTR, NS), or of AAAA records or any other
// type, against one server over UDP (or TCP on request), with EDNS unless turned off. Names with
// non-ASCII letters are asked in their A-label form (dns/zvIdn.h); one that has none fails with
// kzvDnsErrInvalidName before anything is sent. Answers are decoded with TzvDnsExtendedMessage. The
// answer's records are copied into four result lists, which the component owns and keeps
// until the next lookup. On request it follows referrals from server to server, up to
// MaxRecursiveQueries steps deep. The window and the command-line companion each own one.
//
// Every failure is an EzvSocketError (transport) or its kind EzvDnsError (an error reply,
// a malformed answer, a name that cannot be encoded); a failed lookup leaves the result
// lists empty and Server as the caller set it.
class TzvDnsQuery : public TzvUdpClient, private TzvDnsWire {
 public:
  // At most this many exchanges make up one lookup, address questions for name servers
  // without glue included, so that no chain of referrals can keep a lookup running.
  // Further steps are skipped quietly, as steps past MaxRecursiveQueries are.
  static constexpr int kMaxExchangesPerLookup = 32;
  static constexpr std::int32_t kDnsPort = 53;
  static constexpr std::int32_t kDnsDatagramSize = 512;

  explicit TzvDnsQuery(TComponent* owner);
  ~TzvDnsQuery() override;
  std::string ClassName() const override { return "TzvDnsQuery"; }

  // The four lookups. Each starts with Clear, asks one question and fills the result
  // lists; what they return points into those lists (null when the list is empty).
  // MX records of GetMailDomain(name).
  TzvMailServerInfo* ResolveMX(const std::string& name);
  // A records of name.
  TzvHostInfo* ResolveIP(const std::string& name);
  // PTR records of GetArpaName(name). The host returned (the last PTR record's) carries
  // the text passed in as its IPAddress.
  TzvHostInfo* ResolveHostName(const std::string& name);
  // NS records of name; first_name_server gets the first of them, or "".
  void ResolveNS(const std::string& name, std::string& first_name_server);
  // AAAA records of name, as hosts with IPv6 addresses (in TzvIPAddress::IPv6ToText's
  // form), the way ResolveIP gives the A records.
  TzvHostInfo* ResolveAAAA(const std::string& name);
  // A question of any type for name. The answer stays in Response() for the caller to
  // read; of the result lists only Aliases is filled. Returns how many records of the
  // type the answer section holds.
  int ResolveRecords(const std::string& name, std::int32_t record_type);

  // Fills Response and the result lists from an answer that came another way (a batch
  // asks many questions at once) as the lookup of `record_type` for `name` fills them from
  // its own. Raises what decoding the answer raises, an error reply's code included
  // (Response then holds what it carried).
  void TakeAnswer(std::span<const std::uint8_t> answer, std::int32_t record_type,
                  const std::string& name);
  // The same with an error reply taken as a reply: Response and the lists hold what it
  // carried, and its whole response code is returned. Raises only for a malformed answer.
  std::int32_t TakeReply(std::span<const std::uint8_t> answer, std::int32_t record_type,
                         const std::string& name);

  // A mail address gives its domain (everything after the first "@"); any other text
  // comes back unchanged.
  static std::string GetMailDomain(const std::string& name);
  // Four dot-separated words w1.w2.w3.w4 give "w4.w3.w2.w1.in-addr.arpa"; a text that
  // already holds "in-addr.arpa" (in any letter case), or has another number of words,
  // comes back unchanged. An IPv6 address gives its 32 nibbles, lowest first, under
  // "ip6.arpa" ("::1" gives "1.0.0. ... .0.ip6.arpa").
  static std::string GetArpaName(const std::string& name);
  // The name a lookup of `record_type` asks for `name`: the mail domain for MX, the
  // reverse name for PTR, the name itself otherwise.
  static std::string NameAsked(const std::string& name, std::int32_t record_type);

  // Stops the lookup that is running: its host lookup, UDP or TCP wait ends at once and
  // the lookup fails with "The lookup was stopped" (kzvErrAborted). Meant to be called
  // from code that runs during a lookup's wait (the window's key and close handlers).
  // A lookup started afterwards runs normally.
  void Abort();
  // The stop Abort requests. The component makes its own and clears it when a lookup
  // starts; one handed in (the stop of the work the lookup is part of) is cleared only by
  // its maker, so an Abort that came before a lookup started stops it too.
  const TzvStop& Stop() const { return stop_; }
  void SetStop(TzvStop stop);
  // The last exchange of the last lookup; see TzvDnsExchangeInfo.
  const TzvDnsExchangeInfo& LastExchange() const {
    return recording_ ? exchange_->LastInfo() : last_exchange_;
  }

  // Everything the component's questions are asked with, as one value: Server, Port,
  // TimeOut and LocalBinding with the rest. Another component asks like this one after
  // SetSettings(this one's Settings()).
  TzvDnsExchangeSettings Settings() const;
  void SetSettings(const TzvDnsExchangeSettings& value);
  // One question of `type` for `name`, asked as `settings` say over this component's
  // connection (kept for the next question to the same server), its reply given back as
  // data whatever its response code; Response, the result lists and LastExchange are not
  // touched.
  // Fails as an exchange fails (no answer, a malformed one, Abort).
  TzvDnsReply Ask(const TzvDnsExchangeSettings& settings, const std::string& name,
                  std::int32_t type);
  // Several questions at once, each as Ask asks it: over TCP and TLS on one connection
  // together. The outcomes come in the questions' order.
  std::vector<TzvDnsOutcome> AskAll(const TzvDnsExchangeSettings& settings,
                                    std::span<TzvDnsMessage* const> requests);
  // Closes the connection kept for the next question, if any.
  void CloseSessions();
  // A zone transfer over a connection of its own, as `settings` say (see TzvDnsTransfer);
  // Abort stops it.
  TzvDnsTransferResult Transfer(const TzvDnsExchangeSettings& settings,
                                const TzvDnsTransferRequest& request,
                                TzvDnsTransferVisitor& visitor);
  // The clock of the exchanges' waits (not owned; null: the steady clock).
  void SetClock(const TzvDnsClock* clock) { exchange_->SetClock(clock); }

  // The servers the machine is configured to use (dns/zvRegistry.h), appended to list.
  static void GetSystemDnsServers(TStrings& list);

  // Empties Request (which draws a new ID), Response and the four result lists.
  void Clear();
  // Query(Request, Response).
  void Resolve();
  // One exchange of req with Server, following referrals when UseRecursiveQueries is
  // set. Server holds its value again afterwards, also when a failure passes through.
  void Query(TzvDnsMessage& req, TzvDnsMessage& resp);
  // An A question for name, asked of a_server (through Query), with Server set back to
  // a_server afterwards.
  void QueryAddress(const std::string& name, const std::string& a_server, TzvDnsMessage& req,
                    TzvDnsMessage& resp);

  const TzvDnsMessage& Request() const { return *request_; }
  const TzvDnsMessage& Response() const { return *response_; }
  const TzvMailServerList& MailServers() const { return *mail_servers_; }
  const TzvHostList& Hosts() const { return *hosts_; }
  const TStrings& NameServers() const { return *name_servers_; }
  const TStrings& Aliases() const { return *aliases_; }

  // Datagrams a UDP question may take within the time-out: when none is answered, the
  // same question goes again, first after 400 ms, then after twice the wait before, the
  // last one waiting for whatever is left. At least 1; default 3.
  int Tries() const { return settings_.Tries; }
  void SetTries(int value) { settings_.Tries = value < 1 ? 1 : value; }
  // Whether questions carry an OPT record (EDNS), offering EdnsBufferSize bytes for an
  // answer over UDP; the receive buffer follows. Default true, 1232 bytes (values below
  // 512 count as 512).
  bool UseEdns() const { return settings_.UseEdns; }
  void SetUseEdns(bool value) { settings_.UseEdns = value; }
  std::uint16_t EdnsBufferSize() const { return settings_.EdnsBufferSize; }
  void SetEdnsBufferSize(std::uint16_t value) {
    settings_.EdnsBufferSize = value < 512 ? 512 : value;
  }
  // With EDNS: ask for the server's NSID, and set the DNSSEC OK bit.
  bool RequestNsid() const { return settings_.RequestNsid; }
  void SetRequestNsid(bool value) { settings_.RequestNsid = value; }
  bool DnssecOK() const { return settings_.DnssecOK; }
  void SetDnssecOK(bool value) { settings_.DnssecOK = value; }
  // The CD bit: a validating server in between hands over what it would refuse, for the
  // caller to judge. Default false.
  bool CheckingDisabled() const { return settings_.CheckingDisabled; }
  void SetCheckingDisabled(bool value) { settings_.CheckingDisabled = value; }
  // The transport questions go by; the three switches below set it. Default UDP.
  TzvDnsTransport Transport() const { return settings_.Transport; }
  void SetTransport(TzvDnsTransport value) { settings_.Transport = value; }
  // Ask over TCP from the start instead of UDP. Default false.
  bool UseTcp() const { return settings_.Transport == TzvDnsTransport::dtTcp; }
  void SetUseTcp(bool value) { SwitchTransport(TzvDnsTransport::dtTcp, value); }
  // DNS over TLS: the question goes over TCP inside TLS (the port is the caller's:
  // 853 is DNS over TLS's), the certificate checked as TlsSettings says. HostName empty:
  // the server's name when it was given as one, else its address. Default false.
  bool UseTls() const { return settings_.Transport == TzvDnsTransport::dtTls; }
  void SetUseTls(bool value) { SwitchTransport(TzvDnsTransport::dtTls, value); }
  const TzvTlsSettings& TlsSettings() const { return settings_.Tls; }
  void SetTlsSettings(TzvTlsSettings value) { settings_.Tls = std::move(value); }
  // DNS over HTTPS: the question is sent under ID 0 to HttpsPath on the server (the
  // port is the caller's: 443 is HTTPS's) inside TLS, checked as TlsSettings says; HTTP/2
  // when the server offers it, HTTP/1.1 otherwise. POST, or GET with HttpsGet.
  // Default false, "/dns-query", POST.
  bool UseHttps() const { return settings_.Transport == TzvDnsTransport::dtHttps; }
  void SetUseHttps(bool value) { SwitchTransport(TzvDnsTransport::dtHttps, value); }
  const std::string& HttpsPath() const { return settings_.HttpsPath; }
  void SetHttpsPath(std::string value) { settings_.HttpsPath = std::move(value); }
  bool HttpsGet() const { return settings_.HttpsGet; }
  void SetHttpsGet(bool value) { settings_.HttpsGet = value; }
  // The addresses a server given by host name may have. Default any (the system's
  // first choice).
  TzvAddressFamily AddressFamily() const { return settings_.Family; }
  void SetAddressFamily(TzvAddressFamily value) { settings_.Family = value; }
  // The class of the questions the component builds. Default IN.
  TzvDnsRecordClass QuestionClass() const { return settings_.QuestionClass; }
  void SetQuestionClass(TzvDnsRecordClass value) { settings_.QuestionClass = value; }
  // Copied into the RD flag of every question. Default true.
  bool IsRecursiveDesired() const { return settings_.RecursionDesired; }
  void SetIsRecursiveDesired(bool value) { settings_.RecursionDesired = value; }
  // Whether referrals are followed at all. Default false.
  bool UseRecursiveQueries() const { return use_recursive_queries_; }
  void SetUseRecursiveQueries(bool value) { use_recursive_queries_ = value; }
  // The deepest referral step that is still sent (0: the first server only; negative:
  // nothing is sent at all). Default 4.
  std::int32_t MaxRecursiveQueries() const { return max_recursive_queries_; }
  void SetMaxRecursiveQueries(std::int32_t value) { max_recursive_queries_ = value; }

 protected:
  std::int32_t GetDefaultPort() const override { return kDnsPort; }
  // Refuses a port the wire cannot carry before anything is opened: "Invalid port
  // number" (-3). A larger number would otherwise be cut to 16 bits and reach another
  // port.
  void OpenConnection(const std::string& server, std::int32_t port) override;

  // One exchange at Depth, then, when enabled and the answer holds no answer records,
  // the walk over its referral.
  void QueryRecursive(TzvDnsMessage& req, TzvDnsMessage& resp, std::int32_t depth);
  // Asks req of Server (through the exchange, see TzvDnsExchange::Ask) and decodes the
  // answer into resp; an error reply raises its code once decoded, as Parse does.
  void SendQuery(TzvDnsMessage& req, TzvDnsMessage& resp);

  // The transport steps of an exchange (see TzvDnsWire), each a thin call into the UDP
  // client or the TCP connection, towards the running exchange's server. Tests and the
  // fuzzer replace them to play a server without sockets.
  void BeginExchange(const TzvDnsExchangeSettings& settings) override;
  void OpenDatagramExchange(std::string& address, std::int32_t& port) override;
  void SendDatagram(TMemoryStream& request) override;
  void ReceiveDatagram(TMemoryStream& answer, std::int32_t time_out, std::string& from_address,
                       std::int32_t& from_port) override;
  void CloseDatagramExchange() override;
  void FindStreamServer(std::string& address, std::int32_t& port) override;
  void OpenStreamExchange(const std::string& address, std::int32_t port,
                          std::int32_t time_out) override;
  void RestartStreamExchange(std::int32_t time_out) override;
  void SendStream(TMemoryStream& request) override;
  bool ReceiveStream(TMemoryStream& answer, std::int64_t most) override;
  void CloseStreamExchange() override;
  TzvTlsInfo StreamTls() const override;

  // Copy answer records of Response into the result lists. ExtractHosts takes the A
  // records, then the AAAA ones, so a name's IPv4 address is the one found first.
  void ExtractHosts(const TzvDnsRecordList& section);
  TzvHostInfo* ExtractHostNames();
  void ExtractNameServers(const TzvDnsRecordList& section);
  void ExtractAliases();
  void ExtractMailServers();
  TzvMailServerInfo* GetMailServer() const;
  // The result lists of a lookup of `record_type` for `name`, from Response; the host a
  // PTR answer names, or null.
  TzvHostInfo* ExtractResults(std::int32_t record_type, const std::string& name);

 private:
  // Turns `transport` on, or off when it is the one in use (back to UDP).
  void SwitchTransport(TzvDnsTransport transport, bool on);
  // Runs one exchange of the exchange engine with `settings`, the steps aimed at its
  // server. A lookup's exchange (not Ask's) is what LastExchange tells of, as it goes and
  // afterwards, also when it failed.
  TzvDnsReply Exchange(const TzvDnsExchangeSettings& settings, TzvDnsMessage& req, bool lookup);
  // What is left of the running exchange's time-out, in ms (-1: no limit; 0 when
  // nothing is).
  std::int32_t ExchangeTimeLeft() const;
  // The server's address when AddressFamily restricts it: the first of the family among
  // the host's addresses; a server given as an address is checked against the family.
  std::string AddressOfFamily(const std::string& server);
  // Sets req up with one question of the record's kind for name (QuestionClass, RD as
  // configured, and the OPT record EDNS asks for).
  void BuildQuestion(TzvDnsMessage& req, std::unique_ptr<TzvDnsRecord> question,
                     const std::string& name) const;
  // The walk over a referral kept in `authorities`/`additional`, each record asked
  // starting from referring_server.
  void FollowReferral(TzvDnsMessage& req, TzvDnsMessage& resp, std::int32_t depth,
                      const TzvDnsRecordList& authorities, const TzvDnsRecordList& additional,
                      const std::string& referring_server);

  std::unique_ptr<TzvDnsMessage> request_;
  std::unique_ptr<TzvDnsMessage> response_;
  std::unique_ptr<TzvHostList> hosts_;
  std::unique_ptr<TzvMailServerList> mail_servers_;
  std::unique_ptr<TStringList> name_servers_;
  std::unique_ptr<TStringList> aliases_;
  // Every setting but those the UDP client keeps (server, port, time-out, binding).
  TzvDnsExchangeSettings settings_;
  TzvStop stop_;
  bool owns_stop_ = true;
  std::unique_ptr<TzvDnsExchange> exchange_;
  // The settings of the exchange that runs, which the transport steps aim at.
  TzvDnsExchangeSettings running_;
  bool use_recursive_queries_ = false;
  std::int32_t max_recursive_queries_ = 4;
  // Exchanges still allowed in the running lookup, and how many Query calls are active
  // (the outermost one starts a lookup and refills the budget).
  int exchanges_left_ = kMaxExchangesPerLookup;
  int query_nesting_ = 0;
  TzvDnsExchangeInfo last_exchange_;
  bool recording_ = false;  // a lookup's exchange runs
  // The running exchange's start and time-out, which the steps' waits draw on.
  std::chrono::steady_clock::time_point exchange_started_;
  std::int32_t exchange_time_out_ = -1;
  // The datagram size as set, while an exchange offers more; -1 outside one.
  std::int32_t datagram_size_ = -1;
  // The connection of TCP, TLS and HTTPS, kept open for the next question.
  std::unique_ptr<TzvTcpClientConnection> stream_connection_;
  std::unique_ptr<TzvTlsSession> tls_;  // its session, over TLS
};
