// The socket binding without traffic: nothing here sends a packet or looks a name up.
#include "net/zvWinSock2.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "net/zvSocketUtils.h"
#include "tests/support/SocketApiSeam.h"

namespace {

namespace ws = zvWinSock2;
using Clock = std::chrono::steady_clock;

// An unbound UDP socket and a network signal selected on it, closed at the end.
struct SelectedSocket {
  SelectedSocket() {
    socket = ws::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    signal = ws::WSACreateEvent();
  }
  ~SelectedSocket() {
    if (socket != ws::INVALID_SOCKET) ws::closesocket(socket);
    ws::WSACloseEvent(signal);
  }
  ws::TSocket socket;
  ws::WSAEVENT signal;
};

TEST(SocketBinding, BindingAgainChangesNothing) {
  auto& first = ws::SocketApi();
  const auto bind = first.bind;
  const auto getaddrinfo = first.getaddrinfo;
  auto& second = ws::SocketApi();
  EXPECT_EQ(&first, &second);
  EXPECT_EQ(second.bind, bind);
  EXPECT_EQ(second.getaddrinfo, getaddrinfo);
}

TEST(SocketBinding, EitherOptionalOperationMissingMeansNoIPv6) {
  {
    ScopedAddressInfoAbsent absent(true, false);
    EXPECT_FALSE(ws::IsIPv6Available());
  }
  {
    ScopedAddressInfoAbsent absent(false, true);
    EXPECT_FALSE(ws::IsIPv6Available());
  }
  EXPECT_TRUE(ws::IsIPv6Available());
}

TEST(SocketBinding, AbsentGetAddrInfoReturnsNoRecoveryAndDoesNothing) {
  ScopedAddressInfoAbsent absent;
  addrinfo hints{};
  hints.ai_flags = AI_NUMERICHOST;
  addrinfo* list = reinterpret_cast<addrinfo*>(&hints);  // must be overwritten
  EXPECT_EQ(ws::getaddrinfo("127.0.0.1", nullptr, &hints, &list), kzvNoRecovery);
  EXPECT_EQ(list, nullptr);
  ws::freeaddrinfo(list);
}

TEST(SocketBinding, AbsentFreeAddrInfoDoesNothing) {
  addrinfo hints{};
  hints.ai_flags = AI_NUMERICHOST;
  addrinfo* list = nullptr;
  ASSERT_EQ(ws::getaddrinfo("::1", nullptr, &hints, &list), 0);
  ASSERT_NE(list, nullptr);
  {
    ScopedAddressInfoAbsent absent(false, true);
    ws::freeaddrinfo(list);  // ignored: the list is still ours to free
  }
  EXPECT_EQ(list->ai_family, AF_INET6);
  ws::freeaddrinfo(list);
  ws::freeaddrinfo(nullptr);
}

TEST(SocketBinding, NumericLookupErrorsArePositiveHostLookupNumbers) {
  addrinfo hints{};
  hints.ai_flags = AI_NUMERICHOST;
  addrinfo* list = nullptr;
  EXPECT_EQ(ws::getaddrinfo("not-an-address", nullptr, &hints, &list), kzvHostNotFound);
  EXPECT_EQ(list, nullptr);
}

TEST(SocketStartup, StartUpsNestAndAreCounted) {
  const int before = ws::StartupCount();
  ws::StartupSocket();
  ws::StartupSocket();
  EXPECT_EQ(ws::StartupCount(), before + 2);
  ws::CleanupSocket();
  ws::CleanupSocket();
  EXPECT_EQ(ws::StartupCount(), before);
}

TEST(SocketCalls, AHandleThatIsNotOpenIsNotASocket) {
  char buffer[16];
  sockaddr_in to{};
  to.sin_family = AF_INET;
  socklen_t length = sizeof to;
  errno = 0;
  EXPECT_EQ(ws::recvfrom(ws::INVALID_SOCKET, buffer, sizeof buffer, 0, nullptr, nullptr),
            ws::SOCKET_ERROR);
  EXPECT_EQ(ws::WSAGetLastError(), kzvNotASocket);
  EXPECT_EQ(
      ws::sendto(ws::INVALID_SOCKET, buffer, 4, 0, reinterpret_cast<sockaddr*>(&to), sizeof to),
      ws::SOCKET_ERROR);
  EXPECT_EQ(ws::WSAGetLastError(), kzvNotASocket);
  EXPECT_EQ(ws::getsockname(ws::INVALID_SOCKET, reinterpret_cast<sockaddr*>(&to), &length),
            ws::SOCKET_ERROR);
  EXPECT_EQ(ws::WSAGetLastError(), kzvNotASocket);
}

TEST(SocketCalls, SmallAddressRecordIsAFault) {
  SelectedSocket s;
  sockaddr_in6 address{};
  socklen_t length = 4;  // too small for any address
  EXPECT_EQ(ws::getsockname(s.socket, reinterpret_cast<sockaddr*>(&address), &length),
            ws::SOCKET_ERROR);
  EXPECT_EQ(ws::WSAGetLastError(), EFAULT);
}

TEST(SocketCalls, IoctlSetsNonBlockingModeAndRefusesOtherCommands) {
  SelectedSocket s;
  unsigned long on = 1;
  ASSERT_EQ(ws::ioctlsocket(s.socket, FIONBIO, &on), 0);
  EXPECT_NE(::fcntl(s.socket, F_GETFL) & O_NONBLOCK, 0);
  unsigned long off = 0;
  ASSERT_EQ(ws::ioctlsocket(s.socket, FIONBIO, &off), 0);
  EXPECT_EQ(::fcntl(s.socket, F_GETFL) & O_NONBLOCK, 0);
  EXPECT_EQ(ws::ioctlsocket(s.socket, 0x12345, &on), ws::SOCKET_ERROR);
  EXPECT_EQ(ws::ioctlsocket(s.socket, FIONBIO, nullptr), ws::SOCKET_ERROR);
}

TEST(NetworkEvents, WriteEventIsReportedOnceAfterSelection) {
  SelectedSocket s;
  ASSERT_EQ(ws::WSAEventSelect(s.socket, s.signal, ws::FD_READ | ws::FD_WRITE), 0);
  EXPECT_EQ(MsgWaitForMultipleObjects(1, &s.signal, false, 0, 0), WAIT_OBJECT_0);
  ws::WSANETWORKEVENTS events;
  ASSERT_EQ(ws::WSAEnumNetworkEvents(s.socket, s.signal, &events), 0);
  EXPECT_EQ(events.lNetworkEvents, ws::FD_WRITE);
  EXPECT_EQ(events.iErrorCode[ws::FD_WRITE_BIT], 0);

  // The socket stays writable, but that is not news: nothing more is reported.
  EXPECT_EQ(MsgWaitForMultipleObjects(1, &s.signal, false, 0, 0), WAIT_TIMEOUT);
  ASSERT_EQ(ws::WSAEnumNetworkEvents(s.socket, s.signal, &events), 0);
  EXPECT_EQ(events.lNetworkEvents, 0);
}

TEST(NetworkEvents, ReadWaitOnAnIdleWritableSocketSleepsUntilItsTimeOut) {
  SelectedSocket s;
  ASSERT_EQ(ws::WSAEventSelect(s.socket, s.signal, ws::FD_READ | ws::FD_WRITE), 0);
  ws::WSANETWORKEVENTS events;
  ASSERT_EQ(MsgWaitForMultipleObjects(1, &s.signal, false, 0, 0), WAIT_OBJECT_0);
  ws::WSAEnumNetworkEvents(s.socket, s.signal, &events);

  int wakeups = 0;
  const auto start = Clock::now();
  while (Clock::now() - start < std::chrono::milliseconds(150)) {
    if (MsgWaitForMultipleObjects(1, &s.signal, false, 150, 0) == WAIT_OBJECT_0) ++wakeups;
  }
  EXPECT_EQ(wakeups, 0);
}

TEST(NetworkEvents, ClosingTheSocketEndsTheSelection) {
  SelectedSocket s;
  ASSERT_EQ(ws::WSAEventSelect(s.socket, s.signal, ws::FD_READ | ws::FD_WRITE), 0);
  ws::closesocket(s.socket);
  s.socket = ws::INVALID_SOCKET;
  EXPECT_EQ(MsgWaitForMultipleObjects(1, &s.signal, false, 0, 0), WAIT_TIMEOUT);
}

TEST(NetworkEvents, SelectionMakesEverySocketNonBlockingWhateverItsNumberCarriedBefore) {
  const ws::TSocket first = ws::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, IPPROTO_UDP);
  ASSERT_NE(first, ws::INVALID_SOCKET);
  EXPECT_NE(::fcntl(first, F_GETFL) & O_NONBLOCK, 0);
  ws::closesocket(first);
  // The lowest free number comes back: the same one, now for a blocking socket.
  SelectedSocket s;
  ASSERT_EQ(s.socket, first);
  ASSERT_EQ(::fcntl(s.socket, F_GETFL) & O_NONBLOCK, 0);
  ASSERT_EQ(ws::WSAEventSelect(s.socket, s.signal, ws::FD_READ), 0);
  EXPECT_NE(::fcntl(s.socket, F_GETFL) & O_NONBLOCK, 0);

