#include "dns/zvDnsBatch.h"

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>

#include "base/ScopeExit.h"
#include "dns/zvDnsAnswerMatch.h"
#include "dns/zvDnsOptRecord.h"
#include "dns/zvIdn.h"
#include "net/zvSocket.h"
#include "net/zvSocketUtils.h"
#include "net/zvWUtils.h"
#include "net/zvWinSock2.h"

namespace ws = zvWinSock2;

// A question from the moment it is read until it is handed over. Slots are reused in
// turn, so their buffers keep their memory from question to question.
struct TzvDnsBatch::TSlot {
  std::int64_t Index = -1;
  TzvBatchQuestion Question;
  std::vector<std::uint8_t> Request;
  TzvExpectedAnswer Expected;
  std::vector<std::uint8_t> Reply;
  int Socket = 0;
  bool HasId = false;
  Clock::time_point FirstSent{};
  int Sent = 0;
  bool Done = false;
  bool Truncated = false;
  // Its TCP retry is queued or running: the retry's own time-out ends it, not the timers.
  bool Streaming = false;
  std::int32_t ErrorCode = 0;
  std::string ErrorText;
  std::int64_t ElapsedMicroseconds = 0;
};

// A TCP retry, run on its own thread. The thread writes only Answer, ErrorCode,
// ErrorText and then Done; Run's thread reads them once Done is set.
struct TzvDnsBatch::TStream {
  std::size_t Slot = 0;
  std::vector<std::uint8_t> Request;  // the slot's question under a new ID
  std::int32_t TimeOut = 0;
  Clock::time_point Deadline{};
  std::vector<std::uint8_t> Answer;
  std::int32_t ErrorCode = 0;
  std::string ErrorText;
  std::atomic<bool> Done{false};
  HWND Window = 0;  // the thread's hidden window, for Abort (under window_lock_)
  std::thread Thread;
};

namespace {

// The first wait for an answer before a question goes again; each later one is twice the
// wait before, as the query component does.
constexpr std::chrono::milliseconds kFirstRetransmitWait{400};

constexpr std::size_t kIdCount = 65536;
constexpr std::size_t kMaxDatagramSize = 65535;

constexpr const char* kTruncatedRetryFailed =
    "The answer was truncated and its retry over TCP failed: %s";

// The message a running Run's hidden window, or a retry's, gets from Abort; and the one
// a retry posts to Run's when it has ended, to wake its wait.
constexpr std::uint32_t kAbortMessage = 3140;
constexpr std::uint32_t kStreamEndedMessage = 3141;

// What one answer takes of a socket's receive buffer, as the kernel counts it: its bytes
// rounded up to the allocation that holds them, and the socket buffer's own bookkeeping
// (about 800 bytes for a short answer and 2,300 for one of 1,232 bytes on Linux); this
// errs on the large side.
std::int64_t ReceiveCost(std::int64_t answer_bytes) {
  return 1024 + 2 * answer_bytes;
}

// The most a socket's receive buffer is asked for; the kernel grants at most its
// net.core.rmem_max (twice that, in its own count).
constexpr std::int64_t kMostReceiveBytes = 64 << 20;

std::uint16_t IdOf(std::span<const std::uint8_t> message) {
  return static_cast<std::uint16_t>(message[0] << 8 | message[1]);
}

void SetIdOf(std::vector<std::uint8_t>& message, std::uint16_t id) {
  message[0] = static_cast<std::uint8_t>(id >> 8);
  message[1] = static_cast<std::uint8_t>(id & 0xFF);
}

std::int32_t CeilMilliseconds(std::chrono::steady_clock::duration duration) {
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(duration).count();
  return ms <= 0 ? 0 : static_cast<std::int32_t>(std::min<std::int64_t>(ms, INT32_MAX));
}

std::int64_t Microseconds(std::chrono::steady_clock::duration duration) {
  return std::chrono::duration_cast<std::chrono::microseconds>(duration).count();
}

[[noreturn]] void RaiseLastError() {
  RaiseSocketError(ws::WSAGetLastError());
}

}  // namespace

