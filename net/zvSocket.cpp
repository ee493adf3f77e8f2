#include "net/zvSocket.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <limits>
#include <vector>

#include "base/ScopeExit.h"
#include "base/SysUtils.h"
#include "net/zvSocketUtils.h"
#include "net/zvWUtils.h"

namespace ws = zvWinSock2;

namespace {

[[noreturn]] void RaiseLastSocketError() {
  RaiseSocketError(ws::WSAGetLastError());
}

[[noreturn]] void RaiseTimeout() {
  RaiseSocketErrorText(SzvTimeoutError, kzvErrTimeout);
}

bool WouldBlock(int error) {
  return error == kzvWouldBlock || error == EAGAIN;
}

// A connect under way on a non-blocking socket: Linux says "in progress" where the
// transport expects "would block"; both mean the same here.
bool ConnectUnderWay(int error) {
  return WouldBlock(error) || error == kzvInProgress;
}

// Milliseconds since `start` on the wrapping 32-bit tick counter.
std::int64_t ElapsedSince(std::uint32_t start) {
  return static_cast<std::uint32_t>(GetTickCount() - start);
}

}  // namespace

// ---------------------------------------------------------------------------------------
// WaitForSignal

bool WaitForSignal(THandle signal, THandle second, std::uint32_t start, std::int32_t time_out) {
  const THandle handles[2] = {signal, second};
  const std::uint32_t count = second != kzvNoHandle ? 2 : 1;
  // A negative time-out other than "no limit" would be a wait of about 2^32 ms as an
  // unsigned count; it is an immediate time-out instead.
  const std::int64_t limit = time_out < -1 ? 0 : time_out;
  // Callers wait in loops (a message dispatched, an event that brought nothing, one chunk
  // of a stream after another), all against one time-out counted from `start`: each wait
  // gets only what is left of it, or a peer that sends a byte now and then would keep the
  // operation alive for ever. With nothing left the wait only looks whether a signal is
  // set already.
  const std::uint32_t wait_ms =
      limit == -1
          ? INFINITE
          : static_cast<std::uint32_t>(std::max<std::int64_t>(0, limit - ElapsedSince(start)));

  const std::uint32_t result =
      MsgWaitForMultipleObjects(count, handles, false, wait_ms, kzvWakeMask);
  if (result == WAIT_FAILED) RaiseLastSocketError();
  if (result == WAIT_TIMEOUT) RaiseTimeout();
  if (result == count) {
    auto check_time = [&] {
      if (limit != -1 && ElapsedSince(start) > limit) RaiseTimeout();
    };
    TMsg message;
    while (PeekMessage(message, 0, 0, 0, PM_REMOVE)) {
      TranslateMessage(message);
      DispatchMessage(message);
      check_time();
    }
    check_time();
  }
  return result == WAIT_OBJECT_0;
}

// ---------------------------------------------------------------------------------------
// TzvNetworkStream

TzvNetworkStream::TzvNetworkStream() {
  // Nothing ever sets it: it only gives the throttle something to wait on.
  throttle_signal_ = CreateEvent();
  if (throttle_signal_ == kzvNoHandle) RaiseSocketError(GetLastError());
}

TzvNetworkStream::~TzvNetworkStream() {
  if (throttle_signal_ != INVALID_HANDLE_VALUE) {
    CloseHandle(throttle_signal_);
    throttle_signal_ = INVALID_HANDLE_VALUE;
  }
}

TzvConnection& TzvNetworkStream::Owner() const {
  // A stream on its own has no socket to work on.
  if (connection_ == nullptr) RaiseSocketError(kzvNotASocket);
  return *connection_;
}

ws::TSocket TzvNetworkStream::Handle() const {
  return Owner().Socket().Handle();
}

int TzvNetworkStream::Family() const {
  return Owner().Socket().Family();
}

void TzvNetworkStream::UpdateProgress(std::int64_t count) {
  transferred_ += count;
  if (connection_ != nullptr) connection_->AddTransferred(count);
}

void TzvNetworkStream::SetConnection(TzvConnection* connection) {
  connection_ = connection;
}

void TzvNetworkStream::Assign(const TzvNetworkStream* source) {
  if (source == nullptr) return;
  remote_address_ = source->remote_address_;
  remote_port_ = source->remote_port_;
  local_address_ = source->local_address_;
  local_port_ = source->local_port_;
  read_pending_ = source->read_pending_;
}

bool TzvNetworkStream::Connect(TzvIPAddress& address, int port) {
  peer_closed_ = false;
  ClearPendingAction();
  SetAddressPort(address, port);
  // Connecting a datagram socket picks its local address: read it afresh afterwards.
  ForgetLocalAddress();
  const int result = ws::connect(Handle(), address.SockAddr(), address.SockAddrLength());
  if (result == ws::SOCKET_ERROR && !ConnectUnderWay(ws::WSAGetLastError())) RaiseLastSocketError();
  SetPeerFromAddress(address);
  // A datagram socket connected to this peer sends to it without naming it again, which
  // spares the system looking the route up for every datagram.
  connected_for_ = 0;
  if (result == 0 && Owner().Socket().Type() == SOCK_DGRAM) {
    connected_for_ = Owner().Socket().Generation();
    connected_address_ = remote_address_;
    connected_port_ = remote_port_;
  }
  AfterConnect();
  return result == 0;
}

