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
#include "dns/zvDnsMessage.h"
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

// How the answer of an exchange travelled.
enum class TzvDnsTransport { dtUdp, dtTcp, dtTls, dtHttps };

// "UDP", "TCP", "TLS" or "HTTPS".
std::string DnsTransportName(TzvDnsTransport transport);

// Which addresses of a server given by host name may be used.
enum class TzvAddressFamily { afAny, afIPv4, afIPv6 };

// What the last exchange of a lookup (the one whose answer is in Response) did, for a
// caller that reports more than the result lists: which server was asked, over what, how
// long it took and what came back.
struct TzvDnsExchangeInfo {
  // The server's address as the exchange used it (after a host name was looked up), and
  // its port. Empty before the first exchange.
  std::string ServerAddress;
  std::int32_t Port = 0;
  TzvDnsTransport Transport = TzvDnsTransport::dtUdp;
  // The answer over UDP came truncated (TC), so the question went again over TCP.
  bool Truncated = false;
  // A reply was taken (whatever its response code).
  bool Answered = false;
  // The reply's response code (0 NOERROR, 3 NXDOMAIN, 5 REFUSED, ...); -1 without reply.
  std::int32_t ResponseCode = -1;
  // From the first send to the reply taken (TCP retry included), in microseconds.
  std::int64_t ElapsedMicroseconds = 0;
  // Datagrams sent for the question as it was last asked (1 when the first was
  // answered; 0 over TCP alone; after a fallback, those sent without EDNS).
  int Tries = 0;
  // The question carried an OPT record when it was last sent.
  bool Edns = false;
  // The server refused the question with EDNS (FORMERR, NOTIMP or SERVFAIL and no OPT in
  // its answer), so it was asked again without.
  bool EdnsFallback = false;
  // Over TLS: what the session agreed and whose certificate it checked.
  TzvTlsInfo Tls = {};
  // Over HTTPS: the HTTP version the answer came by ("HTTP/2", "HTTP/1.1").
  std::string Http = {};
};

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
class TzvDnsQuery : public TzvUdpClient {
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
  // The last exchange of the last lookup; see TzvDnsExchangeInfo.
  const TzvDnsExchangeInfo& LastExchange() const { return last_exchange_; }

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
  int Tries() const { return tries_; }
  void SetTries(int value) { tries_ = value < 1 ? 1 : value; }
  // Whether questions carry an OPT record (EDNS), offering EdnsBufferSize bytes for an
  // answer over UDP; the receive buffer follows. Default true, 1232 bytes (values below
  // 512 count as 512).
  bool UseEdns() const { return use_edns_; }
  void SetUseEdns(bool value) { use_edns_ = value; }
  std::uint16_t EdnsBufferSize() const { return edns_buffer_size_; }
  void SetEdnsBufferSize(std::uint16_t value) { edns_buffer_size_ = value < 512 ? 512 : value; }
  // With EDNS: ask for the server's NSID, and set the DNSSEC OK bit.
  bool RequestNsid() const { return request_nsid_; }
  void SetRequestNsid(bool value) { request_nsid_ = value; }
  bool DnssecOK() const { return dnssec_ok_; }
  void SetDnssecOK(bool value) { dnssec_ok_ = value; }
  // The CD bit: a validating server in between hands over what it would refuse, for the
  // caller to judge. Default false.
  bool CheckingDisabled() const { return checking_disabled_; }
  void SetCheckingDisabled(bool value) { checking_disabled_ = value; }
  // Ask over TCP from the start instead of UDP. Default false.
  bool UseTcp() const { return use_tcp_; }
  void SetUseTcp(bool value) { use_tcp_ = value; }
  // DNS over TLS: the question goes over TCP inside TLS (the port is the caller's:
  // 853 is DNS over TLS's), the certificate checked as TlsSettings says. HostName empty:
  // the server's name when it was given as one, else its address. Default false.
  bool UseTls() const { return use_tls_; }
  void SetUseTls(bool value) { use_tls_ = value; }
  const TzvTlsSettings& TlsSettings() const { return tls_settings_; }
  void SetTlsSettings(TzvTlsSettings value) { tls_settings_ = std::move(value); }
  // DNS over HTTPS: the question is sent under ID 0 to HttpsPath on the server (the
  // port is the caller's: 443 is HTTPS's) inside TLS, checked as TlsSettings says; HTTP/2
  // when the server offers it, HTTP/1.1 otherwise. POST, or GET with HttpsGet.
  // Default false, "/dns-query", POST.
  bool UseHttps() const { return use_https_; }
  void SetUseHttps(bool value) { use_https_ = value; }
  const std::string& HttpsPath() const { return https_path_; }
  void SetHttpsPath(std::string value) { https_path_ = std::move(value); }
  bool HttpsGet() const { return https_get_; }
  void SetHttpsGet(bool value) { https_get_ = value; }
  // The addresses a server given by host name may have. Default any (the system's
  // first choice).
  TzvAddressFamily AddressFamily() const { return address_family_; }
  void SetAddressFamily(TzvAddressFamily value) { address_family_ = value; }
  // The class of the questions the component builds. Default IN.
  TzvDnsRecordClass QuestionClass() const { return question_class_; }
  void SetQuestionClass(TzvDnsRecordClass value) { question_class_ = value; }
  // Copied into the RD flag of every question. Default true.
  bool IsRecursiveDesired() const { return is_recursive_desired_; }
  void SetIsRecursiveDesired(bool value) { is_recursive_desired_ = value; }
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
  // Sends req to Server under a fresh ID and decodes the answer into resp. Only a
  // datagram from the server's address and port that answers req (QR set, req's ID,
  // req's question) is taken; anything else is dropped and the wait goes on, but never
  // past TimeOut from the start of the exchange (the lookup of a server name included).
  // OnReceivePacket fires for every datagram that arrives, dropped or not. An answer
  // with TC set is asked for again over TCP, under another fresh ID, within what is left
  // of the same TimeOut (connect, send and receive together). A datagram left unanswered
  // is sent again as Tries says, with the same ID. A question with an OPT record that a
  // server refuses with FORMERR, NOTIMP or SERVFAIL and no OPT of its own is asked once
  // more without it. With UseTcp the question goes over TCP at once. Abort ends the
  // exchange with kzvErrAborted.
  void SendQuery(TzvDnsMessage& req, TzvDnsMessage& resp);