TzvDnsBatch::TzvDnsBatch(TComponent* owner)
    : TComponent(owner),
      request_(std::make_unique<TzvDnsExtendedMessage>()),
      answer_(std::make_unique<TzvBatchAnswer>()) {
  ws::StartupSocket();
  stream_connection_ = std::make_unique<TzvTcpClientConnection>();
  stream_connection_->SetNetworkStream(std::make_unique<TzvNetworkStream>());
}

TzvDnsBatch::~TzvDnsBatch() {
  stream_connection_.reset();
  ws::CleanupSocket();
}

void TzvDnsBatch::SetConcurrency(int value) {
  concurrency_ = std::clamp(value, 1, kMaxConcurrency);
}

void TzvDnsBatch::SetSocketCount(int value) {
  socket_count_ = std::clamp(value, 1, kMaxSockets);
}

void TzvDnsBatch::Abort() {
  abort_requested_.store(true);
  std::lock_guard lock(window_lock_);
  if (window_ != 0) PostMessage(window_, kAbortMessage, 0, 0);
  for (const auto& stream : streams_)
    if (stream->Window != 0) PostMessage(stream->Window, kAbortMessage, 0, 0);
}

TzvDnsBatch::TSlot& TzvDnsBatch::SlotOf(std::int64_t index) {
  return slots_[static_cast<std::size_t>(index % concurrency_)];
}

void TzvDnsBatch::Run(const TNextQuestion& next, const TAnswerDone& done) {
  // An Abort belongs to the run it stopped, not to this one.
  abort_requested_.store(false);
  stream_connection_->ResetAbort();
  const auto check_abort = [this] {
    if (abort_requested_.load()) RaiseSocketErrorText(SzvAborted, kzvErrAborted);
  };
  if (port_ < 0 || port_ > 65535) RaiseSocketErrorText(SzvInvalidPortNumber, kzvErrInvalidPort);
  {
    // The handler runs on this thread, in whatever wait Run is in (for datagrams or for the
    // server's name), so the lookup's signal is set by its own thread. A TCP retry's
    // ending is posted here too: it only wakes the wait for datagrams.
    std::lock_guard lock(window_lock_);
    window_ = AllocateMessageWindow([this](const TMsg& message) {
      if (message.message == kAbortMessage) stream_connection_->Abort();
    });
  }
  auto drop_window = ScopeExit([this] {
    HWND window = 0;
    {
      std::lock_guard lock(window_lock_);
      std::swap(window, window_);
    }
    DeallocateMessageWindow(window);
  });
  // An Abort made before the window existed found nothing to post to.
  if (abort_requested_.load()) stream_connection_->Abort();

  server_address_ =
      TzvHostResolver::ResolveHost(server_, time_out_, stream_connection_->AbortSignal());
  check_abort();

  // Everything the run needs is made here, sized by the window, never by the input.
  slots_.clear();
  slots_.resize(static_cast<std::size_t>(concurrency_));
  ids_.assign(static_cast<std::size_t>(socket_count_), std::vector<std::int32_t>(kIdCount, 0));
  awaiting_.assign(static_cast<std::size_t>(socket_count_), 0);
  stream_queue_.clear();
  streams_stopped_.store(false);
  next_index_ = 0;
  oldest_ = 0;
  input_ended_ = false;
  tier_offset_.clear();
  const auto time_out = std::chrono::milliseconds(time_out_);
  auto resend_at = std::chrono::milliseconds(0);
  auto wait = kFirstRetransmitWait;
  for (int resend = 1; resend < tries_; ++resend) {
    resend_at += wait;
    wait *= 2;
    if (resend_at >= time_out) break;
    tier_offset_.push_back(resend_at);
  }
  tier_offset_.push_back(time_out);
  tier_next_.assign(tier_offset_.size(), 0);

  // One question, reused: its header and OPT record stay, its question and ID change.
  request_->Queries().Clear();
  request_->AdditionalRecords().Clear();
  request_->Header().IsQuery = true;
  request_->Header().IsRecursionDesired = is_recursive_desired_;
  if (use_edns_) {
    auto opt = std::make_unique<TzvDnsOPTRecord>();
    opt->UDPPayloadSize = edns_buffer_size_;
    request_->AdditionalRecords().Add(std::move(opt));
  }

  // Each socket's buffer asked to hold the answers of its share of the window, each as
  // large as the question allows; what it was granted bounds the questions it awaits.
  const std::int64_t answer_cost = ReceiveCost(use_edns_ ? edns_buffer_size_ : 512);
  const std::int64_t share = (concurrency_ + socket_count_ - 1) / socket_count_;
  const std::int64_t granted = OpenDatagramSockets(
      server_address_, port_, socket_count_, std::min(share * answer_cost, kMostReceiveBytes));
  socket_room_ = std::max<std::int64_t>(1, granted / answer_cost);
  auto close = ScopeExit([this] {
    StopStreams();
    CloseDatagramSockets();
  });
  for (;;) {
    check_abort();
    FillWindow(next);
    const Clock::time_point timers = RunTimers(Clock::now());
    CollectStreams();
    const Clock::time_point due = std::min(timers, StartStreams());
    DeliverReady(done);
    if (input_ended_ && oldest_ == next_index_) return;
    // Handing over made room: read on before waiting.
    if (!input_ended_ && HasRoom()) continue;
    const std::int32_t wait_ms =
        due == Clock::time_point::max() ? -1 : CeilMilliseconds(due - Clock::now());
    const std::uint32_t ready = WaitForDatagrams(wait_ms);
    check_abort();
    ReceiveAll(ready);
  }
}

