#include "dns/zvDnsQuery.h"

#include <arpa/inet.h>

#include <algorithm>
#include <chrono>
#include <span>

#include "dns/zvDnsRecordTypes.h"
#include "dns/zvIdn.h"
#include "dns/zvRegistry.h"
#include "net/zvSocketUtils.h"

namespace {

void RefuseNullItem(const TzvHostInfo* item) {
  if (item == nullptr) throw EListError("A host list cannot hold a nil item");
}

}  // namespace

TzvHostList::~TzvHostList() {
  Clear();
}

int TzvHostList::Add(std::unique_ptr<TzvHostInfo> item) {
  RefuseNullItem(item.get());
  return items_.Add(std::move(item));
}

void TzvHostList::Insert(int index, std::unique_ptr<TzvHostInfo> item) {
  RefuseNullItem(item.get());
  items_.Insert(index, std::move(item));
}

void TzvHostList::Clear() {
  items_.Clear();
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

// ---------------------------------------------------------------------------------------
// TzvDnsQuery

namespace {

// A message's question starts right behind its fixed 12-byte header.
constexpr std::int32_t kHeaderSize = 12;

// What a datagram must echo to count as the answer to a request: the request's ID and,
// when it asked one, its first question exactly as it went out.
struct TExpectedAnswer {
  std::uint16_t ID = 0;
  bool HasQuestion = false;
  std::string Name;
  std::int32_t Type = 0;
  std::uint16_t Class = 0;
};

// The first question of an encoded message: name and type through the codec, the class
// as its wire word (the codec folds classes it does not know into IN, which would let a
// different class pass for ours). Fails with the codec's error when it cannot be read.
void ReadFirstQuestion(const TzvByteArray& bytes, std::string& name, std::int32_t& type,
                       std::uint16_t& question_class) {
  TzvDnsRecord question;
  std::int32_t position = kHeaderSize;
  question.ReadQuestion(bytes, position);
  std::int32_t class_at = position - 2;
  name = std::move(question.Name);
  type = question.RecordType;
  question_class = ByteArrayReadWord(bytes, class_at);
}

std::span<const std::uint8_t> StreamBytes(TMemoryStream& stream) {
  return {stream.Memory(), static_cast<std::size_t>(stream.Size())};
}

TExpectedAnswer ExpectedAnswerOf(TMemoryStream& request) {
  const TzvByteArray bytes(StreamBytes(request));
  TExpectedAnswer expected;
  TzvWireCursor cursor(bytes.Bytes(), 0);
  expected.ID = cursor.ReadWord();
  cursor.Skip(2);
  if (cursor.ReadWord() > 0) {
    expected.HasQuestion = true;
    ReadFirstQuestion(bytes, expected.Name, expected.Type, expected.Class);
  }
  return expected;
}

// Whether a datagram from the server answers the request. Anything that cannot be ours
// is refused: too short to carry an ID, another ID, a question (QR clear), another
// question. What is ours but damaged (a cut header, a question that cannot be read) is
// taken, so that decoding reports it instead of the lookup waiting for nothing. An error
// reply without a question section, as servers send for requests they cannot parse,
// counts as ours too.
bool IsAnswerTo(std::span<const std::uint8_t> datagram, const TExpectedAnswer& expected) {
  if (datagram.size() < 2) return false;
  TzvWireCursor cursor(datagram, 0);
  if (cursor.ReadWord() != expected.ID) return false;
  if (datagram.size() < static_cast<std::size_t>(kHeaderSize)) return true;
  const std::uint16_t flags = cursor.ReadWord();
  if ((flags & 0x8000) == 0) return false;
  if (!expected.HasQuestion) return true;
  const std::uint16_t question_count = cursor.ReadWord();
  if (question_count == 0) return (flags & 0x000F) != 0;
  std::string name;
  std::int32_t type = 0;
  std::uint16_t question_class = 0;
  try {
    ReadFirstQuestion(TzvByteArray(datagram), name, type, question_class);
  } catch (const EzvDnsError&) {
    return true;
  }
  return type == expected.Type && question_class == expected.Class && SameText(name, expected.Name);
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
}

// The members go in reverse order of their making: the lists, then the two messages.
TzvDnsQuery::~TzvDnsQuery() = default;

// ---- the four lookups ----

TzvMailServerInfo* TzvDnsQuery::ResolveMX(const std::string& name) {
  Clear();
  BuildQuestion(*request_, std::make_unique<TzvDnsMXRecord>(), GetMailDomain(name));
  Resolve();
  // The hosts come first, so that each mail server finds its address among them.
  ExtractHosts(response_->AdditionalRecords());
  ExtractNameServers(response_->Authorities());
  ExtractAliases();
  ExtractMailServers();
  return GetMailServer();
}

TzvHostInfo* TzvDnsQuery::ResolveIP(const std::string& name) {
  Clear();
  QueryAddress(name, Server(), *request_, *response_);
  ExtractHosts(response_->Answers());
  ExtractNameServers(response_->Authorities());
  ExtractAliases();
  return hosts_->Count() > 0 ? hosts_->Items(0) : nullptr;
}

TzvHostInfo* TzvDnsQuery::ResolveHostName(const std::string& name) {
  Clear();
  BuildQuestion(*request_, std::make_unique<TzvDnsPTRRecord>(), GetArpaName(name));
  Resolve();
  TzvHostInfo* host = ExtractHostNames();
  ExtractHosts(response_->AdditionalRecords());
  ExtractNameServers(response_->Authorities());
  ExtractAliases();
  // The caller asked about this text; the host found answers for it.
  if (host != nullptr) host->IPAddress = name;
  return host;
}

void TzvDnsQuery::ResolveNS(const std::string& name, std::string& first_name_server) {
  first_name_server.clear();
  Clear();
  BuildQuestion(*request_, std::make_unique<TzvDnsNSRecord>(), name);
  Resolve();
  ExtractNameServers(response_->Answers());
  ExtractAliases();
  ExtractHosts(response_->AdditionalRecords());
  if (name_servers_->Count() > 0) first_name_server = name_servers_->Strings(0);
}

TzvHostInfo* TzvDnsQuery::ResolveAAAA(const std::string& name) {
  Clear();
  BuildQuestion(*request_, std::make_unique<TzvDnsAAAARecord>(), name);
  Resolve();
  ExtractHosts(response_->Answers());
  ExtractNameServers(response_->Authorities());
  ExtractAliases();
  return hosts_->Count() > 0 ? hosts_->Items(0) : nullptr;
}

int TzvDnsQuery::ResolveRecords(const std::string& name, std::int32_t record_type) {
  Clear();
  std::unique_ptr<TzvDnsRecord> question = request_->CreateRecord(record_type);
  // A type without a class of its own gets the plain record, whose type must be set.
  question->RecordType = record_type;
  BuildQuestion(*request_, std::move(question), name);
  Resolve();
  ExtractAliases();
  int count = 0;
  for (const auto& record : response_->Answers()) count += record->RecordType == record_type;
  return count;
}

// ---- name preparation ----

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
  if (query_nesting_ == 0) exchanges_left_ = kMaxExchangesPerLookup;
  ++query_nesting_;
  try {
    QueryRecursive(req, resp, 0);
  } catch (...) {
    --query_nesting_;
    SetServer(saved_server);
    throw;
  }
  --query_nesting_;
  SetServer(saved_server);
}

void TzvDnsQuery::QueryAddress(const std::string& name, const std::string& a_server,
                               TzvDnsMessage& req, TzvDnsMessage& resp) {
  // A copy: a_server may well be Server() itself, which the exchange changes.
  const std::string server = a_server;
  SetServer(server);
  try {
    BuildQuestion(req, std::make_unique<TzvDnsARecord>(), name);
    Query(req, resp);
  } catch (...) {
    SetServer(server);
    throw;
  }
  SetServer(server);
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
      const auto* name_server = dynamic_cast<const TzvDnsNSRecord*>(authorities.Items(i));
      if (name_server == nullptr) continue;
      const std::string target = name_server->NameServer;
      if (const auto* glue =
              dynamic_cast<const TzvDnsARecord*>(additional.FindItem(target, kzvDnsTypeA))) {
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
                dynamic_cast<const TzvDnsARecord*>(address_response.Answers().Items(0))) {
          SetServer(address->IPAddress);
          QueryRecursive(req, resp, depth + 1);
          return;
        }
      }
    } catch (const EzvSocketError&) {
      // This name server led nowhere (no answer, an error reply, a bad answer): try the
      // next one.
    }
  }
}