void TzvNetworkStream::RefreshLocalAddress() {
  ReadLocalAddress();
}

void TzvNetworkStream::Bind(TzvIPAddress& address, int port) {
  SetAddressPort(address, port);
  ForgetLocalAddress();
  if (ws::bind(Handle(), address.SockAddr(), address.SockAddrLength()) == ws::SOCKET_ERROR)
    RaiseLastSocketError();
}

void TzvNetworkStream::BindRange(TzvIPAddress& address, int lowest, int highest) {
  // Ports above 65535 would wrap round to low ports, so the range ends there.
  if (lowest < 1 || lowest > highest || highest > 65535)
    RaiseSocketErrorText(SzvInvalidPortNumber, kzvErrInvalidPort);
  ForgetLocalAddress();
  for (int port = lowest;; ++port) {
    SetAddressPort(address, port);
    if (ws::bind(Handle(), address.SockAddr(), address.SockAddrLength()) == 0) return;
    const int error = ws::WSAGetLastError();
    if ((error == kzvAddressInUse || error == kzvAccessDenied) && port != highest) continue;
    RaiseSocketError(error);
  }
}

void TzvNetworkStream::EnableBroadcast() {
  if (Family() == AF_INET6)
    RaiseSocketErrorText(SzvInvalidAddressFamily, kzvErrInvalidAddressFamily);
  const std::int32_t on = 1;
  if (ws::setsockopt(Handle(), SOL_SOCKET, SO_BROADCAST, &on, sizeof on) == ws::SOCKET_ERROR)
    RaiseLastSocketError();
}

