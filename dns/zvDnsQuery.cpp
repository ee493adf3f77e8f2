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
#include "net/zvHttpsSession.h"
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

// The record as the class its type code decodes into, or null. The integer compare
// comes first: in a decoded message only a record of that type can be of that class,
// and a class test costs far more; a record of exactly that class skips the search.
template <class Record>
const Record* RecordAs(const TzvDnsRecord* record, std::int32_t type) {
  if (record == nullptr || record->RecordType != type) return nullptr;
  if (typeid(*record) == typeid(Record)) return static_cast<const Record*>(record);
  return dynamic_cast<const Record*>(record);
}

// Limits a connection's waits for one step of an exchange; the guard it returns puts the
// component's own time-out back. Set on the connection directly: the component's setting
// does not change, so nobody is told of a change.
[[nodiscard]] auto LimitStep(TzvSyncConnection& connection, std::int32_t time_out) {
  const std::int32_t saved = connection.TimeOut();
  connection.SetTimeOut(time_out);
  return ScopeExit([&connection, saved] { connection.SetTimeOut(saved); });
}

}  // namespace

TzvDnsQuery::TzvDnsQuery(TComponent* owner)
    : TzvUdpClient(owner),
      request_(std::make_unique<TzvDnsExtendedMessage>()),
      response_(std::make_unique<TzvDnsExtendedMessage>()),
      hosts_(std::make_unique<TzvHostList>()),
      mail_servers_(std::make_unique<TzvMailServerList>()),
      name_servers_(std::make_unique<TStringList>()),
      aliases_(std::make_unique<TStringList>()),
      stop_(MakeStop()),
      exchange_(std::make_unique<TzvDnsExchange>(static_cast<TzvDnsWire&>(*this))) {
  // RFC 1035's limit for DNS messages carried over UDP.
  SetDatagramSize(kDnsDatagramSize);
  stream_connection_ = std::make_unique<TzvTcpClientConnection>();
  stream_connection_->SetNetworkStream(std::make_unique<TzvNetworkStream>());
  Connection().SetStop(stop_);
  stream_connection_->SetStop(stop_);
}

TzvDnsQuery::~TzvDnsQuery() {
  // The kept connection, its HTTP and TLS sessions first, while the connection exists.
  exchange_->CloseSessions();
  tls_.reset();
}

void TzvDnsQuery::BeginExchange(const TzvDnsExchangeSettings& settings) {
  running_ = settings;
  exchange_started_ = std::chrono::steady_clock::now();
  exchange_time_out_ = settings.TimeOut;
}

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
  TzvDnsMessage::CheckResponseCode(TakeReply(answer, record_type, name));
}

std::int32_t TzvDnsQuery::TakeReply(std::span<const std::uint8_t> answer, std::int32_t record_type,
                                    const std::string& name) {
  Clear();
  TMemoryStream bytes;
  bytes.WriteBuffer(answer.data(), static_cast<std::int64_t>(answer.size()));
  bytes.SetPosition(0);
  response_->Decode(bytes);
  ExtractResults(record_type, name);
  return response_->Header().ResponseCode;
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
  stop_->RequestStop();
}

void TzvDnsQuery::SetStop(TzvStop stop) {
  owns_stop_ = stop == nullptr;
  stop_ = stop != nullptr ? std::move(stop) : MakeStop();
  Connection().SetStop(stop_);
  stream_connection_->SetStop(stop_);
}

TzvDnsExchangeSettings TzvDnsQuery::Settings() const {
  TzvDnsExchangeSettings settings = settings_;
  auto& self = const_cast<TzvDnsQuery&>(*this);
  settings.Server = Server();
  settings.Port = Port();
  settings.TimeOut = self.TimeOut();
  settings.LocalBinding = self.LocalBinding();
  return settings;
}

void TzvDnsQuery::SetSettings(const TzvDnsExchangeSettings& value) {
  settings_ = value;
  SetTries(value.Tries);
  SetEdnsBufferSize(value.EdnsBufferSize);
  SetServer(value.Server);
  SetPort(value.Port);
  SetTimeOut(value.TimeOut);
  SetLocalBinding(value.LocalBinding);
}

void TzvDnsQuery::SwitchTransport(TzvDnsTransport transport, bool on) {
  if (on)
    settings_.Transport = transport;
  else if (settings_.Transport == transport)
    settings_.Transport = TzvDnsTransport::dtUdp;
}

TzvDnsReply TzvDnsQuery::Ask(const TzvDnsExchangeSettings& settings, const std::string& name,
                             std::int32_t type) {
  std::unique_ptr<TzvDnsMessage> req = MakeDnsQuestion(settings, name, type);
  return Exchange(settings, *req, false);
}

std::vector<TzvDnsOutcome> TzvDnsQuery::AskAll(const TzvDnsExchangeSettings& settings,
                                               std::span<TzvDnsMessage* const> requests) {
  return exchange_->AskAll(settings, requests);
}

void TzvDnsQuery::CloseSessions() {
  exchange_->CloseSessions();
}

TzvDnsTransferResult TzvDnsQuery::Transfer(const TzvDnsExchangeSettings& settings,
                                           const TzvDnsTransferRequest& request,
                                           TzvDnsTransferVisitor& visitor) {
  // The transfer takes the stream connection for itself.
  exchange_->CloseSessions();
  TzvDnsTransfer transfer(*this, exchange_->Clock());
  return transfer.Run(settings, request, visitor);
}

