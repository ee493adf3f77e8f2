// The UDP client component against loopback peers.
#include <gtest/gtest.h>

#include "net/zvSocketUtils.h"
#include "net/zvUdpClient.h"
#include "tests/support/NetNamespace.h"
#include "tests/support/SocketApiSeam.h"
#include "tests/support/TransportTestHelpers.h"
#include "tests/support/UdpPeers.h"

namespace {

class TestClient : public TzvUdpClient {
 public:
  using TzvUdpClient::TzvUdpClient;

 protected:
  std::int32_t GetDefaultPort() const override { return 53; }
};

TEST(UdpClientLoopback, ExchangesOneDatagramAndRaisesTheEventsAfterwards) {
  REQUIRE_LOOPBACK_NAMESPACE();
  UdpLoopbackPeer peer([](const Bytes& request) {
    Bytes answer = request;
    answer.insert(answer.begin(), 'A');
    return std::optional<Bytes>(answer);
  });
  TestClient client(nullptr);
  client.SetServer(peer.Address());
  client.SetPort(peer.Port());

  auto request = StreamOf(BytesOf("query"));
  TMemoryStream answer;
  std::vector<std::string> order;
  client.SetOnSendPacket([&](TObject* sender, TStream* data) {
    EXPECT_EQ(sender, &client);
    EXPECT_EQ(data, request.get());
    EXPECT_EQ(data->Position(), 5);  // the datagram has left
    order.push_back("send");
  });
  client.SetOnReceivePacket([&](TObject* sender, TStream* data) {
    EXPECT_EQ(sender, &client);
    EXPECT_EQ(data, &answer);
    EXPECT_EQ(data->Size(), 6);  // the datagram is in the stream
    order.push_back("receive");
  });

  client.Open();
  client.SendPacket(request.get());
  client.ReceivePacket(&answer);
  client.Close();
  EXPECT_EQ(ContentOf(answer), BytesOf("Aquery"));
  EXPECT_EQ(order, (std::vector<std::string>{"send", "receive"}));
  EXPECT_FALSE(client.Connection().IsOpen());
}

TEST(UdpClientLoopback, NoAnswerTimesOutWithoutTheReceiveEvent) {
  REQUIRE_LOOPBACK_NAMESPACE();
  UdpLoopbackPeer peer(UdpLoopbackPeer::Silent());
  TestClient client(nullptr);
  client.SetServer(peer.Address());
  client.SetPort(peer.Port());
  client.SetTimeOut(150);
  int received = 0;
  client.SetOnReceivePacket([&](TObject*, TStream*) { ++received; });
  client.Open();
  auto request = StreamOf(BytesOf("query"));
  client.SendPacket(request.get());
  TMemoryStream answer;
  try {
    client.ReceivePacket(&answer);
    ADD_FAILURE() << "no time-out";
  } catch (const EzvSocketError& e) {
    EXPECT_EQ(e.ErrorCode(), kzvErrTimeout);
    EXPECT_STREQ(e.what(), "Timeout error occured");
  }
  EXPECT_EQ(received, 0);
  EXPECT_TRUE(client.Connection().IsOpen());  // the caller's Close ends it
  client.Close();
}

TEST(UdpClientLoopback, SendsOnlyTheFirstDatagramSizeBytes) {
  REQUIRE_LOOPBACK_NAMESPACE();
  UdpLoopbackPeer peer(UdpLoopbackPeer::Echo());
  TestClient client(nullptr);
  client.SetServer(peer.Address());
  client.SetPort(peer.Port());
  client.SetDatagramSize(512);
  client.Open();
  auto request = StreamOf(Bytes(600, 0x11));
  client.SendPacket(request.get());
  EXPECT_EQ(request->Position(), 512);
  TMemoryStream answer;
  client.ReceivePacket(&answer);
  EXPECT_EQ(answer.Size(), 512);
  client.Close();
}

TEST(UdpClientLoopback, ServerGivenByNameIsResolvedWithEitherResolver) {
  REQUIRE_LOOPBACK_NAMESPACE();
  UdpLoopbackPeer peer(UdpLoopbackPeer::Echo());
  for (bool with_ipv6 : {true, false}) {
    std::unique_ptr<ScopedAddressInfoAbsent> absent;
    if (!with_ipv6) absent = std::make_unique<ScopedAddressInfoAbsent>();
    TestClient client(nullptr);
    client.SetServer("localhost");
    client.SetPort(peer.Port());
    client.Open();
    EXPECT_EQ(client.Connection().RemoteAddress(), "127.0.0.1") << with_ipv6;
    auto request = StreamOf(BytesOf("hi"));
    client.SendPacket(request.get());
    TMemoryStream answer;
    client.ReceivePacket(&answer);
    EXPECT_EQ(ContentOf(answer), BytesOf("hi")) << with_ipv6;
    client.Close();
  }
}

TEST(UdpClientLoopback, PortsBeyondSixteenBitsAreRefusedAndReachNoOtherPort) {
  REQUIRE_LOOPBACK_NAMESPACE();
  UdpLoopbackPeer peer(UdpLoopbackPeer::Echo());
  TestClient client(nullptr);
  client.SetServer(peer.Address());
  for (int wide : {peer.Port() + 65536, 65536, 70000}) {
    client.SetPort(wide);
    client.Open();
    auto request = StreamOf(BytesOf("astray"));
    try {
      client.SendPacket(request.get());
      ADD_FAILURE() << "port " << wide << " accepted";
    } catch (const EzvSocketError& e) {
      EXPECT_EQ(e.ErrorCode(), kzvErrInvalidPort) << wide;
      EXPECT_STREQ(e.what(), "Invalid port number");
    }
    EXPECT_EQ(request->Position(), 0) << wide;
    client.Close();
  }
  // The peer's own port still works, and its datagram is the only one that arrived.
  client.SetPort(peer.Port());
  client.Open();
  auto request = StreamOf(BytesOf("home"));
  client.SendPacket(request.get());
  TMemoryStream answer;
  client.ReceivePacket(&answer);
  client.Close();
  EXPECT_EQ(ContentOf(answer), BytesOf("home"));
  EXPECT_EQ(peer.Requests(), std::vector<Bytes>{BytesOf("home")});
}

TEST(UdpClientLoopback, LocalPortIsTheOneOfEachNewSocket) {
  REQUIRE_LOOPBACK_NAMESPACE();
  UdpLoopbackPeer peer(UdpLoopbackPeer::Echo());
  TestClient client(nullptr);
  client.SetServer(peer.Address());
  client.SetPort(peer.Port());
  for (int round = 0; round < 3; ++round) {
    client.Open();  // a closed socket's number is usually the next socket's
    for (int exchange = 0; exchange < 2; ++exchange) {
      auto request = StreamOf(BytesOf("where"));
      client.SendPacket(request.get());
      TMemoryStream answer;
      client.ReceivePacket(&answer);
      EXPECT_EQ(client.Connection().LocalAddress(), "0.0.0.0");
      EXPECT_EQ(client.Connection().LocalPort(), peer.SenderPorts().back()) << round;
    }
    client.Close();
  }
  const auto ports = peer.SenderPorts();
  ASSERT_EQ(ports.size(), 6u);
  EXPECT_EQ(ports[0], ports[1]);
  EXPECT_NE(ports[1], ports[2]);  // a new socket, a new port (and it was reported)
}

TEST(UdpClientLoopback, OpenAgainUsesANewSocketTowardsTheNewServer) {
  REQUIRE_LOOPBACK_NAMESPACE();
  UdpLoopbackPeer first(UdpLoopbackPeer::Echo());
  UdpLoopbackPeer second([](const Bytes&) { return std::optional<Bytes>(BytesOf("second")); },
                         AF_INET6);
  TestClient client(nullptr);
  client.SetServer(first.Address());
  client.SetPort(first.Port());
  client.Open();
  client.SetServer(second.Address());
  client.SetPort(second.Port());
  client.Open();  // no Close in between
  auto request = StreamOf(BytesOf("x"));
  client.SendPacket(request.get());
  TMemoryStream answer;
  client.ReceivePacket(&answer);
  EXPECT_EQ(ContentOf(answer), BytesOf("second"));
  EXPECT_TRUE(first.Requests().empty());
  client.Close();
}

}  // namespace
