// The connections, the stream operations and the resolvers with loopback traffic and
// loopback name lookups.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <thread>

#include "net/zvSocket.h"
#include "net/zvSocketUtils.h"
#include "tests/support/NetNamespace.h"
#include "tests/support/SocketApiSeam.h"
#include "tests/support/TcpPeers.h"
#include "tests/support/TransportTestHelpers.h"
#include "tests/support/UdpPeers.h"

namespace {

namespace ws = zvWinSock2;
using Clock = std::chrono::steady_clock;

int LocalPortOf(int socket) {
  sockaddr_storage local{};
  socklen_t length = sizeof local;
  ::getsockname(socket, reinterpret_cast<sockaddr*>(&local), &length);
  if (local.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6&>(local).sin6_port);
  return ntohs(reinterpret_cast<sockaddr_in&>(local).sin_port);
}

// ---------------------------------------------------------------------------------------

TEST(UdpConnectionLoopback, DatagramRoundTripWithAnEchoPeer) {
  REQUIRE_LOOPBACK_NAMESPACE();
  for (int family : {AF_INET, AF_INET6}) {
    UdpLoopbackPeer peer(UdpLoopbackPeer::Echo(), family);
    auto connection = NewConnection();
    connection->Open(peer.Address(), peer.Port());
    auto request = StreamOf(BytesOf("question"));
    ASSERT_TRUE(connection->WriteData(request.get()));
    EXPECT_EQ(request->Position(), 8);

    TMemoryStream answer;
    answer.WriteBuffer(">", 1);  // the datagram goes at the position
    ASSERT_TRUE(connection->ReadData(&answer));
    EXPECT_EQ(ContentOf(answer), BytesOf(">question"));
    EXPECT_EQ(connection->RemotePort(), peer.Port());
    EXPECT_EQ(connection->RemoteAddress(), family == AF_INET ? "127.0.0.1" : "::1");
    EXPECT_EQ(connection->GetNetworkStream().Transferred(), 16);
    EXPECT_EQ(connection->LocalPort(), peer.SenderPorts().at(0));
  }
}

TEST(UdpConnectionLoopback, NoAnswerTimesOutAndLeavesTheStreamAlone) {
  REQUIRE_LOOPBACK_NAMESPACE();
  UdpLoopbackPeer peer(UdpLoopbackPeer::Silent());
  auto connection = NewConnection();
  connection->SetTimeOut(200);
  connection->Open(peer.Address(), peer.Port());
  auto request = StreamOf(BytesOf("anyone?"));
  connection->WriteData(request.get());
  TMemoryStream answer;
  const auto start = Clock::now();
  EXPECT_EQ(CodeOf([&] { connection->ReadData(&answer); }), kzvErrTimeout);
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(190));
  EXPECT_EQ(answer.Size(), 0);
  EXPECT_TRUE(connection->IsOpen());
}

TEST(UdpConnectionLoopback, TimeOutBelowMinusOneIsAnImmediateTimeOut) {
  REQUIRE_LOOPBACK_NAMESPACE();
  UdpLoopbackPeer peer(UdpLoopbackPeer::Silent());
  auto connection = NewConnection();
  connection->SetTimeOut(-5000);
  connection->Open(peer.Address(), peer.Port());
  TMemoryStream answer;
  const auto start = Clock::now();
  EXPECT_EQ(CodeOf([&] { connection->ReadData(&answer); }), kzvErrTimeout);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(10));
}

TEST(UdpConnectionLoopback, NoLimitWaitsUntilADatagramArrives) {
  REQUIRE_LOOPBACK_NAMESPACE();
  auto connection = NewConnection();
  connection->SetTimeOut(-1);
  connection->SetLocalBinding("127.0.0.1");
  connection->Open("127.0.0.1", 9);
  const int port = LocalPortOf(connection->Socket().Handle());
  std::thread sender([port] {
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    SendLoopbackDatagram("127.0.0.1", port, BytesOf("late"));
  });
  TMemoryStream answer;
  const auto start = Clock::now();
  connection->ReadData(&answer);
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(140));
  sender.join();
  EXPECT_EQ(ContentOf(answer), BytesOf("late"));
}

