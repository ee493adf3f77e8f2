// The scripted loopback responder other tests rely on for faults: checked here with a
// plain UDP client and a small decoder of its own, so it does not depend on the codec.
#include "tests/support/ScriptedDnsResponder.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <optional>
#include <stdexcept>
#include <system_error>

#include "tests/support/NetNamespace.h"

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using Kind = ScriptedDnsResponder::Kind;

Bytes Question(std::uint16_t id, const std::string& name, std::uint16_t type,
               std::uint16_t qclass = 1) {
  Bytes b = {static_cast<std::uint8_t>(id >> 8),
             static_cast<std::uint8_t>(id),
             0x01,
             0x00,
             0,
             1,
             0,
             0,
             0,
             0,
             0,
             0};
  std::size_t start = 0;
  while (start < name.size()) {
    std::size_t end = name.find('.', start);
    if (end == std::string::npos) end = name.size();
    b.push_back(static_cast<std::uint8_t>(end - start));
    b.insert(b.end(), name.begin() + static_cast<long>(start),
             name.begin() + static_cast<long>(end));
    start = end + 1;
  }
  b.push_back(0);
  for (std::uint16_t v : {type, qclass}) {
    b.push_back(static_cast<std::uint8_t>(v >> 8));
    b.push_back(static_cast<std::uint8_t>(v));
  }
  return b;
}

struct Record {
  std::string owner;
  std::uint16_t type = 0;
  Bytes data;
  std::string target;  // NS, PTR, CNAME, MX exchange
  std::uint16_t preference = 0;
  std::string address;  // A
};

// A bounded decoder, enough to check what the responder sends. Throws on any overrun.
struct Decoded {
  std::uint16_t id = 0;
  bool qr = false, aa = false, tc = false, rd = false;
  int rcode = 0;
  std::string qname;
  std::uint16_t qtype = 0, qclass = 0;
  std::vector<Record> answers, authorities, additionals;

  explicit Decoded(const Bytes& b) : bytes(b) {
    id = Word(0);
    qr = b.at(2) & 0x80;
    aa = b.at(2) & 0x04;
    tc = b.at(2) & 0x02;
    rd = b.at(2) & 0x01;
    rcode = b.at(3) & 0x0F;
    const int counts[4] = {Word(4), Word(6), Word(8), Word(10)};
    std::size_t pos = 12;
    if (counts[0] != 1) throw std::runtime_error("question count");
    qname = Name(pos);
    qtype = Word(pos);
    qclass = Word(pos + 2);
    pos += 4;
    for (int section = 1; section < 4; ++section) {
      for (int i = 0; i < counts[section]; ++i) {
        Record r;
        r.owner = Name(pos);
        r.type = Word(pos);
        const std::size_t length = Word(pos + 8);
        pos += 10;
        if (pos + length > bytes.size()) throw std::runtime_error("record data");
        r.data.assign(bytes.begin() + static_cast<long>(pos),
                      bytes.begin() + static_cast<long>(pos + length));
        std::size_t at = pos;
        if (r.type == 1 && length == 4)
          r.address = std::to_string(r.data[0]) + "." + std::to_string(r.data[1]) + "." +
                      std::to_string(r.data[2]) + "." + std::to_string(r.data[3]);
        if (r.type == 15) {
          r.preference = Word(at);
          at += 2;
        }
        if (r.type == 2 || r.type == 5 || r.type == 12 || r.type == 15) r.target = Name(at);
        pos += length;
        (section == 1 ? answers : section == 2 ? authorities : additionals).push_back(r);
      }
    }
  }

 private:
  std::uint16_t Word(std::size_t at) const {
    return static_cast<std::uint16_t>((bytes.at(at) << 8) | bytes.at(at + 1));
  }
  // Reads a name at pos (moving pos past it), following at most 20 pointers.
  std::string Name(std::size_t& pos) const {
    std::string name;
    std::size_t at = pos;
    bool jumped = false;
    for (int jumps = 0;;) {
      const std::uint8_t length = bytes.at(at);
      if ((length & 0xC0) == 0xC0) {
        if (++jumps > 20) throw std::runtime_error("pointer loop");
        if (!jumped) pos = at + 2;
        jumped = true;
        at = static_cast<std::size_t>(((length & 0x3F) << 8) | bytes.at(at + 1));
        continue;
      }
      if (length == 0) {
        if (!jumped) pos = at + 1;
        return name;
      }
      if (at + 1 + length > bytes.size()) throw std::runtime_error("label");
      if (!name.empty()) name += '.';
      name.append(bytes.begin() + static_cast<long>(at + 1),
                  bytes.begin() + static_cast<long>(at + 1 + length));
      at += 1 + length;
    }
  }
  const Bytes& bytes;
};

