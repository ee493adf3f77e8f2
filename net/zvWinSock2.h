// The socket operations the library calls, in one thin layer. Every other unit of the
// library reaches the platform's sockets only through these names, which keep the
// conventions the transport was written for: -1 (SOCKET_ERROR) on failure with the error
// in WSAGetLastError(), a would-block failure on non-blocking sockets, a receive that
// fails with message-too-long when a datagram does not fit, network events selected on a
// socket and waited for like any other handle.
//
// Two groups of operations are bound by name on first use, once per process; the
// address-information pair (getaddrinfo, freeaddrinfo) is optional in that binding, and
// whether it was found decides between the IPv6-capable and the IPv4-only address
// objects and resolvers. Tests reach the binding table through SocketApi() to pretend
// that the pair is absent.
#pragma once

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "net/zvMessages.h"

namespace zvWinSock2 {

using TSocket = int;
inline constexpr TSocket INVALID_SOCKET = -1;
inline constexpr int SOCKET_ERROR = -1;

// A socket event object: a handle of the handle table (net/zvMessages.h). 0 is none.
using WSAEVENT = THandle;
inline constexpr WSAEVENT WSA_INVALID_EVENT = 0;

// Network events that can be selected on a socket.
inline constexpr long FD_READ = 0x01;
inline constexpr long FD_WRITE = 0x02;
inline constexpr int FD_READ_BIT = 0;
inline constexpr int FD_WRITE_BIT = 1;
inline constexpr int FD_MAX_EVENTS = 10;

// What WSAEnumNetworkEvents reports: the events that happened since the last report and,
// for each of them, the socket's pending error (0 for none).
struct WSANETWORKEVENTS {
  long lNetworkEvents = 0;
  std::array<int, FD_MAX_EVENTS> iErrorCode{};
};

struct WSADATA {
  std::uint16_t wVersion = 0;
  std::uint16_t wHighVersion = 0;
};

inline constexpr std::uint32_t WSA_WAIT_EVENT_0 = WAIT_OBJECT_0;
inline constexpr std::uint32_t WSA_WAIT_TIMEOUT = WAIT_TIMEOUT;
inline constexpr std::uint32_t WSA_WAIT_FAILED = WAIT_FAILED;

// ---------------------------------------------------------------------------------------
// The binding table

using TPollFn = int (*)(pollfd*, nfds_t, int);
using TFcntlFn = int (*)(int, int, ...);
using TGetSockOptFn = int (*)(int, int, int, void*, socklen_t*);
using TGetAddrInfoFn = int (*)(const char*, const char*, const addrinfo*, addrinfo**);
using TFreeAddrInfoFn = void (*)(addrinfo*);
using TConnectFn = int (*)(int, const sockaddr*, socklen_t);
using TGetSockNameFn = int (*)(int, sockaddr*, socklen_t*);
using TBindFn = int (*)(int, const sockaddr*, socklen_t);
using TAcceptFn = int (*)(int, sockaddr*, socklen_t*);
using TRecvMsgFn = ssize_t (*)(int, msghdr*, int);
using TSendToFn = ssize_t (*)(int, const void*, size_t, int, const sockaddr*, socklen_t);
struct TzvHostEntry;
struct TzvAddressEntry;
// The blocking IPv4 lookup run by WSAAsyncGetHostByName's helper thread: fills the answer
// and returns 0 or a host-lookup number (11001-11004).
using THostLookupFn = std::int32_t (*)(const char* name, TzvHostEntry* answer);

// The operations bound by name. Group A carries the network-event and address-information
// operations (the events are built on poll, fcntl and getsockopt here), group B the
// addressed socket calls. A null entry of the optional pair means "absent".
struct TzvSocketApi {
  TPollFn poll = nullptr;
  TFcntlFn fcntl = nullptr;
  TGetSockOptFn getsockopt = nullptr;
  TGetAddrInfoFn getaddrinfo = nullptr;    // optional
  TFreeAddrInfoFn freeaddrinfo = nullptr;  // optional

  TConnectFn connect = nullptr;
  TGetSockNameFn getsockname = nullptr;
  TBindFn bind = nullptr;
  TAcceptFn accept = nullptr;
  TRecvMsgFn recvmsg = nullptr;
  TSendToFn sendto = nullptr;

