// The transport under the UDP client: the network stream that moves bytes between a
// socket and a TStream (with optional bit-rate throttling), the connections that turn
// it into blocking operations with time-outs, WaitForSignal (the wait that keeps the
// thread's messages flowing) and the host-name resolvers.
//
// Waits never block the thread's message handling: every wait goes through
// MsgWaitForMultipleObjects and dispatches what is queued for the thread (net/zvMessages.h).
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/Classes.h"
#include "net/zvIpAddress.h"
#include "net/zvMessages.h"
#include "net/zvStop.h"
#include "net/zvWinSock2.h"

class TzvConnection;

// ---------------------------------------------------------------------------------------
// Network stream

class TzvNetworkStream : public TObject {
 public:
  TzvNetworkStream();
  ~TzvNetworkStream() override;
  TzvNetworkStream(const TzvNetworkStream&) = delete;
  TzvNetworkStream& operator=(const TzvNetworkStream&) = delete;
  std::string ClassName() const override { return "TzvNetworkStream"; }

  // Adds to Transferred and tells the connection.
  virtual void UpdateProgress(std::int64_t count);
  virtual void SetConnection(TzvConnection* connection);
  // Takes over the addresses and the read flag of another stream.
  virtual void Assign(const TzvNetworkStream* source);
  // Stream socket connect; true when connected at once, false while it is under way.
  virtual bool Connect(TzvIPAddress& address, int port);
  virtual void RefreshLocalAddress();
  virtual void Bind(TzvIPAddress& address, int port);
  // Binds to the first free port of [lowest, highest] (1..65535, else -3).
  virtual void BindRange(TzvIPAddress& address, int lowest, int highest);
  virtual void EnableBroadcast();
  // Sends each write at once (TCP_NODELAY): a protocol of several small writes that each
  // wait on the peer (a TLS handshake, then the question) would otherwise stall on the
  // peer's delayed acknowledgements.
  virtual void DisableDelay();
  // Acknowledges what arrives at once rather than after the usual short delay, for the
  // same protocols: a peer whose own small writes wait on our acknowledgement answers
  // sooner. Linux drops the setting by itself, so it is made again after each read.
  void AcknowledgeAtOnce();
  virtual void Listen();
  // Takes the first waiting connection; the listening socket is closed once it succeeded.
  virtual void Accept();
  virtual void Close(bool notify_peer);
  virtual void SignalReady();
  // Reads a stream socket until it has nothing more, or until `most` bytes came (a
  // negative `most`: no bound); false when the last read would block. A caller that knows
  // how much it needs says so, or a peer that never stops sending fills memory before the
  // caller ever looks at what came.
  virtual bool Read(TStream* data, std::int64_t most = -1);
  // Writes the rest of `data`; false when a send would block (the position is kept).
  virtual bool Write(TStream* data);
  // Receives one datagram into `data` at its position; false when none was waiting.
  virtual bool ReadFrom(TStream* data, TzvIPAddress& address, int& port);
  // Sends one datagram of at most the batch size from the position of `data`; false when
  // the send would block (the position is then where it was).
  virtual bool WriteTo(TStream* data, TzvIPAddress& address, int port);
  virtual int ReadBuffer(void* buffer, int size);
  virtual int WriteBuffer(const void* buffer, int size);
  // The connection's batch size cut to what the transfer limit leaves; -4 below 1.
  virtual int GetBatchSize();
  virtual void AfterConnect() {}
  virtual void AfterAccept() {}

  // Asks the socket for its local address and port (always a system call).
  void ReadLocalAddress();
  void SetPeer(const std::string& address, int port);
  void SetPeerFromAddress(TzvIPAddress& address);
  static void SetAddressPort(TzvIPAddress& address, int port);