TEST(UdpConnectionLoopback, DatagramLongerThanTheBatchIsMessageTooLong) {
  REQUIRE_LOOPBACK_NAMESPACE();
  UdpLoopbackPeer peer(UdpLoopbackPeer::Echo());
  auto connection = NewConnection();
  connection->Open(peer.Address(), peer.Port());
  connection->SetBatchSize(600);
  auto request = StreamOf(Bytes(600, 0x5A));
  connection->WriteData(request.get());
  connection->SetBatchSize(512);
  TMemoryStream answer;
  EXPECT_EQ(CodeOf([&] { connection->ReadData(&answer); }), kzvMessageTooLong);
  EXPECT_EQ(answer.Size(), 0);
}

TEST(UdpConnectionLoopback, StreamLongerThanTheBatchSendsOnlyTheFirstBatch) {
  REQUIRE_LOOPBACK_NAMESPACE();
  UdpLoopbackPeer peer(UdpLoopbackPeer::Echo());
  auto connection = NewConnection();
  connection->SetBatchSize(512);
  connection->Open(peer.Address(), peer.Port());
  Bytes bytes(600);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i);
  auto request = StreamOf(bytes);
  connection->WriteData(request.get());
  EXPECT_EQ(request->Position(), 512);
  TMemoryStream answer;
  connection->ReadData(&answer);
  EXPECT_EQ(ContentOf(answer), Bytes(bytes.begin(), bytes.begin() + 512));
}

TEST(UdpConnectionLoopback, EmptyDatagramWritesNothing) {
  REQUIRE_LOOPBACK_NAMESPACE();
  UdpLoopbackPeer peer([](const Bytes&) { return std::optional<Bytes>(Bytes()); });
  auto connection = NewConnection();
  connection->Open(peer.Address(), peer.Port());
  auto request = StreamOf(BytesOf("x"));
  connection->WriteData(request.get());
  TMemoryStream answer;
  EXPECT_TRUE(connection->ReadData(&answer));
  EXPECT_EQ(answer.Size(), 0);
  EXPECT_EQ(connection->RemotePort(), peer.Port());
}

// A send that would block once, during which a datagram arrives: the write wait sees the
// read event and leaves the datagram for the next read, which takes it without waiting.
struct BlockedSendOnce {
  static inline int client_socket = -1;
  static inline int client_port = 0;
  static inline int calls = 0;
  static inline ws::TSendToFn real = nullptr;

  static ssize_t Send(int s, const void* data, size_t length, int flags, const sockaddr* to,
                      socklen_t to_length) {
    if (++calls > 1) return real(s, data, length, flags, to, to_length);
    SendLoopbackDatagram("127.0.0.1", client_port, BytesOf("arrived meanwhile"));
    pollfd p{client_socket, POLLIN, 0};
    ::poll(&p, 1, 10000);  // until it is queued for the client
    errno = EAGAIN;
    return -1;
  }
};

