#include "dns/zvDnsQuery.h"

#include <arpa/inet.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <span>
#include <typeinfo>
#include <vector>

#include "base/ScopeExit.h"
#include "dns/zvDnsAnswerMatch.h"
#include "dns/zvDnsOptRecord.h"
#include "dns/zvDnsRecordTypes.h"
#include "dns/zvIdn.h"
#include "dns/zvRegistry.h"
#include "net/zvHttps.h"
#include "net/zvSocketUtils.h"

namespace {

void RefuseNullItem(const TzvHostInfo* item) {
  if (item == nullptr) throw EListError("A host list cannot hold a nil item");
}

}  // namespace

std::unique_ptr<TzvHostInfo> TzvHostList::MakeItem() const {
  return std::make_unique<TzvHostInfo>();
}

std::unique_ptr<TzvHostInfo> TzvHostList::NewItem() {
  return MakeItem();
}

int TzvHostList::Add(std::unique_ptr<TzvHostInfo> item) {
  RefuseNullItem(item.get());
  return items_.Add(std::move(item));
}

void TzvHostList::Insert(int index, std::unique_ptr<TzvHostInfo> item) {
  RefuseNullItem(item.get());
  items_.Insert(index, std::move(item));
}

TzvHostInfo* TzvHostList::FindByName(std::string_view name) const {
  for (int i = 0; i < Count(); ++i) {
    TzvHostInfo* host = items_.Items(i);
    if (SameText(host->Name, name)) return host;
  }
  return nullptr;
}

void TzvMailServerList::Add(std::unique_ptr<TzvMailServerInfo> item) {
  RefuseNullItem(item.get());
  // Before the first item of lower preference, so equal preferences keep their order of
  // arrival and the highest value comes first.
  for (int i = 0; i < Count(); ++i) {
    if (Items(i)->Preference < item->Preference) {
      TzvHostList::Insert(i, std::move(item));
      return;
    }
  }
  TzvHostList::Add(std::move(item));
}

TzvMailServerInfo* TzvMailServerList::Items(int index) const {
  return As<TzvMailServerInfo>(TzvHostList::Items(index));
}

std::unique_ptr<TzvHostInfo> TzvMailServerList::MakeItem() const {
  return std::make_unique<TzvMailServerInfo>();
}

std::unique_ptr<TzvMailServerInfo> TzvMailServerList::NewItem() {
  // This list's own items are all made by its MakeItem, so they are mail servers.
  return std::unique_ptr<TzvMailServerInfo>(
      static_cast<TzvMailServerInfo*>(TzvHostList::NewItem().release()));
}

// ---------------------------------------------------------------------------------------
// TzvDnsQuery

namespace {

// A stream the component keeps between exchanges, emptied and lent to one of them and
// given back at its end. An exchange started while another holds it (from an event
// handler) gets a stream of its own.
class TLentStream {
 public:
  // Room enough for any answer within the EDNS buffer users commonly offer.
  static constexpr std::int64_t kKeptStreamSize = 4096;

  explicit TLentStream(std::unique_ptr<TMemoryStream>& home)
      : home_(home), stream_(std::move(home)) {
    if (stream_ == nullptr)
      stream_ = std::make_unique<TMemoryStream>();
    else
      stream_->Clear();
  }
  ~TLentStream() {
    // A large answer (over TCP) is not kept: the datagrams that follow need little.
    if (stream_->Size() <= kKeptStreamSize) home_ = std::move(stream_);
  }
  TLentStream(const TLentStream&) = delete;
  TLentStream& operator=(const TLentStream&) = delete;

  TMemoryStream& Stream() { return *stream_; }

 private:
  std::unique_ptr<TMemoryStream>& home_;
  std::unique_ptr<TMemoryStream> stream_;
};

std::span<const std::uint8_t> StreamBytes(TMemoryStream& stream) {
  return {stream.Memory(), static_cast<std::size_t>(stream.Size())};
}

// The record as the class its type code decodes into, or null. The integer compare
// comes first: in a decoded message only a record of that type can be of that class,
// and a class test costs far more; a record of exactly that class skips the search.
template <class Record>
const Record* RecordAs(const TzvDnsRecord* record, std::int32_t type) {
  if (record == nullptr || record->RecordType != type) return nullptr;
  if (typeid(*record) == typeid(Record)) return static_cast<const Record*>(record);
  return dynamic_cast<const Record*>(record);
}

// The TC flag of a datagram taken as the answer: the server had more to say than fits.
std::int64_t MicrosecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() -
                                                               start)
      .count();
}

// What is left of time_out ms since `start`, in whole ms rounded up; -1 stays "no limit",
// 0 when nothing is left.
std::int32_t MillisecondsLeft(std::int32_t time_out, std::chrono::steady_clock::time_point start) {
  if (time_out == -1) return -1;
  const std::int64_t left_us =
      std::int64_t{std::max(time_out, 0)} * 1000 - MicrosecondsSince(start);
  return left_us <= 0 ? 0 : static_cast<std::int32_t>((left_us + 999) / 1000);
}