  // The transport steps of an exchange, each a thin call into the UDP client or the TCP
  // connection. Tests and the fuzzer replace them to play a server without sockets.
  // Opens the UDP socket towards Server and Port; gives the address and port it uses.
  // Looking the server's name up waits at most what is left of the exchange's time-out.
  virtual void OpenDatagramExchange(std::string& address, std::int32_t& port);
  // Sends the request, waiting at most what is left of the exchange's time-out.
  virtual void SendDatagram(TMemoryStream& request);
  // The next datagram within time_out ms (-1: no limit) into `answer`, with its sender;
  // raises the time-out, the socket's error (a refused port) or kzvErrAborted.
  virtual void ReceiveDatagram(TMemoryStream& answer, std::int32_t time_out,
                               std::string& from_address, std::int32_t& from_port);
  virtual void CloseDatagramExchange();
  // Connects over TCP; time_out ms count for the whole TCP exchange from here.
  virtual void OpenStreamExchange(const std::string& address, std::int32_t port,
                                  std::int32_t time_out);
  virtual void SendStream(TMemoryStream& request);
  // Appends what arrived to `answer`, at most `most` bytes (waiting for something
  // first); false when the server closed the connection.
  virtual bool ReceiveStream(TMemoryStream& answer, std::int64_t most);
  virtual void CloseStreamExchange();

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
  // The UDP exchange of SendQuery: sends the encoded request and leaves the answer taken
  // in `answer`.
  void ExchangeDatagram(TMemoryStream& request, TMemoryStream& answer, const std::string& address,
                        std::int32_t port, std::int32_t time_out,
                        std::chrono::steady_clock::time_point started);
  // The TCP retry of SendQuery: replaces `answer` with the full answer, within what is
  // left of time_out ms since `started`.
  void ExchangeStream(TzvDnsMessage& req, TMemoryStream& answer, const std::string& address,
                      std::int32_t port, std::int32_t time_out,
                      std::chrono::steady_clock::time_point started);
  // The HTTPS exchange of SendQuery, in place of the datagram's.
  void ExchangeHttps(TzvDnsMessage& req, TMemoryStream& answer, const std::string& address,
                     std::int32_t port, std::int32_t time_out,
                     std::chrono::steady_clock::time_point started);
  // What is left of the running exchange's time-out, in ms (-1: no limit; 0 when
  // nothing is).
  std::int32_t ExchangeTimeLeft() const;
  // One round of SendQuery: the question under a fresh ID over UDP (TCP after TC, or at
  // once with UseTcp); the answer's bytes are left in `answer`.
  void ExchangeOnce(TzvDnsMessage& req, TMemoryStream& answer, std::int32_t time_out,
                    std::chrono::steady_clock::time_point started);
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
  bool is_recursive_desired_ = true;
  int tries_ = 3;
  bool use_edns_ = true;
  std::uint16_t edns_buffer_size_ = 1232;
  bool request_nsid_ = false;
  bool dnssec_ok_ = false;
  bool checking_disabled_ = false;
  bool use_tcp_ = false;
  bool use_tls_ = false;
  TzvTlsSettings tls_settings_;
  std::unique_ptr<TzvTlsSession> tls_;  // the running exchange's session, over TLS
  bool use_https_ = false;
  std::string https_path_ = "/dns-query";
  bool https_get_ = false;
  TzvAddressFamily address_family_ = TzvAddressFamily::afAny;
  TzvDnsRecordClass question_class_ = rcInternet;
  bool use_recursive_queries_ = false;
  std::int32_t max_recursive_queries_ = 4;
  // Exchanges still allowed in the running lookup, and how many Query calls are active
  // (the outermost one starts a lookup and refills the budget).
  int exchanges_left_ = kMaxExchangesPerLookup;
  int query_nesting_ = 0;
  TzvDnsExchangeInfo last_exchange_;
  // The running exchange's start and time-out, which every wait in it draws on.
  std::chrono::steady_clock::time_point exchange_started_;
  std::int32_t exchange_time_out_ = -1;
  // The connection of the TCP retry, made once and reused.
  std::unique_ptr<TzvTcpClientConnection> stream_connection_;
  // The datagram exchange's request and answer bytes, kept between exchanges so that
  // they keep their memory; lent to one exchange at a time.
  std::unique_ptr<TMemoryStream> request_bytes_;
  std::unique_ptr<TMemoryStream> answer_bytes_;
};