struct Received {
  Bytes bytes;
  std::string address;
  std::uint16_t port = 0;
};

// An unconnected client socket, so that it also sees datagrams from other sources.
class Client {
 public:
  explicit Client(const ScriptedDnsResponder& server) {
    fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    server_.sin_family = AF_INET;
    server_.sin_port = htons(server.Port());
    inet_pton(AF_INET, server.Address().c_str(), &server_.sin_addr);
  }
  ~Client() { close(fd_); }

  void Send(const Bytes& bytes) {
    ASSERT_EQ(sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&server_),
                     sizeof server_),
              static_cast<ssize_t>(bytes.size()));
  }

  std::optional<Received> Receive(std::chrono::milliseconds timeout = 5s) {
    pollfd p = {fd_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return std::nullopt;
    Bytes buffer(65536);
    sockaddr_in from{};
    socklen_t size = sizeof from;
    const ssize_t got =
        recvfrom(fd_, buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(&from), &size);
    if (got < 0) return std::nullopt;
    buffer.resize(static_cast<std::size_t>(got));
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
    return Received{buffer, text, ntohs(from.sin_port)};
  }

 private:
  int fd_ = -1;
  sockaddr_in server_{};
};

TEST(ScriptedResponder, AnswersEchoTheQuestionWithCannedRecords) {
  REQUIRE_LOOPBACK_NAMESPACE();
  ScriptedDnsResponder server;
  EXPECT_EQ(server.Address(), "127.0.0.1");
  EXPECT_NE(server.Port(), 0);
  Client client(server);

  client.Send(Question(0x1234, "Host.Example", 1));
  auto reply = client.Receive();
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->address, "127.0.0.1");
  EXPECT_EQ(reply->port, server.Port());
  Decoded a(reply->bytes);
  EXPECT_EQ(a.id, 0x1234);
  EXPECT_TRUE(a.qr);
  EXPECT_TRUE(a.rd);
  EXPECT_TRUE(a.aa);
  EXPECT_EQ(a.rcode, 0);
  EXPECT_EQ(a.qname, "Host.Example");
  EXPECT_EQ(a.qtype, 1);
  EXPECT_EQ(a.qclass, 1);
  ASSERT_EQ(a.answers.size(), 1u);
  EXPECT_EQ(a.answers[0].owner, "Host.Example");
  EXPECT_EQ(a.answers[0].address, "127.0.0.99");

  server.SetAnswerAddresses({"127.0.0.5", "127.0.0.6"});
  client.Send(Question(2, "two.example", 1));
  reply = client.Receive();
  ASSERT_TRUE(reply);
  Decoded two(reply->bytes);
  ASSERT_EQ(two.answers.size(), 2u);
  EXPECT_EQ(two.answers[1].address, "127.0.0.6");

  client.Send(Question(3, "example.org", 15));
  reply = client.Receive();
  ASSERT_TRUE(reply);
  Decoded mx(reply->bytes);
  ASSERT_EQ(mx.answers.size(), 1u);
  EXPECT_EQ(mx.answers[0].preference, 10);
  EXPECT_EQ(mx.answers[0].target, "mail.example.org");
  ASSERT_EQ(mx.additionals.size(), 1u);
  EXPECT_EQ(mx.additionals[0].owner, "mail.example.org");
  EXPECT_EQ(mx.additionals[0].address, "127.0.0.5");

  client.Send(Question(4, "example.org", 2));
  reply = client.Receive();
  ASSERT_TRUE(reply);
  Decoded ns(reply->bytes);
  ASSERT_EQ(ns.answers.size(), 1u);
  EXPECT_EQ(ns.answers[0].target, "ns.example.org");

  client.Send(Question(5, "1.0.0.127.in-addr.arpa", 12));
  reply = client.Receive();
  ASSERT_TRUE(reply);
  Decoded ptr(reply->bytes);
  ASSERT_EQ(ptr.answers.size(), 1u);
  EXPECT_EQ(ptr.answers[0].target, "host.scripted.test");

  client.Send(Question(6, "example.org", 16));  // TXT: no canned records
  reply = client.Receive();
  ASSERT_TRUE(reply);
  EXPECT_TRUE(Decoded(reply->bytes).answers.empty());
  EXPECT_EQ(server.RequestCount(), 6);
  EXPECT_EQ(server.Requests()[0], Question(0x1234, "Host.Example", 1));
}