  const ws::TSocket made = ws::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, IPPROTO_UDP);
  ASSERT_NE(made, ws::INVALID_SOCKET);
  unsigned long off = 0;
  ASSERT_EQ(ws::ioctlsocket(made, FIONBIO, &off), 0);
  const THandle signal = ws::WSACreateEvent();
  ASSERT_EQ(ws::WSAEventSelect(made, signal, ws::FD_READ), 0);
  EXPECT_NE(::fcntl(made, F_GETFL) & O_NONBLOCK, 0);
  ws::closesocket(made);
  ws::WSACloseEvent(signal);
}

// Sockets are noted by number; a process with many files open hands out large numbers.
TEST(NetworkEvents, ASocketWithALargeNumberIsSelectedAndClosedLikeAnyOther) {
  SelectedSocket s;
  const int high = ::fcntl(s.socket, F_DUPFD_CLOEXEC, 5000);
  if (high < 0) GTEST_SKIP() << "no descriptor numbers that high here";
  ASSERT_GE(high, 5000);
  ASSERT_EQ(ws::WSAEventSelect(high, s.signal, ws::FD_READ | ws::FD_WRITE), 0);
  EXPECT_NE(::fcntl(high, F_GETFL) & O_NONBLOCK, 0);
  EXPECT_EQ(MsgWaitForMultipleObjects(1, &s.signal, false, 0, 0), WAIT_OBJECT_0);
  ws::WSANETWORKEVENTS events;
  ASSERT_EQ(ws::WSAEnumNetworkEvents(high, s.signal, &events), 0);
  EXPECT_EQ(events.lNetworkEvents, ws::FD_WRITE);
  EXPECT_EQ(ws::closesocket(high), 0);
  EXPECT_EQ(MsgWaitForMultipleObjects(1, &s.signal, false, 0, 0), WAIT_TIMEOUT);
}

