// The UDP client component's settings and events, without traffic.
#include "net/zvUdpClient.h"

#include <gtest/gtest.h>

#include "net/zvSocketUtils.h"
#include "net/zvWinSock2.h"

namespace {

class TestClient : public TzvUdpClient {
 public:
  using TzvUdpClient::TzvUdpClient;

 protected:
  std::int32_t GetDefaultPort() const override { return 53; }
};

TEST(UdpClient, NewClientHasTheDeclaredDefaults) {
  TestClient client(nullptr);
  EXPECT_EQ(client.DatagramSize(), 8192);
  EXPECT_EQ(client.TimeOut(), 5000);
  EXPECT_EQ(client.BitsPerSec(), 0);
  EXPECT_EQ(client.Server(), "");
  EXPECT_EQ(client.LocalBinding(), "");
  EXPECT_EQ(client.Port(), 53);
  EXPECT_FALSE(client.Connection().IsOpen());
}

TEST(UdpClient, ChangesRaiseOnChangedOnceAndRepeatsNothing) {
  TestClient client(nullptr);
  int changes = 0;
  client.SetOnChanged([&](TObject* sender) {
    EXPECT_EQ(sender, &client);
    ++changes;
  });
  client.SetServer("ns.example");
  client.SetServer("ns.example");
  EXPECT_EQ(changes, 1);
  client.SetServer("NS.example");  // letter case counts
  EXPECT_EQ(changes, 2);
  client.SetPort(53);  // the default is the current value
  EXPECT_EQ(changes, 2);
  client.SetPort(5353);
  client.SetPort(5353);
  EXPECT_EQ(changes, 3);
  client.SetDatagramSize(8192);
  client.SetDatagramSize(512);
  client.SetTimeOut(5000);
  client.SetTimeOut(-1);
  client.SetBitsPerSec(0);
  client.SetBitsPerSec(9600);
  client.SetLocalBinding("");
  client.SetLocalBinding("127.0.0.1");
  EXPECT_EQ(changes, 7);
}

TEST(UdpClient, SettersStoreIntoTheConnectionWithoutChecking) {
  TestClient client(nullptr);
  client.SetDatagramSize(0);
  client.SetTimeOut(-7);
  client.SetBitsPerSec(-1);
  client.SetPort(70000);
  client.SetLocalBinding(" 10.0.0.1 ");
  EXPECT_EQ(client.Connection().BatchSize(), 0);
  EXPECT_EQ(client.Connection().TimeOut(), -7);
  EXPECT_EQ(client.Connection().BitsPerSec(), -1);
  EXPECT_EQ(client.Port(), 70000);
  EXPECT_EQ(client.Connection().LocalBinding(), " 10.0.0.1 ");
}

TEST(UdpClient, EachClientStartsAndStopsTheSocketInterface) {
  const int before = zvWinSock2::StartupCount();
  {
    TestClient first(nullptr);
    TestClient second(nullptr);
    EXPECT_EQ(zvWinSock2::StartupCount(), before + 2);
  }
  EXPECT_EQ(zvWinSock2::StartupCount(), before);
}

TEST(UdpClient, ReceiveOnANeverOpenedClientFailsWithoutTheEvent) {
  TestClient client(nullptr);
  int events = 0;
  client.SetOnReceivePacket([&](TObject*, TStream*) { ++events; });
  TMemoryStream data;
  try {
    client.ReceivePacket(&data);
    ADD_FAILURE() << "received on a closed client";
  } catch (const EzvSocketError& e) {
    EXPECT_EQ(e.ErrorCode(), kzvNotASocket);
  }
  EXPECT_EQ(events, 0);
}

TEST(UdpClient, SendWithoutAnOpenFailsWithoutTheEvent) {
  TestClient client(nullptr);
  int events = 0;
  client.SetOnSendPacket([&](TObject*, TStream*) { ++events; });
  TMemoryStream data;
  data.WriteBuffer("x", 1);
  data.SetPosition(0);
  EXPECT_THROW(client.SendPacket(&data), EzvSocketError);
  EXPECT_EQ(events, 0);
}

}  // namespace
