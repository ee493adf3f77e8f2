#include "net/zvWinSock2.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <system_error>
#include <thread>
#include <vector>

#include "base/SysUtils.h"
#include "net/zvSocketUtils.h"

namespace zvWinSock2 {

namespace {

// ---------------------------------------------------------------------------------------
// Lazy binding

enum class TBindState { kUnbound, kBound, kFailed };

struct TGroupBinding {
  std::mutex lock;
  std::atomic<TBindState> state{TBindState::kUnbound};
  std::string failure;  // the system's text, kept for every later call
};

TzvSocketApi& Table() {
  static TzvSocketApi table = [] {
    TzvSocketApi made;
    made.hostlookup = SystemHostLookup;
    made.addresslookup = SystemAddressLookup;
    return made;
  }();
  return table;
}

TGroupBinding& GroupA() {
  static TGroupBinding group;
  return group;
}
TGroupBinding& GroupB() {
  static TGroupBinding group;
  return group;
}

// Looks an operation up by name in the running program. A required one that is missing
// fails with the system's text; an optional one is recorded as absent.
template <class Fn>
bool Lookup(Fn& entry, const char* name, bool required, std::string& failure) {
  ::dlerror();
  void* address = ::dlsym(RTLD_DEFAULT, name);
  if (address == nullptr) {
    if (required) {
      const char* text = ::dlerror();
      failure = text != nullptr ? text : std::string("undefined symbol: ") + name;
      return false;
    }
  }
  entry = reinterpret_cast<Fn>(address);
  return true;
}

// Binds a group once per process. A failure is remembered, and every later call raises it
// again instead of reaching an operation that was never bound.
template <class BindFn>
void EnsureBound(TGroupBinding& group, BindFn bind_all) {
  if (group.state.load(std::memory_order_acquire) == TBindState::kBound) return;
  std::lock_guard guard(group.lock);
  if (group.state.load() == TBindState::kUnbound) {
    std::string failure;
    const bool ok = bind_all(failure);
    group.failure = failure;
    group.state.store(ok ? TBindState::kBound : TBindState::kFailed, std::memory_order_release);
  }
  if (group.state.load() == TBindState::kFailed) throw Exception(group.failure);
}

void BindGroupA() {
  EnsureBound(GroupA(), [](std::string& failure) {
    auto& t = Table();
    return Lookup(t.poll, "poll", true, failure) && Lookup(t.fcntl, "fcntl", true, failure) &&
           Lookup(t.getsockopt, "getsockopt", true, failure) &&
           Lookup(t.getaddrinfo, "getaddrinfo", false, failure) &&
           Lookup(t.freeaddrinfo, "freeaddrinfo", false, failure);
  });
}

void BindGroupB() {
  EnsureBound(GroupB(), [](std::string& failure) {
    auto& t = Table();
    return Lookup(t.connect, "connect", true, failure) &&
           Lookup(t.getsockname, "getsockname", true, failure) &&
           Lookup(t.bind, "bind", true, failure) && Lookup(t.accept, "accept", true, failure) &&
           Lookup(t.recvmsg, "recvmsg", true, failure) && Lookup(t.sendto, "sendto", true, failure);
  });
}

// A closed or never-opened handle is "not a socket" to the callers, as it was where the
// transport was first written; Linux says EBADF.
int Fail() {
  if (errno == EBADF) errno = ENOTSOCK;
  return SOCKET_ERROR;
}

int Result(long result) {
  if (result < 0) return Fail();
  return static_cast<int>(result);
}

bool ValidLength(int length) {
  if (length >= 0) return true;
  errno = EINVAL;
  return false;
}

// ---------------------------------------------------------------------------------------
// Network events

// The event object of a socket. It records read and write events the way the transport's
// loops expect (see WSAEventSelect in the header) and is signalled while any is recorded.
class TzvNetworkSignal : public TzvWaitObject {
 public:
  bool Consume() override {
    std::lock_guard guard(lock_);
    Update();
    return recorded_ != 0;
  }