bool TzvDnsBatch::HasRoom() const {
  return next_index_ < oldest_ + concurrency_ &&
         awaiting_[static_cast<std::size_t>(next_index_ % socket_count_)] < socket_room_;
}

void TzvDnsBatch::FillWindow(const TNextQuestion& next) {
  while (!input_ended_ && HasRoom()) {
    TSlot& slot = SlotOf(next_index_);
    slot.Question.Name.clear();
    slot.Question.Type = kzvDnsTypeA;
    if (!next(slot.Question)) {
      input_ended_ = true;
      return;
    }
    slot.Index = next_index_++;
    slot.Sent = 0;
    slot.Done = false;
    slot.Truncated = false;
    slot.Streaming = false;
    slot.ErrorCode = 0;
    slot.ErrorText.clear();
    slot.ElapsedMicroseconds = 0;
    slot.Reply.clear();
    StartQuestion(slot);
  }
}

void TzvDnsBatch::StartQuestion(TSlot& slot) {
  slot.Socket = static_cast<int>(slot.Index % socket_count_);
  std::vector<std::int32_t>& ids = ids_[static_cast<std::size_t>(slot.Socket)];
  // Unique among the questions in flight on the socket, so that an ID names one question.
  // A failing random source fails the run: no question may go out with a guessable ID.
  std::uint16_t id = 0;
  do {
    id = NewMessageID();
  } while (ids[id] != 0);
  try {
    auto question = request_->CreateRecord(slot.Question.Type);
    // A type without a class of its own gets the plain record, whose type must be set.
    question->RecordType = slot.Question.Type;
    question->Name = IdnToAscii(slot.Question.Name);
    question->RecordClass = question_class_;
    request_->Queries().Clear();
    request_->Queries().Add(std::move(question));
    request_->Header().ID = id;
    wire_bytes_.Clear();
    request_->Build(wire_bytes_);
    slot.Request.assign(wire_bytes_.Memory(), wire_bytes_.Memory() + wire_bytes_.Size());
    slot.Expected = ExpectedAnswerOf(slot.Request);
  } catch (const EzvSocketError& error) {
    // A name that cannot be sent (an empty label, too long, no A-label form) is that
    // question's failure alone.
    Finish(slot, error.ErrorCode(), error.what());
    return;
  }
  ids[id] = static_cast<std::int32_t>(slot.Index % concurrency_) + 1;
  slot.HasId = true;
  ++awaiting_[static_cast<std::size_t>(slot.Socket)];
  slot.FirstSent = Clock::now();
  SendSlot(slot);
}

void TzvDnsBatch::SendSlot(TSlot& slot) {
  try {
    SendDatagram(slot.Socket, slot.Request);
    ++slot.Sent;
  } catch (const EzvSocketError& error) {
    Finish(slot, error.ErrorCode(), error.what());
  }
}

