// The socket binding with loopback traffic and loopback name lookups.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

#include "net/zvSocketUtils.h"
#include "net/zvWUtils.h"
#include "net/zvWinSock2.h"
#include "tests/support/NetNamespace.h"
#include "tests/support/UdpPeers.h"

namespace {

namespace ws = zvWinSock2;

// A UDP socket bound to 127.0.0.1 with read and write events selected on it.
struct BoundSocket {
  BoundSocket() {
    socket = ws::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    signal = ws::WSACreateEvent();
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ws::bind(socket, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    ws::getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
    ws::WSAEventSelect(socket, signal, ws::FD_READ | ws::FD_WRITE);
    // Take the write event that follows the selection.
    ws::WSANETWORKEVENTS events;
    ws::WSAEnumNetworkEvents(socket, signal, &events);
  }
  ~BoundSocket() {
    ws::closesocket(socket);
    ws::WSACloseEvent(signal);
  }
  long TakeEvents() {
    ws::WSANETWORKEVENTS events;
    ws::WSAEnumNetworkEvents(socket, signal, &events);
    return events.lNetworkEvents;
  }
  ws::TSocket socket;
  ws::WSAEVENT signal;
  int port = 0;
};

TEST(NetworkEventsLoopback, ArrivingDatagramSignalsTheReadEvent) {
  REQUIRE_LOOPBACK_NAMESPACE();
  BoundSocket s;
  ASSERT_TRUE(SendLoopbackDatagram("127.0.0.1", s.port, BytesOf("ping")));
  EXPECT_EQ(MsgWaitForMultipleObjects(1, &s.signal, false, 30000, 0), WAIT_OBJECT_0);
  EXPECT_EQ(s.TakeEvents(), ws::FD_READ);
}

TEST(NetworkEventsLoopback, ReadEventComesAgainOnlyAfterAReceive) {
  REQUIRE_LOOPBACK_NAMESPACE();
  BoundSocket s;
  ASSERT_TRUE(SendLoopbackDatagram("127.0.0.1", s.port, BytesOf("one")));
  ASSERT_TRUE(SendLoopbackDatagram("127.0.0.1", s.port, BytesOf("two")));
  ASSERT_EQ(MsgWaitForMultipleObjects(1, &s.signal, false, 30000, 0), WAIT_OBJECT_0);
  EXPECT_EQ(s.TakeEvents(), ws::FD_READ);
  // Data still waits, but without a receive in between it is not reported again.
  EXPECT_EQ(MsgWaitForMultipleObjects(1, &s.signal, false, 0, 0), WAIT_TIMEOUT);

  char buffer[16];
  EXPECT_EQ(ws::recvfrom(s.socket, buffer, sizeof buffer, 0, nullptr, nullptr), 3);
  EXPECT_EQ(MsgWaitForMultipleObjects(1, &s.signal, false, 0, 0), WAIT_OBJECT_0);
  EXPECT_EQ(s.TakeEvents(), ws::FD_READ);
  EXPECT_EQ(ws::recvfrom(s.socket, buffer, sizeof buffer, 0, nullptr, nullptr), 3);
  EXPECT_EQ(MsgWaitForMultipleObjects(1, &s.signal, false, 0, 0), WAIT_TIMEOUT);
}

TEST(NetworkEventsLoopback, DatagramLongerThanTheBufferFailsAndIsConsumed) {
  REQUIRE_LOOPBACK_NAMESPACE();
  BoundSocket s;
  ASSERT_TRUE(SendLoopbackDatagram("127.0.0.1", s.port, Bytes(100, 0x41)));
  ASSERT_TRUE(SendLoopbackDatagram("127.0.0.1", s.port, BytesOf("next")));
  ASSERT_EQ(MsgWaitForMultipleObjects(1, &s.signal, false, 30000, 0), WAIT_OBJECT_0);
  char buffer[64];
  errno = 0;
  EXPECT_EQ(ws::recvfrom(s.socket, buffer, sizeof buffer, 0, nullptr, nullptr), ws::SOCKET_ERROR);
  EXPECT_EQ(ws::WSAGetLastError(), kzvMessageTooLong);
  EXPECT_EQ(ws::recvfrom(s.socket, buffer, sizeof buffer, 0, nullptr, nullptr), 4);
  EXPECT_EQ(std::memcmp(buffer, "next", 4), 0);
}

// Runs the thread's messages until the lookup's completion arrives (bounded).
struct LookupWindow {
  LookupWindow() {
    window = AllocateMessageWindow([this](const TMsg& message) {
      if (message.message == 3134) {
        completed = true;
        request = message.wParam;
        error = ws::WSAGETASYNCERROR(message.lParam);
      }
    });
  }
  ~LookupWindow() { DeallocateMessageWindow(window); }
  bool RunUntilComplete() {
    for (int round = 0; round < 100 && !completed; ++round) {
      if (MsgWaitForMultipleObjects(0, nullptr, false, 1000, kzvWakeMask) == 0) {
        TMsg message;
        while (PeekMessage(message, 0, 0, 0, PM_REMOVE)) DispatchMessage(message);
      }
    }
    return completed;
  }
  HWND window = 0;
  bool completed = false;
  ws::TzvAsyncRequest request = 0;
  std::int32_t error = -1;
};

TEST(AsyncHostLookupLoopback, LocalhostCompletesWithItsIPv4Address) {
  REQUIRE_LOOPBACK_NAMESPACE();
  LookupWindow window;
  ws::TzvHostEntry answer;
  const auto request = ws::WSAAsyncGetHostByName(window.window, 3134, "localhost", &answer);
  ASSERT_NE(request, 0u);
  ASSERT_TRUE(window.RunUntilComplete());
  EXPECT_EQ(window.request, request);
  EXPECT_EQ(window.error, 0);
  ASSERT_FALSE(answer.Addresses.empty());
  EXPECT_EQ(answer.Addresses[0][0], 127);
  // A completed request can no longer be cancelled.
  EXPECT_EQ(ws::WSACancelAsyncRequest(request), ws::SOCKET_ERROR);
}

// Holds every lookup until released, so that a test can cancel one that is surely
// still running; then looks the name up for real.
std::atomic<bool> lookups_released{false};
std::int32_t HeldLookup(const char* name, ws::TzvHostEntry* answer) {
  while (!lookups_released.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return ws::SystemHostLookup(name, answer);
}

TEST(AsyncHostLookupLoopback, CancelledLookupNeitherAnswersNorPosts) {
  REQUIRE_LOOPBACK_NAMESPACE();
  auto& api = ws::SocketApi();
  const ws::THostLookupFn saved = api.hostlookup;
  lookups_released = false;
  api.hostlookup = HeldLookup;
  LookupWindow window;
  auto answer = std::make_unique<ws::TzvHostEntry>();
  const auto request = ws::WSAAsyncGetHostByName(window.window, 3134, "localhost", answer.get());
  api.hostlookup = saved;  // the running lookup keeps the one it started with
  ASSERT_NE(request, 0u);
  EXPECT_EQ(ws::WSACancelAsyncRequest(request), 0);
  answer.reset();  // the lookup must not touch it any more (ASan would tell)
  lookups_released = true;
  // Once the helper has finished, the request is forgotten altogether.
  for (int round = 0; round < 3000; ++round) {
    if (ws::WSACancelAsyncRequest(request) != 0 && ws::WSAGetLastError() == EINVAL) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(ws::WSACancelAsyncRequest(request), ws::SOCKET_ERROR);
  EXPECT_FALSE(HasThreadMessages());
}

}  // namespace