// The same, raising the time-out when nothing is left.
std::int32_t TimeLeft(std::int32_t time_out, std::chrono::steady_clock::time_point start) {
  const std::int32_t left = MillisecondsLeft(time_out, start);
  if (left == 0) RaiseSocketErrorText(SzvTimeoutError, kzvErrTimeout);
  return left;
}

constexpr const char* kTruncatedRetryFailed =
    "The answer was truncated and its retry over TCP failed: %s";

// Limits a connection's waits for one step of an exchange; the guard it returns puts the
// component's own time-out back. Set on the connection directly: the component's setting
// does not change, so nobody is told of a change.
[[nodiscard]] auto LimitStep(TzvSyncConnection& connection, std::int32_t time_out) {
  const std::int32_t saved = connection.TimeOut();
  connection.SetTimeOut(time_out);
  return ScopeExit([&connection, saved] { connection.SetTimeOut(saved); });
}

// The first wait for an answer before the question goes again; each later one is twice
// the wait before. Well above a round trip to any server a person picks by hand, and
// well below the seconds a lost datagram would otherwise cost.
constexpr std::chrono::milliseconds kFirstRetransmitWait{400};

bool HasOptRecord(const TzvDnsRecordList& section) {
  return std::any_of(section.begin(), section.end(),
                     [](const auto& record) { return record->RecordType == kzvDnsTypeOPT; });
}

// Takes the section's OPT records out, the others kept in order; `removed`, when given,
// receives copies of what was taken.
void RemoveOptRecords(TzvDnsRecordList& section, TzvDnsRecordList* removed = nullptr) {
  if (!HasOptRecord(section)) return;
  TzvDnsRecordList kept;
  for (const auto& record : section) {
    auto copy = record->Create();
    copy->Assign(record.get());
    if (record->RecordType != kzvDnsTypeOPT)
      kept.Add(std::move(copy));
    else if (removed != nullptr)
      removed->Add(std::move(copy));
  }
  section.Assign(&kept);
}

// Response codes with which servers that do not speak EDNS refuse a question that
// carries it (RFC 6891 6.2.2: they answer without an OPT record).
bool RefusesEdns(std::int32_t response_code) {
  return response_code == 1 || response_code == 2 || response_code == 4;
}

std::int32_t CeilMilliseconds(std::chrono::steady_clock::duration duration) {
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(duration).count();
  return ms <= 0 ? 0 : static_cast<std::int32_t>(std::min<std::int64_t>(ms, INT32_MAX));
}

}  // namespace

TzvDnsQuery::TzvDnsQuery(TComponent* owner)
    : TzvUdpClient(owner),
      request_(std::make_unique<TzvDnsExtendedMessage>()),
      response_(std::make_unique<TzvDnsExtendedMessage>()),
      hosts_(std::make_unique<TzvHostList>()),
      mail_servers_(std::make_unique<TzvMailServerList>()),
      name_servers_(std::make_unique<TStringList>()),
      aliases_(std::make_unique<TStringList>()) {
  // RFC 1035's limit for DNS messages carried over UDP.
  SetDatagramSize(kDnsDatagramSize);
  stream_connection_ = std::make_unique<TzvTcpClientConnection>();
  stream_connection_->SetNetworkStream(std::make_unique<TzvNetworkStream>());
}

// The members go in reverse order of their making: the lists, then the two messages.
TzvDnsQuery::~TzvDnsQuery() = default;

// ---- the four lookups ----

TzvMailServerInfo* TzvDnsQuery::ResolveMX(const std::string& name) {
  Clear();
  BuildQuestion(*request_, std::make_unique<TzvDnsMXRecord>(), GetMailDomain(name));
  Resolve();
  ExtractResults(kzvDnsTypeMX, name);
  return GetMailServer();
}

TzvHostInfo* TzvDnsQuery::ResolveIP(const std::string& name) {
  Clear();
  QueryAddress(name, Server(), *request_, *response_);
  ExtractResults(kzvDnsTypeA, name);
  return hosts_->Count() > 0 ? hosts_->Items(0) : nullptr;
}

TzvHostInfo* TzvDnsQuery::ResolveHostName(const std::string& name) {
  Clear();
  BuildQuestion(*request_, std::make_unique<TzvDnsPTRRecord>(), GetArpaName(name));
  Resolve();
  return ExtractResults(kzvDnsTypePTR, name);
}

void TzvDnsQuery::ResolveNS(const std::string& name, std::string& first_name_server) {
  first_name_server.clear();
  Clear();
  BuildQuestion(*request_, std::make_unique<TzvDnsNSRecord>(), name);
  Resolve();
  ExtractResults(kzvDnsTypeNS, name);
  if (name_servers_->Count() > 0) first_name_server = name_servers_->Strings(0);
}