TEST(NetworkEvents, BadSelectionsAreRefused) {
  SelectedSocket s;
  const THandle plain_event = CreateEvent();
  EXPECT_EQ(ws::WSAEventSelect(s.socket, plain_event, ws::FD_READ), ws::SOCKET_ERROR);
  EXPECT_EQ(ws::WSAGetLastError(), EINVAL);
  EXPECT_EQ(ws::WSAEventSelect(s.socket, s.signal, 0x100), ws::SOCKET_ERROR);
  EXPECT_EQ(ws::WSAEventSelect(ws::INVALID_SOCKET, s.signal, ws::FD_READ), ws::SOCKET_ERROR);
  EXPECT_EQ(ws::WSAGetLastError(), kzvNotASocket);
  ws::WSANETWORKEVENTS events;
  EXPECT_EQ(ws::WSAEnumNetworkEvents(s.socket, s.signal, nullptr), ws::SOCKET_ERROR);
  EXPECT_EQ(ws::WSAEnumNetworkEvents(ws::INVALID_SOCKET, s.signal, &events), ws::SOCKET_ERROR);
  CloseHandle(plain_event);
}

TEST(AsyncHostLookup, UnknownRequestsCannotBeCancelled) {
  EXPECT_EQ(ws::WSACancelAsyncRequest(987654321), ws::SOCKET_ERROR);
  EXPECT_EQ(ws::WSAGetLastError(), EINVAL);
  ws::TzvHostEntry answer;
  EXPECT_EQ(ws::WSAAsyncGetHostByName(0, 3134, "localhost", &answer), 0u);
  EXPECT_EQ(ws::WSAAsyncGetHostByName(1, 3134, nullptr, &answer), 0u);
}

}  // namespace