void TzvDnsBatch::ReleaseId(TSlot& slot) {
  if (!slot.HasId) return;
  ids_[static_cast<std::size_t>(slot.Socket)][IdOf(slot.Request)] = 0;
  slot.HasId = false;
  --awaiting_[static_cast<std::size_t>(slot.Socket)];
}

void TzvDnsBatch::Finish(TSlot& slot, std::int32_t error_code, const std::string& error_text) {
  ReleaseId(slot);
  slot.Done = true;
  slot.ErrorCode = error_code;
  slot.ErrorText = error_text;
  if (slot.Sent > 0) slot.ElapsedMicroseconds = Microseconds(Clock::now() - slot.FirstSent);
  if (error_code != 0) slot.Reply.clear();
}

void TzvDnsBatch::FailSocket(int socket, std::int32_t error_code, const std::string& error_text) {
  for (std::int64_t index = oldest_; index < next_index_; ++index) {
    TSlot& slot = SlotOf(index);
    if (!slot.Done && !slot.Streaming && slot.Socket == socket)
      Finish(slot, error_code, error_text);
  }
}

TzvDnsBatch::Clock::time_point TzvDnsBatch::RunTimers(Clock::time_point now) {
  Clock::time_point earliest = Clock::time_point::max();
  const std::size_t time_out_tier = tier_offset_.size() - 1;
  for (std::size_t tier = 0; tier < tier_offset_.size(); ++tier) {
    std::int64_t& index = tier_next_[tier];
    index = std::max(index, oldest_);
    for (; index < next_index_; ++index) {
      TSlot& slot = SlotOf(index);
      // Done, or already sent again at this tier (resend `tier` is the datagram tier + 2).
      if (slot.Done || slot.Streaming ||
          (tier < time_out_tier && slot.Sent >= static_cast<int>(tier) + 2))
        continue;
      const Clock::time_point due = slot.FirstSent + tier_offset_[tier];
      if (due > now) {
        earliest = std::min(earliest, due);
        break;
      }
      if (tier == time_out_tier)
        Finish(slot, kzvErrTimeout, SzvTimeoutError);
      else
        SendSlot(slot);  // the same bytes under the same ID: any answer is the answer
    }
  }
  return earliest;
}

void TzvDnsBatch::ReceiveAll(std::uint32_t ready) {
  for (int socket = 0; socket < socket_count_; ++socket) {
    if ((ready & (1u << socket)) == 0) continue;
    try {
      while (ReceiveDatagram(socket, datagram_)) TakeDatagram(socket, datagram_);
    } catch (const EzvSocketError& error) {
      // A connected socket reports an ICMP error (port unreachable) on its next receive
      // without saying which datagram caused it: the server's port is closed for all of
      // that socket's questions.
      if (error.ErrorCode() == kzvErrAborted) throw;
      FailSocket(socket, error.ErrorCode(), error.what());
    }
  }
}

void TzvDnsBatch::TakeDatagram(int socket, const std::vector<std::uint8_t>& datagram) {
  if (datagram.size() < 2) return;
  const std::int32_t entry = ids_[static_cast<std::size_t>(socket)][IdOf(datagram)];
  if (entry == 0) return;  // no question in flight under this ID: late or forged
  TSlot& slot = slots_[static_cast<std::size_t>(entry - 1)];
  if (slot.Done || !IsAnswerTo(datagram, slot.Expected)) return;
  ReleaseId(slot);
  slot.Reply.assign(datagram.begin(), datagram.end());
  if (IsTruncatedAnswer(datagram)) {
    RetryOverTcp(slot);
    return;
  }
  Finish(slot, 0, {});
}

void TzvDnsBatch::RetryOverTcp(TSlot& slot) {
  slot.Truncated = true;
  slot.Streaming = true;
  stream_queue_.push_back(static_cast<std::size_t>(slot.Index % concurrency_));
}

