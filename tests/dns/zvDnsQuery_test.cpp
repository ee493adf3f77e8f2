#include "dns/zvDnsQuery.h"
#include "net/zvSocketUtils.h"

#include <gtest/gtest.h>

#include <sys/random.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <set>
#include <thread>
#include <vector>

#include "tests/support/QueryResults.h"
#include "tests/support/Sanitizers.h"

namespace {

std::unique_ptr<TzvMailServerInfo> Mx(const char* name, std::int32_t preference) {
  auto item = std::make_unique<TzvMailServerInfo>();
  item->Name = name;
  item->Preference = preference;
  return item;
}

std::unique_ptr<TzvHostInfo> Host(const char* name, const char* address = "") {
  auto item = std::make_unique<TzvHostInfo>();
  item->Name = name;
  item->IPAddress = address;
  return item;
}

std::vector<std::string> Names(const TzvHostList& list) {
  std::vector<std::string> names;
  for (int i = 0; i < list.Count(); ++i) names.push_back(list.Items(i)->Name);
  return names;
}

using Order = std::vector<std::string>;

TEST(MailServerList, HighestPreferenceFirst) {
  TzvMailServerList list;
  list.Add(Mx("ten", 10));
  list.Add(Mx("twenty", 20));
  list.Add(Mx("five", 5));
  EXPECT_EQ(Names(list), (Order{"twenty", "ten", "five"}));
  EXPECT_EQ(list.Items(0)->Preference, 20);
  EXPECT_EQ(list.Items(2)->Preference, 5);
}

TEST(MailServerList, EqualPreferencesKeepOrderOfAdding) {
  TzvMailServerList list;
  list.Add(Mx("a", 10));
  list.Add(Mx("b", 10));
  list.Add(Mx("c", 10));
  EXPECT_EQ(Names(list), (Order{"a", "b", "c"}));

  // A newcomer goes after the items of its own preference, before the lower ones.
  list.Add(Mx("high", 30));
  list.Add(Mx("low", 1));
  list.Add(Mx("d", 10));
  list.Add(Mx("high2", 30));
  EXPECT_EQ(Names(list), (Order{"high", "high2", "a", "b", "c", "d", "low"}));
}

TEST(MailServerList, ChangingPreferenceLaterDoesNotReorder) {
  TzvMailServerList list;
  list.Add(Mx("a", 10));
  list.Add(Mx("b", 5));
  list.Items(1)->Preference = 50;
  EXPECT_EQ(Names(list), (Order{"a", "b"}));
  // The next Add compares with the stored values as they now are.
  list.Add(Mx("c", 20));
  EXPECT_EQ(Names(list), (Order{"c", "a", "b"}));
}

TEST(MailServerList, ItemOfAnotherClassFailsAsInvalidTypecast) {
  TzvMailServerList list;
  list.Add(Mx("mx", 10));
  TzvHostList& as_hosts = list;
  as_hosts.Insert(0, Host("plain"));
  EXPECT_EQ(list.Items(1)->Name, "mx");
  try {
    list.Items(0);
    FAIL() << "no error";
  } catch (const EInvalidCast& e) {
    EXPECT_STREQ(e.what(), "Invalid class typecast");
  }
  // The ordered Add meets the foreign item and fails the same way without leaking.
  EXPECT_THROW(list.Add(Mx("another", 20)), EInvalidCast);
  EXPECT_EQ(list.Count(), 2);
}

TEST(HostList, InsertAcceptsZeroToCountAndAddAppends) {
  TzvHostList list;
  list.Insert(0, Host("b"));
  list.Insert(0, Host("a"));
  list.Insert(2, Host("c"));
  EXPECT_EQ(Names(list), (Order{"a", "b", "c"}));
  try {
    list.Insert(4, Host("x"));
    FAIL() << "no error";
  } catch (const EListError& e) {
    EXPECT_STREQ(e.what(), "List index out of bounds (4)");
  }
  EXPECT_THROW(list.Insert(-1, Host("x")), EListError);
  EXPECT_EQ(list.Add(Host("d")), 3);
  EXPECT_EQ(Names(list), (Order{"a", "b", "c", "d"}));
}

TEST(HostList, IndexOutsideFailsWithListError) {
  TzvHostList list;
  try {
    list.Items(0);
    FAIL() << "no error";
  } catch (const EListError& e) {
    EXPECT_STREQ(e.what(), "List index out of bounds (0)");
  }
  list.Add(Host("a"));
  EXPECT_THROW(list.Items(-1), EListError);
  EXPECT_THROW(list.Items(1), EListError);
  TzvMailServerList mail;
  EXPECT_THROW(mail.Items(0), EListError);
}

TEST(HostList, NullItemIsRefused) {
  TzvHostList hosts;
  EXPECT_THROW(hosts.Add(nullptr), EListError);
  EXPECT_THROW(hosts.Insert(0, nullptr), EListError);
  TzvMailServerList mail;
  EXPECT_THROW(mail.Add(nullptr), EListError);
  EXPECT_EQ(hosts.Count(), 0);
  EXPECT_EQ(mail.Count(), 0);
}

TEST(HostList, FindByNameIgnoresAsciiCaseAndTakesLowestIndex) {
  TzvHostList list;
  EXPECT_EQ(list.FindByName("a"), nullptr);
  list.Add(Host("mail.Example.ORG", "127.0.0.1"));
  list.Add(Host("MAIL.example.org", "127.0.0.2"));
  TzvHostInfo* found = list.FindByName("Mail.Example.Org");
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found->IPAddress, "127.0.0.1");
  EXPECT_EQ(list.FindByName("mail.example"), nullptr);
  EXPECT_EQ(list.FindByName(""), nullptr);
}