TEST(UdpConnectionLoopback, ReadArrivingDuringAWriteWaitIsReadAtOnce) {
  REQUIRE_LOOPBACK_NAMESPACE();
  UdpLoopbackPeer peer(UdpLoopbackPeer::Silent());
  auto connection = NewConnection();
  connection->SetLocalBinding("127.0.0.1");
  connection->Open(peer.Address(), peer.Port());
  BlockedSendOnce::client_socket = connection->Socket().Handle();
  BlockedSendOnce::client_port = LocalPortOf(connection->Socket().Handle());
  BlockedSendOnce::calls = 0;
  auto& api = ws::SocketApi();
  BlockedSendOnce::real = api.sendto;
  api.sendto = BlockedSendOnce::Send;

  auto request = StreamOf(BytesOf("request"));
  const bool written = connection->WriteData(request.get());
  api.sendto = BlockedSendOnce::real;
  ASSERT_TRUE(written);
  EXPECT_EQ(BlockedSendOnce::calls, 2);
  EXPECT_EQ(request->Position(), 7);
  EXPECT_TRUE(connection->GetNetworkStream().ReadPending());
  // Wait for the peer's copy, so the request surely left.
  for (int i = 0; i < 1000 && peer.Requests().empty(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  ASSERT_EQ(peer.Requests().size(), 1u);

  // With no time at all to wait, only the pending datagram can be read.
  connection->SetTimeOut(0);
  TMemoryStream answer;
  connection->ReadData(&answer);
  EXPECT_EQ(ContentOf(answer), BytesOf("arrived meanwhile"));
  EXPECT_FALSE(connection->GetNetworkStream().ReadPending());
}

TEST(UdpConnectionLoopback, ReadWaitOnAnIdleSocketSleeps) {
  REQUIRE_LOOPBACK_NAMESPACE();
  UdpLoopbackPeer peer(UdpLoopbackPeer::Silent());
  auto connection = NewConnection();
  connection->SetTimeOut(300);
  connection->Open(peer.Address(), peer.Port());
  auto request = StreamOf(BytesOf("x"));
  connection->WriteData(request.get());
  const std::clock_t cpu_before = std::clock();
  TMemoryStream answer;
  EXPECT_EQ(CodeOf([&] { connection->ReadData(&answer); }), kzvErrTimeout);
  // A spinning wait would burn the whole 300 ms of processor time.
  const double cpu_ms = 1000.0 * static_cast<double>(std::clock() - cpu_before) / CLOCKS_PER_SEC;
  EXPECT_LT(cpu_ms, 150.0);
}

TEST(UdpConnectionLoopback, LocalAddressIsReadAgainOnceConnectingChoseIt) {
  REQUIRE_LOOPBACK_NAMESPACE();
  UdpLoopbackPeer peer(UdpLoopbackPeer::Echo());
  auto connection = NewConnection();
  connection->Open(peer.Address(), peer.Port());
  auto request = StreamOf(BytesOf("one"));
  ASSERT_TRUE(connection->WriteData(request.get()));
  EXPECT_EQ(connection->LocalAddress(), "0.0.0.0");  // any address: not chosen yet
  const int port = connection->LocalPort();
  EXPECT_NE(port, 0);
  TMemoryStream answer;
  ASSERT_TRUE(connection->ReadData(&answer));

  // Connecting the datagram socket picks the source address for the peer.
  auto target = TzvIPAddress::CreateFromText(peer.Address());
  connection->GetNetworkStream().Connect(*target, peer.Port());
  connection->SetLocalAddress("stale");
  request = StreamOf(BytesOf("two"));
  ASSERT_TRUE(connection->WriteData(request.get()));
  EXPECT_EQ(connection->LocalAddress(), "127.0.0.1");
  EXPECT_EQ(connection->LocalPort(), port);
  EXPECT_EQ(connection->GetNetworkStream().LocalAddress(), "127.0.0.1");
}

TEST(UdpConnectionLoopback, ThrottleWaitsForTheLengthAskedFor) {
  REQUIRE_LOOPBACK_NAMESPACE();
  UdpLoopbackPeer peer(UdpLoopbackPeer::Echo());
  auto connection = NewConnection();
  connection->SetBatchSize(100);
  connection->SetBitsPerSec(8000);  // 1 ms per byte
  connection->Open(peer.Address(), peer.Port());
  auto request = StreamOf(BytesOf("thirty bytes of request data.."));
  auto start = Clock::now();
  connection->WriteData(request.get());
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(28));  // the 30-byte chunk
  TMemoryStream answer;
  start = Clock::now();
  connection->ReadData(&answer);
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(95));  // the whole 100-byte buffer
  EXPECT_EQ(answer.Size(), 30);
}

// ---------------------------------------------------------------------------------------
// Stream-socket operations over loopback TCP

// A connection whose socket is a TCP socket, driven through its stream.
struct TcpEnd {
  TcpEnd() : connection(NewConnection()) {
    connection->CreateSocket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  }
  TzvNetworkStream& Stream() { return connection->GetNetworkStream(); }
  std::unique_ptr<TzvUdpClientConnection> connection;
};