TzvHostInfo* TzvDnsQuery::ResolveAAAA(const std::string& name) {
  Clear();
  BuildQuestion(*request_, std::make_unique<TzvDnsAAAARecord>(), name);
  Resolve();
  ExtractResults(kzvDnsTypeAAAA, name);
  return hosts_->Count() > 0 ? hosts_->Items(0) : nullptr;
}

int TzvDnsQuery::ResolveRecords(const std::string& name, std::int32_t record_type) {
  Clear();
  std::unique_ptr<TzvDnsRecord> question = request_->CreateRecord(record_type);
  // A type without a class of its own gets the plain record, whose type must be set.
  question->RecordType = record_type;
  BuildQuestion(*request_, std::move(question), name);
  Resolve();
  ExtractResults(record_type, name);
  int count = 0;
  for (const auto& record : response_->Answers()) count += record->RecordType == record_type;
  return count;
}

void TzvDnsQuery::TakeAnswer(std::span<const std::uint8_t> answer, std::int32_t record_type,
                             const std::string& name) {
  Clear();
  TMemoryStream bytes;
  bytes.WriteBuffer(answer.data(), static_cast<std::int64_t>(answer.size()));
  bytes.SetPosition(0);
  response_->Parse(bytes);
  ExtractResults(record_type, name);
}

TzvHostInfo* TzvDnsQuery::ExtractResults(std::int32_t record_type, const std::string& name) {
  TzvHostInfo* host = nullptr;
  switch (record_type) {
    case kzvDnsTypeMX:
      // The hosts come first, so that each mail server finds its address among them.
      ExtractHosts(response_->AdditionalRecords());
      ExtractNameServers(response_->Authorities());
      ExtractAliases();
      ExtractMailServers();
      break;
    case kzvDnsTypeA:
    case kzvDnsTypeAAAA:
      ExtractHosts(response_->Answers());
      ExtractNameServers(response_->Authorities());
      ExtractAliases();
      break;
    case kzvDnsTypePTR: {
      host = ExtractHostNames();
      // The caller asked about this text, and every name the PTR records gave (the first
      // hosts of the list) answers for it, however many the address has.
      const int names = hosts_->Count();
      for (int i = 0; i < names; ++i) hosts_->Items(i)->IPAddress = name;
      ExtractHosts(response_->AdditionalRecords());
      ExtractNameServers(response_->Authorities());
      ExtractAliases();
      break;
    }
    case kzvDnsTypeNS:
      ExtractNameServers(response_->Answers());
      ExtractAliases();
      ExtractHosts(response_->AdditionalRecords());
      break;
    default:
      ExtractAliases();
  }
  return host;
}

// ---- name preparation ----

std::string TzvDnsQuery::NameAsked(const std::string& name, std::int32_t record_type) {
  if (record_type == kzvDnsTypeMX) return GetMailDomain(name);
  if (record_type == kzvDnsTypePTR) return GetArpaName(name);
  return name;
}

std::string TzvDnsQuery::GetMailDomain(const std::string& name) {
  const std::size_t at = name.find('@');
  return at == std::string::npos ? name : name.substr(at + 1);
}

std::string TzvDnsQuery::GetArpaName(const std::string& name) {
  const std::string lower = LowerCase(name);
  if (lower.find("in-addr.arpa") != std::string::npos) return name;
  if (lower.find("ip6.arpa") != std::string::npos) return name;
  // An IPv6 address: one label per hexadecimal digit, the last digit first.
  std::uint8_t octets[16];
  if (name.find(':') != std::string::npos && inet_pton(AF_INET6, name.c_str(), octets) == 1) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string arpa;
    arpa.reserve(72);
    for (int i = 15; i >= 0; --i) {
      arpa += kHex[octets[i] & 0x0F];
      arpa += '.';
      arpa += kHex[octets[i] >> 4];
      arpa += '.';
    }
    return arpa + "ip6.arpa";
  }
  const TzvCharSet dots = MakeCharSet(".");
  if (CountWords(name, dots) != 4) return name;
  return PickWord(4, name, dots) + "." + PickWord(3, name, dots) + "." + PickWord(2, name, dots) +
         "." + PickWord(1, name, dots) + ".in-addr.arpa";
}

void TzvDnsQuery::Abort() {
  Connection().Abort();
  stream_connection_->Abort();
}

void TzvDnsQuery::GetSystemDnsServers(TStrings& list) {
  ::GetSystemDnsServers(list);
}

// ---- exchanges ----

void TzvDnsQuery::Clear() {
  request_->Clear();
  response_->Clear();
  hosts_->Clear();
  mail_servers_->Clear();
  name_servers_->Clear();
  aliases_->Clear();
}