void TzvDnsQuery::OpenConnection(const std::string& server, std::int32_t port) {
  if (port < 0 || port > 65535) RaiseSocketErrorText(SzvInvalidPortNumber, kzvErrInvalidPort);
  TzvUdpClient::OpenConnection(server, port);
}

void TzvDnsQuery::SendQuery(TzvDnsMessage& req, TzvDnsMessage& resp) {
  TzvUdpClientConnection& connection = Connection();
  // The per-wait time-out is cut down below while stray datagrams are dropped; it is put
  // back directly, as it was, without telling anyone of a change.
  const std::int32_t time_out = connection.TimeOut();
  try {
    Open();
    TMemoryStream request;
    req.Build(request);
    request.SetPosition(0);
    const TExpectedAnswer expected = ExpectedAnswerOf(request);
    SendPacket(&request);
    const auto sent_at = std::chrono::steady_clock::now();
    // The server as the connection addressed it: the only sender an answer may come from.
    const std::string server_address = connection.RemoteAddress();
    const int server_port = connection.RemotePort();

    TMemoryStream answer;
    for (;;) {
      ReceivePacket(&answer);
      if (connection.RemoteAddress() == server_address && connection.RemotePort() == server_port &&
          IsAnswerTo(StreamBytes(answer), expected))
        break;
      // Not the answer: dropped, and the server is the peer again.
      connection.GetNetworkStream().SetPeer(server_address, server_port);
      answer.Clear();
      // A wait stopped through the connection's Abort ends the exchange with what was
      // received that counts, which is nothing: decoding then fails.
      if (connection.GetNetworkStream().IsStopRequested()) break;
      // The wait goes on for what is left of the time-out from the send, so a stream of
      // stray datagrams cannot keep the exchange alive.
      if (time_out == -1) continue;
      const auto elapsed = std::chrono::duration_cast<std::chrono::microseconds>(
          std::chrono::steady_clock::now() - sent_at);
      const std::int64_t left_us = std::int64_t{std::max(time_out, 0)} * 1000 - elapsed.count();
      if (left_us <= 0) RaiseSocketErrorText(SzvTimeoutError, kzvErrTimeout);
      connection.SetTimeOut(static_cast<std::int32_t>((left_us + 999) / 1000));
    }
    answer.SetPosition(0);
    resp.Parse(answer);
  } catch (...) {
    connection.SetTimeOut(time_out);
    Close();
    throw;
  }
  connection.SetTimeOut(time_out);
  Close();
}