  // The socket calls, each followed by the throttle delay when BitsPerSec > 0; the
  // socket call's error is what WSAGetLastError() gives afterwards.
  int ThrottledRecv(void* buffer, int length, int flags);
  int ThrottledRecvFrom(void* buffer, int length, int flags, sockaddr* from,
                        socklen_t* from_length);
  int ThrottledSend(const void* buffer, int length, int flags);
  int ThrottledSendTo(const void* buffer, int length, int flags, const sockaddr* to,
                      socklen_t to_length);
  // Milliseconds that moving `length` bytes takes at `bits_per_sec` (computed in 64 bits).
  static std::int64_t ThrottleMilliseconds(std::int64_t length, std::int32_t bits_per_sec);
  // Waits `milliseconds`, dispatching the thread's messages meanwhile.
  void ThrottleDelay(std::int64_t milliseconds);
  bool IsTransferComplete() const;
  bool IsStopRequested() const;
  void ClearPendingAction() { pending_action_ = false; }

  TzvConnection* Connection() const { return connection_; }
  bool PendingAction() const { return pending_action_; }
  void SetPendingAction(bool value) { pending_action_ = value; }
  // The local address and port after a datagram moved. Asked of the socket the first
  // time they are read after the socket got its port (most exchanges never ask).
  const std::string& LocalAddress() const;
  int LocalPort() const;
  // Asks the socket now for a local address a datagram left pending.
  void ResolvePendingLocalAddress();
  const std::string& RemoteAddress() const { return remote_address_; }
  int RemotePort() const { return remote_port_; }
  bool ReadPending() const { return read_pending_; }
  void SetReadPending(bool value) { read_pending_ = value; }
  std::int64_t Transferred() const { return transferred_; }
  bool PeerClosed() const { return peer_closed_; }

 protected:
  // The connection, or -5 style failure when the stream was never given one.
  TzvConnection& Owner() const;
  zvWinSock2::TSocket Handle() const;
  int Family() const;

 private:
  void StoreLocal(const std::string& address, int port);
  // The local address after a datagram moved. Once the socket has a port, neither address
  // nor port change until it is bound, connected or replaced, so the first answer is kept
  // for the socket it was read from.
  void NoteLocalAddress();
  void ForgetLocalAddress() {
    local_known_for_ = 0;
    local_pending_for_ = 0;
  }
  template <class Call>
  int Throttled(int length, Call call);

  // The text of an address as ToString gives it, kept for the address last turned into
  // text: a stream talks to one peer from one local address, so each datagram would
  // otherwise format the same address again.
  struct TAddressText {
    std::array<std::uint8_t, 20> Key{};  // family-specific address bytes (and scope)
    int Family = 0;
    std::string Text;
    const std::string& Of(TzvIPAddress& address);
  };

  TzvConnection* connection_ = nullptr;
  TAddressText peer_text_;
  TAddressText local_text_;
  // Reused by every datagram and every stream read so that none allocates its own.
  std::vector<std::uint8_t> io_buffer_;
  THandle throttle_signal_ = INVALID_HANDLE_VALUE;
  bool pending_action_ = false;
  std::string local_address_;
  int local_port_ = 0;
  std::string remote_address_;
  int remote_port_ = 0;
  bool read_pending_ = false;
  std::int64_t transferred_ = 0;
  bool peer_closed_ = false;
  // The Generation() of the socket whose local address is held; 0 when none is.
  std::uint64_t local_known_for_ = 0;
  // The Generation() of the datagram socket connected to connected_address_ and
  // connected_port_; 0 when none is.
  std::uint64_t connected_for_ = 0;
  std::string connected_address_;
  int connected_port_ = 0;
  // The Generation() of the socket whose local address is to be asked for when read.
  std::uint64_t local_pending_for_ = 0;
};

// ---------------------------------------------------------------------------------------
// Socket and connections

class TzvSocket : public TObject {
 public:
  std::string ClassName() const override { return "TzvSocket"; }
  ~TzvSocket() override;
  // shutdown (both ways) and close, results ignored; the handle is -1 and the family 0
  // afterwards in every case. A datagram socket is closed without the shutdown, which
  // does nothing for it.
  virtual void Close();
  // Stores both; closes nothing. The type becomes unknown (0).
  virtual void SetHandle(zvWinSock2::TSocket handle, int family);
  // The socket type (SOCK_DGRAM, SOCK_STREAM) of the handle, when the creator knows it.
  void SetType(int type) { type_ = type; }