void TzvDnsQuery::Resolve() {
  Query(*request_, *response_);
}

void TzvDnsQuery::Query(TzvDnsMessage& req, TzvDnsMessage& resp) {
  const std::string saved_server = Server();
  // The outermost Query is a lookup of its own; the ones nested in it (address questions
  // for name servers without glue) draw on its budget.
  if (query_nesting_ == 0) {
    exchanges_left_ = kMaxExchangesPerLookup;
    // A lookup that sends nothing must not show the last one's exchange as its own.
    last_exchange_ = TzvDnsExchangeInfo{};
    // An Abort belongs to the lookup it stopped, not to this one.
    Connection().ResetAbort();
    stream_connection_->ResetAbort();
  }
  ++query_nesting_;
  auto restore = ScopeExit([&] {
    --query_nesting_;
    SetServer(saved_server);
  });
  QueryRecursive(req, resp, 0);
}

void TzvDnsQuery::QueryAddress(const std::string& name, const std::string& a_server,
                               TzvDnsMessage& req, TzvDnsMessage& resp) {
  // A copy: a_server may well be Server() itself, which the exchange changes.
  const std::string server = a_server;
  SetServer(server);
  auto restore = ScopeExit([&] { SetServer(server); });
  BuildQuestion(req, std::make_unique<TzvDnsARecord>(), name);
  Query(req, resp);
}

void TzvDnsQuery::QueryRecursive(TzvDnsMessage& req, TzvDnsMessage& resp, std::int32_t depth) {
  if (depth > max_recursive_queries_ || exchanges_left_ <= 0) return;
  --exchanges_left_;
  SendQuery(req, resp);
  if (!use_recursive_queries_ || resp.Answers().Count() > 0) return;
  // A deeper step decodes into resp; the walk goes on over the referral as it came.
  TzvDnsRecordList authorities;
  authorities.Assign(&resp.Authorities());
  TzvDnsRecordList additional;
  additional.Assign(&resp.AdditionalRecords());
  FollowReferral(req, resp, depth, authorities, additional, Server());
}

void TzvDnsQuery::FollowReferral(TzvDnsMessage& req, TzvDnsMessage& resp, std::int32_t depth,
                                 const TzvDnsRecordList& authorities,
                                 const TzvDnsRecordList& additional,
                                 const std::string& referring_server) {
  // A copy: referring_server is Server() itself, which every step below changes.
  const std::string referrer = referring_server;
  for (int i = 0; i < authorities.Count(); ++i) {
    try {
      // Each name server is looked for from the server that named it.
      SetServer(referrer);
      const auto* name_server = RecordAs<TzvDnsNSRecord>(authorities.Items(i), kzvDnsTypeNS);
      if (name_server == nullptr) continue;
      const std::string target = name_server->NameServer;
      const auto* glue =
          RecordAs<TzvDnsARecord>(additional.FindItem(target, kzvDnsTypeA), kzvDnsTypeA);
      // A record without data (of an update's class) carries no address to go to.
      if (glue != nullptr && !glue->IPAddress.empty()) {
        SetServer(glue->IPAddress);
        QueryRecursive(req, resp, depth + 1);
        return;
      }
      // No glue: ask the referring server for the name server's address.
      TzvDnsMessage address_request;
      TzvDnsMessage address_response;
      QueryAddress(target, Server(), address_request, address_response);
      if (address_response.Answers().Count() > 0) {
        if (const auto* address =
                RecordAs<TzvDnsARecord>(address_response.Answers().Items(0), kzvDnsTypeA)) {
          SetServer(address->IPAddress);
          QueryRecursive(req, resp, depth + 1);
          return;
        }
      }
    } catch (const EzvSocketError& error) {
      // A stopped lookup stops the walk too.
      if (error.ErrorCode() == kzvErrAborted) throw;
      // Otherwise this name server led nowhere (no answer, an error reply, a bad
      // answer): try the next one.
    }
  }
}

void TzvDnsQuery::OpenConnection(const std::string& server, std::int32_t port) {
  if (port < 0 || port > 65535) RaiseSocketErrorText(SzvInvalidPortNumber, kzvErrInvalidPort);
  TzvUdpClient::OpenConnection(
      address_family_ == TzvAddressFamily::afAny ? server : AddressOfFamily(server), port);
  // Connected to the server, the socket is handed only datagrams from the server's
  // address and port: the kernel drops a stranger's before they take room in the
  // receive buffer (a flood cannot crowd the answer out), and an ICMP "port unreachable"
  // fails the next receive at once with ECONNREFUSED instead of leaving us to wait.
  TzvUdpClientConnection& connection = Connection();
  connection.GetNetworkStream().Connect(connection.PeerAddress(), port);
}