  // Linked with the program, not looked up; tests may replace it with a scripted lookup.
  THostLookupFn hostlookup = nullptr;
  // The lookup of every address (getaddrinfo with zero hints) run by
  // WSAAsyncGetAddrInfo's helper thread; replaceable the same way.
  std::int32_t (*addresslookup)(const char* name, TzvAddressEntry* answer) = nullptr;
};

// Binds both groups (raising as the wrappers do) and returns the table. For tests: an
// entry of the optional pair may be set to null to pretend it absent, and an entry may be
// replaced by a scripted stand-in; either must be put back afterwards.
TzvSocketApi& SocketApi();

// True when both getaddrinfo and freeaddrinfo were found. Binds group A.
bool IsIPv6Available();

// ---------------------------------------------------------------------------------------
// Start-up and shut-down. Nothing has to be started on Linux; the calls are counted so
// that nesting stays visible.

int WSAStartup(std::uint16_t version, WSADATA* data);
int WSACleanup();
// How many start-ups are not yet matched by a clean-up.
int StartupCount();
// Starts the interface, version 2.2; raises EzvSocketError when that fails.
void StartupSocket();
// Stops it once; the result is ignored.
void CleanupSocket();

int WSAGetLastError();
void WSASetLastError(int error);

// ---------------------------------------------------------------------------------------
// Network events (group A)

// A new socket event object (manual reset: reading the network events resets it).
WSAEVENT WSACreateEvent();
bool WSAResetEvent(WSAEVENT event);
bool WSACloseEvent(WSAEVENT event);
// Selects `mask` (FD_READ, FD_WRITE) on the socket with the event object; the socket
// becomes non-blocking. The read event is reported while a datagram (or stream data) is
// waiting and no receive was made since it was last reported; the write event is
// reported once after selection and afterwards only when a send failed with
// would-block and the socket became writable again. A mask of 0 ends the selection.
// A socket that socket() made with SOCK_NONBLOCK (and that was not closed since) is
// known to be an open non-blocking socket and is taken as it is, without asking.
int WSAEventSelect(TSocket s, WSAEVENT event, long mask);
std::uint32_t WSAWaitForMultipleEvents(std::uint32_t count, const WSAEVENT* events, bool wait_all,
                                       std::uint32_t timeout, bool alertable);
// Reports and clears the events recorded for the socket, each with the socket's pending
// error (SO_ERROR, which reading clears), and resets `event`.
int WSAEnumNetworkEvents(TSocket s, WSAEVENT event, WSANETWORKEVENTS* events);

// Address information (group A, optional). Absent: returns 11003 and does nothing. The
// result is 0 or a host-lookup number (HostLookupErrorCode), never a negative EAI value.
int getaddrinfo(const char* node, const char* service, const addrinfo* hints, addrinfo** result);
// Does nothing when absent or when the list is empty.
void freeaddrinfo(addrinfo* list);

// ---------------------------------------------------------------------------------------
// Addressed socket calls (group B)

int connect(TSocket s, const sockaddr* name, socklen_t length);
// Fails with EFAULT when the address does not fit in *length.
int getsockname(TSocket s, sockaddr* name, socklen_t* length);
int bind(TSocket s, const sockaddr* name, socklen_t length);
TSocket accept(TSocket s, sockaddr* address, socklen_t* length);
// One datagram into the buffer. A datagram longer than `length` is consumed and the call
// fails with message-too-long (EMSGSIZE); a sender address that does not fit in *from_length
// fails with EFAULT.
int recvfrom(TSocket s, void* buffer, int length, int flags, sockaddr* from,
             socklen_t* from_length);
int sendto(TSocket s, const void* buffer, int length, int flags, const sockaddr* to,
           socklen_t to_length);

// ---------------------------------------------------------------------------------------
// Socket calls linked with the program. A handle that is not open fails with ENOTSOCK.

// Close-on-exec always; SOCK_NONBLOCK in `type` makes it non-blocking in the same call.
TSocket socket(int family, int type, int protocol);
int shutdown(TSocket s, int how);
int setsockopt(TSocket s, int level, int option, const void* value, socklen_t length);
int send(TSocket s, const void* buffer, int length, int flags);
int recv(TSocket s, void* buffer, int length, int flags);
int listen(TSocket s, int backlog);
// FIONBIO (argument non-zero: non-blocking) and FIONREAD (bytes waiting) only.
int ioctlsocket(TSocket s, unsigned long command, unsigned long* argument);
int closesocket(TSocket s);

// ---------------------------------------------------------------------------------------
// Asynchronous IPv4 host lookup

// The answer of a lookup: the addresses in the order the system gave them, each as four
// bytes in network order.
struct TzvHostEntry {
  std::vector<std::array<std::uint8_t, 4>> Addresses;
};

// The answer of an address lookup of both families: each address as its family and its
// bytes in network order (4 used for AF_INET, 16 for AF_INET6), in the system's order.
struct TzvAddressEntry {
  struct Address {
    int Family = 0;
    std::array<std::uint8_t, 16> Bytes{};
  };
  std::vector<Address> Addresses;
};

using TzvAsyncRequest = std::uintptr_t;

// The system's IPv4 lookup (getaddrinfo for AF_INET), the default of the table's
// hostlookup entry.
std::int32_t SystemHostLookup(const char* name, TzvHostEntry* answer);

// Looks the name up (IPv4 only) without blocking the caller. On completion the answer is
// stored into *answer and `message` is posted to `window` with wParam = the request and
// lParam = error << 16 (0 or one of the host-lookup numbers 11001-11004). Returns the
// request, or 0 with errno set. *answer must stay alive until the completion message has
// been received or the request cancelled.
TzvAsyncRequest WSAAsyncGetHostByName(HWND window, std::uint32_t message, const char* name,
                                      TzvHostEntry* answer);
// getaddrinfo with zero hints through the binding (11003 when it is absent), the default
// of the table's addresslookup entry.
std::int32_t SystemAddressLookup(const char* name, TzvAddressEntry* answer);

// As WSAAsyncGetHostByName, for addresses of both families.
TzvAsyncRequest WSAAsyncGetAddrInfo(HWND window, std::uint32_t message, const char* name,
                                    TzvAddressEntry* answer);

// Cancels a pending lookup: once this returns, the lookup neither writes its answer nor
// posts. Fails (errno EALREADY) when the lookup has already completed, EINVAL when the
// request is unknown.
int WSACancelAsyncRequest(TzvAsyncRequest request);

// The host-lookup error of a completion message's lParam.
inline std::int32_t WSAGETASYNCERROR(std::intptr_t lparam) {
  return static_cast<std::int32_t>((static_cast<std::uintptr_t>(lparam) >> 16) & 0xFFFF);
}

}  // namespace zvWinSock2