TEST(HostList, ClearEmptiesAndListStaysUsable) {
  TzvHostList list;
  list.Clear();
  EXPECT_EQ(list.Count(), 0);
  list.Add(Host("a"));
  list.Add(Host("b"));
  list.Clear();
  EXPECT_EQ(list.Count(), 0);
  EXPECT_EQ(list.FindByName("a"), nullptr);
  EXPECT_EQ(list.Add(Host("c")), 0);

  TzvMailServerList mail;
  mail.Add(Mx("x", 1));
  mail.Clear();
  EXPECT_EQ(mail.Count(), 0);
  mail.Add(Mx("y", 1));
  EXPECT_EQ(mail.Items(0)->Name, "y");
}

TEST(HostList, ItemsStayPutWhileOthersAreAdded) {
  // Pointers handed out stay valid until the next Clear, whatever is added meanwhile.
  TzvMailServerList list;
  list.Add(Mx("first", 10));
  TzvMailServerInfo* first = list.Items(0);
  for (int i = 0; i < 100; ++i) list.Add(Mx("more", 20));
  EXPECT_EQ(first->Name, "first");
  EXPECT_EQ(list.Items(100), first);
}

TEST(HostListDeathTest, HostKeptPastAClearIsFreed) {
#ifndef PELLAMAR_TEST_ASAN
  GTEST_SKIP() << "only AddressSanitizer sees a kept host";
#endif
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  TzvHostList list;
  auto made = list.NewItem();
  made->Name = "mail.pellamar.test, a name too long for the string itself";
  const TzvHostInfo* kept = made.get();
  list.Add(std::move(made));
  list.Clear();
  // ASan reports the freed memory, or UBSan the freed object's type first.
  EXPECT_DEATH((void)std::string(kept->Name), "heap-use-after-free|invalid vptr");
}

}  // namespace

// ---- the query component, without the network ----