TzvDnsBatch::Clock::time_point TzvDnsBatch::StartStreams() {
  std::size_t started = 0;
  for (; started < stream_queue_.size() && streams_.size() < kMaxStreams; ++started) {
    TSlot& slot = slots_[stream_queue_[started]];
    const Clock::duration left =
        std::chrono::milliseconds(time_out_) - (Clock::now() - slot.FirstSent);
    const std::int32_t left_ms = CeilMilliseconds(left);
    if (left_ms == 0) {
      slot.Streaming = false;
      Finish(slot, kzvErrTimeout, Format(kTruncatedRetryFailed, SzvTimeoutError));
      continue;
    }
    auto stream = std::make_unique<TStream>();
    stream->Slot = stream_queue_[started];
    // Under a new ID of its own, as the query component's retry goes.
    stream->Request = slot.Request;
    SetIdOf(stream->Request, NewMessageID());
    stream->TimeOut = left_ms;
    stream->Deadline = Clock::now() + std::chrono::milliseconds(left_ms);
    TStream& running = *stream;
    {
      std::lock_guard lock(window_lock_);
      streams_.push_back(std::move(stream));
    }
    try {
      running.Thread = std::thread([this, &running] { RunStream(running); });
    } catch (const std::system_error&) {
      // No thread to be had: the question fails, the batch goes on.
      {
        std::lock_guard lock(window_lock_);
        streams_.pop_back();
      }
      slot.Streaming = false;
      Finish(slot, kzvErrTimeout, Format(kTruncatedRetryFailed, "no thread for the retry"));
    }
  }
  stream_queue_.erase(stream_queue_.begin(),
                      stream_queue_.begin() + static_cast<std::ptrdiff_t>(started));
  // Each retry's own time-out ends it; the wait looks again then at the latest.
  Clock::time_point earliest = Clock::time_point::max();
  for (const auto& stream : streams_) earliest = std::min(earliest, stream->Deadline);
  return earliest;
}

void TzvDnsBatch::RunStream(TStream& stream) {
  // The connection and its hidden window belong to this thread, so that Abort, posting to
  // the window, has the connection stopped by the thread that uses it.
  TzvTcpClientConnection connection;
  connection.SetNetworkStream(std::make_unique<TzvNetworkStream>());
  try {
    HWND window = AllocateMessageWindow([&connection](const TMsg& message) {
      if (message.message == kAbortMessage) connection.Abort();
    });
    {
      std::lock_guard lock(window_lock_);
      stream.Window = window;
    }
    auto drop_window = ScopeExit([this, &stream] {
      HWND window = 0;
      {
        std::lock_guard lock(window_lock_);
        std::swap(window, stream.Window);
      }
      DeallocateMessageWindow(window);
    });
    // An Abort or the end of the run before the window was there found nothing to post to.
    if (abort_requested_.load() || streams_stopped_.load())
      RaiseSocketErrorText(SzvAborted, kzvErrAborted);
    ExchangeStream(connection, stream.Request, stream.Answer, stream.TimeOut);
  } catch (const EzvSocketError& error) {
    stream.ErrorCode = error.ErrorCode();
    stream.ErrorText = error.what();
  } catch (const std::exception& error) {
    stream.ErrorCode = kzvDnsErrInvalidSize;
    stream.ErrorText = error.what();
  }
  stream.Done.store(true);
  std::lock_guard lock(window_lock_);
  if (window_ != 0) PostMessage(window_, kStreamEndedMessage, 0, 0);
}

void TzvDnsBatch::CollectStreams() {
  for (std::size_t i = 0; i < streams_.size();) {
    TStream& stream = *streams_[i];
    if (!stream.Done.load()) {
      ++i;
      continue;
    }
    stream.Thread.join();
    TSlot& slot = slots_[stream.Slot];
    slot.Streaming = false;
    slot.Reply.swap(stream.Answer);
    if (stream.ErrorCode != 0) {
      // Aborted by the run's own Abort: Run raises it.
      if (stream.ErrorCode == kzvErrAborted && abort_requested_.load())
        RaiseSocketErrorText(SzvAborted, kzvErrAborted);
      Finish(slot, stream.ErrorCode, Format(kTruncatedRetryFailed, stream.ErrorText.c_str()));
    } else if (!IsAnswerTo(slot.Reply, ExpectedAnswerOf(stream.Request))) {
      // One question per connection, so anything else than its answer is a broken server.
      Finish(slot, kzvDnsErrInvalidSize,
             Format(kTruncatedRetryFailed, "The answer over TCP does not answer the question"));
    } else {
      Finish(slot, 0, {});
    }
    std::lock_guard lock(window_lock_);
    streams_.erase(streams_.begin() + static_cast<std::ptrdiff_t>(i));
  }
}