std::string TzvDnsQuery::AddressOfFamily(const std::string& server) {
  const bool want_ipv6 = address_family_ == TzvAddressFamily::afIPv6;
  const char* family = want_ipv6 ? "IPv6" : "IPv4";
  if (TzvIPAddress::IsIPAddress(server)) {
    if ((server.find(':') != std::string::npos) != want_ipv6)
      RaiseSocketErrorText(Format("The server %s is not an %s address", server.c_str(), family),
                           kzvErrInvalidAddressFamily);
    return server;
  }
  // Within the exchange's time-out, and ended by Abort, as the usual lookup of the name.
  TzvHostResolver6 resolver;
  resolver.SetLookupTimeOut(Connection().TimeOut());
  resolver.SetAbortSignal(Connection().AbortSignal());
  TStringList addresses;
  resolver.GetIPList(server, addresses);
  for (const std::string& address : addresses) {
    if ((address.find(':') != std::string::npos) == want_ipv6) return address;
  }
  RaiseSocketErrorText(Format("The server %s has no %s address", server.c_str(), family),
                       kzvNoData);
}

void TzvDnsQuery::SendQuery(TzvDnsMessage& req, TzvDnsMessage& resp) {
  const auto started = std::chrono::steady_clock::now();
  last_exchange_ = TzvDnsExchangeInfo{};
  const std::int32_t time_out = TimeOut();
  exchange_started_ = started;
  exchange_time_out_ = time_out;
  TLentStream answer_lent(answer_bytes_);
  TMemoryStream& answer = answer_lent.Stream();
  // A fallback without EDNS is for this server only: the request gets its OPT record
  // back afterwards, so the next server of a referral walk is offered EDNS again.
  TzvDnsRecordList taken_out;
  auto put_back = ScopeExit([&] {
    for (const auto& record : taken_out) {
      auto copy = record->Create();
      copy->Assign(record.get());
      req.AdditionalRecords().Add(std::move(copy));
    }
  });
  for (;;) {
    last_exchange_.Edns = HasOptRecord(req.AdditionalRecords());
    ExchangeOnce(req, answer, time_out, started);
    last_exchange_.Answered = true;
    const auto bytes = StreamBytes(answer);
    if (bytes.size() >= 4) last_exchange_.ResponseCode = bytes[3] & 0x0F;
    answer.SetPosition(0);
    try {
      resp.Parse(answer);
      return;
    } catch (const EzvDnsError& error) {
      // An error reply raises its whole response code, extended bits included.
      if (error.ErrorCode() > 0) last_exchange_.ResponseCode = error.ErrorCode();
      if (last_exchange_.EdnsFallback || !last_exchange_.Edns || !RefusesEdns(error.ErrorCode()) ||
          HasOptRecord(resp.AdditionalRecords()))
        throw;
    }
    // The same question once more, without EDNS, within what is left of the time-out.
    RemoveOptRecords(req.AdditionalRecords(), &taken_out);
    last_exchange_.EdnsFallback = true;
    last_exchange_.Answered = false;
    last_exchange_.ResponseCode = -1;
  }
}

void TzvDnsQuery::ExchangeOnce(TzvDnsMessage& req, TMemoryStream& answer, std::int32_t time_out,
                               std::chrono::steady_clock::time_point started) {
  // The time the exchange took, whether it succeeded or not; decoding is not part of it.
  auto note_elapsed =
      ScopeExit([&] { last_exchange_.ElapsedMicroseconds = MicrosecondsSince(started); });
  last_exchange_.Transport = TzvDnsTransport::dtUdp;
  last_exchange_.Truncated = false;
  last_exchange_.Tries = 0;
  answer.Clear();
  // A new ID for every question sent, so that an answer to one exchange cannot pass for
  // the answer to another. Encoded first: a name that cannot be sent opens nothing.
  req.Header().ID = NewMessageID();
  TLentStream request_lent(request_bytes_);
  TMemoryStream& request = request_lent.Stream();
  req.Build(request);
  request.SetPosition(0);
  // The receive buffer takes what an OPT record offers, for this exchange only: without
  // one the datagram size stays as set (512 bytes).
  const std::int32_t datagram_size = DatagramSize();
  auto restore_size = ScopeExit([&] { Connection().SetBatchSize(datagram_size); });
  if (const TzvDnsOPTRecord* opt = FindOptRecord(req))
    Connection().SetBatchSize(std::max<std::int32_t>(opt->UDPPayloadSize, datagram_size));
  std::string address;
  std::int32_t port = 0;
  {
    // Opened over TCP too: it finds the server's address within the time-out.
    auto close = ScopeExit([this] { CloseDatagramExchange(); });
    OpenDatagramExchange(address, port);
    last_exchange_.ServerAddress = address;
    last_exchange_.Port = port;
    if (!use_tcp_ && !use_tls_ && !use_https_)
      ExchangeDatagram(request, answer, address, port, time_out, started);
  }
  if (use_https_) {
    last_exchange_.Transport = TzvDnsTransport::dtHttps;
    ExchangeHttps(req, answer, address, port, time_out, started);
    return;
  }
  if (use_tcp_ || use_tls_) {
    last_exchange_.Transport = use_tls_ ? TzvDnsTransport::dtTls : TzvDnsTransport::dtTcp;
    ExchangeStream(req, answer, address, port, time_out, started);
    return;
  }
  if (!IsTruncatedAnswer(StreamBytes(answer))) return;
  last_exchange_.Truncated = true;
  last_exchange_.Transport = TzvDnsTransport::dtTcp;
  try {
    ExchangeStream(req, answer, address, port, time_out, started);
  } catch (const EzvDnsError& error) {
    throw EzvDnsError(Format(kTruncatedRetryFailed, error.what()), error.ErrorCode());
  } catch (const EzvSocketError& error) {
    // A stop stays a stop, whatever it interrupted.
    if (error.ErrorCode() == kzvErrAborted) throw;
    throw EzvSocketError(Format(kTruncatedRetryFailed, error.what()), error.ErrorCode());
  }
}

