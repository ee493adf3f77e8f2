// Connections, the network stream and the resolvers without traffic: sockets may be made
// but nothing is sent, and every name lookup is a scripted stand-in.
#include "net/zvSocket.h"
#include "tests/support/MessageQueue.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

#include "net/zvSocketUtils.h"
#include "net/zvWUtils.h"
#include "tests/support/SocketApiSeam.h"
#include "tests/support/TransportTestHelpers.h"

namespace {

namespace ws = zvWinSock2;
using Clock = std::chrono::steady_clock;

// ---------------------------------------------------------------------------------------

TEST(Connection, NewConnectionIsClosedWithDefaults) {
  auto connection = NewConnection();
  EXPECT_EQ(connection->BatchSize(), 8192);
  EXPECT_EQ(connection->TransferLimit(), -1);
  EXPECT_EQ(connection->TimeOut(), 5000);
  EXPECT_EQ(connection->BitsPerSec(), 0);
  EXPECT_FALSE(connection->IsOpen());
  EXPECT_EQ(connection->Socket().Handle(), ws::INVALID_SOCKET);
  EXPECT_EQ(connection->Socket().Family(), 0);
  EXPECT_NE(connection->NetworkSignal(), ws::WSA_INVALID_EVENT);
}

TEST(Connection, CloseOnAClosedConnectionDoesNothing) {
  auto connection = NewConnection();
  EXPECT_NO_THROW(connection->Close(false));
  EXPECT_NO_THROW(connection->Close(true));
  EXPECT_FALSE(connection->IsOpen());
}

TEST(Connection, OpenThenCloseTwice) {
  auto connection = NewConnection();
  connection->Open("127.0.0.1", 53);
  EXPECT_TRUE(connection->IsOpen());
  EXPECT_NE(connection->Socket().Handle(), ws::INVALID_SOCKET);
  EXPECT_EQ(connection->Socket().Family(), AF_INET);
  EXPECT_EQ(connection->RemoteAddress(), "127.0.0.1");
  EXPECT_EQ(connection->RemotePort(), 53);
  connection->Close(false);
  connection->Close(false);
  EXPECT_FALSE(connection->IsOpen());
  EXPECT_EQ(connection->Socket().Handle(), ws::INVALID_SOCKET);
}

TEST(Connection, OpenRefusesTextsThatAreNoAddress) {
  auto connection = NewConnection();
  EXPECT_EQ(CodeOf([&] { connection->Open("localhost", 53); }), kzvErrInvalidHostAddress);
  EXPECT_FALSE(connection->IsOpen());
  connection->SetLocalBinding("not an address");
  EXPECT_EQ(CodeOf([&] { connection->Open("127.0.0.1", 53); }), kzvErrInvalidHostAddress);
  EXPECT_FALSE(connection->IsOpen());
  // The socket made before the failure is closed by the next Open or Close.
  EXPECT_NE(connection->Socket().Handle(), ws::INVALID_SOCKET);
  connection->Close(false);
  EXPECT_EQ(connection->Socket().Handle(), ws::INVALID_SOCKET);
}

TEST(Connection, OpenOnAnOpenConnectionReplacesTheSocket) {
  auto connection = NewConnection();
  connection->Open("127.0.0.1", 53);
  const int first = connection->Socket().Handle();
  connection->Open("::1", 54);
  EXPECT_TRUE(connection->IsOpen());
  EXPECT_EQ(connection->Socket().Family(), AF_INET6);
  EXPECT_EQ(connection->RemotePort(), 54);
  // The first descriptor was closed: a fresh socket may reuse its number, but it is not
  // the same open file as before when it differs.
  if (connection->Socket().Handle() != first) {
    EXPECT_EQ(::fcntl(first, F_GETFD), -1);
  }
}

TEST(Connection, LocalBindingOfBlanksDoesNotBind) {
  auto connection = NewConnection();
  connection->SetLocalBinding("   ");
  connection->Open("127.0.0.1", 53);
  sockaddr_in local{};
  socklen_t length = sizeof local;
  ASSERT_EQ(
      ::getsockname(connection->Socket().Handle(), reinterpret_cast<sockaddr*>(&local), &length),
      0);
  EXPECT_EQ(local.sin_port, 0);  // still unbound
}

TEST(Connection, LocalBindingAddressBindsToASystemPickedPort) {
  auto connection = NewConnection();
  connection->SetLocalBinding("127.0.0.1");
  connection->Open("127.0.0.1", 53);
  sockaddr_in local{};
  socklen_t length = sizeof local;
  ASSERT_EQ(
      ::getsockname(connection->Socket().Handle(), reinterpret_cast<sockaddr*>(&local), &length),
      0);
  EXPECT_NE(local.sin_port, 0);
  EXPECT_EQ(ntohl(local.sin_addr.s_addr), INADDR_LOOPBACK);
}

TEST(Connection, ReadOnANeverOpenedConnectionIsNotASocket) {
  auto connection = NewConnection();
  TMemoryStream data;
  EXPECT_EQ(CodeOf([&] { connection->ReadData(&data); }), kzvNotASocket);
}

TEST(Connection, WriteWithoutAPeerIsNoHostAddress) {
  auto connection = NewConnection();
  TMemoryStream data;
  data.WriteBuffer("x", 1);
  data.SetPosition(0);
  EXPECT_EQ(CodeOf([&] { connection->WriteData(&data); }), kzvErrInvalidHostAddress);
}

TEST(Connection, WriteOnAClosedConnectionFailsFromTheSend) {
  auto connection = NewConnection();
  connection->Open("127.0.0.1", 53);
  connection->Close(false);
  TMemoryStream data;
  data.WriteBuffer("x", 1);
  data.SetPosition(0);
  EXPECT_EQ(CodeOf([&] { connection->WriteData(&data); }), kzvNotASocket);
}

TEST(Connection, WithoutAStreamTheStreamIsRequired) {
  TzvUdpClientConnection connection;
  EXPECT_EQ(CodeOf([&] { connection.GetNetworkStream(); }), kzvErrNetworkStreamRequired);
  EXPECT_EQ(CodeOf([&] { connection.Open("127.0.0.1", 53); }), kzvErrNetworkStreamRequired);
}

TEST(Connection, ReplacingTheStreamKeepsTheAddresses) {
  auto connection = NewConnection();
  TzvNetworkStream& old_stream = connection->GetNetworkStream();
  old_stream.SetPeer("10.0.0.7", 4000);
  old_stream.SetReadPending(true);

  auto replacement = std::make_unique<TzvNetworkStream>();
  TzvNetworkStream* fresh = replacement.get();
  connection->SetNetworkStream(std::move(replacement));
  EXPECT_EQ(&connection->GetNetworkStream(), fresh);
  EXPECT_EQ(fresh->RemoteAddress(), "10.0.0.7");
  EXPECT_EQ(fresh->RemotePort(), 4000);
  EXPECT_TRUE(fresh->ReadPending());
  EXPECT_EQ(fresh->Connection(), connection.get());
  connection->SetNetworkStream(std::unique_ptr<TzvNetworkStream>(fresh));  // the same again
  EXPECT_EQ(&connection->GetNetworkStream(), fresh);
}

// ---------------------------------------------------------------------------------------

TEST(NetworkStream, BatchSizeIsCutToWhatTheTransferLimitLeaves) {
  auto connection = NewConnection();
  TzvNetworkStream& stream = connection->GetNetworkStream();
  EXPECT_EQ(stream.GetBatchSize(), 8192);
  connection->SetTransferLimit(100);
  stream.UpdateProgress(60);
  EXPECT_EQ(stream.GetBatchSize(), 40);
  EXPECT_FALSE(stream.IsTransferComplete());
  stream.UpdateProgress(40);
  EXPECT_TRUE(stream.IsTransferComplete());
  EXPECT_TRUE(stream.IsStopRequested());
}

TEST(NetworkStream, BatchSizeBelowOneFailsBeforeAnySocketCall) {
  auto connection = NewConnection();
  connection->SetBatchSize(0);
  TzvNetworkStream& stream = connection->GetNetworkStream();
  TMemoryStream data;
  data.WriteBuffer("abc", 3);
  data.SetPosition(0);
  TzvIPAddress4 address;
  int port = 0;
  EXPECT_EQ(CodeOf([&] { stream.ReadFrom(&data, address, port); }), kzvErrInvalidBatchSize);
  EXPECT_EQ(CodeOf([&] { stream.WriteTo(&data, address, 53); }), kzvErrInvalidBatchSize);
  EXPECT_EQ(data.Position(), 0);
}

TEST(NetworkStream, NothingLeftToSendMakesNoSocketCall) {
  auto connection = NewConnection();  // no socket at all: a socket call would fail
  TMemoryStream data;
  data.WriteBuffer("abc", 3);
  TzvIPAddress4 address;
  EXPECT_TRUE(connection->GetNetworkStream().WriteTo(&data, address, 53));
  EXPECT_TRUE(connection->GetNetworkStream().WriteTo(nullptr, address, 53));
}

TEST(NetworkStream, ThrottleDelayCountsTheLengthAskedFor) {
  EXPECT_EQ(TzvNetworkStream::ThrottleMilliseconds(512, 8000), 512);
  EXPECT_EQ(TzvNetworkStream::ThrottleMilliseconds(30, 8000), 30);
  EXPECT_EQ(TzvNetworkStream::ThrottleMilliseconds(100, 0), 0);
  EXPECT_EQ(TzvNetworkStream::ThrottleMilliseconds(100, -5), 0);
  // Past 32 bits: 300 000 000 bytes at 1 bit per second.
  EXPECT_EQ(TzvNetworkStream::ThrottleMilliseconds(300000000, 1), 2400000000000LL);
}

TEST(NetworkStream, ThrottleDelayKeepsMessagesFlowing) {
  DrainQueue();
  auto connection = NewConnection();
  int reached = 0;
  HWND window = AllocateMessageWindow([&](const TMsg&) { ++reached; });
  std::thread poster([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    PostMessage(window, 1, 0, 0);
  });
  const auto start = Clock::now();
  connection->GetNetworkStream().ThrottleDelay(150);
  const auto took = Clock::now() - start;
  poster.join();
  DeallocateMessageWindow(window);
  EXPECT_EQ(reached, 1);
  EXPECT_GE(took, std::chrono::milliseconds(140));
}

// ---------------------------------------------------------------------------------------

TEST(WaitForSignal, SignalSetBeforeTheWaitReturnsTrueAtOnce) {
  const THandle signal = CreateEvent();
  SetEvent(signal);
  EXPECT_TRUE(WaitForSignal(signal, kzvNoHandle, GetTickCount(), 0));
  CloseHandle(signal);
}

TEST(WaitForSignal, SecondSignalReturnsFalse) {
  const THandle first = CreateEvent();
  const THandle second = CreateEvent();
  SetEvent(second);
  EXPECT_FALSE(WaitForSignal(first, second, GetTickCount(), 1000));
  CloseHandle(first);
  CloseHandle(second);
}

TEST(WaitForSignal, TimeOutRaisesMinusOne) {
  DrainQueue();
  const THandle signal = CreateEvent();
  for (std::int32_t time_out : {0, 30, -2, -5000}) {
    try {
      WaitForSignal(signal, kzvNoHandle, GetTickCount(), time_out);
      ADD_FAILURE() << "no time-out for " << time_out;
    } catch (const EzvSocketError& e) {
      EXPECT_EQ(e.ErrorCode(), kzvErrTimeout);
      EXPECT_STREQ(e.what(), "Timeout error occured");
    }
  }
  CloseHandle(signal);
}

// Callers wait in loops against one time-out counted from the operation's start: each wait
// gets what is left of it, never the whole time-out again.
TEST(WaitForSignal, WaitsOnlyWhatIsLeftOfTheTimeOutSinceTheStart) {
  using namespace std::chrono_literals;
  DrainQueue();
  const THandle signal = CreateEvent();
  // Begun 300 ms ago with 400 ms: about 100 ms are left.
  auto begun = Clock::now();
  EXPECT_EQ(CodeOf([&] { WaitForSignal(signal, kzvNoHandle, GetTickCount() - 300, 400); }),
            kzvErrTimeout);
  EXPECT_GE(Clock::now() - begun, 80ms);
  EXPECT_LT(Clock::now() - begun, 300ms);
  // Nothing left: no wait at all, though a signal set already is still seen.
  begun = Clock::now();
  EXPECT_EQ(CodeOf([&] { WaitForSignal(signal, kzvNoHandle, GetTickCount() - 1000, 400); }),
            kzvErrTimeout);
  EXPECT_LT(Clock::now() - begun, 100ms);
  SetEvent(signal);
  EXPECT_TRUE(WaitForSignal(signal, kzvNoHandle, GetTickCount() - 1000, 400));
  // No limit stays no limit, whenever the start was.
  SetEvent(signal);
  EXPECT_TRUE(WaitForSignal(signal, kzvNoHandle, GetTickCount() - 100000, -1));
  CloseHandle(signal);
}

TEST(WaitForSignal, MessagesAreDispatchedAndTheWaitReturnsFalse) {
  DrainQueue();
  std::thread::id handled_on;
  HWND window =
      AllocateMessageWindow([&](const TMsg&) { handled_on = std::this_thread::get_id(); });
  const THandle signal = CreateEvent();
  std::thread poster([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    PostMessage(window, 1, 0, 0);
  });
  EXPECT_FALSE(WaitForSignal(signal, kzvNoHandle, GetTickCount(), -1));
  poster.join();
  EXPECT_EQ(handled_on, std::this_thread::get_id());
  EXPECT_FALSE(HasThreadMessages());
  DeallocateMessageWindow(window);
  CloseHandle(signal);
}

TEST(WaitForSignal, DispatchingPastTheTimeOutRaises) {
  DrainQueue();
  HWND window = AllocateMessageWindow(
      [](const TMsg&) { std::this_thread::sleep_for(std::chrono::milliseconds(40)); });
  const THandle signal = CreateEvent();
  PostMessage(window, 1, 0, 0);
  EXPECT_EQ(CodeOf([&] { WaitForSignal(signal, kzvNoHandle, GetTickCount(), 10); }), kzvErrTimeout);
  DeallocateMessageWindow(window);
  CloseHandle(signal);
}

TEST(Connection, AbortFromAMessageHandlerEndsAWaitingRead) {
  DrainQueue();
  auto connection = NewConnection();
  connection->Open("127.0.0.1", 53);
  connection->SetTimeOut(-1);
  HWND window = AllocateMessageWindow([&](const TMsg&) { connection->Abort(); });
  PostMessage(window, 1, 0, 0);
  TMemoryStream data;
  EXPECT_TRUE(connection->ReadData(&data));
  EXPECT_EQ(data.Size(), 0);
  EXPECT_TRUE(connection->AbortRequested());
  DeallocateMessageWindow(window);
}

// ---------------------------------------------------------------------------------------
// The IPv4 resolver with a scripted lookup in place of the system's.

struct ScriptedLookup {
  static inline std::mutex lock;
  static inline std::condition_variable changed;
  static inline bool release = true;  // false: the lookup blocks until released
  static inline bool finished = false;
  static inline std::int32_t error = 0;
  static inline int calls = 0;