void TzvDnsBatch::StopStreams() {
  streams_stopped_.store(true);
  {
    std::lock_guard lock(window_lock_);
    for (const auto& stream : streams_)
      if (stream->Window != 0) PostMessage(stream->Window, kAbortMessage, 0, 0);
  }
  for (const auto& stream : streams_)
    if (stream->Thread.joinable()) stream->Thread.join();
  std::lock_guard lock(window_lock_);
  streams_.clear();
  stream_queue_.clear();
}

void TzvDnsBatch::DeliverReady(const TAnswerDone& done) {
  TzvBatchAnswer& answer = *answer_;
  while (oldest_ < next_index_) {
    TSlot& slot = SlotOf(oldest_);
    if (!slot.Done) return;
    ++oldest_;
    answer.Index = slot.Index;
    answer.Question.Type = slot.Question.Type;
    answer.Question.Name.swap(slot.Question.Name);
    answer.Tries = slot.Sent;
    answer.Truncated = slot.Truncated;
    answer.ElapsedMicroseconds = slot.ElapsedMicroseconds;
    answer.ErrorCode = slot.ErrorCode;
    answer.ErrorText = slot.ErrorText;
    answer.Answered = false;
    answer.ResponseCode = -1;
    // Swapped, not copied: both buffers keep their memory for the questions to come.
    answer.Bytes.swap(slot.Reply);
    slot.Reply.clear();
    if (answer.ErrorCode == 0) {
      // Decoded in turn rather than on arrival: one message serves the whole batch.
      wire_bytes_.Clear();
      wire_bytes_.WriteBuffer(answer.Bytes.data(), static_cast<std::int64_t>(answer.Bytes.size()));
      wire_bytes_.SetPosition(0);
      try {
        answer.Message.Parse(wire_bytes_);
        answer.Answered = true;
        answer.ResponseCode = answer.Message.Header().ResponseCode;
      } catch (const EzvDnsError& error) {
        // An error reply decodes in full before its code is raised: it is an answer.
        if (error.ErrorCode() > 0) {
          answer.Answered = true;
          answer.ResponseCode = error.ErrorCode();
        } else {
          answer.ErrorCode = error.ErrorCode();
          answer.ErrorText = error.what();
        }
      }
    } else {
      answer.Message.Clear();
    }
    done(answer);
  }
}

// ---- transport steps ----