  int Family() const { return family_; }
  int Type() const { return type_; }
  zvWinSock2::TSocket Handle() const { return handle_; }
  // Changes whenever the handle is set or closed, never repeats within the process: a
  // descriptor number used again for a new socket still gets a new generation.
  std::uint64_t Generation() const { return generation_; }

 private:
  void NextGeneration();

  int family_ = 0;
  int type_ = 0;
  zvWinSock2::TSocket handle_ = zvWinSock2::INVALID_SOCKET;
  std::uint64_t generation_ = 0;
};

using TzvTransferProgressEvent =
    std::function<void(TObject* sender, std::int64_t transferred, std::int64_t total)>;

// Owns one socket and one stream; keeps the settings the stream reads.
class TzvConnection : public TObject {
 public:
  TzvConnection();
  ~TzvConnection() override;
  TzvConnection(const TzvConnection&) = delete;
  TzvConnection& operator=(const TzvConnection&) = delete;
  std::string ClassName() const override { return "TzvConnection"; }

  virtual void DoTransferProgress(std::int64_t transferred, std::int64_t total);
  virtual void DoStreamReady();
  // Lets the stream close its side, then closes the socket unless the stream asked to
  // keep it open. On a closed connection it only closes the socket object.
  virtual void Close(bool notify_peer);
  virtual bool ReadData(TStream* data) = 0;
  virtual bool WriteData(TStream* data) = 0;
  virtual void AfterPeerNotified() {}
  virtual void Abort() { abort_requested_ = true; }
  // Forgets an earlier Abort, so that the next operation runs normally.
  virtual void ResetAbort() { abort_requested_ = false; }

  void AddTransferred(std::int64_t count);
  void SetIsOpen(bool value) { is_open_ = value; }
  // Takes ownership; the new stream takes over the old one's addresses, the old one is
  // freed. The same stream again changes nothing.
  void SetNetworkStream(std::unique_ptr<TzvNetworkStream> stream);
  // The stream; -5 "NetworkStream is required" when there is none.
  TzvNetworkStream& GetNetworkStream();
  void CloseSocket();
  // `type` may carry SOCK_NONBLOCK (and SOCK_CLOEXEC, which every socket gets anyway).
  void CreateSocket(int family, int type, int protocol);

  TzvSocket& Socket() { return *socket_; }
  const TzvSocket& Socket() const { return *socket_; }
  std::int32_t BatchSize() const { return batch_size_; }
  void SetBatchSize(std::int32_t value) { batch_size_ = value; }
  std::int32_t BitsPerSec() const { return bits_per_sec_; }
  void SetBitsPerSec(std::int32_t value) { bits_per_sec_ = value; }
  virtual bool AbortRequested() const { return abort_requested_; }
  bool IsOpen() const { return is_open_; }
  std::int64_t TotalTransferred() const { return total_transferred_; }
  std::int64_t TotalSize() const { return total_size_; }
  void SetTotalSize(std::int64_t value) { total_size_ = value; }
  std::int64_t TransferLimit() const { return transfer_limit_; }
  void SetTransferLimit(std::int64_t value) { transfer_limit_ = value; }
  void SetOnTransferProgress(TzvTransferProgressEvent handler) {
    on_transfer_progress_ = std::move(handler);
  }
  void SetOnStreamReady(TNotifyEvent handler) { on_stream_ready_ = std::move(handler); }

  // Written by the stream (which asks the socket for them when they are read).
  const std::string& LocalAddress() const;
  void SetLocalAddress(const std::string& value) { local_address_ = value; }
  int LocalPort() const;
  void SetLocalPort(int value) { local_port_ = value; }
  const std::string& RemoteAddress() const { return remote_address_; }
  void SetRemoteAddress(const std::string& value) { remote_address_ = value; }
  int RemotePort() const { return remote_port_; }
  void SetRemotePort(int value) { remote_port_ = value; }