  static std::int32_t Run(const char* name, ws::TzvHostEntry* answer) {
    std::unique_lock guard(lock);
    ++calls;
    changed.wait(guard, [] { return release; });
    if (error == 0 && std::string(name) == "two.example") {
      answer->Addresses.push_back({10, 0, 0, 2});
      answer->Addresses.push_back({10, 0, 0, 1});
    }
    finished = true;
    changed.notify_all();
    return error;
  }
};

class Resolver4 : public ::testing::Test {
 protected:
  void SetUp() override {
    DrainQueue();
    saved_ = ws::SocketApi().hostlookup;
    ws::SocketApi().hostlookup = ScriptedLookup::Run;
    std::lock_guard guard(ScriptedLookup::lock);
    ScriptedLookup::release = true;
    ScriptedLookup::finished = false;
    ScriptedLookup::error = 0;
    ScriptedLookup::calls = 0;
  }
  void TearDown() override { ws::SocketApi().hostlookup = saved_; }

  ws::THostLookupFn saved_ = nullptr;
};

TEST_F(Resolver4, AnswerKeepsTheSystemsOrder) {
  TzvHostResolver4 resolver;
  TStringList list;
  list.Add("left over");
  resolver.GetIPList("two.example", list);
  ASSERT_EQ(list.Count(), 2);
  EXPECT_EQ(list[0], "10.0.0.2");
  EXPECT_EQ(list[1], "10.0.0.1");
  EXPECT_EQ(resolver.GetIPAddress("two.example"), "10.0.0.2");
}

TEST_F(Resolver4, AddressTextComesBackWithoutALookup) {
  TzvHostResolver4 resolver;
  EXPECT_EQ(resolver.GetIPAddress("192.168.0.1"), "192.168.0.1");
  EXPECT_EQ(resolver.GetIPAddress("0x7f.1"), "0x7f.1");  // not normalised
  EXPECT_EQ(ScriptedLookup::calls, 0);
}

TEST_F(Resolver4, LookupErrorCarriesTheHostLookupNumberAndText) {
  ScriptedLookup::error = kzvHostNotFound;
  TzvHostResolver4 resolver;
  TStringList list;
  list.Add("left over");
  try {
    resolver.GetIPList("missing.example", list);
    ADD_FAILURE() << "no error";
  } catch (const EzvSocketError& e) {
    EXPECT_EQ(e.ErrorCode(), kzvHostNotFound);
    EXPECT_EQ(e.Message(), SystemErrorText(kzvHostNotFound));
    EXPECT_FALSE(e.Message().empty());
  }
  EXPECT_EQ(list.Count(), 0);
}

TEST_F(Resolver4, EmptyAnswerGivesAnEmptyAddress) {
  TzvHostResolver4 resolver;
  EXPECT_EQ(resolver.GetIPAddress("nothing.example"), "");
}

TEST_F(Resolver4, TimeOutCancelsAndTheLateCompletionIsIgnored) {
  {
    std::lock_guard guard(ScriptedLookup::lock);
    ScriptedLookup::release = false;
  }
  TzvHostResolver4 resolver;
  EXPECT_EQ(CodeOf([&] { resolver.LookupHost("two.example", 50); }), kzvErrTimeout);
  // Let the lookup finish now, after the resolver gave up and freed its answer.
  {
    std::unique_lock guard(ScriptedLookup::lock);
    ScriptedLookup::release = true;
    ScriptedLookup::changed.notify_all();
    ScriptedLookup::changed.wait_for(guard, std::chrono::seconds(30),
                                     [] { return ScriptedLookup::finished; });
    ASSERT_TRUE(ScriptedLookup::finished);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(HasThreadMessages());
  // The same resolver still works afterwards.
  EXPECT_EQ(resolver.GetIPAddress("two.example"), "10.0.0.2");
}

TEST_F(Resolver4, OtherMessagesAreDispatchedWhileTheLookupRuns) {
  {
    std::lock_guard guard(ScriptedLookup::lock);
    ScriptedLookup::release = false;
  }
  int reached = 0;
  HWND window = AllocateMessageWindow([&](const TMsg&) {
    ++reached;
    std::lock_guard guard(ScriptedLookup::lock);
    ScriptedLookup::release = true;
    ScriptedLookup::changed.notify_all();
  });
  PostMessage(window, 1, 0, 0);
  TzvHostResolver4 resolver;
  EXPECT_EQ(resolver.LookupFirstAddress("two.example", 30000), "10.0.0.2");
  EXPECT_EQ(reached, 1);
  DeallocateMessageWindow(window);
}

TEST_F(Resolver4, ResolveHostUsesItWhenIPv6IsAbsent) {
  ScopedAddressInfoAbsent absent;
  EXPECT_EQ(TzvHostResolver::ResolveHost("two.example"), "10.0.0.2");
  EXPECT_EQ(ScriptedLookup::calls, 1);
}

TEST(Resolver6, AddressTextComesBackUnchanged) {
  TzvHostResolver6 resolver;
  EXPECT_EQ(resolver.GetIPAddress("2001:db8::1"), "2001:db8::1");
  EXPECT_EQ(resolver.GetIPAddress("10.0.0.1"), "10.0.0.1");
  EXPECT_EQ(TzvHostResolver::ResolveHost("::1"), "::1");
}

TEST(Resolver6, AbsentLookupRaisesNoRecovery) {
  ScopedAddressInfoAbsent absent;
  TzvHostResolver6 resolver;
  EXPECT_EQ(CodeOf([&] { resolver.LookupPreferredAddress("anything.example"); }), kzvNoRecovery);
}

TEST(Resolver6, HostTextWithANulIsNotLookedUp) {
  TzvHostResolver6 resolver;
  EXPECT_EQ(CodeOf([&] { resolver.GetIPAddress(std::string("localhost\0.example", 18)); }),
            kzvHostNotFound);
}

// ---------------------------------------------------------------------------------------
// Both resolvers look a server name up off this thread, within the time-out, and stop
// at once on the abort signal.

struct ScriptedAddressLookup {
  static inline std::atomic<bool> held{false};
  static std::int32_t Run(const char* name, ws::TzvAddressEntry* answer) {
    while (held.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (std::string(name) != "mixed.example") return kzvHostNotFound;
    ws::TzvAddressEntry::Address v6;
    v6.Family = AF_INET6;
    v6.Bytes[15] = 1;
    ws::TzvAddressEntry::Address v4;
    v4.Family = AF_INET;
    v4.Bytes[0] = 10;
    v4.Bytes[3] = 7;
    answer->Addresses = {v6, v4};
    return 0;
  }
};

class HostLookupWaits : public Resolver4 {
 protected:
  void SetUp() override {
    Resolver4::SetUp();
    saved_addresses_ = ws::SocketApi().addresslookup;
    ws::SocketApi().addresslookup = ScriptedAddressLookup::Run;
  }
  void TearDown() override {
    ScriptedAddressLookup::held = false;
    ws::SocketApi().addresslookup = saved_addresses_;
    Resolver4::TearDown();
  }
  // Holds the lookup of whichever resolver kind runs.
  void Hold() {
    ScriptedAddressLookup::held = true;
    std::lock_guard guard(ScriptedLookup::lock);
    ScriptedLookup::release = false;
  }
  void Release() {
    ScriptedAddressLookup::held = false;
    std::lock_guard guard(ScriptedLookup::lock);
    ScriptedLookup::release = true;
    ScriptedLookup::changed.notify_all();
  }

  std::int32_t (*saved_addresses_)(const char*, ws::TzvAddressEntry*) = nullptr;
};

TEST_F(HostLookupWaits, TheIPv6ResolverPrefersIPv4InTheSystemsAnswer) {
  EXPECT_EQ(TzvHostResolver::ResolveHost("mixed.example", 30000, kzvNoHandle), "10.0.0.7");
  TzvHostResolver6 resolver;
  TStringList list;
  resolver.GetIPList("mixed.example", list);
  EXPECT_EQ(std::vector<std::string>(list.begin(), list.end()),
            (std::vector<std::string>{"::1", "10.0.0.7"}));
  EXPECT_EQ(CodeOf([&] { resolver.GetIPAddress("missing.example"); }), kzvHostNotFound);
}

TEST_F(HostLookupWaits, EndAtTheTimeOutOrAtOnceOnAbortWhileMessagesFlow) {
  for (const bool ipv6 : {true, false}) {
    SCOPED_TRACE(ipv6 ? "IPv6 resolver" : "IPv4 resolver");
    std::optional<ScopedAddressInfoAbsent> absent;
    if (!ipv6) absent.emplace();
    Hold();
    EXPECT_EQ(CodeOf([] { TzvHostResolver::ResolveHost("mixed.example", 100, kzvNoHandle); }),
              kzvErrTimeout);

    // A message handled during the wait sets the abort signal, as the window's Escape or
    // close does.
    const THandle abort = CreateEvent(true);
    int dispatched = 0;
    HWND window = AllocateMessageWindow([&](const TMsg&) {
      ++dispatched;
      SetEvent(abort);
    });
    PostMessage(window, 1, 0, 0);
    EXPECT_EQ(CodeOf([&] { TzvHostResolver::ResolveHost("mixed.example", -1, abort); }),
              kzvErrAborted);
    EXPECT_EQ(dispatched, 1);
    DeallocateMessageWindow(window);
    CloseHandle(abort);
    Release();
  }
}

}  // namespace