  bool ConsumeKnown() override {
    std::lock_guard guard(lock_);
    return recorded_ != 0;
  }

  bool ConsumePolled(const pollfd* fds, std::size_t count) override {
    std::lock_guard guard(lock_);
    // The poll just made over our descriptor says what it shows; no need to ask again.
    if (count == 1 && fds[0].fd == socket_)
      Record(fds[0].events, fds[0].revents);
    else
      Update();
    return recorded_ != 0;
  }

  void AddPollFds(std::vector<pollfd>& fds) const override {
    std::lock_guard guard(lock_);
    const short events = WatchedEvents();
    if (socket_ >= 0 && events != 0) fds.push_back({socket_, events, 0});
  }

  void Attach(TSocket s, long mask) {
    std::lock_guard guard(lock_);
    socket_ = s;
    mask_ = mask;
    read_armed_ = true;
    write_armed_ = true;
    recorded_ = 0;
    error_seen_ = false;
  }

  void Detach() {
    std::lock_guard guard(lock_);
    socket_ = INVALID_SOCKET;
    mask_ = 0;
    recorded_ = 0;
    error_seen_ = false;
  }

  TSocket Socket() const {
    std::lock_guard guard(lock_);
    return socket_;
  }

  void RearmRead() {
    std::lock_guard guard(lock_);
    read_armed_ = true;
  }
  void RearmWrite() {
    std::lock_guard guard(lock_);
    write_armed_ = true;
  }

  void Reset() {
    std::lock_guard guard(lock_);
    recorded_ = 0;
    error_seen_ = false;
  }