// ---- building and reading messages ----

void TzvDnsQuery::BuildQuestion(TzvDnsMessage& req, std::unique_ptr<TzvDnsRecord> question,
                                const std::string& name) const {
  req.Header().IsQuery = true;
  req.Header().IsRecursionDesired = is_recursive_desired_;
  // The name goes out in its A-label form; a name that has none stops the lookup here.
  question->Name = IdnToAscii(name);
  question->RecordClass = rcInternet;
  // Exactly one question, whatever the message held before; the ID stays as drawn.
  req.Queries().Clear();
  req.Queries().Add(std::move(question));
}

void TzvDnsQuery::ExtractHosts(const TzvDnsRecordList& section) {
  for (const auto& record : section) {
    if (const auto* a = dynamic_cast<const TzvDnsARecord*>(record.get())) {
      auto host = std::make_unique<TzvHostInfo>();
      host->Name = a->Name;
      host->IPAddress = a->IPAddress;
      hosts_->Add(std::move(host));
    }
  }
  // IPv6 addresses after all the IPv4 ones: a mail server takes the first address found
  // under its name, so it gets an IPv6 one only when the answer gave no IPv4 one.
  for (const auto& record : section) {
    if (const auto* aaaa = dynamic_cast<const TzvDnsAAAARecord*>(record.get())) {
      auto host = std::make_unique<TzvHostInfo>();
      host->Name = aaaa->Name;
      host->IPAddress = aaaa->IPAddress;
      hosts_->Add(std::move(host));
    }
  }
}

TzvHostInfo* TzvDnsQuery::ExtractHostNames() {
  TzvHostInfo* last = nullptr;
  for (const auto& record : response_->Answers()) {
    if (const auto* ptr = dynamic_cast<const TzvDnsPTRRecord*>(record.get())) {
      auto host = std::make_unique<TzvHostInfo>();
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
    if (const auto* ns = dynamic_cast<const TzvDnsNSRecord*>(record.get()))
      name_servers_->Add(ns->NameServer);
  }
}

void TzvDnsQuery::ExtractAliases() {
  for (const TzvDnsRecordList* section : {&response_->Answers(), &response_->AdditionalRecords()}) {
    for (const auto& record : *section) {
      // The alias is the record's owner, not the name it points at.
      if (const auto* cname = dynamic_cast<const TzvDnsCNAMERecord*>(record.get()))
        aliases_->Add(cname->Name);
    }
  }
}

void TzvDnsQuery::ExtractMailServers() {
  for (const auto& record : response_->Answers()) {
    if (const auto* mx = dynamic_cast<const TzvDnsMXRecord*>(record.get())) {
      auto server = std::make_unique<TzvMailServerInfo>();
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