TEST(ScriptedResponder, ScriptRunsInOrderThenFallsBackToDefault) {
  REQUIRE_LOOPBACK_NAMESPACE();
  ScriptedDnsResponder server;
  server.Script({ScriptedDnsResponder::ResponseCode(2), ScriptedDnsResponder::Silence(),
                 ScriptedDnsResponder::ResponseCode(5)});
  Client client(server);
  client.Send(Question(1, "a.test", 1));
  auto reply = client.Receive();
  ASSERT_TRUE(reply);
  EXPECT_EQ(Decoded(reply->bytes).rcode, 2);

  client.Send(Question(2, "a.test", 1));
  ASSERT_TRUE(server.WaitForRequests(2, 5s));
  EXPECT_FALSE(client.Receive(300ms)) << "silence expected";

  client.Send(Question(3, "a.test", 1));
  reply = client.Receive();
  ASSERT_TRUE(reply);
  EXPECT_EQ(Decoded(reply->bytes).rcode, 5);

  client.Send(Question(4, "a.test", 1));
  reply = client.Receive();
  ASSERT_TRUE(reply);
  EXPECT_EQ(Decoded(reply->bytes).rcode, 0);

  server.SetDefaultReply(ScriptedDnsResponder::Silence());
  client.Send(Question(5, "a.test", 1));
  ASSERT_TRUE(server.WaitForRequests(5, 5s));
  EXPECT_FALSE(client.Receive(300ms));
  EXPECT_EQ(server.SentCount(), 3);
}

TEST(ScriptedResponder, ForgedDatagramComesFirstThenTheRightAnswer) {
  REQUIRE_LOOPBACK_NAMESPACE();
  ScriptedDnsResponder server("127.0.0.7");
  Client client(server);
  const Kind kinds[] = {
      Kind::kWrongId,           Kind::kWrongSourcePort,   Kind::kWrongSourceAddress,
      Kind::kWrongQuestionName, Kind::kWrongQuestionType, Kind::kWrongQuestionClass,
      Kind::kCaseChangedName,   Kind::kQrClear,           Kind::kEmpty};
  std::uint16_t id = 100;
  for (Kind kind : kinds) {
    SCOPED_TRACE(static_cast<int>(kind));
    server.Script({ScriptedDnsResponder::ForgedThenAnswer(kind)});
    client.Send(Question(++id, "www.Example.org", 1));
    auto forged = client.Receive();
    auto right = client.Receive();
    ASSERT_TRUE(forged);
    ASSERT_TRUE(right);

    Decoded good(right->bytes);
    EXPECT_EQ(good.id, id);
    EXPECT_TRUE(good.qr);
    EXPECT_EQ(good.qname, "www.Example.org");
    EXPECT_EQ(right->address, "127.0.0.7");
    EXPECT_EQ(right->port, server.Port());

    if (kind == Kind::kEmpty) {
      EXPECT_TRUE(forged->bytes.empty());
      continue;
    }
    Decoded bad(forged->bytes);
    const bool same_source = forged->address == "127.0.0.7" && forged->port == server.Port();
    switch (kind) {
      case Kind::kWrongId:
        EXPECT_EQ(bad.id, static_cast<std::uint16_t>(id + 1));
        EXPECT_TRUE(same_source);
        break;
      case Kind::kWrongSourcePort:
        EXPECT_EQ(forged->address, "127.0.0.7");
        EXPECT_NE(forged->port, server.Port());
        EXPECT_EQ(bad.id, id);
        break;
      case Kind::kWrongSourceAddress:
        EXPECT_NE(forged->address, "127.0.0.7");
        EXPECT_EQ(bad.id, id);
        break;
      case Kind::kWrongQuestionName:
        EXPECT_EQ(bad.qname, "forged.www.Example.org");
        EXPECT_TRUE(same_source);
        break;
      case Kind::kWrongQuestionType:
        EXPECT_EQ(bad.qtype, 28);
        EXPECT_EQ(bad.qname, "www.Example.org");
        break;
      case Kind::kWrongQuestionClass:
        EXPECT_EQ(bad.qclass, 3);
        break;
      case Kind::kCaseChangedName:
        EXPECT_EQ(bad.qname, "WWW.eXAMPLE.ORG");
        EXPECT_EQ(bad.id, id);
        break;
      case Kind::kQrClear:
        EXPECT_FALSE(bad.qr);
        EXPECT_EQ(bad.id, id);
        break;
      default:
        break;
    }
  }
}