void TzvDnsQuery::ExchangeDatagram(TMemoryStream& request, TMemoryStream& answer,
                                   const std::string& address, std::int32_t port,
                                   std::int32_t time_out,
                                   std::chrono::steady_clock::time_point started) {
  using Clock = std::chrono::steady_clock;
  const TzvExpectedAnswer expected = ExpectedAnswerOf(StreamBytes(request));
  // Every datagram is the same question under the same ID, so an answer to any of them
  // is the answer, however late it comes.
  auto send = [&] {
    request.SetPosition(0);
    SendDatagram(request);
    ++last_exchange_.Tries;
  };
  send();
  int sent = 1;
  auto wait = std::chrono::duration_cast<Clock::duration>(kFirstRetransmitWait);
  auto next_send = Clock::now() + wait;
  for (;;) {
    // The last datagram waits for whatever is left; so a silent server fails after
    // exactly the time-out, and a stream of stray datagrams cannot prolong it.
    std::int32_t step = TimeLeft(time_out, started);
    bool until_next_send = false;
    if (sent < tries_) {
      const std::int32_t until_next = CeilMilliseconds(next_send - Clock::now());
      if (until_next == 0) {
        send();
        ++sent;
        wait *= 2;
        next_send = Clock::now() + wait;
        continue;
      }
      if (step == -1 || until_next < step) {
        step = until_next;
        until_next_send = true;
      }
    }
    std::string from_address;
    std::int32_t from_port = 0;
    try {
      ReceiveDatagram(answer, step, from_address, from_port);
    } catch (const EzvSocketError& error) {
      if (until_next_send && error.ErrorCode() == kzvErrTimeout) continue;
      throw;
    }
    if (from_address == address && from_port == port && IsAnswerTo(StreamBytes(answer), expected))
      return;
    // Not the answer: dropped.
    answer.Clear();
  }
}

void TzvDnsQuery::ExchangeStream(TzvDnsMessage& req, TMemoryStream& answer,
                                 const std::string& address, std::int32_t port,
                                 std::int32_t time_out,
                                 std::chrono::steady_clock::time_point started) {
  req.Header().ID = NewMessageID();
  // Over a stream each message goes behind its length as a 16-bit word.
  TMemoryStream request;
  const std::uint8_t no_length[2] = {0, 0};
  request.WriteBuffer(no_length, 2);
  req.Build(request);
  const auto length = static_cast<std::uint16_t>(request.Size() - 2);
  const std::uint8_t prefix[2] = {static_cast<std::uint8_t>(length >> 8),
                                  static_cast<std::uint8_t>(length & 0xFF)};
  request.SetPosition(0);
  request.WriteBuffer(prefix, 2);
  request.SetPosition(0);
  const TzvExpectedAnswer expected = ExpectedAnswerOf(StreamBytes(request).subspan(2));

  auto close = ScopeExit([this] { CloseStreamExchange(); });
  // The retry is part of the one exchange: it gets what the datagram left of the
  // time-out, not a time-out of its own.
  OpenStreamExchange(address, port, TimeLeft(time_out, started));
  SendStream(request);
  const std::vector<std::uint8_t> message = ReadStreamMessage(
      [this](TMemoryStream& received, std::int64_t most) { return ReceiveStream(received, most); });
  // One question per connection, so anything else than its answer is a broken server.
  if (!IsAnswerTo(message, expected))
    throw EzvDnsError("The answer over TCP does not answer the question", kzvDnsErrInvalidSize);
  answer.Clear();
  answer.WriteBuffer(message.data(), static_cast<std::int64_t>(message.size()));
}