 protected:
  // Frees the socket object and the stream.
  virtual void ReleaseResources();
  // Closes quietly: a socket failure while closing never stops destruction.
  void CloseForDestruction();

 private:
  std::unique_ptr<TzvSocket> socket_;
  std::int32_t batch_size_ = 8192;
  std::int32_t bits_per_sec_ = 0;
  bool abort_requested_ = false;
  std::unique_ptr<TzvNetworkStream> network_stream_;
  bool is_open_ = false;
  std::int64_t total_transferred_ = 0;
  std::int64_t total_size_ = 0;
  std::int64_t transfer_limit_ = -1;
  TzvTransferProgressEvent on_transfer_progress_;
  TNotifyEvent on_stream_ready_;
  std::string local_address_;
  int local_port_ = 0;
  std::string remote_address_;
  int remote_port_ = 0;
};

// Adds the time-out, the socket's network signal and a stop (net/zvStop.h): a stop of its
// own unless it is handed the one of the work it is part of.
class TzvSyncConnection : public TzvConnection {
 public:
  TzvSyncConnection();
  ~TzvSyncConnection() override;
  std::string ClassName() const override { return "TzvSyncConnection"; }

  // Requests the stop: wakes a waiting read or write, which then ends without data, and
  // every other wait that shares the stop.
  void Abort() override;
  // Clears the stop (an Abort made while nothing waited leaves it set).
  void ResetAbort() override;
  bool AbortRequested() const override { return stop_->StopRequested(); }
  // Shares the stop of the work this connection is part of; null gives it one of its own.
  void SetStop(TzvStop stop);
  const TzvStop& Stop() const { return stop_; }
  void RestartTimeOut();
  // Selects network events on the socket (making it non-blocking); raises on failure.
  void SelectEvents(long mask);
  // True while the events selected last are on the current socket (so it is non-blocking).
  bool EventsSelected() const {
    return events_selected_for_ != 0 && events_selected_for_ == Socket().Generation();
  }

  // Milliseconds an operation may wait in all, counted from OperationStart (every wait of
  // the operation gets what is left); -1 waits without limit, below -1 counts as 0.
  std::int32_t TimeOut() const { return time_out_; }
  void SetTimeOut(std::int32_t value) { time_out_ = value; }
  zvWinSock2::WSAEVENT NetworkSignal() const { return network_signal_; }
  THandle AbortSignal() const { return stop_->Signal(); }
  std::uint32_t OperationStart() const { return operation_start_; }
  const std::string& LocalBinding() const { return local_binding_; }
  void SetLocalBinding(const std::string& value) { local_binding_ = value; }

 protected:
  void ReleaseResources() override;

 private:
  std::int32_t time_out_ = 5000;
  zvWinSock2::WSAEVENT network_signal_ = zvWinSock2::WSA_INVALID_EVENT;
  TzvStop stop_;
  std::uint32_t operation_start_ = 0;
  std::string local_binding_;
  std::uint64_t events_selected_for_ = 0;
};

// Reads and writes one datagram per call, waiting within TimeOut.
class TzvUdpConnection : public TzvSyncConnection {
 public:
  std::string ClassName() const override { return "TzvUdpConnection"; }
  // Receives one datagram into `data`; the sender becomes the peer. Raises 10038's
  // counterpart (not a socket) when the connection is not open, -1 on time-out.
  bool ReadData(TStream* data) override;
  // Sends one datagram (at most BatchSize bytes) to RemoteAddress and RemotePort.
  bool WriteData(TStream* data) override;
  // RemoteAddress as an address object, made again only when the text changes. Raises
  // "Invalid host address" (-2) for a text that is not an address.
  TzvIPAddress& PeerAddress();