bool WaitReadable(int socket) {
  pollfd p{socket, POLLIN, 0};
  return ::poll(&p, 1, 10000) == 1;
}

// Makes server listen on 127.0.0.1, connects client to it and accepts the connection.
void ConnectOnLoopback(TcpEnd& server, TcpEnd& client) {
  auto local = TzvIPAddress::CreateFromText("127.0.0.1");
  server.Stream().Bind(*local, 0);
  server.Stream().Listen();
  auto target = TzvIPAddress::CreateFromText("127.0.0.1");
  client.Stream().Connect(*target, server.Stream().LocalPort());
  ASSERT_TRUE(WaitReadable(server.connection->Socket().Handle()));
  server.Stream().Accept();
}

// A peer faster than its reader (which takes a little at a time, as one with work to do
// on each piece) never lets the socket run dry: every read finds data waiting, so no wait
// is ever left to run out, and still the connection's one time-out ends the reading.
TEST(TcpClientConnectionLoopback, AFloodEndsAtTheTimeOut) {
  REQUIRE_LOOPBACK_NAMESPACE();
  TcpLoopbackPeer peer("127.0.0.1", 0, [](TcpLoopbackPeer::Session& session) {
    const TcpLoopbackPeer::Bytes chunk(64 * 1024, 0);
    for (const auto until = Clock::now() + std::chrono::seconds(10);
         Clock::now() < until && session.Send(chunk);) {
    }
  });
  TzvTcpClientConnection connection;
  connection.SetNetworkStream(std::make_unique<TzvNetworkStream>());
  connection.SetTimeOut(1000);
  const auto started = Clock::now();
  connection.Open("127.0.0.1", peer.Port());
  const TcpLoopbackPeer::Bytes request = TcpLoopbackPeer::Framed({0});
  TMemoryStream out;
  out.WriteBuffer(request.data(), static_cast<std::int64_t>(request.size()));
  out.SetPosition(0);
  connection.WriteData(&out);
  EXPECT_EQ(CodeOf([&] {
              for (TMemoryStream in; connection.ReadData(&in, 64); in.Clear()) {
              }
            }),
            kzvErrTimeout);
  EXPECT_LT(Clock::now() - started, std::chrono::milliseconds(1500));
}

TEST(StreamSocketLoopback, ConnectAcceptWriteAndRead) {
  REQUIRE_LOOPBACK_NAMESPACE();
  TcpEnd server;
  auto local = TzvIPAddress::CreateFromText("127.0.0.1");
  server.Stream().Bind(*local, 0);
  server.Stream().Listen();
  const int port = server.Stream().LocalPort();
  ASSERT_GT(port, 0);

  TcpEnd client;
  auto target = TzvIPAddress::CreateFromText("127.0.0.1");
  client.Stream().Connect(*target, port);  // blocking socket: connected at once
  EXPECT_EQ(client.connection->RemotePort(), port);

  ASSERT_TRUE(WaitReadable(server.connection->Socket().Handle()));
  server.Stream().Accept();
  EXPECT_EQ(server.connection->RemoteAddress(), "127.0.0.1");
  EXPECT_EQ(server.connection->LocalPort(), port);

  auto out = StreamOf(Bytes(3000, 0x42));
  client.connection->SetBatchSize(1000);
  EXPECT_TRUE(client.Stream().Write(out.get()));
  EXPECT_EQ(out->Position(), 3000);
  client.connection->Socket().Close();  // the server then sees the end

  unsigned long non_blocking = 0;
  ws::ioctlsocket(server.connection->Socket().Handle(), FIONBIO, &non_blocking);
  TMemoryStream in;
  EXPECT_TRUE(server.Stream().Read(&in));
  EXPECT_EQ(in.Size(), 3000);
  EXPECT_TRUE(server.Stream().PeerClosed());
}