TEST(ScriptedResponder, ResponseCodesAndNameErrorSoa) {
  REQUIRE_LOOPBACK_NAMESPACE();
  ScriptedDnsResponder server;
  Client client(server);
  for (int rcode : {1, 2, 3, 4, 5, 9}) {
    SCOPED_TRACE(rcode);
    server.Script({ScriptedDnsResponder::ResponseCode(rcode)});
    client.Send(Question(static_cast<std::uint16_t>(rcode), "missing.test", 1));
    auto reply = client.Receive();
    ASSERT_TRUE(reply);
    Decoded d(reply->bytes);
    EXPECT_EQ(d.rcode, rcode);
    EXPECT_TRUE(d.answers.empty());
    EXPECT_TRUE(d.additionals.empty());
    if (rcode == 3) {
      ASSERT_EQ(d.authorities.size(), 1u);
      EXPECT_EQ(d.authorities[0].type, 6);
    } else {
      EXPECT_TRUE(d.authorities.empty());
    }
  }
}

TEST(ScriptedResponder, TruncatedOversizedAndMalformedAnswers) {
  REQUIRE_LOOPBACK_NAMESPACE();
  ScriptedDnsResponder server;
  Client client(server);
  server.Script({ScriptedDnsResponder::Truncated(), ScriptedDnsResponder::Oversized(),
                 ScriptedDnsResponder::Malformed()});

  client.Send(Question(1, "big.test", 1));
  auto reply = client.Receive();
  ASSERT_TRUE(reply);
  Decoded truncated(reply->bytes);
  EXPECT_TRUE(truncated.tc);
  EXPECT_TRUE(truncated.answers.empty());

  client.Send(Question(2, "big.test", 1));
  reply = client.Receive();
  ASSERT_TRUE(reply);
  EXPECT_GT(reply->bytes.size(), 512u);
  Decoded oversized(reply->bytes);
  EXPECT_FALSE(oversized.tc);
  EXPECT_EQ(oversized.answers.size(), 41u);

  client.Send(Question(3, "bad.test", 1));
  reply = client.Receive();
  ASSERT_TRUE(reply);
  EXPECT_THROW(Decoded{reply->bytes}, std::exception);

  ScriptedDnsResponder::Reply loop;
  loop.datagrams.emplace_back().kind = Kind::kPointerLoop;
  server.Script({loop});
  client.Send(Question(4, "loop.test", 1));
  reply = client.Receive();
  ASSERT_TRUE(reply);
  try {
    Decoded d(reply->bytes);
    FAIL() << "decoded a pointer loop";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "pointer loop");
  }
}

TEST(ScriptedResponder, ReferralCarriesNameServersAndOnlyTheGlueGiven) {
  REQUIRE_LOOPBACK_NAMESPACE();
  ScriptedDnsResponder server;
  Client client(server);
  server.Script({ScriptedDnsResponder::Referral(
      {{"ns1.child.test", "127.0.0.21"}, {"ns2.elsewhere.test", ""}})});
  client.Send(Question(9, "www.child.test", 1));
  auto reply = client.Receive();
  ASSERT_TRUE(reply);
  Decoded d(reply->bytes);
  EXPECT_FALSE(d.aa);
  EXPECT_TRUE(d.answers.empty());
  ASSERT_EQ(d.authorities.size(), 2u);
  EXPECT_EQ(d.authorities[0].target, "ns1.child.test");
  EXPECT_EQ(d.authorities[1].target, "ns2.elsewhere.test");
  ASSERT_EQ(d.additionals.size(), 1u);
  EXPECT_EQ(d.additionals[0].owner, "ns1.child.test");
  EXPECT_EQ(d.additionals[0].address, "127.0.0.21");
}