  // Reports and forgets what was recorded.
  void Take(WSANETWORKEVENTS& out) {
    std::lock_guard guard(lock_);
    Update();
    out = WSANETWORKEVENTS{};
    out.lNetworkEvents = recorded_;
    // A pending socket error shows in the poll as POLLERR; without one it would read 0.
    if (recorded_ != 0 && error_seen_ && socket_ >= 0) {
      int error = 0;
      socklen_t length = sizeof error;
      if (Table().getsockopt(socket_, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
      if (recorded_ & FD_READ) out.iErrorCode[FD_READ_BIT] = error;
      if (recorded_ & FD_WRITE) out.iErrorCode[FD_WRITE_BIT] = error;
    }
    recorded_ = 0;
    error_seen_ = false;
  }

 private:
  short WatchedEvents() const {
    short events = 0;
    if ((mask_ & FD_READ) && read_armed_) events |= POLLIN;
    if ((mask_ & FD_WRITE) && write_armed_) events |= POLLOUT;
    return events;
  }

  // Records what the socket shows now. An armed event is recorded once and then disarmed
  // until the call that re-enables it (a receive for read, a blocked send for write).
  void Update() {
    const short events = WatchedEvents();
    if (socket_ < 0 || events == 0) return;
    pollfd p{socket_, events, 0};
    if (Table().poll(&p, 1, 0) != 1) return;
    Record(events, p.revents);
  }

  // Records what a poll for `events` answered with `revents`.
  void Record(short events, short revents) {
    // Only what is still watched: an event disarmed since the poll was set up waits.
    events &= WatchedEvents();
    const bool failed = (revents & (POLLERR | POLLHUP)) != 0;
    if ((events & POLLIN) && (revents & (POLLIN | POLLERR | POLLHUP))) {
      recorded_ |= FD_READ;
      read_armed_ = false;
      error_seen_ = error_seen_ || failed;
    }
    if ((events & POLLOUT) && (revents & (POLLOUT | POLLERR | POLLHUP))) {
      recorded_ |= FD_WRITE;
      write_armed_ = false;
      error_seen_ = error_seen_ || failed;
    }
  }

  mutable std::mutex lock_;
  TSocket socket_ = INVALID_SOCKET;
  long mask_ = 0;
  bool read_armed_ = false;
  bool write_armed_ = false;
  long recorded_ = 0;
  bool error_seen_ = false;  // a recording poll reported POLLERR or POLLHUP
};

// What is kept per socket, by descriptor number. Descriptors are small numbers, so the
// usual ones index a table that stays allocated (a lookup's socket costs no allocation to
// note); a rare large one goes to a map. An empty T (null, false) means nothing is kept.
template <class T>
class TBySocket {
 public:
  T* Find(TSocket s) {
    if (s >= 0 && static_cast<std::size_t>(s) < kDirect) {
      if (static_cast<std::size_t>(s) >= direct_.size() || !direct_[s]) return nullptr;
      return &direct_[s];
    }
    auto it = others_.find(s);
    return it == others_.end() ? nullptr : &it->second;
  }
  void Set(TSocket s, T value) {
    if (s >= 0 && static_cast<std::size_t>(s) < kDirect) {
      if (static_cast<std::size_t>(s) >= direct_.size())
        direct_.resize(static_cast<std::size_t>(s) + 1);
      direct_[s] = std::move(value);
    } else {
      others_[s] = std::move(value);
    }
  }
  void Erase(TSocket s) {
    if (s >= 0 && static_cast<std::size_t>(s) < kDirect) {
      if (static_cast<std::size_t>(s) < direct_.size()) direct_[s] = T{};
    } else {
      others_.erase(s);
    }
  }

 private:
  static constexpr std::size_t kDirect = 4096;
  std::vector<T> direct_;
  std::map<TSocket, T> others_;
};

// Which event object is selected on which socket.
struct TSelections {
  std::mutex lock;
  TBySocket<std::shared_ptr<TzvNetworkSignal>> by_socket;
};

TSelections& Selections() {
  static TSelections selections;
  return selections;
}

std::shared_ptr<TzvNetworkSignal> SelectedSignal(TSocket s) {
  auto& selections = Selections();
  std::lock_guard guard(selections.lock);
  auto* found = selections.by_socket.Find(s);
  return found == nullptr ? nullptr : *found;
}

void RearmRead(TSocket s) {
  if (auto signal = SelectedSignal(s)) signal->RearmRead();
}

void AfterSend(TSocket s, long result) {
  if (result < 0 && (errno == EWOULDBLOCK || errno == EAGAIN)) {
    const int saved = errno;
    if (auto signal = SelectedSignal(s)) signal->RearmWrite();
    errno = saved;
  }
}

// The sockets socket() opened non-blocking and closesocket has not closed yet: selecting
// events on them needs neither the socket check nor the switch to non-blocking.
struct TNonBlockingSockets {
  std::mutex lock;
  TBySocket<unsigned char> sockets;  // 1: non-blocking
};

TNonBlockingSockets& NonBlockingSockets() {
  static TNonBlockingSockets known;
  return known;
}

void NoteNonBlocking(TSocket s, bool non_blocking) {
  auto& known = NonBlockingSockets();
  std::lock_guard guard(known.lock);
  if (non_blocking)
    known.sockets.Set(s, 1);
  else
    known.sockets.Erase(s);
}

bool IsKnownNonBlocking(TSocket s) {
  auto& known = NonBlockingSockets();
  std::lock_guard guard(known.lock);
  return known.sockets.Find(s) != nullptr;
}

bool IsSocket(TSocket s) {
  int type = 0;
  socklen_t length = sizeof type;
  if (Table().getsockopt(s, SOL_SOCKET, SO_TYPE, &type, &length) != 0) {
    Fail();
    return false;
  }
  return true;
}

std::atomic<int> startups{0};

// ---------------------------------------------------------------------------------------
// Asynchronous lookups

struct TzvAsyncLookup {
  std::mutex lock;
  HWND window = 0;
  std::uint32_t message = 0;
  bool cancelled = false;
  bool done = false;
};

struct TAsyncTable {
  std::mutex lock;
  std::map<TzvAsyncRequest, std::shared_ptr<TzvAsyncLookup>> pending;
  TzvAsyncRequest next = 1;
};

// Shared with the helper threads, so that a helper finishing while the process ends
// still finds the table alive.
std::shared_ptr<TAsyncTable> AsyncLookups() {
  static const std::shared_ptr<TAsyncTable> table = std::make_shared<TAsyncTable>();
  return table;
}

// Runs `lookup_fn(name, &entry)` on a helper thread; unless the request was cancelled
// meanwhile, the entry is stored into *answer and the completion posted. The answer is
// written under the request's lock, so a cancel that returned has nothing to fear.
template <class Entry>
TzvAsyncRequest StartAsyncLookup(HWND window, std::uint32_t message, const char* name,
                                 Entry* answer, std::int32_t (*lookup_fn)(const char*, Entry*)) {
  if (window == 0 || name == nullptr || answer == nullptr || lookup_fn == nullptr) {
    errno = EINVAL;
    return 0;
  }
  auto lookup = std::make_shared<TzvAsyncLookup>();
  lookup->window = window;
  lookup->message = message;
  auto table = AsyncLookups();
  TzvAsyncRequest request = 0;
  {
    std::lock_guard guard(table->lock);
    request = table->next++;
    table->pending.emplace(request, lookup);
  }
  auto run = [table, request, lookup, answer, lookup_fn](std::string host) {
    Entry entry;
    const std::int32_t error = lookup_fn(host.c_str(), &entry);
    {
      std::lock_guard guard(lookup->lock);
      if (!lookup->cancelled) {
        if (error == 0) *answer = std::move(entry);
        PostMessage(lookup->window, lookup->message, request,
                    static_cast<std::intptr_t>(static_cast<std::uint32_t>(error) << 16));
      }
      lookup->done = true;
    }
    std::lock_guard guard(table->lock);
    table->pending.erase(request);
  };
  try {
    std::thread(run, std::string(name)).detach();
  } catch (const std::system_error&) {
    std::lock_guard guard(table->lock);
    table->pending.erase(request);
    errno = EAGAIN;
    return 0;
  }
  return request;
}

}  // namespace

std::int32_t SystemHostLookup(const char* name, TzvHostEntry* answer) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;  // one entry per address, not one per socket type
  addrinfo* list = nullptr;
  const std::int32_t error = HostLookupErrorCode(::getaddrinfo(name, nullptr, &hints, &list));
  for (addrinfo* item = list; item != nullptr; item = item->ai_next) {
    if (item->ai_family != AF_INET || item->ai_addr == nullptr ||
        item->ai_addrlen < sizeof(sockaddr_in))
      continue;
    sockaddr_in address{};
    std::memcpy(&address, item->ai_addr, sizeof address);
    std::array<std::uint8_t, 4> bytes{};
    std::memcpy(bytes.data(), &address.sin_addr.s_addr, bytes.size());
    answer->Addresses.push_back(bytes);
  }
  if (list != nullptr) ::freeaddrinfo(list);
  return error;
}

std::int32_t SystemAddressLookup(const char* name, TzvAddressEntry* answer) {
  addrinfo hints{};
  addrinfo* list = nullptr;
  const std::int32_t error = zvWinSock2::getaddrinfo(name, nullptr, &hints, &list);
  for (addrinfo* item = list; item != nullptr; item = item->ai_next) {
    if (item->ai_addr == nullptr) continue;
    TzvAddressEntry::Address address;
    address.Family = item->ai_family;
    if (item->ai_family == AF_INET && item->ai_addrlen >= sizeof(sockaddr_in)) {
      sockaddr_in in{};
      std::memcpy(&in, item->ai_addr, sizeof in);
      std::memcpy(address.Bytes.data(), &in.sin_addr.s_addr, 4);
    } else if (item->ai_family == AF_INET6 && item->ai_addrlen >= sizeof(sockaddr_in6)) {
      sockaddr_in6 in6{};
      std::memcpy(&in6, item->ai_addr, sizeof in6);
      std::memcpy(address.Bytes.data(), in6.sin6_addr.s6_addr, 16);
    } else {
      continue;
    }
    answer->Addresses.push_back(address);
  }
  zvWinSock2::freeaddrinfo(list);
  return error;
}

// ---------------------------------------------------------------------------------------
// Binding

TzvSocketApi& SocketApi() {
  BindGroupA();
  BindGroupB();
  return Table();
}

bool IsIPv6Available() {
  BindGroupA();
  return Table().getaddrinfo != nullptr && Table().freeaddrinfo != nullptr;
}

// ---------------------------------------------------------------------------------------
// Start-up

int WSAStartup(std::uint16_t version, WSADATA* data) {
  startups.fetch_add(1);
  if (data != nullptr) {
    data->wVersion = version;
    data->wHighVersion = 0x0202;
  }
  return 0;
}

int WSACleanup() {
  int count = startups.load();
  while (count > 0 && !startups.compare_exchange_weak(count, count - 1)) {
  }
  if (count <= 0) {
    errno = EINVAL;  // not started
    return SOCKET_ERROR;
  }
  return 0;
}

int StartupCount() {
  return startups.load();
}

void StartupSocket() {
  WSADATA data;
  if (WSAStartup(0x0202, &data) != 0) RaiseSocketError(WSAGetLastError());
}

void CleanupSocket() {
  WSACleanup();
}

int WSAGetLastError() {
  return errno;
}

void WSASetLastError(int error) {
  errno = error;
}

// ---------------------------------------------------------------------------------------
// Network events

WSAEVENT WSACreateEvent() {
  BindGroupA();
  return RegisterWaitObject(std::make_shared<TzvNetworkSignal>());
}

bool WSAResetEvent(WSAEVENT event) {
  BindGroupA();
  auto object = FindWaitObject(event);
  if (auto signal = std::dynamic_pointer_cast<TzvNetworkSignal>(object)) {
    signal->Reset();
    return true;
  }
  if (object) return ResetEvent(event);
  return false;
}

bool WSACloseEvent(WSAEVENT event) {
  BindGroupA();
  if (auto signal = std::dynamic_pointer_cast<TzvNetworkSignal>(FindWaitObject(event))) {
    auto& selections = Selections();
    std::lock_guard guard(selections.lock);
    const TSocket selected = signal->Socket();
    if (auto* found = selections.by_socket.Find(selected); found != nullptr && *found == signal)
      selections.by_socket.Erase(selected);
    signal->Detach();
  }
  return CloseHandle(event);
}

int WSAEventSelect(TSocket s, WSAEVENT event, long mask) {
  BindGroupA();
  auto signal = std::dynamic_pointer_cast<TzvNetworkSignal>(FindWaitObject(event));
  if (!signal || (mask & ~(FD_READ | FD_WRITE)) != 0) {
    errno = EINVAL;
    return SOCKET_ERROR;
  }
  if (!IsKnownNonBlocking(s)) {
    if (!IsSocket(s)) return SOCKET_ERROR;
    const int flags = Table().fcntl(s, F_GETFL);
    if (flags < 0 || Table().fcntl(s, F_SETFL, flags | O_NONBLOCK) < 0) return Fail();
  }

  auto& selections = Selections();
  std::lock_guard guard(selections.lock);
  // One selection per socket and per event object: a new one replaces the old ones.
  if (auto* found = selections.by_socket.Find(s)) {
    (*found)->Detach();
    selections.by_socket.Erase(s);
  }
  const TSocket selected = signal->Socket();
  if (auto* found = selections.by_socket.Find(selected); found != nullptr && *found == signal)
    selections.by_socket.Erase(selected);
  if (mask == 0) {
    signal->Detach();
  } else {
    signal->Attach(s, mask);
    selections.by_socket.Set(s, signal);
  }
  return 0;
}

std::uint32_t WSAWaitForMultipleEvents(std::uint32_t count, const WSAEVENT* events, bool wait_all,
                                       std::uint32_t timeout, bool) {
  BindGroupA();
  return MsgWaitForMultipleObjects(count, events, wait_all, timeout, 0);
}

int WSAEnumNetworkEvents(TSocket s, WSAEVENT event, WSANETWORKEVENTS* events) {
  BindGroupA();
  if (events == nullptr) {
    errno = EFAULT;
    return SOCKET_ERROR;
  }
  auto signal = SelectedSignal(s);
  if (signal) {
    signal->Take(*events);
  } else {
    if (!IsSocket(s)) return SOCKET_ERROR;
    *events = WSANETWORKEVENTS{};
  }
  if (event != WSA_INVALID_EVENT) {
    auto object = FindWaitObject(event);
    if (!object) {
      errno = EINVAL;
      return SOCKET_ERROR;
    }
    if (object != signal) WSAResetEvent(event);
  }
  return 0;
}

// ---------------------------------------------------------------------------------------
// Address information

int getaddrinfo(const char* node, const char* service, const addrinfo* hints, addrinfo** result) {
  BindGroupA();
  if (result != nullptr) *result = nullptr;
  auto call = Table().getaddrinfo;
  if (call == nullptr) return kzvNoRecovery;
  return HostLookupErrorCode(call(node, service, hints, result));
}

void freeaddrinfo(addrinfo* list) {
  BindGroupA();
  auto call = Table().freeaddrinfo;
  if (call == nullptr || list == nullptr) return;
  call(list);
}

// ---------------------------------------------------------------------------------------
// Addressed socket calls

int connect(TSocket s, const sockaddr* name, socklen_t length) {
  BindGroupB();
  return Result(Table().connect(s, name, length));
}

int getsockname(TSocket s, sockaddr* name, socklen_t* length) {
  BindGroupB();
  if (length == nullptr) {
    errno = EFAULT;
    return SOCKET_ERROR;
  }
  const socklen_t room = *length;
  if (Table().getsockname(s, name, length) != 0) return Fail();
  if (*length > room) {  // the address was cut to fit: no use to the caller
    errno = EFAULT;
    return SOCKET_ERROR;
  }
  return 0;
}

int bind(TSocket s, const sockaddr* name, socklen_t length) {
  BindGroupB();
  return Result(Table().bind(s, name, length));
}

TSocket accept(TSocket s, sockaddr* address, socklen_t* length) {
  BindGroupB();
  const int result = Table().accept(s, address, length);
  const int saved = errno;
  RearmRead(s);
  errno = saved;
  if (result < 0) return Fail();
  NoteNonBlocking(result, false);  // the number may have been a closed non-blocking one
  ::fcntl(result, F_SETFD, FD_CLOEXEC);
  return result;
}

int recvfrom(TSocket s, void* buffer, int length, int flags, sockaddr* from,
             socklen_t* from_length) {
  BindGroupB();
  if (!ValidLength(length)) return SOCKET_ERROR;
  if (from != nullptr && from_length == nullptr) {
    errno = EFAULT;
    return SOCKET_ERROR;
  }
  iovec part{buffer, static_cast<size_t>(length)};
  msghdr header{};
  header.msg_iov = &part;
  header.msg_iovlen = 1;
  header.msg_name = from;
  header.msg_namelen = from != nullptr ? *from_length : 0;
  const ssize_t received = Table().recvmsg(s, &header, flags);
  const int saved = errno;
  RearmRead(s);
  errno = saved;
  if (received < 0) return Fail();
  // Linux cuts a datagram that does not fit; the transport expects the receive to fail.
  if (header.msg_flags & MSG_TRUNC) {
    errno = EMSGSIZE;
    return SOCKET_ERROR;
  }
  if (from != nullptr) {
    if (header.msg_namelen > *from_length) {
      errno = EFAULT;
      return SOCKET_ERROR;
    }
    *from_length = header.msg_namelen;
  }
  return static_cast<int>(received);
}

int sendto(TSocket s, const void* buffer, int length, int flags, const sockaddr* to,
           socklen_t to_length) {
  BindGroupB();
  if (!ValidLength(length)) return SOCKET_ERROR;
  // No SIGPIPE: a peer that went away is an error to report, not a reason to end.
  const ssize_t sent =
      Table().sendto(s, buffer, static_cast<size_t>(length), flags | MSG_NOSIGNAL, to, to_length);
  AfterSend(s, sent);
  return Result(sent);
}

// ---------------------------------------------------------------------------------------
// Socket calls linked with the program

TSocket socket(int family, int type, int protocol) {
  const int result = ::socket(family, type | SOCK_CLOEXEC, protocol);
  if (result < 0) return Fail();
  NoteNonBlocking(result, (type & SOCK_NONBLOCK) != 0);
  return result;
}

int shutdown(TSocket s, int how) {
  return Result(::shutdown(s, how));
}

int setsockopt(TSocket s, int level, int option, const void* value, socklen_t length) {
  return Result(::setsockopt(s, level, option, value, length));
}

int send(TSocket s, const void* buffer, int length, int flags) {
  if (!ValidLength(length)) return SOCKET_ERROR;
  const ssize_t sent = ::send(s, buffer, static_cast<size_t>(length), flags | MSG_NOSIGNAL);
  AfterSend(s, sent);
  return Result(sent);
}

int recv(TSocket s, void* buffer, int length, int flags) {
  if (!ValidLength(length)) return SOCKET_ERROR;
  const ssize_t received = ::recv(s, buffer, static_cast<size_t>(length), flags);
  const int saved = errno;
  RearmRead(s);
  errno = saved;
  return Result(received);
}

int listen(TSocket s, int backlog) {
  return Result(::listen(s, backlog));
}

int ioctlsocket(TSocket s, unsigned long command, unsigned long* argument) {
  if (argument == nullptr) {
    errno = EFAULT;
    return SOCKET_ERROR;
  }
  if (command == FIONBIO) {
    NoteNonBlocking(s, false);  // checked again at the next selection
    int value = *argument != 0 ? 1 : 0;
    return Result(::ioctl(s, FIONBIO, &value));
  }
  if (command == FIONREAD) {
    int value = 0;
    if (::ioctl(s, FIONREAD, &value) != 0) return Fail();
    *argument = static_cast<unsigned long>(value);
    return 0;
  }
  errno = EINVAL;
  return SOCKET_ERROR;
}

int closesocket(TSocket s) {
  NoteNonBlocking(s, false);
  {
    auto& selections = Selections();
    std::lock_guard guard(selections.lock);
    if (auto* found = selections.by_socket.Find(s)) {
      // The descriptor number may soon belong to another file: stop watching it first.
      (*found)->Detach();
      selections.by_socket.Erase(s);
    }
  }
  return Result(::close(s));
}

// ---------------------------------------------------------------------------------------
// Asynchronous IPv4 host lookup

TzvAsyncRequest WSAAsyncGetHostByName(HWND window, std::uint32_t message, const char* name,
                                      TzvHostEntry* answer) {
  // The lookup function is taken now, on the caller's thread, so that a test putting
  // the table back later does not race with the helper.
  return StartAsyncLookup(window, message, name, answer, Table().hostlookup);
}

TzvAsyncRequest WSAAsyncGetAddrInfo(HWND window, std::uint32_t message, const char* name,
                                    TzvAddressEntry* answer) {
  return StartAsyncLookup(window, message, name, answer, Table().addresslookup);
}

int WSACancelAsyncRequest(TzvAsyncRequest request) {
  std::shared_ptr<TzvAsyncLookup> lookup;
  {
    auto table = AsyncLookups();
    std::lock_guard guard(table->lock);
    auto it = table->pending.find(request);
    if (it == table->pending.end()) {
      errno = EINVAL;
      return SOCKET_ERROR;
    }
    lookup = it->second;
  }
  std::lock_guard guard(lookup->lock);
  if (lookup->done) {
    errno = EALREADY;
    return SOCKET_ERROR;
  }
  lookup->cancelled = true;
  return 0;
}

}  // namespace zvWinSock2