namespace {

struct NameCase {
  const char* input;
  const char* expected;
};

TEST(DnsQueryNames, MailDomainIsWhatFollowsTheFirstAt) {
  const NameCase cases[] = {
      {"postmaster@pellamar.test", "pellamar.test"},
      {"a@b@pellamar.test", "b@pellamar.test"},
      {"pellamar.test", "pellamar.test"},
      {"@pellamar.test", "pellamar.test"},
      {"nobody@", ""},
      {"", ""},
  };
  for (const NameCase& c : cases)
    EXPECT_EQ(TzvDnsQuery::GetMailDomain(c.input), c.expected) << c.input;
}

TEST(DnsQueryNames, ArpaNameReversesExactlyFourWords) {
  const NameCase cases[] = {
      {"10.0.0.1", "1.0.0.10.in-addr.arpa"},
      {"a.b.c.d", "d.c.b.a.in-addr.arpa"},
      {"A.b.C.d", "d.C.b.A.in-addr.arpa"},  // letter case kept
      {"10..0.0.1", "1.0.0.10.in-addr.arpa"},
      {".10.0.0.1.", "1.0.0.10.in-addr.arpa"},
      {"1.0.0.10.IN-ADDR.ARPA", "1.0.0.10.IN-ADDR.ARPA"},
      {"x.in-addr.arpa.y", "x.in-addr.arpa.y"},
      {"10.0.1", "10.0.1"},
      {"10.0.0.0.1", "10.0.0.0.1"},
      {"", ""},
      {"....", "...."},
  };
  for (const NameCase& c : cases)
    EXPECT_EQ(TzvDnsQuery::GetArpaName(c.input), c.expected) << c.input;
}

TEST(DnsQueryComponent, StartsWithTheDnsDefaults) {
  TzvDnsQuery query(nullptr);
  EXPECT_EQ(query.ClassName(), "TzvDnsQuery");
  EXPECT_EQ(query.DatagramSize(), 512);
  EXPECT_EQ(query.Port(), 53);
  EXPECT_EQ(query.TimeOut(), 5000);
  EXPECT_EQ(query.BitsPerSec(), 0);
  EXPECT_EQ(query.Server(), "");
  EXPECT_TRUE(query.IsRecursiveDesired());
  EXPECT_FALSE(query.UseRecursiveQueries());
  EXPECT_EQ(query.MaxRecursiveQueries(), 4);
  EXPECT_EQ(query.MailServers().Count(), 0);
  EXPECT_EQ(query.Hosts().Count(), 0);
  EXPECT_EQ(query.NameServers().Count(), 0);
  EXPECT_EQ(query.Aliases().Count(), 0);
  EXPECT_EQ(query.Request().Queries().Count(), 0);
}

TEST(DnsQueryComponent, PortOutsideTheWireRangeIsRefusedBeforeAnythingOpens) {
  // Checked before the server is resolved or a socket made, so nothing is sent.
  for (const std::int32_t port : {65536, 70000, -1}) {
    TzvDnsQuery query(nullptr);
    query.SetServer("127.0.0.1");
    query.SetPort(port);
    try {
      query.ResolveMX("pellamar.test");
      ADD_FAILURE() << "port " << port << " accepted";
    } catch (const EzvSocketError& e) {
      EXPECT_EQ(e.ErrorCode(), -3) << port;
      EXPECT_STREQ(e.what(), "Invalid port number");
    }
    EXPECT_FALSE(query.Connection().IsOpen());
    EXPECT_EQ(query.Server(), "127.0.0.1");
  }
}

}  // namespace

// ---- exchanges against a server played in memory ----

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes StreamBytes(TMemoryStream& stream) {
  return Bytes(stream.Memory(), stream.Memory() + stream.Size());
}

// A query whose transport steps talk to a function instead of sockets: each request goes
// to `serve`, whose bytes come back as the answer (over TCP behind a length word).
class InMemoryServerQuery : public TzvDnsQuery {
 public:
  struct Sent {
    std::string server;
    bool over_tcp = false;
    Bytes request;
  };
  std::function<Bytes(const Sent&)> serve;
  std::vector<Sent> sent;
  // The time-out the TCP connection got.
  std::int32_t stream_time_out = 0;
  // Before the datagram's answer comes.
  std::chrono::milliseconds datagram_delay{0};

  InMemoryServerQuery() : TzvDnsQuery(nullptr) {}

 protected:
  void OpenDatagramExchange(std::string& address, std::int32_t& port) override {
    address = Server();
    port = Port();
  }
  void SendDatagram(TMemoryStream& request) override {
    sent.push_back({Server(), false, StreamBytes(request)});
  }
  void ReceiveDatagram(TMemoryStream& answer, std::int32_t, std::string& from_address,
                       std::int32_t& from_port) override {
    std::this_thread::sleep_for(datagram_delay);
    const Bytes reply = serve(sent.back());
    answer.WriteBuffer(reply.data(), static_cast<std::int64_t>(reply.size()));
    from_address = Server();
    from_port = Port();
  }
  void CloseDatagramExchange() override {}
  void OpenStreamExchange(const std::string&, std::int32_t, std::int32_t time_out) override {
    stream_time_out = time_out;
    unread_.clear();
  }
  void SendStream(TMemoryStream& request) override {
    Bytes bytes = StreamBytes(request);
    EXPECT_EQ(std::size_t(bytes[0] << 8 | bytes[1]), bytes.size() - 2) << "length word";
    sent.push_back({Server(), true, Bytes(bytes.begin() + 2, bytes.end())});
  }
  // The answer behind its length word, handed out as a socket would: at most what is
  // asked for, the rest kept for the next receive.
  bool ReceiveStream(TMemoryStream& answer, std::int64_t most) override {
    if (unread_.empty()) {
      const Bytes reply = serve(sent.back());
      unread_ = {std::uint8_t(reply.size() >> 8), std::uint8_t(reply.size())};
      unread_.insert(unread_.end(), reply.begin(), reply.end());
    }
    const auto count = static_cast<std::ptrdiff_t>(
        std::min<std::int64_t>(most < 0 ? INT64_MAX : most, std::int64_t(unread_.size())));
    answer.WriteBuffer(unread_.data(), count);
    unread_.erase(unread_.begin(), unread_.begin() + count);
    return true;
  }
  void CloseStreamExchange() override {}