TEST(StreamSocketLoopback, NonBlockingReadWithNothingWaitingReturnsFalse) {
  REQUIRE_LOOPBACK_NAMESPACE();
  TcpEnd server;
  TcpEnd client;
  ASSERT_NO_FATAL_FAILURE(ConnectOnLoopback(server, client));
  unsigned long non_blocking = 1;
  ws::ioctlsocket(server.connection->Socket().Handle(), FIONBIO, &non_blocking);
  TMemoryStream in;
  EXPECT_FALSE(server.Stream().Read(&in));
  EXPECT_FALSE(server.Stream().PeerClosed());
}

TEST(StreamSocketLoopback, ReadTakesNoMoreThanAskedFor) {
  REQUIRE_LOOPBACK_NAMESPACE();
  TcpEnd server;
  TcpEnd client;
  ASSERT_NO_FATAL_FAILURE(ConnectOnLoopback(server, client));
  auto out = StreamOf(Bytes(3000, 0x42));
  EXPECT_TRUE(client.Stream().Write(out.get()));
  client.connection->Socket().Close();
  ASSERT_TRUE(WaitReadable(server.connection->Socket().Handle()));

  // A bound within one batch, across batches, and none: the rest, up to the peer's end.
  server.connection->SetBatchSize(1000);
  TMemoryStream in;
  EXPECT_TRUE(server.Stream().Read(&in, 2));
  EXPECT_EQ(in.Size(), 2);
  EXPECT_EQ(server.Stream().Transferred(), 2);
  EXPECT_TRUE(server.Stream().Read(&in, 2500));
  EXPECT_EQ(in.Size(), 2502);
  EXPECT_EQ(server.Stream().Transferred(), 2502);
  EXPECT_FALSE(server.Stream().PeerClosed());
  EXPECT_TRUE(server.Stream().Read(&in));
  EXPECT_EQ(in.Size(), 3000);
  EXPECT_TRUE(server.Stream().PeerClosed());
}

TEST(StreamSocketLoopback, AcceptWithNoConnectionWaitingFailsAndKeepsListening) {
  REQUIRE_LOOPBACK_NAMESPACE();
  TcpEnd server;
  auto local = TzvIPAddress::CreateFromText("127.0.0.1");
  server.Stream().Bind(*local, 0);
  server.Stream().Listen();  // non-blocking
  const int listening = server.connection->Socket().Handle();
  EXPECT_EQ(CodeOf([&] { server.Stream().Accept(); }), kzvWouldBlock);
  EXPECT_EQ(server.connection->Socket().Handle(), listening);
}

TEST(StreamSocketLoopback, BindRangeSkipsPortsInUse) {
  REQUIRE_LOOPBACK_NAMESPACE();
  TcpEnd first;
  auto local = TzvIPAddress::CreateFromText("127.0.0.1");
  first.Stream().Bind(*local, 0);
  first.Stream().Listen();
  const int taken = first.Stream().LocalPort();
  if (taken >= 65535) GTEST_SKIP() << "no room above the port the system picked";

  TcpEnd second;
  auto address = TzvIPAddress::CreateFromText("127.0.0.1");
  second.Stream().BindRange(*address, taken, 65535);
  second.Stream().RefreshLocalAddress();
  EXPECT_GT(second.Stream().LocalPort(), taken);

  TcpEnd third;
  auto single = TzvIPAddress::CreateFromText("127.0.0.1");
  EXPECT_EQ(CodeOf([&] { third.Stream().BindRange(*single, taken, taken); }), kzvAddressInUse);
}

TEST(StreamSocketLoopback, BadRangesAndFamiliesAreRefused) {
  REQUIRE_LOOPBACK_NAMESPACE();
  TcpEnd end;
  auto address = TzvIPAddress::CreateFromText("127.0.0.1");
  EXPECT_EQ(CodeOf([&] { end.Stream().BindRange(*address, 0, 10); }), kzvErrInvalidPort);
  EXPECT_EQ(CodeOf([&] { end.Stream().BindRange(*address, 20, 10); }), kzvErrInvalidPort);
  EXPECT_EQ(CodeOf([&] { end.Stream().BindRange(*address, 65000, 70000); }), kzvErrInvalidPort);

  auto udp6 = NewConnection();
  udp6->CreateSocket(AF_INET6, SOCK_DGRAM, IPPROTO_UDP);
  EXPECT_EQ(CodeOf([&] { udp6->GetNetworkStream().EnableBroadcast(); }),
            kzvErrInvalidAddressFamily);
  auto udp4 = NewConnection();
  udp4->CreateSocket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  EXPECT_NO_THROW(udp4->GetNetworkStream().EnableBroadcast());
}