void TzvDnsQuery::ExchangeHttps(TzvDnsMessage& req, TMemoryStream& answer,
                                const std::string& address, std::int32_t port,
                                std::int32_t time_out,
                                std::chrono::steady_clock::time_point started) {
  // ID 0, so that the same question is the same request to an HTTP cache; TLS keeps
  // others from answering in its place.
  req.Header().ID = 0;
  TMemoryStream message;
  req.Build(message);
  TzvHttpsRequest request;
  const auto bytes = StreamBytes(message);
  request.Message.assign(bytes.begin(), bytes.end());
  const TzvExpectedAnswer expected = ExpectedAnswerOf(bytes);
  // The URL's host: the name the certificate is checked for, else the server as given.
  const std::string host = tls_settings_.HostName.empty() ? Server() : tls_settings_.HostName;
  request.Authority = host.find(':') != std::string::npos ? "[" + host + "]" : host;
  if (port != 443) request.Authority += ":" + std::to_string(port);
  request.Path = https_path_;
  request.Get = https_get_;

  auto close = ScopeExit([this] { CloseStreamExchange(); });
  OpenStreamExchange(address, port, TimeLeft(time_out, started));
  TzvHttpsChannel channel;
  channel.Write = [this](const std::uint8_t* data, std::size_t size) {
    TMemoryStream piece;
    piece.WriteBuffer(data, static_cast<std::int64_t>(size));
    piece.SetPosition(0);
    SendStream(piece);
  };
  channel.Read = [this](TMemoryStream& received) { return ReceiveStream(received, 16384); };
  TzvHttpsResponse response = ExchangeOverHttps(channel, last_exchange_.Tls.Alpn == "h2", request);
  last_exchange_.Http = response.Version;
  if (!IsAnswerTo(response.Body, expected))
    throw EzvDnsError("The answer over HTTPS does not answer the question", kzvDnsErrInvalidSize);
  answer.Clear();
  answer.WriteBuffer(response.Body.data(), static_cast<std::int64_t>(response.Body.size()));
}

std::int32_t TzvDnsQuery::ExchangeTimeLeft() const {
  // With nothing left the step still runs, only without waiting: a step that needs no
  // wait (an address to open, a send the socket takes at once) should not fail for it.
  return MillisecondsLeft(exchange_time_out_, exchange_started_);
}

// ---- transport steps ----

void TzvDnsQuery::OpenDatagramExchange(std::string& address, std::int32_t& port) {
  {
    // The server's name is looked up within the exchange's time-out, not beside it.
    auto limit = LimitStep(Connection(), ExchangeTimeLeft());
    Open();
  }
  address = Connection().RemoteAddress();
  port = Connection().RemotePort();
}

void TzvDnsQuery::SendDatagram(TMemoryStream& request) {
  auto limit = LimitStep(Connection(), ExchangeTimeLeft());
  SendPacket(&request);
}

void TzvDnsQuery::ReceiveDatagram(TMemoryStream& answer, std::int32_t time_out,
                                  std::string& from_address, std::int32_t& from_port) {
  TzvUdpClientConnection& connection = Connection();
  // The peer is put back afterwards, as the time-out is: a receive sets it to the sender.
  const std::string peer_address = connection.RemoteAddress();
  const int peer_port = connection.RemotePort();
  {
    auto limit = LimitStep(connection, time_out);
    ReceivePacket(&answer);
  }
  from_address = connection.RemoteAddress();
  from_port = connection.RemotePort();
  connection.GetNetworkStream().SetPeer(peer_address, peer_port);
  // A wait ended by Abort returns with nothing received.
  if (connection.AbortRequested()) RaiseSocketErrorText(SzvAborted, kzvErrAborted);
}

void TzvDnsQuery::CloseDatagramExchange() {
  Close();
}

void TzvDnsQuery::OpenStreamExchange(const std::string& address, std::int32_t port,
                                     std::int32_t time_out) {
  TzvTcpClientConnection& connection = *stream_connection_;
  connection.SetTimeOut(time_out);
  connection.SetLocalBinding(LocalBinding());
  connection.SetBitsPerSec(BitsPerSec());
  connection.Open(address, port);
  if (!use_tls_ && !use_https_) return;
  TzvTlsSettings settings = tls_settings_;
  settings.Address = address;
  if (use_https_) settings.Alpn = {"h2", "http/1.1"};
  // The certificate is checked against the name the server was given by, when it was.
  if (settings.HostName.empty() && Server() != address) settings.HostName = Server();
  tls_ = std::make_unique<TzvTlsSession>(connection, std::move(settings));
  tls_->Handshake();
  last_exchange_.Tls = tls_->Info();
}

void TzvDnsQuery::SendStream(TMemoryStream& request) {
  if (tls_ != nullptr) {
    const auto position = static_cast<std::size_t>(request.Position());
    tls_->Write(request.Memory() + position, static_cast<std::size_t>(request.Size()) - position);
    return;
  }
  stream_connection_->WriteData(&request);
}