 private:
  Bytes unread_;
};

// The request turned into its answer: QR set, TC as asked, the records added.
Bytes AnswerOf(const Bytes& request, bool truncated,
               std::vector<std::unique_ptr<TzvDnsRecord>> answers = {},
               std::vector<std::unique_ptr<TzvDnsRecord>> authorities = {},
               std::vector<std::unique_ptr<TzvDnsRecord>> additional = {}) {
  TMemoryStream in;
  in.WriteBuffer(request.data(), static_cast<std::int64_t>(request.size()));
  in.SetPosition(0);
  TzvDnsMessage message;
  message.Parse(in);
  message.Header().IsQuery = false;
  message.Header().IsTruncated = truncated;
  for (auto& record : answers) message.Answers().Add(std::move(record));
  for (auto& record : authorities) message.Authorities().Add(std::move(record));
  for (auto& record : additional) message.AdditionalRecords().Add(std::move(record));
  TMemoryStream out;
  message.Build(out);
  return StreamBytes(out);
}

std::unique_ptr<TzvDnsRecord> A(const std::string& name, const std::string& address) {
  auto record = std::make_unique<TzvDnsARecord>();
  record->Name = name;
  record->IPAddress = address;
  return record;
}

std::unique_ptr<TzvDnsRecord> Ns(const std::string& zone, const std::string& server) {
  auto record = std::make_unique<TzvDnsNSRecord>();
  record->Name = zone;
  record->NameServer = server;
  return record;
}

template <class... Records>
std::vector<std::unique_ptr<TzvDnsRecord>> List(Records... records) {
  std::vector<std::unique_ptr<TzvDnsRecord>> list;
  (list.push_back(std::move(records)), ...);
  return list;
}

int IdOf(const Bytes& message) {
  return message[0] << 8 | message[1];
}

// Hands out 0x0101, 0x0202, ... so that every ID drawn is known, and differs from the 255
// drawn before it.
std::uint8_t next_random_byte = 0;
int random_draws = 0;
ssize_t CountingRandom(void* buffer, size_t length, unsigned int) {
  ++random_draws;
  auto* bytes = static_cast<std::uint8_t*>(buffer);
  for (size_t i = 0; i < length; i += 2) bytes[i] = bytes[i + 1] = ++next_random_byte;
  return static_cast<ssize_t>(length);
}

class ScopedRandomSource {
 public:
  explicit ScopedRandomSource(TzvRandomBytesFn source) : saved_(MessageIdRandomSource()) {
    MessageIdRandomSource() = source;
  }
  ~ScopedRandomSource() { MessageIdRandomSource() = saved_; }

 private:
  TzvRandomBytesFn saved_;
};

TEST(MessageIds, ComeFromTheSystemsCryptographicSource) {
  EXPECT_EQ(MessageIdRandomSource(), static_cast<TzvRandomBytesFn>(::getrandom));
  {
    ScopedRandomSource counting(CountingRandom);
    const int draws = random_draws;
    const std::uint16_t first = NewMessageID();
    EXPECT_EQ(first >> 8, first & 0xFF);  // both bytes from one draw of the source
    EXPECT_EQ(random_draws, draws + 1);   // a fresh one: no ID left from the system's
  }
  // Back on the system's source, nothing drawn from the stand-in is handed out.
  for (int i = 0; i < 200; ++i) {
    const std::uint16_t id = NewMessageID();
    if ((id >> 8) != (id & 0xFF)) return;
  }
  ADD_FAILURE() << "200 IDs in a row look like the stand-in's";
}