// ---------------------------------------------------------------------------------------
// Resolvers with the system's lookup (localhost, and names our loopback server answers)

// The zone's names exist only once the loopback DNS server is part of the namespace.
bool ZoneServerPresent() {
  const auto tests_dir = std::filesystem::path(PELLAMAR_SOURCE_DIR) / "tests";
  return std::filesystem::exists(tests_dir / "netns" / "start-nsd.sh");
}

TEST(ResolverLoopback, LocalhostResolvesWithBothKinds) {
  REQUIRE_LOOPBACK_NAMESPACE();
  EXPECT_EQ(TzvHostResolver6().GetIPAddress("localhost"), "127.0.0.1");
  EXPECT_EQ(TzvHostResolver4().GetIPAddress("localhost"), "127.0.0.1");
  EXPECT_EQ(TzvHostResolver::ResolveHost("localhost"), "127.0.0.1");
  ScopedAddressInfoAbsent absent;
  EXPECT_EQ(TzvHostResolver::ResolveHost("localhost"), "127.0.0.1");
}

TEST(ResolverLoopback, ListsOfLocalhost) {
  REQUIRE_LOOPBACK_NAMESPACE();
  TStringList list;
  TzvHostResolver4().GetIPList("localhost", list);
  ASSERT_GE(list.Count(), 1);
  EXPECT_EQ(list[0], "127.0.0.1");
  TzvHostResolver6().GetIPList("localhost", list);
  ASSERT_GE(list.Count(), 1);
  EXPECT_GE(list.IndexOf("127.0.0.1"), 0);
  for (const std::string& line : list) EXPECT_TRUE(TzvIPAddress::IsIPAddress(line)) << line;
}

TEST(ResolverLoopback, MissingNameFailsWithAHostLookupNumber) {
  REQUIRE_LOOPBACK_NAMESPACE();
  for (bool with_ipv6 : {true, false}) {
    std::unique_ptr<ScopedAddressInfoAbsent> absent;
    if (!with_ipv6) absent = std::make_unique<ScopedAddressInfoAbsent>();
    try {
      TzvHostResolver::ResolveHost("no-such-host.invalid");
      ADD_FAILURE() << "resolved a name that cannot exist";
    } catch (const EzvSocketError& e) {
      EXPECT_GE(e.ErrorCode(), kzvHostNotFound) << with_ipv6;
      EXPECT_LE(e.ErrorCode(), kzvNoData) << with_ipv6;
      EXPECT_FALSE(e.Message().empty());
    }
  }
}

TEST(ResolverLoopback, ZoneNamesResolveInTheSystemsOrder) {
  REQUIRE_LOOPBACK_NAMESPACE();
  if (!ZoneServerPresent()) GTEST_SKIP() << "tests/netns/start-nsd.sh is not there yet";
  EXPECT_EQ(TzvHostResolver6().GetIPAddress("host4.pellamar.test"), "127.0.0.44");
  EXPECT_EQ(TzvHostResolver4().GetIPAddress("host4.pellamar.test"), "127.0.0.44");
  EXPECT_EQ(TzvHostResolver6().GetIPAddress("host6.pellamar.test"), "::1");
  TStringList list;
  TzvHostResolver4().GetIPList("multi.pellamar.test", list);
  EXPECT_EQ(list.Count(), 2);
  EXPECT_GE(list.IndexOf("127.0.0.45"), 0);
  EXPECT_GE(list.IndexOf("127.0.0.46"), 0);
}

}  // namespace