 private:
  // Whether ReadData may try to receive before the first wait.
  bool CanReadAhead(TStream* data);
  // The socket's network events since the last look (fails on the system's error).
  zvWinSock2::WSANETWORKEVENTS TakeNetworkEvents();
  // Whether the event is among them; raises the event's own error when it carries one.
  static bool HasEvent(const zvWinSock2::WSANETWORKEVENTS& events, long event, int bit);

 protected:
  // Whether write events are watched on the current socket besides read events.
  bool write_events_selected_ = false;

 protected:
  // The address object of a text, kept for the text last asked about.
  TzvIPAddress& AddressObjectFor(const std::string& text);

 private:
  std::unique_ptr<TzvIPAddress> peer_object_;
  std::string peer_object_text_;
  std::unique_ptr<TzvIPAddress> sender_object_;
  int sender_family_ = 0;
  // A datagram went out since the last receive began.
  bool sent_since_receive_ = false;
};

class TzvUdpClientConnection : public TzvUdpConnection {
 public:
  std::string ClassName() const override { return "TzvUdpClientConnection"; }
  // Opens a UDP socket towards a numeric address (a socket still open is closed first),
  // bound to LocalBinding unless that is blank. No datagram is exchanged.
  void Open(const std::string& host, int port);
};

// One request and its answer over a stream (TCP) connection, for a question whose answer
// did not fit a datagram. Every wait dispatches the thread's messages and ends at the
// time-out, which counts from Open for the whole exchange (connect, send and receive
// together: no read or write starts a time-out of its own), or at Abort, which fails with
// kzvErrAborted.
class TzvTcpClientConnection : public TzvSyncConnection {
 public:
  std::string ClassName() const override { return "TzvTcpClientConnection"; }
  // Connects a TCP socket to a numeric address (closing a socket still open first) and
  // waits until the connection stands; fails with the system's error (a refused
  // connection: ECONNREFUSED) or the time-out.
  void Open(const std::string& host, int port);
  // Appends what has arrived to `data` (waiting for something first); false once the
  // peer has closed its side and nothing more came. Once the time-out has run out it
  // fails, however much is waiting to be read.
  bool ReadData(TStream* data) override;
  // The same, taking at most `most` bytes (a negative `most`: no bound) and leaving the
  // rest with the socket.
  bool ReadData(TStream* data, std::int64_t most);
  // Sends the rest of `data`, waiting while the socket cannot take more.
  bool WriteData(TStream* data) override;

 private:
  // Waits for the socket's event; raises the event's error, the time-out or kzvErrAborted.
  void WaitFor(long event, int bit);
};

// Waits until `signal` is set (true), `second` (kzvNoHandle for none) is set (false), or
// messages arrived for the thread, which are then dispatched (false). The wait lasts at
// most what is left of `time_out` ms since `start` (a signal set already is still seen
// when nothing is left). Raises -1 "Timeout error occured" when the wait runs out, or when
// dispatching took longer than `time_out` since `start`; raises the system's error when
// the wait fails. -1 waits without limit; a time-out below -1 counts as 0.
bool WaitForSignal(THandle signal, THandle second, std::uint32_t start, std::int32_t time_out);

// ---------------------------------------------------------------------------------------
// Host-name resolvers

class TzvHostResolver : public TObject {
 public:
  ~TzvHostResolver() override;
  std::string ClassName() const override { return "TzvHostResolver"; }
  // One address of the host; an address text comes back unchanged, without a lookup.
  virtual std::string GetIPAddress(const std::string& host) = 0;
  // Every address of the host, one line each; the list is cleared first.
  virtual void GetIPList(const std::string& host, TStrings& list) = 0;

  // The address text of a host, through the resolver the binding allows.
  static std::string ResolveHost(const std::string& host);
  // The same within `time_out` ms (-1: no limit), ending with kzvErrAborted as soon as
  // `abort_signal` is set (kzvNoHandle: none). The thread's messages are dispatched
  // while the system looks the name up on a helper thread.
  static std::string ResolveHost(const std::string& host, std::int32_t time_out,
                                 THandle abort_signal);