TEST(MessageIds, AForkedChildDoesNotRepeatItsParentsIds) {
  ScopedRandomSource counting(CountingRandom);
  next_random_byte = 0;
  NewMessageID();  // the parent now holds a block of unused IDs
  int to_parent[2];
  ASSERT_EQ(::pipe(to_parent), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const std::uint16_t id = NewMessageID();
    ::write(to_parent[1], &id, sizeof id);
    ::_exit(0);
  }
  std::uint16_t child_id = 0;
  ASSERT_EQ(::read(to_parent[0], &child_id, sizeof child_id),
            static_cast<ssize_t>(sizeof child_id));
  ::waitpid(child, nullptr, 0);
  ::close(to_parent[0]);
  ::close(to_parent[1]);
  // The child drew from a block of its own, so nothing it sends matches what the parent
  // sends next; a block shared with the parent would have given the same ID.
  EXPECT_NE(child_id, NewMessageID());
}

TEST(InMemoryServer, EveryExchangeOfALookupHasItsOwnId) {
  ScopedRandomSource counting(CountingRandom);
  InMemoryServerQuery query;
  query.SetServer("10.0.0.1");
  query.SetUseRecursiveQueries(true);
  // 10.0.0.1 refers to ns.child (glue 10.0.0.2) and to ns.bare (no glue, so its address
  // is asked of 10.0.0.1); 10.0.0.2 fails, ns.bare's 10.0.0.3 answers truncated, and the
  // retry over TCP gets the answer.
  query.serve = [](const InMemoryServerQuery::Sent& sent) -> Bytes {
    if (sent.server == "10.0.0.1") {
      if (QuestionName(sent.request) == "ns.bare")
        return AnswerOf(sent.request, false, List(A("ns.bare", "10.0.0.3")));
      return AnswerOf(sent.request, false, {},
                      List(Ns("child", "ns.child"), Ns("child", "ns.bare")),
                      List(A("ns.child", "10.0.0.2")));
    }
    if (sent.server == "10.0.0.2") {
      Bytes refused = AnswerOf(sent.request, false);
      refused[3] |= 5;
      return refused;
    }
    return AnswerOf(sent.request, !sent.over_tcp,
                    sent.over_tcp ? List(A("www.child", "10.9.9.9")) : List());
  };
  ASSERT_NE(query.ResolveIP("www.child"), nullptr);
  EXPECT_EQ(query.Hosts().Items(0)->IPAddress, "10.9.9.9");
  EXPECT_EQ(query.Server(), "10.0.0.1");

  std::vector<std::string> route;
  std::set<int> ids;
  for (const auto& sent : query.sent) {
    route.push_back(sent.server + (sent.over_tcp ? "/tcp" : ""));
    ids.insert(IdOf(sent.request));
  }
  EXPECT_EQ(route, (std::vector<std::string>{"10.0.0.1", "10.0.0.2", "10.0.0.1", "10.0.0.3",
                                             "10.0.0.3/tcp"}));
  EXPECT_EQ(ids.size(), query.sent.size());
  // The request keeps the ID it last went out under.
  EXPECT_EQ(query.Request().Header().ID, IdOf(query.sent.back().request));
  EXPECT_TRUE(query.LastExchange().Truncated);
  EXPECT_EQ(query.LastExchange().Transport, TzvDnsTransport::dtTcp);
}

TEST(InMemoryServer, NamesWithEmptyLabelsAreNeverSent) {
  InMemoryServerQuery query;
  query.SetServer("10.0.0.1");
  query.serve = [](const InMemoryServerQuery::Sent& sent) { return AnswerOf(sent.request, false); };
  for (const char* name : {"a..b", ".a", "a..."}) {
    SCOPED_TRACE(name);
    EXPECT_THROW(query.ResolveIP(name), EzvDnsError);
  }
  EXPECT_TRUE(query.sent.empty());
  // "." is the root: its name servers are asked for with the root's one zero byte.
  std::string first;
  query.ResolveNS(".", first);
  ASSERT_EQ(query.sent.size(), 1u);
  EXPECT_EQ(query.sent[0].request[12], 0);
  EXPECT_EQ(query.sent[0].request.size(), 12u + 1 + 4 + 11);  // and the OPT record
}