TEST(ScriptedResponder, SlowAnswerComesAfterItsDelay) {
  REQUIRE_LOOPBACK_NAMESPACE();
  ScriptedDnsResponder server;
  Client client(server);
  server.Script({ScriptedDnsResponder::Slow(300ms)});
  const auto start = std::chrono::steady_clock::now();
  client.Send(Question(1, "slow.test", 1));
  auto reply = client.Receive(10s);
  ASSERT_TRUE(reply);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 250ms);
  EXPECT_EQ(Decoded(reply->bytes).id, 1);
}

TEST(ScriptedResponder, StopsInTheMiddleOfALongDelay) {
  REQUIRE_LOOPBACK_NAMESPACE();
  auto server = std::make_unique<ScriptedDnsResponder>();
  server->Script({ScriptedDnsResponder::Slow(10min)});
  Client client(*server);
  client.Send(Question(1, "never.test", 1));
  ASSERT_TRUE(server->WaitForRequests(1, 5s));
  server.reset();  // must not wait for the delay
  EXPECT_FALSE(client.Receive(100ms));
}

TEST(ScriptedResponder, JunkRequestsAreCountedButNotAnswered) {
  REQUIRE_LOOPBACK_NAMESPACE();
  ScriptedDnsResponder server;
  Client client(server);
  client.Send({0x12, 0x34, 0x01});
  Bytes pointer_question = Question(7, "x", 1);
  pointer_question[12] = 0xC0;  // a question name may not be a pointer here
  client.Send(pointer_question);
  ASSERT_TRUE(server.WaitForRequests(2, 5s));
  EXPECT_FALSE(client.Receive(300ms));
  // Raw bytes need no question to echo.
  server.Script({ScriptedDnsResponder::Raw({1, 2, 3})});
  client.Send({0});
  auto reply = client.Receive();
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->bytes, (Bytes{1, 2, 3}));
}

TEST(ScriptedResponder, SeveralServersShareOnePort) {
  REQUIRE_LOOPBACK_NAMESPACE();
  // Referral walks keep the port: servers on different loopback addresses share it.
  ScriptedDnsResponder first("127.0.0.11");
  ScriptedDnsResponder second("127.0.0.12", first.Port());
  EXPECT_EQ(second.Port(), first.Port());
  second.SetAnswerAddresses({"127.0.0.12"});
  Client client(second);
  client.Send(Question(1, "a.test", 1));
  auto reply = client.Receive();
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->address, "127.0.0.12");
  EXPECT_EQ(first.RequestCount(), 0);
}

TEST(ScriptedResponder, ServesIpv6Loopback) {
  REQUIRE_LOOPBACK_NAMESPACE();
  std::unique_ptr<ScriptedDnsResponder> server;
  try {
    server = std::make_unique<ScriptedDnsResponder>("::1");
  } catch (const std::system_error& e) {
    GTEST_SKIP() << "no IPv6 loopback here: " << e.what();
  }
  const int fd = socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(fd, 0);
  sockaddr_in6 to{};
  to.sin6_family = AF_INET6;
  to.sin6_port = htons(server->Port());
  to.sin6_addr = in6addr_loopback;
  const Bytes question = Question(0x6666, "six.test", 1);
  ASSERT_EQ(
      sendto(fd, question.data(), question.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to),
      static_cast<ssize_t>(question.size()));
  pollfd p = {fd, POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 5000), 1);
  Bytes buffer(4096);
  const ssize_t got = recv(fd, buffer.data(), buffer.size(), 0);
  close(fd);
  ASSERT_GT(got, 0);
  buffer.resize(static_cast<std::size_t>(got));
  EXPECT_EQ(Decoded(buffer).id, 0x6666);
}

TEST(ScriptedResponder, RefusesAddressesOffLoopback) {
  REQUIRE_LOOPBACK_NAMESPACE();
  EXPECT_THROW(ScriptedDnsResponder("10.0.0.1"), std::invalid_argument);
  EXPECT_THROW(ScriptedDnsResponder("192.168.0.1"), std::invalid_argument);
  EXPECT_THROW(ScriptedDnsResponder("fe80::1"), std::invalid_argument);
  EXPECT_THROW(ScriptedDnsResponder("localhost"), std::invalid_argument);
}

}  // namespace