TzvDnsReply TzvDnsQuery::Exchange(const TzvDnsExchangeSettings& settings, TzvDnsMessage& req,
                                  bool lookup) {
  running_ = settings;
  exchange_started_ = std::chrono::steady_clock::now();
  exchange_time_out_ = settings.TimeOut;
  if (!lookup) return exchange_->Ask(settings, req);
  // The lookup's own exchange: LastExchange follows it as it goes, and keeps what it did.
  recording_ = true;
  auto note = ScopeExit([this] {
    recording_ = false;
    last_exchange_ = exchange_->LastInfo();
  });
  return exchange_->Ask(settings, req);
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
    // An Abort belongs to the lookup it stopped, not to this one; a stop handed in is
    // its maker's to clear.
    if (owns_stop_) stop_->Reset();
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
      running_.Family == TzvAddressFamily::afAny ? server : AddressOfFamily(server), port);
  // Connected to the server, the socket is handed only datagrams from the server's
  // address and port: the kernel drops a stranger's before they take room in the
  // receive buffer (a flood cannot crowd the answer out), and an ICMP "port unreachable"
  // fails the next receive at once with ECONNREFUSED instead of leaving us to wait.
  TzvUdpClientConnection& connection = Connection();
  connection.GetNetworkStream().Connect(connection.PeerAddress(), port);
}

std::string TzvDnsQuery::AddressOfFamily(const std::string& server) {
  const bool want_ipv6 = running_.Family == TzvAddressFamily::afIPv6;
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
  TzvDnsReply reply = Exchange(Settings(), req, true);
  resp.TakeSections(*reply.Message);
  // The public face: an error reply raises its whole response code, as Parse does.
  TzvDnsMessage::CheckResponseCode(reply.ResponseCode);
}

std::int32_t TzvDnsQuery::ExchangeTimeLeft() const {
  // With nothing left the step still runs, only without waiting: a step that needs no
  // wait (an address to open, a send the socket takes at once) should not fail for it.
  return MillisecondsLeft(exchange_time_out_, std::chrono::steady_clock::now() - exchange_started_);
}

// ---- transport steps ----

void TzvDnsQuery::OpenDatagramExchange(std::string& address, std::int32_t& port) {
  TzvUdpClientConnection& connection = Connection();
  // The receive buffer takes what an OPT record offers, for this exchange only: without
  // one the datagram size stays as set (512 bytes).
  if (datagram_size_ < 0) datagram_size_ = DatagramSize();
  if (running_.UseEdns)
    connection.SetBatchSize(std::max<std::int32_t>(running_.EdnsBufferSize, datagram_size_));
  {
    // The server's name is looked up within the exchange's time-out, not beside it.
    auto limit = LimitStep(connection, ExchangeTimeLeft());
    Close();
    OpenConnection(running_.Server, running_.Port);
  }
  address = connection.RemoteAddress();
  port = connection.RemotePort();
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
  // Back to the size set: the next exchange may offer less.
  if (datagram_size_ >= 0) Connection().SetBatchSize(datagram_size_);
  datagram_size_ = -1;
}

void TzvDnsQuery::FindStreamServer(std::string& address, std::int32_t& port) {
  if (running_.Port < 0 || running_.Port > 65535)
    RaiseSocketErrorText(SzvInvalidPortNumber, kzvErrInvalidPort);
  port = running_.Port;
  if (running_.Family != TzvAddressFamily::afAny) {
    address = AddressOfFamily(running_.Server);
    return;
  }
  // No socket for it: a name is looked up as the UDP client looks it up, within the
  // exchange's time-out and ended by Abort.
  address = TzvHostResolver::ResolveHost(running_.Server, ExchangeTimeLeft(), stop_->Signal());
}

void TzvDnsQuery::OpenStreamExchange(const std::string& address, std::int32_t port,
                                     std::int32_t time_out) {
  TzvTcpClientConnection& connection = *stream_connection_;
  tls_.reset();
  connection.SetTimeOut(time_out);
  connection.SetLocalBinding(running_.LocalBinding);
  connection.SetBitsPerSec(BitsPerSec());
  connection.Open(address, port);
  if (running_.Transport != TzvDnsTransport::dtTls &&
      running_.Transport != TzvDnsTransport::dtHttps)
    return;
  TzvTlsSettings settings = running_.Tls;
  settings.Address = address;
  if (running_.Transport == TzvDnsTransport::dtHttps) {
    settings.Alpn = {"h2", "http/1.1"};
    settings.WhileGreeting = [] { TzvHttpsSession::Prepare(); };  // nearly every server says h2
  }
  // The certificate is checked against the name the server was given by, when it was.
  if (settings.HostName.empty() && running_.Server != address) settings.HostName = running_.Server;
  tls_ = std::make_unique<TzvTlsSession>(connection, std::move(settings));
  tls_->Handshake();
}

void TzvDnsQuery::RestartStreamExchange(std::int32_t time_out) {
  stream_connection_->SetTimeOut(time_out);
  stream_connection_->RestartTimeOut();
}

TzvTlsInfo TzvDnsQuery::StreamTls() const {
  return tls_ != nullptr ? tls_->Info() : TzvTlsInfo{};
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
  // Answers to pipelined questions come as separate writes; a server that holds each back
  // until the one before is acknowledged (Nagle) would otherwise wait out our delayed
  // acknowledgement every time. Linux turns quick acknowledgements off by itself, so
  // before every read.
  stream_connection_->GetNetworkStream().AcknowledgeAtOnce();
  return stream_connection_->ReadData(&answer, most);
}

void TzvDnsQuery::CloseStreamExchange() {
  tls_.reset();
  stream_connection_->Close(false);
}

// ---- building and reading messages ----

void TzvDnsQuery::BuildQuestion(TzvDnsMessage& req, std::unique_ptr<TzvDnsRecord> question,
                                const std::string& name) const {
  BuildDnsQuestion(Settings(), req, std::move(question), name);
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