std::int64_t TzvDnsBatch::OpenDatagramSockets(const std::string& address, std::int32_t port,
                                              int count, std::int64_t receive_bytes) {
  CloseDatagramSockets();
  addrinfo hints{};
  hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(port);
  const int result = ws::getaddrinfo(address.c_str(), service.c_str(), &hints, &found);
  if (result != 0 || found == nullptr)
    RaiseSocketErrorText(SzvInvalidHostAddress, kzvErrInvalidHostAddress);
  auto release = ScopeExit([found] { ws::freeaddrinfo(found); });
  auto undo = ScopeExit([this] { CloseDatagramSockets(); });
  std::int64_t granted = INT64_MAX;
  for (int i = 0; i < count; ++i) {
    const ws::TSocket socket =
        ws::socket(found->ai_family, SOCK_DGRAM | SOCK_NONBLOCK, IPPROTO_UDP);
    if (socket == ws::INVALID_SOCKET) RaiseLastError();
    sockets_.push_back(socket);
    // Connected, the socket is handed only the server's datagrams: the kernel drops a
    // stranger's before they take room in the receive buffer, and reports the server's
    // ICMP "port unreachable" on the next receive.
    if (ws::connect(socket, found->ai_addr, found->ai_addrlen) == ws::SOCKET_ERROR)
      RaiseLastError();
    // Asked for, then read back: the kernel grants what its limit allows, and a socket
    // whose size cannot be set keeps its default.
    int size = static_cast<int>(std::min<std::int64_t>(receive_bytes, INT32_MAX));
    ws::setsockopt(socket, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    socklen_t length = sizeof size;
    if (ws::SocketApi().getsockopt(socket, SOL_SOCKET, SO_RCVBUF, &size, &length) != 0)
      RaiseSocketError(errno);
    granted = std::min<std::int64_t>(granted, size);
  }
  undo.Dismiss();
  return granted;
}

void TzvDnsBatch::SendDatagram(int socket, std::span<const std::uint8_t> datagram) {
  const int sent = ws::send(sockets_[static_cast<std::size_t>(socket)], datagram.data(),
                            static_cast<int>(datagram.size()), 0);
  if (sent != ws::SOCKET_ERROR) return;
  const int error = ws::WSAGetLastError();
  // A full send buffer loses the datagram as the network might: it goes again in time.
  if (error == kzvWouldBlock) return;
  RaiseSocketError(error);
}

std::uint32_t TzvDnsBatch::WaitForDatagrams(std::int32_t time_out) {
  std::array<pollfd, kMaxSockets + 1> fds{};
  const std::size_t count = sockets_.size();
  for (std::size_t i = 0; i < count; ++i) fds[i] = pollfd{sockets_[i], POLLIN, 0};
  // The thread's messages wake the wait too: Abort's among them, and those of whatever
  // else the thread runs, which every wait of the library keeps flowing.
  fds[count] = pollfd{ThreadMessageFd(), POLLIN, 0};
  const int polled = ws::SocketApi().poll(fds.data(), count + 1, time_out);
  if (polled < 0) {
    if (errno == EINTR) return 0;
    RaiseSocketError(errno);
  }
  if (fds[count].revents != 0) {
    TMsg message;
    while (PeekMessage(message, 0, 0, 0, PM_REMOVE)) {
      TranslateMessage(message);
      DispatchMessage(message);
    }
  }
  std::uint32_t ready = 0;
  for (std::size_t i = 0; i < count; ++i) {
    if (fds[i].revents != 0) ready |= 1u << i;
  }
  return ready;
}

bool TzvDnsBatch::ReceiveDatagram(int socket, std::vector<std::uint8_t>& datagram) {
  // One buffer for every receive, as large as a datagram can be.
  receive_buffer_.resize(kMaxDatagramSize);
  const int received = ws::recv(sockets_[static_cast<std::size_t>(socket)], receive_buffer_.data(),
                                static_cast<int>(receive_buffer_.size()), 0);
  if (received == ws::SOCKET_ERROR) {
    const int error = ws::WSAGetLastError();
    if (error == kzvWouldBlock) return false;
    RaiseSocketError(error);
  }
  datagram.assign(receive_buffer_.begin(), receive_buffer_.begin() + received);
  return true;
}

void TzvDnsBatch::CloseDatagramSockets() {
  for (const int socket : sockets_) ws::closesocket(socket);
  sockets_.clear();
}

void TzvDnsBatch::ExchangeStream(TzvTcpClientConnection& connection,
                                 std::span<const std::uint8_t> request,
                                 std::vector<std::uint8_t>& answer, std::int32_t time_out) {
  // One clock from the connect on: connect, send and receive share what is left.
  connection.SetTimeOut(time_out);
  auto close = ScopeExit([&connection] { connection.Close(false); });
  connection.Open(server_address_, port_);
  TMemoryStream framed;
  const std::uint8_t length[2] = {static_cast<std::uint8_t>(request.size() >> 8),
                                  static_cast<std::uint8_t>(request.size() & 0xFF)};
  framed.WriteBuffer(length, 2);
  framed.WriteBuffer(request.data(), static_cast<std::int64_t>(request.size()));
  framed.SetPosition(0);
  connection.WriteData(&framed);
  answer = ReadStreamMessage([&connection](TMemoryStream& received, std::int64_t most) {
    received.Seek(0, TSeekOrigin::soEnd);
    return connection.ReadData(&received, most);
  });
}