  // A wait ended early by this signal fails with kzvErrAborted; kzvNoHandle for none.
  void SetAbortSignal(THandle signal) { abort_signal_ = signal; }
  THandle AbortSignal() const { return abort_signal_; }
  // The longest a lookup may take, in ms; -1 waits without limit.
  void SetLookupTimeOut(std::int32_t value) { lookup_time_out_ = value; }
  std::int32_t LookupTimeOut() const { return lookup_time_out_; }

  // The completion of the running lookup, posted by its helper thread to the hidden
  // window; any other message (a late one of a cancelled lookup) changes nothing.
  void HandleLookupMessage(const TMsg& message);
  // Drops what is still queued for the window, then destroys it.
  void ReleaseLookupWindow(HWND window);
  // The host-lookup error of the last lookup (0 when it succeeded).
  std::int32_t LookupError() const { return lookup_error_; }

 protected:
  explicit TzvHostResolver(std::uint32_t lookup_message) : lookup_message_(lookup_message) {}
  // One lookup on a helper thread: `start` asks for it, to report to the hidden window it
  // is given with this resolver's message, and returns the request. Waits within
  // `time_out` ms (-1: no limit) from now while the thread's messages are dispatched;
  // raises -1 when the time runs out and kzvErrAborted when the abort signal is set (the
  // lookup is then cancelled: its late completion writes and posts nothing), and the
  // lookup's own error when it failed.
  void RunLookup(std::int32_t time_out,
                 const std::function<zvWinSock2::TzvAsyncRequest(HWND window)>& start);

 private:
  THandle abort_signal_ = kzvNoHandle;
  std::int32_t lookup_time_out_ = 5000;
  std::uint32_t lookup_message_;
  std::int32_t lookup_error_ = 0;
  zvWinSock2::TzvAsyncRequest request_handle_ = 0;
  THandle done_signal_ = kzvNoHandle;
};

// IPv4 only: the lookup runs on a helper thread and reports to a hidden window while
// this thread keeps handling its messages, waiting in cycles of at most 5000 ms.
class TzvHostResolver4 : public TzvHostResolver {
 public:
  static constexpr std::uint32_t kLookupMessage = 3134;
  static constexpr std::int32_t kLookupTimeOut = 5000;

  TzvHostResolver4() : TzvHostResolver(kLookupMessage) {}
  std::string ClassName() const override { return "TzvHostResolver4"; }
  std::string GetIPAddress(const std::string& host) override;
  void GetIPList(const std::string& host, TStrings& list) override;

  // The answer of a lookup; raises the host-lookup error, -1 when the time-out runs out
  // or kzvErrAborted on the abort signal (the lookup is then cancelled and its late
  // completion has no effect).
  std::unique_ptr<zvWinSock2::TzvHostEntry> LookupHost(const std::string& host,
                                                       std::int32_t time_out);
  // "%d.%d.%d.%d" of the first address, or empty.
  std::string LookupFirstAddress(const std::string& host, std::int32_t time_out);
};

// getaddrinfo with all-zero hints; IPv4 and IPv6. The lookup runs on a helper thread
// while this thread waits as TzvHostResolver4 does: dispatching its messages, within
// LookupTimeOut, and ending at once on the abort signal.
class TzvHostResolver6 : public TzvHostResolver {
 public:
  static constexpr std::uint32_t kLookupMessage = 3135;

  TzvHostResolver6() : TzvHostResolver(kLookupMessage) {}
  std::string ClassName() const override { return "TzvHostResolver6"; }
  std::string GetIPAddress(const std::string& host) override;
  void GetIPList(const std::string& host, TStrings& list) override;
  // The first IPv4 address in the system's order; failing that, the first entry if it is
  // IPv6; else empty.
  std::string LookupPreferredAddress(const std::string& host);
  // Every address of the host in the system's order; raises as LookupHost of
  // TzvHostResolver4 does.
  std::unique_ptr<zvWinSock2::TzvAddressEntry> LookupAddresses(const std::string& host);
};