TEST(InMemoryServer, AQuestionEchoedThroughACompressionPointerIsStillOurs) {
  InMemoryServerQuery query;
  query.SetServer("10.0.0.1");
  int served = 0;
  query.serve = [&](const InMemoryServerQuery::Sent& sent) -> Bytes {
    if (served++ > 0) RaiseSocketErrorText(SzvTimeoutError, kzvErrTimeout);
    // Header, then the question's name as a pointer to offset 18, where the name
    // follows the question's type and class, in other letter case.
    Bytes reply(sent.request.begin(), sent.request.begin() + 12);
    reply[2] |= 0x80;
    reply[11] = 0;  // the request's OPT record is not echoed
    for (std::uint8_t byte : {0xC0, 18, 0, 1, 0, 1}) reply.push_back(byte);
    for (const char* label : {"WWW", "Example"}) {
      reply.push_back(static_cast<std::uint8_t>(std::strlen(label)));
      reply.insert(reply.end(), label, label + std::strlen(label));
    }
    reply.push_back(0);
    return reply;
  };
  EXPECT_EQ(query.ResolveIP("www.example"), nullptr);  // taken: no time-out
  EXPECT_TRUE(query.LastExchange().Answered);
}

TEST(InMemoryServer, TheRetryGetsOnlyWhatTheDatagramLeftOfTheTimeOut) {
  InMemoryServerQuery query;
  query.SetServer("10.0.0.1");
  query.SetTimeOut(2000);
  query.datagram_delay = std::chrono::milliseconds(300);
  query.serve = [](const InMemoryServerQuery::Sent& sent) {
    return AnswerOf(sent.request, !sent.over_tcp);
  };
  query.ResolveIP("www.example");
  EXPECT_TRUE(query.LastExchange().Truncated);
  EXPECT_GT(query.stream_time_out, 0);
  EXPECT_LE(query.stream_time_out, 1700);
  // Nothing left: the retry is not even begun.
  query.SetTimeOut(200);
  try {
    query.ResolveIP("www.example");
    ADD_FAILURE() << "no time-out";
  } catch (const EzvSocketError& e) {
    EXPECT_EQ(e.ErrorCode(), kzvErrTimeout);
  }
  EXPECT_FALSE(query.sent.back().over_tcp);
}

TEST(InMemoryServer, ATcpAnswerToAnotherQuestionIsRefused) {
  InMemoryServerQuery query;
  query.SetServer("10.0.0.1");
  query.serve = [](const InMemoryServerQuery::Sent& sent) {
    Bytes answer = AnswerOf(sent.request, !sent.over_tcp);
    if (sent.over_tcp) answer[1] ^= 1;  // another ID
    return answer;
  };
  try {
    query.ResolveIP("www.example");
    ADD_FAILURE() << "taken";
  } catch (const EzvDnsError& e) {
    EXPECT_STREQ(e.what(),
                 "The answer was truncated and its retry over TCP failed: The answer over TCP "
                 "does not answer the question");
  }
  EXPECT_EQ(query.Hosts().Count(), 0);
}

}  // namespace

TEST(InMemoryServer, AFallbackWithoutEdnsIsForTheServerThatRefusedIt) {
  InMemoryServerQuery query;
  query.SetServer("10.0.0.1");
  query.SetUseRecursiveQueries(true);
  constexpr std::size_t kOptSize = 11;  // root name, type, class, TTL, no options
  // 10.0.0.1 answers an EDNS question with a bare FORMERR, the plain one with a referral
  // to ns.child at 10.0.0.2, which answers.
  query.serve = [](const InMemoryServerQuery::Sent& sent) -> Bytes {
    const bool edns = sent.request[11] != 0;
    if (sent.server == "10.0.0.1" && edns) {
      Bytes formerr(sent.request.begin(), sent.request.end() - kOptSize);
      formerr[2] |= 0x80;
      formerr[3] |= 1;
      formerr[11] = 0;
      return formerr;
    }
    if (sent.server == "10.0.0.1")
      return AnswerOf(sent.request, false, {}, List(Ns("child", "ns.child")),
                      List(A("ns.child", "10.0.0.2")));
    return AnswerOf(sent.request, false, List(A("www.child", "10.9.9.9")));
  };
  ASSERT_NE(query.ResolveIP("www.child"), nullptr);
  std::vector<std::string> route;
  for (const auto& sent : query.sent)
    route.push_back(sent.server + (sent.request[11] != 0 ? " edns" : ""));
  EXPECT_EQ(route, (std::vector<std::string>{"10.0.0.1 edns", "10.0.0.1", "10.0.0.2 edns"}));
  EXPECT_FALSE(query.LastExchange().EdnsFallback);
}