bool TzvDnsQuery::ReceiveStream(TMemoryStream& answer, std::int64_t most) {
  answer.Seek(0, TSeekOrigin::soEnd);
  if (tls_ != nullptr) return tls_->Read(&answer, most);
  return stream_connection_->ReadData(&answer, most);
}

void TzvDnsQuery::CloseStreamExchange() {
  tls_.reset();
  stream_connection_->Close(false);
}

// ---- building and reading messages ----

void TzvDnsQuery::BuildQuestion(TzvDnsMessage& req, std::unique_ptr<TzvDnsRecord> question,
                                const std::string& name) const {
  req.Header().IsQuery = true;
  req.Header().IsRecursionDesired = is_recursive_desired_;
  req.Header().IsCheckingDisabled = checking_disabled_;
  // The name goes out in its A-label form; a name that has none stops the lookup here.
  question->Name = IdnToAscii(name);
  question->RecordClass = question_class_;
  // Exactly one question, whatever the message held before; the ID stays as drawn.
  req.Queries().Clear();
  req.Queries().Add(std::move(question));
  RemoveOptRecords(req.AdditionalRecords());
  if (!use_edns_) return;
  auto opt = std::make_unique<TzvDnsOPTRecord>();
  opt->UDPPayloadSize = edns_buffer_size_;
  opt->DnssecOK = dnssec_ok_;
  if (request_nsid_) opt->Options.push_back(TzvEdnsOption{kzvEdnsOptionNSID, {}});
  req.AdditionalRecords().Add(std::move(opt));
}

namespace {

// The hosts a section's address records of one kind name, in the section's order.
template <class TAddressRecord>
void AddHostsOf(const TzvDnsRecordList& section, std::int32_t type_code, TzvHostList& hosts) {
  for (const auto& record : section) {
    if (const auto* address = RecordAs<TAddressRecord>(record.get(), type_code)) {
      auto host = hosts.NewItem();
      host->Name = address->Name;
      host->IPAddress = address->IPAddress;
      hosts.Add(std::move(host));
    }
  }
}

}  // namespace

void TzvDnsQuery::ExtractHosts(const TzvDnsRecordList& section) {
  AddHostsOf<TzvDnsARecord>(section, kzvDnsTypeA, *hosts_);
  // IPv6 addresses after all the IPv4 ones: a mail server takes the first address found
  // under its name, so it gets an IPv6 one only when the answer gave no IPv4 one.
  AddHostsOf<TzvDnsAAAARecord>(section, kzvDnsTypeAAAA, *hosts_);
}

TzvHostInfo* TzvDnsQuery::ExtractHostNames() {
  TzvHostInfo* last = nullptr;
  for (const auto& record : response_->Answers()) {
    if (const auto* ptr = RecordAs<TzvDnsPTRRecord>(record.get(), kzvDnsTypePTR)) {
      auto host = hosts_->NewItem();
      host->Name = ptr->DomainName;
      host->IPAddress = ptr->Name;
      last = host.get();
      hosts_->Add(std::move(host));
    }
  }
  return last;
}

void TzvDnsQuery::ExtractNameServers(const TzvDnsRecordList& section) {
  for (const auto& record : section) {
    if (const auto* ns = RecordAs<TzvDnsNSRecord>(record.get(), kzvDnsTypeNS))
      name_servers_->Add(ns->NameServer);
  }
}

void TzvDnsQuery::ExtractAliases() {
  for (const TzvDnsRecordList* section : {&response_->Answers(), &response_->AdditionalRecords()}) {
    for (const auto& record : *section) {
      // The alias is the record's owner, not the name it points at.
      if (const auto* cname = RecordAs<TzvDnsCNAMERecord>(record.get(), kzvDnsTypeCNAME))
        aliases_->Add(cname->Name);
    }
  }
}

void TzvDnsQuery::ExtractMailServers() {
  for (const auto& record : response_->Answers()) {
    if (const auto* mx = RecordAs<TzvDnsMXRecord>(record.get(), kzvDnsTypeMX)) {
      auto server = mail_servers_->NewItem();
      server->Name = mx->MailServer;
      server->Preference = mx->Preference;
      if (const TzvHostInfo* host = hosts_->FindByName(server->Name))
        server->IPAddress = host->IPAddress;
      mail_servers_->Add(std::move(server));
    }
  }
}

TzvMailServerInfo* TzvDnsQuery::GetMailServer() const {
  return mail_servers_->Count() > 0 ? mail_servers_->Items(0) : nullptr;
}

std::string DnsTransportName(TzvDnsTransport transport) {
  switch (transport) {
    case TzvDnsTransport::dtTcp:
      return "TCP";
    case TzvDnsTransport::dtTls:
      return "TLS";
    case TzvDnsTransport::dtHttps:
      return "HTTPS";
    case TzvDnsTransport::dtUdp:
      break;
  }
  return "UDP";
}