void TzvNetworkStream::DisableDelay() {
  const std::int32_t on = 1;
  if (ws::setsockopt(Handle(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) == ws::SOCKET_ERROR)
    RaiseLastSocketError();
  AcknowledgeAtOnce();
}

void TzvNetworkStream::AcknowledgeAtOnce() {
  const std::int32_t on = 1;
  // Linux turns quick acknowledgements off again by itself: a hint, re-armed per read.
  ws::setsockopt(Handle(), IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
}

void TzvNetworkStream::Listen() {
  peer_closed_ = false;
  ClearPendingAction();
  unsigned long non_blocking = 1;
  ws::ioctlsocket(Handle(), FIONBIO, &non_blocking);
  ForgetLocalAddress();
  if (ws::listen(Handle(), 1) == ws::SOCKET_ERROR) RaiseLastSocketError();
  auto address = TzvIPAddress::CreateForFamily(Family());
  socklen_t length = address->SockAddrLength();
  if (ws::getsockname(Handle(), address->SockAddr(), &length) == ws::SOCKET_ERROR)
    RaiseLastSocketError();
  local_port_ = address->Port();
}

void TzvNetworkStream::Accept() {
  peer_closed_ = false;
  ClearPendingAction();
  const int family = Family();
  auto address = TzvIPAddress::CreateForFamily(family);
  socklen_t length = address->SockAddrLength();
  const ws::TSocket listening = Handle();
  const ws::TSocket accepted = ws::accept(listening, address->SockAddr(), &length);
  // On failure the listening socket stays with the connection, which closes it in time.
  if (accepted == ws::INVALID_SOCKET) RaiseLastSocketError();
  // The socket object holds one handle: the listening one would be lost, so it is closed.
  Owner().Socket().SetHandle(accepted, family);
  ws::closesocket(listening);
  ReadLocalAddress();
  SetPeerFromAddress(*address);
  AfterAccept();
}

void TzvNetworkStream::Close(bool) {
  ClearPendingAction();
}

void TzvNetworkStream::SignalReady() {
  Owner().DoStreamReady();
}

bool TzvNetworkStream::Read(TStream* data, std::int64_t most) {
  ClearPendingAction();
  if (data == nullptr || most == 0) return true;
  std::int64_t left = most;  // negative: no bound
  int received = 0;
  bool would_block = false;
  do {
    int batch = GetBatchSize();
    if (left > 0 && batch > left) batch = static_cast<int>(left);
    if (io_buffer_.size() < static_cast<std::size_t>(batch))
      io_buffer_.resize(static_cast<std::size_t>(batch));
    received = ThrottledRecv(io_buffer_.data(), batch, 0);
    if (received == ws::SOCKET_ERROR) {
      const int error = ws::WSAGetLastError();
      if (!WouldBlock(error)) RaiseSocketError(error);
      would_block = true;
    } else if (received > 0) {
      data->WriteBuffer(io_buffer_.data(), received);
      UpdateProgress(received);
      if (left > 0) left -= received;
    } else {
      peer_closed_ = true;
    }
  } while (received > 0 && left != 0 && !IsStopRequested());
  return !would_block;
}

bool TzvNetworkStream::Write(TStream* data) {
  ClearPendingAction();
  if (data == nullptr || data->Size() - data->Position() <= 0) return true;
  const int batch = GetBatchSize();
  if (batch <= 0) return true;
  std::vector<std::uint8_t> buffer(static_cast<std::size_t>(batch));
  for (;;) {
    const int chunk =
        static_cast<int>(std::min<std::int64_t>(GetBatchSize(), data->Size() - data->Position()));
    if (chunk <= 0) return true;
    data->ReadBuffer(buffer.data(), chunk);
    const int sent = ThrottledSend(buffer.data(), chunk, 0);
    if (sent == ws::SOCKET_ERROR) {
      const int error = ws::WSAGetLastError();
      if (!WouldBlock(error)) RaiseSocketError(error);
      data->Seek(-chunk, TSeekOrigin::soCurrent);
      return false;
    }
    if (sent < chunk) data->Seek(sent - chunk, TSeekOrigin::soCurrent);
    UpdateProgress(sent);
    if (data->Size() - data->Position() <= 0 || IsStopRequested()) return true;
  }
}

bool TzvNetworkStream::ReadFrom(TStream* data, TzvIPAddress& address, int& port) {
  ClearPendingAction();
  if (data == nullptr) return true;
  const int batch = GetBatchSize();
  if (batch <= 0) return true;
  if (io_buffer_.size() < static_cast<std::size_t>(batch))
    io_buffer_.resize(static_cast<std::size_t>(batch));
  std::uint8_t* buffer = io_buffer_.data();
  socklen_t length = address.SockAddrLength();
  const int received = ThrottledRecvFrom(buffer, batch, 0, address.SockAddr(), &length);
  if (received == ws::SOCKET_ERROR) {
    const int error = ws::WSAGetLastError();
    if (!WouldBlock(error)) RaiseSocketError(error);
  }
  if (received > 0) {
    data->WriteBuffer(buffer, received);
    UpdateProgress(received);
  }
  NoteLocalAddress();
  // Only a datagram that arrived names a sender; after a would-block the address object
  // holds no sender, and taking it would lose the peer.
  if (received != ws::SOCKET_ERROR) SetPeerFromAddress(address);
  port = remote_port_;
  return received != ws::SOCKET_ERROR;
}

bool TzvNetworkStream::WriteTo(TStream* data, TzvIPAddress& address, int port) {
  ClearPendingAction();
  if (data == nullptr || data->Size() - data->Position() <= 0) return true;
  if (GetBatchSize() <= 0) return true;
  SetAddressPort(address, port);
  const int batch = GetBatchSize();
  if (io_buffer_.size() < static_cast<std::size_t>(batch))
    io_buffer_.resize(static_cast<std::size_t>(batch));
  const int chunk =
      static_cast<int>(std::min<std::int64_t>(batch, data->Size() - data->Position()));
  data->ReadBuffer(io_buffer_.data(), chunk);
  const bool to_connected_peer =
      connected_for_ != 0 && connected_for_ == Owner().Socket().Generation() &&
      port == connected_port_ && peer_text_.Of(address) == connected_address_;
  const int sent = to_connected_peer
                       ? ThrottledSend(io_buffer_.data(), chunk, 0)
                       : ThrottledSendTo(io_buffer_.data(), chunk, 0, address.SockAddr(),
                                         address.SockAddrLength());
  bool result = true;
  if (sent == ws::SOCKET_ERROR) {
    result = false;
    const int error = ws::WSAGetLastError();
    if (!WouldBlock(error)) RaiseSocketError(error);
    data->Seek(-chunk, TSeekOrigin::soCurrent);
  } else {
    if (sent < chunk) data->Seek(sent - chunk, TSeekOrigin::soCurrent);
    UpdateProgress(sent);
  }
  NoteLocalAddress();
  SetPeerFromAddress(address);
  return result;
}

int TzvNetworkStream::ReadBuffer(void* buffer, int size) {
  ClearPendingAction();
  return ThrottledRecv(buffer, size, 0);
}

int TzvNetworkStream::WriteBuffer(const void* buffer, int size) {
  ClearPendingAction();
  return ThrottledSend(buffer, size, 0);
}

int TzvNetworkStream::GetBatchSize() {
  const TzvConnection& connection = Owner();
  if (connection.BatchSize() < 1) RaiseSocketErrorText(SzvInvalidBatchSize, kzvErrInvalidBatchSize);
  std::int64_t result = connection.BatchSize();
  if (connection.TransferLimit() >= 0) {
    const std::int64_t left = connection.TransferLimit() - transferred_;
    if (result > left) result = left;
  }
  return static_cast<int>(result);
}

void TzvNetworkStream::ReadLocalAddress() {
  auto address = TzvIPAddress::CreateForFamily(Family());
  socklen_t length = address->SockAddrLength();
  const TzvSocket& socket = Owner().Socket();
  if (ws::getsockname(socket.Handle(), address->SockAddr(), &length) == ws::SOCKET_ERROR)
    RaiseLastSocketError();
  StoreLocal(local_text_.Of(*address), address->Port());
  // Without a port the socket is not bound yet: its first send will bind it.
  local_known_for_ = address->Port() != 0 ? socket.Generation() : 0;
}

void TzvNetworkStream::NoteLocalAddress() {
  const std::uint64_t generation = Owner().Socket().Generation();
  if (local_known_for_ == 0 || local_known_for_ != generation) {
    // Asked for only when someone reads it, while this socket is still open: a system
    // call per exchange that nobody needs otherwise.
    local_pending_for_ = generation;
    return;
  }
  // Stored again, as a fresh read would, in case the connection's copy was overwritten.
  StoreLocal(std::string(local_address_), local_port_);
}

void TzvNetworkStream::ResolvePendingLocalAddress() {
  if (local_pending_for_ == 0 || connection_ == nullptr) return;
  const std::uint64_t pending = local_pending_for_;
  local_pending_for_ = 0;
  // A socket closed or replaced since has no address of its own to give any more.
  if (connection_->Socket().Generation() != pending ||
      connection_->Socket().Handle() == zvWinSock2::INVALID_SOCKET)
    return;
  try {
    ReadLocalAddress();
  } catch (const EzvSocketError&) {
    // What was known before stays.
  }
}

const std::string& TzvNetworkStream::LocalAddress() const {
  const_cast<TzvNetworkStream*>(this)->ResolvePendingLocalAddress();
  return local_address_;
}

int TzvNetworkStream::LocalPort() const {
  const_cast<TzvNetworkStream*>(this)->ResolvePendingLocalAddress();
  return local_port_;
}

void TzvNetworkStream::StoreLocal(const std::string& address, int port) {
  local_address_ = address;
  local_port_ = port;
  if (connection_ != nullptr) {
    connection_->SetLocalAddress(address);
    connection_->SetLocalPort(port);
  }
}

void TzvNetworkStream::SetPeer(const std::string& address, int port) {
  remote_address_ = address;
  remote_port_ = port;
  if (connection_ != nullptr) {
    connection_->SetRemoteAddress(address);
    connection_->SetRemotePort(port);
  }
}

const std::string& TzvNetworkStream::TAddressText::Of(TzvIPAddress& address) {
  std::array<std::uint8_t, 20> key{};
  const sockaddr* raw = address.SockAddr();
  const int family = raw != nullptr ? raw->sa_family : 0;
  if (family == AF_INET && address.SockAddrLength() >= sizeof(sockaddr_in)) {
    sockaddr_in in{};
    std::memcpy(&in, raw, sizeof in);
    std::memcpy(key.data(), &in.sin_addr, 4);
  } else if (family == AF_INET6 && address.SockAddrLength() >= sizeof(sockaddr_in6)) {
    sockaddr_in6 in6{};
    std::memcpy(&in6, raw, sizeof in6);
    std::memcpy(key.data(), &in6.sin6_addr, 16);
    std::memcpy(key.data() + 16, &in6.sin6_scope_id, 4);
  } else {
    Family = 0;
    Text = address.ToString();
    return Text;
  }
  if (family != Family || key != Key) {
    Text = address.ToString();
    Family = family;
    Key = key;
  }
  return Text;
}

void TzvNetworkStream::SetPeerFromAddress(TzvIPAddress& address) {
  SetPeer(peer_text_.Of(address), address.Port());
}

void TzvNetworkStream::SetAddressPort(TzvIPAddress& address, int port) {
  address.SetPort(port);
}

std::int64_t TzvNetworkStream::ThrottleMilliseconds(std::int64_t length,
                                                    std::int32_t bits_per_sec) {
  if (bits_per_sec <= 0 || length <= 0) return 0;
  return length * 8 * 1000 / bits_per_sec;
}

template <class Call>
int TzvNetworkStream::Throttled(int length, Call call) {
  const int result = call();
  const std::int32_t bits_per_sec = Owner().BitsPerSec();
  if (bits_per_sec > 0) {
    // The delay counts what was asked for, not what moved, and follows failures too.
    const int saved = ws::WSAGetLastError();
    auto restore = ScopeExit([saved] { ws::WSASetLastError(saved); });
    ThrottleDelay(ThrottleMilliseconds(length, bits_per_sec));
  }
  return result;
}

int TzvNetworkStream::ThrottledRecv(void* buffer, int length, int flags) {
  return Throttled(length, [&] { return ws::recv(Handle(), buffer, length, flags); });
}

int TzvNetworkStream::ThrottledRecvFrom(void* buffer, int length, int flags, sockaddr* from,
                                        socklen_t* from_length) {
  return Throttled(
      length, [&] { return ws::recvfrom(Handle(), buffer, length, flags, from, from_length); });
}

int TzvNetworkStream::ThrottledSend(const void* buffer, int length, int flags) {
  return Throttled(length, [&] { return ws::send(Handle(), buffer, length, flags); });
}

int TzvNetworkStream::ThrottledSendTo(const void* buffer, int length, int flags, const sockaddr* to,
                                      socklen_t to_length) {
  return Throttled(length,
                   [&] { return ws::sendto(Handle(), buffer, length, flags, to, to_length); });
}

void TzvNetworkStream::ThrottleDelay(std::int64_t milliseconds) {
  if (milliseconds <= 0) return;
  const std::uint32_t start = GetTickCount();
  // INFINITE is the largest count and means "no limit": stay one below it.
  const std::uint32_t wait_ms =
      static_cast<std::uint32_t>(std::min<std::int64_t>(milliseconds, INFINITE - 1));
  for (;;) {
    const std::uint32_t result =
        MsgWaitForMultipleObjects(1, &throttle_signal_, false, wait_ms, kzvWakeMask);
    if (result == WAIT_OBJECT_0 || result == WAIT_TIMEOUT) return;
    // A wait that cannot be made would otherwise be retried for ever.
    if (result == WAIT_FAILED) RaiseSocketError(GetLastError());
    TMsg message;
    while (ElapsedSince(start) <= milliseconds && PeekMessage(message, 0, 0, 0, PM_REMOVE)) {
      TranslateMessage(message);
      DispatchMessage(message);
    }
    if (ElapsedSince(start) > milliseconds) return;
  }
}

bool TzvNetworkStream::IsTransferComplete() const {
  const TzvConnection& connection = Owner();
  return connection.TransferLimit() >= 0 && connection.TransferLimit() <= transferred_;
}

bool TzvNetworkStream::IsStopRequested() const {
  return Owner().AbortRequested() || IsTransferComplete();
}

// ---------------------------------------------------------------------------------------
// TzvSocket

TzvSocket::~TzvSocket() {
  Close();
}

void TzvSocket::Close() {
  if (handle_ != ws::INVALID_SOCKET) {
    // A datagram socket has no connection to take down: shutdown would only fail.
    if (type_ != SOCK_DGRAM) ws::shutdown(handle_, SHUT_RDWR);
    ws::closesocket(handle_);
    handle_ = ws::INVALID_SOCKET;
    NextGeneration();
  }
  family_ = 0;
  type_ = 0;
}

void TzvSocket::SetHandle(ws::TSocket handle, int family) {
  handle_ = handle;
  family_ = family;
  type_ = 0;
  NextGeneration();
}

void TzvSocket::NextGeneration() {
  static std::atomic<std::uint64_t> last{0};
  generation_ = last.fetch_add(1, std::memory_order_relaxed) + 1;
}

// ---------------------------------------------------------------------------------------
// TzvConnection

TzvConnection::TzvConnection() : socket_(std::make_unique<TzvSocket>()) {}

TzvConnection::~TzvConnection() {
  CloseForDestruction();
  TzvConnection::ReleaseResources();
}

void TzvConnection::CloseForDestruction() {
  try {
    Close(false);
    CloseSocket();
  } catch (const EzvSocketError&) {
    // A broken socket must never stop the owner from going away.
  }
}

void TzvConnection::ReleaseResources() {
  socket_.reset();
  SetNetworkStream(nullptr);
}

void TzvConnection::DoTransferProgress(std::int64_t transferred, std::int64_t total) {
  if (on_transfer_progress_) on_transfer_progress_(this, transferred, total);
}

void TzvConnection::DoStreamReady() {
  if (on_stream_ready_) on_stream_ready_(this);
}

void TzvConnection::Close(bool notify_peer) {
  bool keep_open = false;
  auto close = ScopeExit([&] {
    if (!keep_open) CloseSocket();
  });
  if (is_open_) {
    TzvNetworkStream& stream = GetNetworkStream();
    stream.Close(notify_peer);
    if (notify_peer) AfterPeerNotified();
    if (is_open_) keep_open = stream.PendingAction();
  }
}

const std::string& TzvConnection::LocalAddress() const {
  if (network_stream_) network_stream_->ResolvePendingLocalAddress();
  return local_address_;
}

int TzvConnection::LocalPort() const {
  if (network_stream_) network_stream_->ResolvePendingLocalAddress();
  return local_port_;
}

void TzvConnection::AddTransferred(std::int64_t count) {
  total_transferred_ += count;
  DoTransferProgress(total_transferred_, total_size_);
}

void TzvConnection::SetNetworkStream(std::unique_ptr<TzvNetworkStream> stream) {
  if (stream && stream.get() == network_stream_.get()) {
    stream.release();  // the very same object: it is already ours
    return;
  }
  if (stream && network_stream_) stream->Assign(network_stream_.get());
  network_stream_ = std::move(stream);
  if (network_stream_) network_stream_->SetConnection(this);
}

TzvNetworkStream& TzvConnection::GetNetworkStream() {
  if (!network_stream_) RaiseSocketErrorText(SzvNetworkStreamRequired, kzvErrNetworkStreamRequired);
  return *network_stream_;
}

void TzvConnection::CloseSocket() {
  is_open_ = false;
  if (socket_) socket_->Close();
}

void TzvConnection::CreateSocket(int family, int type, int protocol) {
  const ws::TSocket handle = ws::socket(family, type, protocol);
  socket_->SetHandle(handle, family);
  if (handle == ws::INVALID_SOCKET) RaiseLastSocketError();
  socket_->SetType(type & ~(SOCK_NONBLOCK | SOCK_CLOEXEC));
}

// ---------------------------------------------------------------------------------------
// TzvSyncConnection

TzvSyncConnection::TzvSyncConnection() : stop_(MakeStop()) {
  network_signal_ = ws::WSACreateEvent();
  if (network_signal_ == ws::WSA_INVALID_EVENT) RaiseSocketError(ws::WSAGetLastError());
}

TzvSyncConnection::~TzvSyncConnection() {
  // Closed here, while the signals still exist; the base part then finds it closed.
  CloseForDestruction();
  ReleaseResources();
}

void TzvSyncConnection::ReleaseResources() {
  if (network_signal_ != ws::WSA_INVALID_EVENT) {
    ws::WSACloseEvent(network_signal_);
    network_signal_ = ws::WSA_INVALID_EVENT;
  }
  TzvConnection::ReleaseResources();
}

void TzvSyncConnection::Abort() {
  TzvConnection::Abort();
  stop_->RequestStop();
}

void TzvSyncConnection::ResetAbort() {
  TzvConnection::ResetAbort();
  stop_->Reset();
}

void TzvSyncConnection::SetStop(TzvStop stop) {
  stop_ = stop != nullptr ? std::move(stop) : MakeStop();
}

void TzvSyncConnection::RestartTimeOut() {
  operation_start_ = GetTickCount();
}

void TzvSyncConnection::SelectEvents(long mask) {
  events_selected_for_ = 0;
  if (ws::WSAEventSelect(Socket().Handle(), network_signal_, mask) == ws::SOCKET_ERROR)
    RaiseLastSocketError();
  if (mask != 0) events_selected_for_ = Socket().Generation();
}

// ---------------------------------------------------------------------------------------
// TzvUdpConnection

bool TzvUdpConnection::ReadData(TStream* data) {
  // Checked before anything else: a connection never opened has no family to make the
  // sender's address object from, and the answer is "not a socket".
  if (!IsOpen()) RaiseSocketError(kzvNotASocket);
  TzvNetworkStream& stream = GetNetworkStream();
  // The sender's address object is kept for the socket's family: one per datagram
  // would be made and freed for nothing.
  if (!sender_object_ || sender_family_ != Socket().Family()) {
    sender_object_ = TzvIPAddress::CreateForFamily(Socket().Family());
    sender_family_ = Socket().Family();
  }
  TzvIPAddress* address = sender_object_.get();
  int port = 0;
  RestartTimeOut();
  const bool just_sent = sent_since_receive_;
  sent_since_receive_ = false;
  if (stream.ReadPending()) {
    // A read event was taken by an earlier write wait: the datagram is waiting already.
    stream.SetReadPending(false);
    if (stream.ReadFrom(data, *address, port)) return true;
  } else if (!just_sent && CanReadAhead(data)) {
    // The socket is non-blocking, so one attempt before waiting costs nothing when no
    // datagram is there yet and saves the readiness checks when it is. Not straight
    // after a send: an answer cannot be back yet, and the attempt would only fail.
    if (stream.ReadFrom(data, *address, port)) return true;
  }
  for (;;) {
    if (!IsOpen()) RaiseSocketError(kzvNotASocket);
    if (WaitForSignal(NetworkSignal(), AbortSignal(), OperationStart(), TimeOut())) {
      const ws::WSANETWORKEVENTS events = TakeNetworkEvents();
      if (HasEvent(events, ws::FD_READ, ws::FD_READ_BIT)) {
        // A read event with nothing to read after all is no datagram: wait on.
        if (stream.ReadFrom(data, *address, port)) break;
      }
    }
    if (stream.IsStopRequested()) break;
  }
  return true;
}

ws::WSANETWORKEVENTS TzvUdpConnection::TakeNetworkEvents() {
  // Reading the events also resets the network signal.
  ws::WSANETWORKEVENTS events;
  if (ws::WSAEnumNetworkEvents(Socket().Handle(), NetworkSignal(), &events) == ws::SOCKET_ERROR)
    RaiseLastSocketError();
  return events;
}

bool TzvUdpConnection::HasEvent(const ws::WSANETWORKEVENTS& events, long event, int bit) {
  if ((events.lNetworkEvents & event) == 0) return false;
  // An event that came with an error reports the error instead of the event.
  if (events.iErrorCode[bit] != 0) RaiseSocketError(events.iErrorCode[bit]);
  return true;
}

bool TzvUdpConnection::CanReadAhead(TStream* data) {
  // Only where an attempt that finds nothing leaves no trace: a throttled receive would
  // wait its delay, and a receive with no room reads nothing yet ends the call at once
  // where the wait would have waited for the datagram first.
  if (data == nullptr || BitsPerSec() > 0 || BatchSize() < 1) return false;
  // Events selected on this very socket made it non-blocking; any other could block.
  if (!EventsSelected()) return false;
  return TransferLimit() < 0 || TransferLimit() > GetNetworkStream().Transferred();
}

TzvIPAddress& TzvUdpConnection::PeerAddress() {
  return AddressObjectFor(RemoteAddress());
}

TzvIPAddress& TzvUdpConnection::AddressObjectFor(const std::string& text) {
  // Made once for the server's text and kept while it stays the same: every exchange
  // with the same server would otherwise parse the same address again.
  if (!peer_object_ || peer_object_text_ != text) {
    peer_object_ = TzvIPAddress::CreateFromText(text);
    peer_object_text_ = text;
  }
  return *peer_object_;
}

bool TzvUdpConnection::WriteData(TStream* data) {
  TzvNetworkStream& stream = GetNetworkStream();
  TzvIPAddress& address = PeerAddress();
  RestartTimeOut();
  sent_since_receive_ = true;
  if (stream.WriteTo(data, address, RemotePort())) return true;
  // The send would block: from now on the socket's writability is watched too.
  if (EventsSelected() && !write_events_selected_) {
    SelectEvents(ws::FD_READ | ws::FD_WRITE);
    write_events_selected_ = true;
  }
  for (;;) {
    if (WaitForSignal(NetworkSignal(), AbortSignal(), OperationStart(), TimeOut())) {
      const ws::WSANETWORKEVENTS events = TakeNetworkEvents();
      if (HasEvent(events, ws::FD_READ, ws::FD_READ_BIT)) {
        stream.SetReadPending(true);  // read by the next ReadData
      }
      if (HasEvent(events, ws::FD_WRITE, ws::FD_WRITE_BIT)) {
        RestartTimeOut();
        if (stream.WriteTo(data, address, RemotePort())) break;
      }
    }
    if (stream.IsStopRequested()) break;
  }
  return true;
}

// ---------------------------------------------------------------------------------------
// TzvUdpClientConnection

void TzvUdpClientConnection::Open(const std::string& host, int port) {
  // A socket left from an earlier Open (whether it succeeded or not) is closed first, so
  // that no handle is lost.
  if (Socket().Handle() != ws::INVALID_SOCKET) Close(false);
  const int family = AddressObjectFor(host).AddressFamily();
  // Non-blocking from the start: selecting the events below would make it so anyway.
  CreateSocket(family, SOCK_DGRAM | SOCK_NONBLOCK, IPPROTO_UDP);
  TzvNetworkStream& stream = GetNetworkStream();
  if (!Trim(LocalBinding()).empty()) {
    auto binding = TzvIPAddress::CreateBindingAddress(LocalBinding(), family);
    stream.Bind(*binding, 0);  // the system picks the port
  }
  stream.SetPeer(host, port);
  write_events_selected_ = false;
  // A datagram send almost never has to wait, so only reads are watched until one does
  // (WriteData then watches writes too): a write event reported for nothing would end
  // the first wait for the answer early and cost another round of checks.
  SelectEvents(ws::FD_READ);
  SetIsOpen(true);
  stream.SignalReady();
}

// ---------------------------------------------------------------------------------------
// TzvTcpClientConnection

void TzvTcpClientConnection::Open(const std::string& host, int port) {
  if (Socket().Handle() != ws::INVALID_SOCKET) Close(false);
  auto address = TzvIPAddress::CreateFromText(host);
  CreateSocket(address->AddressFamily(), SOCK_STREAM | SOCK_NONBLOCK, IPPROTO_TCP);
  TzvNetworkStream& stream = GetNetworkStream();
  if (!Trim(LocalBinding()).empty()) {
    auto binding = TzvIPAddress::CreateBindingAddress(LocalBinding(), address->AddressFamily());
    stream.Bind(*binding, 0);
  }
  SelectEvents(ws::FD_READ | ws::FD_WRITE);
  // One clock for the whole exchange: connect, send and receive share the time-out.
  RestartTimeOut();
  // The socket reports itself writable once the connection stands, or fails with the
  // reason it could not be made (a refusal, an unreachable host) as the event's error.
  if (!stream.Connect(*address, port)) WaitFor(ws::FD_WRITE, ws::FD_WRITE_BIT);
  SetIsOpen(true);
  stream.SignalReady();
}

void TzvTcpClientConnection::WaitFor(long event, int bit) {
  for (;;) {
    if (AbortRequested()) RaiseSocketErrorText(SzvAborted, kzvErrAborted);
    if (WaitForSignal(NetworkSignal(), AbortSignal(), OperationStart(), TimeOut())) {
      ws::WSANETWORKEVENTS events;
      if (ws::WSAEnumNetworkEvents(Socket().Handle(), NetworkSignal(), &events) == ws::SOCKET_ERROR)
        RaiseLastSocketError();
      if ((events.lNetworkEvents & event) != 0) {
        if (events.iErrorCode[bit] != 0) RaiseSocketError(events.iErrorCode[bit]);
        return;
      }
      // The other event came with an error: the connection is broken for both ways.
      for (int other : {ws::FD_READ_BIT, ws::FD_WRITE_BIT}) {
        if (events.iErrorCode[other] != 0) RaiseSocketError(events.iErrorCode[other]);
      }
    }
  }
}

bool TzvTcpClientConnection::ReadData(TStream* data) {
  return ReadData(data, -1);
}

bool TzvTcpClientConnection::ReadData(TStream* data, std::int64_t most) {
  if (!IsOpen()) RaiseSocketError(kzvNotASocket);
  if (most == 0) return true;  // nothing asked for: no reason to wait
  TzvNetworkStream& stream = GetNetworkStream();
  for (;;) {
    // Checked before every read, not only when a wait begins: a peer that never lets the
    // socket run dry never lets a wait run out, and its flood would outlast the time-out.
    if (TimeOut() != -1 && ElapsedSince(OperationStart()) > std::max(TimeOut(), 0)) RaiseTimeout();
    const std::int64_t before = data->Size();
    stream.Read(data, most);
    if (data->Size() > before) return true;
    if (stream.PeerClosed()) return false;
    // Every wait of the exchange shares the one time-out begun by Open.
    WaitFor(ws::FD_READ, ws::FD_READ_BIT);
  }
}

bool TzvTcpClientConnection::WriteData(TStream* data) {
  if (!IsOpen()) RaiseSocketError(kzvNotASocket);
  TzvNetworkStream& stream = GetNetworkStream();
  while (!stream.Write(data)) WaitFor(ws::FD_WRITE, ws::FD_WRITE_BIT);
  if (AbortRequested()) RaiseSocketErrorText(SzvAborted, kzvErrAborted);
  return true;
}

// ---------------------------------------------------------------------------------------
// Resolvers

namespace {

// A host text with a NUL in it would be looked up only up to the NUL.
void CheckHostText(const std::string& host) {
  if (host.find('\0') != std::string::npos) RaiseSocketError(kzvHostNotFound);
}

std::string DottedText(const std::array<std::uint8_t, 4>& bytes) {
  return Format("%d.%d.%d.%d", bytes[0], bytes[1], bytes[2], bytes[3]);
}

std::string AddressText(const ws::TzvAddressEntry::Address& address) {
  if (address.Family == AF_INET) {
    std::uint32_t network_order = 0;
    std::memcpy(&network_order, address.Bytes.data(), 4);
    return TzvIPAddress::IPv4ToText(network_order);
  }
  return TzvIPAddress::IPv6ToText(address.Bytes);
}

}  // namespace

std::string TzvHostResolver::ResolveHost(const std::string& host) {
  return ResolveHost(host, TzvHostResolver4::kLookupTimeOut, kzvNoHandle);
}

std::string TzvHostResolver::ResolveHost(const std::string& host, std::int32_t time_out,
                                         THandle abort_signal) {
  // An address needs no resolver at all.
  if (TzvIPAddress::IsIPAddress(host)) return host;
  std::unique_ptr<TzvHostResolver> resolver;
  if (ws::IsIPv6Available())
    resolver = std::make_unique<TzvHostResolver6>();
  else
    resolver = std::make_unique<TzvHostResolver4>();
  resolver->SetLookupTimeOut(time_out);
  resolver->SetAbortSignal(abort_signal);
  return resolver->GetIPAddress(host);
}

TzvHostResolver::~TzvHostResolver() {
  if (done_signal_ != kzvNoHandle) CloseHandle(done_signal_);
}

void TzvHostResolver::RunLookup(std::int32_t time_out,
                                const std::function<ws::TzvAsyncRequest(HWND window)>& start) {
  done_signal_ = CreateEvent();
  if (done_signal_ == kzvNoHandle) RaiseLastSocketError();
  HWND window = 0;
  auto release = ScopeExit([&] {
    if (window != 0) ReleaseLookupWindow(window);
    CloseHandle(done_signal_);
    done_signal_ = kzvNoHandle;
  });
  window = AllocateMessageWindow([this](const TMsg& message) { HandleLookupMessage(message); });
  lookup_error_ = 0;
  request_handle_ = start(window);
  if (request_handle_ == 0) RaiseLastSocketError();
  {
    // Once cancelled, the lookup neither writes the answer nor posts its completion.
    auto cancel = ScopeExit([this] {
      ws::WSACancelAsyncRequest(request_handle_);
      request_handle_ = 0;
    });
    // Messages dispatched meanwhile end a wait but not the lookup; the time-out counts
    // from the start of the lookup all the same.
    const std::uint32_t started = GetTickCount();
    while (!WaitForSignal(done_signal_, abort_signal_, started, time_out)) {
      if (abort_signal_ != kzvNoHandle &&
          MsgWaitForMultipleObjects(1, &abort_signal_, false, 0, 0) == WAIT_OBJECT_0)
        RaiseSocketErrorText(SzvAborted, kzvErrAborted);
    }
    cancel.Dismiss();
  }
  request_handle_ = 0;
  if (lookup_error_ != 0) RaiseSocketError(lookup_error_);
}

void TzvHostResolver::HandleLookupMessage(const TMsg& message) {
  if (message.message != lookup_message_ || request_handle_ == 0 ||
      message.wParam != request_handle_)
    return;
  lookup_error_ = ws::WSAGETASYNCERROR(message.lParam);
  SetEvent(done_signal_);
}

void TzvHostResolver::ReleaseLookupWindow(HWND window) {
  TMsg message;
  while (PeekMessage(message, window, 0, 0, PM_REMOVE)) {
  }
  DeallocateMessageWindow(window);
}

std::string TzvHostResolver4::GetIPAddress(const std::string& host) {
  if (TzvIPAddress::IsIPAddress(host)) return host;
  return LookupFirstAddress(host, LookupTimeOut());
}

void TzvHostResolver4::GetIPList(const std::string& host, TStrings& list) {
  list.Clear();
  auto answer = LookupHost(host, LookupTimeOut());
  for (const auto& address : answer->Addresses) list.Add(DottedText(address));
}

std::string TzvHostResolver4::LookupFirstAddress(const std::string& host, std::int32_t time_out) {
  auto answer = LookupHost(host, time_out);
  if (answer->Addresses.empty()) return std::string();
  return DottedText(answer->Addresses.front());
}

std::unique_ptr<ws::TzvHostEntry> TzvHostResolver4::LookupHost(const std::string& host,
                                                               std::int32_t time_out) {
  CheckHostText(host);
  auto answer = std::make_unique<ws::TzvHostEntry>();
  RunLookup(time_out, [&](HWND window) {
    return ws::WSAAsyncGetHostByName(window, kLookupMessage, host.c_str(), answer.get());
  });
  return answer;
}

std::string TzvHostResolver6::GetIPAddress(const std::string& host) {
  if (TzvIPAddress::IsIPAddress(host)) return host;
  return LookupPreferredAddress(host);
}

void TzvHostResolver6::GetIPList(const std::string& host, TStrings& list) {
  list.Clear();
  auto answer = LookupAddresses(host);
  for (const auto& address : answer->Addresses) list.Add(AddressText(address));
}

std::string TzvHostResolver6::LookupPreferredAddress(const std::string& host) {
  auto answer = LookupAddresses(host);
  for (const auto& address : answer->Addresses) {
    if (address.Family == AF_INET) return AddressText(address);
  }
  if (!answer->Addresses.empty() && answer->Addresses.front().Family == AF_INET6)
    return AddressText(answer->Addresses.front());
  return std::string();
}

std::unique_ptr<ws::TzvAddressEntry> TzvHostResolver6::LookupAddresses(const std::string& host) {
  CheckHostText(host);
  auto answer = std::make_unique<ws::TzvAddressEntry>();
  RunLookup(LookupTimeOut(), [&](HWND window) {
    return ws::WSAAsyncGetAddrInfo(window, kLookupMessage, host.c_str(), answer.get());
  });
  return answer;
}
