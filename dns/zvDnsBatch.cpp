#include "dns/zvDnsBatch.h"

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <system_error>

#include "base/ScopeExit.h"
#include "dns/zvDnsAnswerMatch.h"
#include "dns/zvDnsQuery.h"
#include "dns/zvDnsSessionOptions.h"
#include "dns/zvMessageId.h"
#include "net/zvSocket.h"
#include "net/zvSocketUtils.h"
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
  // Asked again once with the server's cookie after a BADCOOKIE answer; the cookie its
  // datagram carried, which its retry over TCP carries too.
  bool CookieRetried = false;
  std::vector<std::uint8_t> Cookie;
  // Queued for a connection's thread or with it: that thread owns Reply, ErrorCode,
  // ErrorText, Sent and ElapsedMicroseconds until it hands the slot back, and the
  // question's own time-out ends it, not the timers.
  bool Streaming = false;
  // Its retry over TCP of a truncated answer, by Deadline; else its question over the
  // settings' connection.
  bool Retry = false;
  Clock::time_point Deadline{};
  std::int32_t ErrorCode = 0;
  std::string ErrorText;
  std::int64_t ElapsedMicroseconds = 0;
};

// A connection's thread and the query component whose connection it keeps.
struct TzvDnsBatch::TStreamWorker {
  std::unique_ptr<TzvDnsQuery> Query;
  std::thread Thread;
};

namespace {

constexpr std::size_t kIdCount = 65536;
constexpr std::size_t kMaxDatagramSize = 65535;

constexpr const char* kTruncatedRetryFailed =
    "The answer was truncated and its retry over TCP failed: %s";

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

std::int64_t Microseconds(std::chrono::steady_clock::duration duration) {
  return std::chrono::duration_cast<std::chrono::microseconds>(duration).count();
}

[[noreturn]] void RaiseLastError() {
  RaiseSocketError(ws::WSAGetLastError());
}

void AddPollFdsOf(THandle handle, std::vector<pollfd>& fds) {
  if (const auto object = FindWaitObject(handle)) object->AddPollFds(fds);
}

}  // namespace

TzvDnsBatch::TzvDnsBatch(TComponent* owner)
    : TComponent(owner),
      stop_(MakeStop()),
      request_(std::make_unique<TzvDnsExtendedMessage>()),
      answer_(std::make_unique<TzvBatchAnswer>()) {
  ws::StartupSocket();
  wake_ = CreateEvent(true);
  if (wake_ == kzvNoHandle) RaiseSocketError(errno);
}

TzvDnsBatch::~TzvDnsBatch() {
  CloseHandle(wake_);
  ws::CleanupSocket();
}

void TzvDnsBatch::SetConcurrency(int value) {
  concurrency_ = std::clamp(value, 1, kMaxConcurrency);
}

void TzvDnsBatch::SetSocketCount(int value) {
  socket_count_ = std::clamp(value, 1, kMaxSockets);
}

void TzvDnsBatch::SetStreamCount(int value) {
  stream_count_ = std::clamp(value, 1, kMaxStreamCount);
}

void TzvDnsBatch::SetSettings(const TzvDnsExchangeSettings& value) {
  settings_ = value;
  // The same bounds as the views set.
  SetTimeOut(value.TimeOut);
  SetTries(value.Tries);
  SetEdnsBufferSize(value.EdnsBufferSize);
}

void TzvDnsBatch::Abort() {
  stop_->RequestStop();
}

void TzvDnsBatch::SetStop(TzvStop stop) {
  owns_stop_ = stop == nullptr;
  stop_ = stop != nullptr ? std::move(stop) : MakeStop();
}

std::unique_ptr<TzvDnsQuery> TzvDnsBatch::MakeStreamQuery() {
  return std::make_unique<TzvDnsQuery>(nullptr);
}

void TzvDnsBatch::AddWakeFds(std::vector<pollfd>& fds) const {
  AddPollFdsOf(stop_->Signal(), fds);
  AddPollFdsOf(wake_, fds);
}

TzvDnsBatch::TSlot& TzvDnsBatch::SlotOf(std::int64_t index) {
  return slots_[static_cast<std::size_t>(index % concurrency_)];
}

void TzvDnsBatch::Run(const TNextQuestion& next, const TAnswerDone& done) {
  // A stop of our own belongs to the run it stopped, not to this one; one handed in is
  // its maker's to clear.
  if (owns_stop_) stop_->Reset();
  const auto check_abort = [this] {
    if (stop_->StopRequested()) RaiseSocketErrorText(SzvAborted, kzvErrAborted);
  };
  check_abort();
  const std::int32_t port = settings_.Port;
  if (port < 0 || port > 65535) RaiseSocketErrorText(SzvInvalidPortNumber, kzvErrInvalidPort);
  server_address_ =
      TzvHostResolver::ResolveHost(settings_.Server, settings_.TimeOut, stop_->Signal());
  check_abort();

  // Everything the run needs is made here, sized by the window, never by the input.
  slots_.clear();
  slots_.resize(static_cast<std::size_t>(concurrency_));
  const bool over_udp = OverUdp();
  const int sockets = over_udp ? socket_count_ : 0;
  ids_.assign(static_cast<std::size_t>(sockets), std::vector<std::int32_t>(kIdCount, 0));
  awaiting_.assign(static_cast<std::size_t>(sockets), 0);
  stream_queue_.clear();
  stream_done_.clear();
  streams_stopped_ = false;
  idle_workers_ = 0;
  streaming_ = 0;
  ResetEvent(wake_);
  next_index_ = 0;
  oldest_ = 0;
  input_ended_ = false;
  // The exchange's schedule, while it falls within the time-out; then the time-out.
  tier_offset_.clear();
  const auto time_out = std::chrono::milliseconds(settings_.TimeOut);
  for (int resend = 1; resend < settings_.Tries && RetransmitOffset(resend) < time_out; ++resend)
    tier_offset_.push_back(RetransmitOffset(resend));
  tier_offset_.push_back(time_out);
  tier_next_.assign(tier_offset_.size(), 0);
  // Cookies over UDP, a client cookie drawn for this run.
  cookies_ = TzvDnsCookieJar{};
  cookie_sent_.clear();
  if (over_udp && settings_.UseEdns && settings_.SendCookie) {
    const std::vector<std::uint8_t> cookie =
        cookies_.Offer(settings_.Server, settings_.FixedCookie);
    cookie_sent_.assign(cookie.begin(), cookie.begin() + kzvClientCookieSize);
  }

  auto close = ScopeExit([this] {
    StopStreams();
    CloseDatagramSockets();
  });
  if (over_udp) {
    // Each socket's buffer asked to hold the answers of its share of the window, each as
    // large as the question allows; what it was granted bounds the questions it awaits.
    const std::int64_t answer_cost =
        ReceiveCost(settings_.UseEdns ? settings_.EdnsBufferSize : 512);
    const std::int64_t share = (concurrency_ + socket_count_ - 1) / socket_count_;
    const std::int64_t granted = OpenDatagramSockets(
        server_address_, port, socket_count_, std::min(share * answer_cost, kMostReceiveBytes));
    socket_room_ = std::max<std::int64_t>(1, granted / answer_cost);
  }
  for (;;) {
    check_abort();
    FillWindow(next);
    Clock::time_point due = RunTimers(Clock::now());
    CollectStreams();
    // A connection's thread hands its questions back within their time-out; the wait
    // looks again then at the latest, whatever it was told.
    if (streaming_ > 0)
      due = std::min(due, Clock::now() + std::chrono::milliseconds(settings_.TimeOut));
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
         (!OverUdp() ||
          awaiting_[static_cast<std::size_t>(next_index_ % socket_count_)] < socket_room_);
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
    slot.CookieRetried = false;
    slot.Streaming = false;
    slot.Retry = false;
    slot.ErrorCode = 0;
    slot.ErrorText.clear();
    slot.ElapsedMicroseconds = 0;
    slot.Reply.clear();
    StartQuestion(slot);
  }
}

void TzvDnsBatch::StartQuestion(TSlot& slot) {
  if (!OverUdp()) {
    QueueStream(slot);
    return;
  }
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
    BuildDnsQuestion(settings_, *request_, std::move(question), slot.Question.Name);
    slot.Cookie.clear();
    if (!cookie_sent_.empty()) {
      slot.Cookie = cookies_.Offer(settings_.Server, settings_.FixedCookie);
      PutEdnsOption(*request_, kzvEdnsOptionCookie, slot.Cookie);
    }
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
  if (slot.Sent > 0 && OverUdp())
    slot.ElapsedMicroseconds = Microseconds(Clock::now() - slot.FirstSent);
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
  if (!cookie_sent_.empty()) {
    // As the exchange does: another's cookie is not our answer, the wait goes on; the
    // server's cookie is kept for the questions after; BADCOOKIE asks once more with it.
    const TzvAnswerCookie answer = AnswerCookieOf(datagram);
    const TzvCookieVerdict verdict =
        JudgeCookie(cookie_sent_, answer.Cookie ? &*answer.Cookie : nullptr);
    if (IsStrangersCookie(verdict)) return;
    if (verdict == TzvCookieVerdict::cvGood && settings_.FixedCookie.empty())
      cookies_.Learn(settings_.Server, *answer.Cookie);
    if (answer.ResponseCode == kzvDnsResponseBadCookie && verdict == TzvCookieVerdict::cvGood &&
        !slot.CookieRetried) {
      slot.CookieRetried = true;
      ReleaseId(slot);
      slot.Sent = 0;
      StartQuestion(slot);
      return;
    }
  }
  ReleaseId(slot);
  slot.Reply.assign(datagram.begin(), datagram.end());
  if (IsTruncatedAnswer(datagram)) {
    slot.Truncated = true;
    slot.Retry = true;
    QueueStream(slot);
    return;
  }
  Finish(slot, 0, {});
}

void TzvDnsBatch::QueueStream(TSlot& slot) {
  slot.Streaming = true;
  ++streaming_;
  if (slot.Retry)
    slot.Deadline = slot.FirstSent + std::chrono::milliseconds(settings_.TimeOut);
  else
    slot.Sent = 0;
  std::size_t queued = 0;
  {
    std::lock_guard lock(stream_lock_);
    stream_queue_.push_back(static_cast<std::size_t>(slot.Index % concurrency_));
    queued = stream_queue_.size();
  }
  stream_wake_.notify_one();
  // Over a connection the threads are there from the start; a retry gets one while more
  // wait than are idle, up to the bound.
  const int most = OverUdp() ? kMaxStreams : stream_count_;
  while (static_cast<int>(workers_.size()) < most) {
    {
      std::lock_guard lock(stream_lock_);
      if (OverUdp() && queued <= static_cast<std::size_t>(idle_workers_)) return;
    }
    auto worker = std::make_unique<TStreamWorker>();
    worker->Query = MakeStreamQuery();
    worker->Query->SetStop(stop_);
    TStreamWorker& started = *worker;
    try {
      started.Thread = std::thread([this, &started] { RunWorker(started); });
    } catch (const std::system_error&) {
      // No thread to be had: those already running take the question in turn, and
      // without any it fails, the batch goes on.
      if (!workers_.empty()) return;
      {
        std::lock_guard lock(stream_lock_);
        stream_queue_.clear();
      }
      slot.Streaming = false;
      --streaming_;
      Finish(slot, kzvErrTimeout, "no thread for the connection");
      return;
    }
    workers_.push_back(std::move(worker));
    if (OverUdp()) return;
  }
}

void TzvDnsBatch::RunWorker(TStreamWorker& worker) {
  std::vector<std::size_t> taken;
  std::vector<std::unique_ptr<TzvDnsMessage>> requests;
  std::vector<TzvDnsMessage*> asked;
  std::vector<TSlot*> asked_slots;
  for (;;) {
    taken.clear();
    bool retry = false;
    {
      std::unique_lock lock(stream_lock_);
      ++idle_workers_;
      stream_wake_.wait(lock, [this] { return streams_stopped_ || !stream_queue_.empty(); });
      --idle_workers_;
      if (streams_stopped_) return;
      // A retry alone, within what is left of its own time-out; questions over the
      // connection a window at a time, asked together.
      retry = slots_[stream_queue_.front()].Retry;
      const std::size_t most = retry ? 1 : kStreamWindow;
      while (!stream_queue_.empty() && taken.size() < most &&
             slots_[stream_queue_.front()].Retry == retry) {
        taken.push_back(stream_queue_.front());
        stream_queue_.pop_front();
      }
    }
    TzvDnsExchangeSettings settings = settings_;
    if (retry) {
      // To the address the datagrams went to.
      settings.Server = server_address_;
      settings.Transport = TzvDnsTransport::dtTcp;
      settings.TimeOut = CeilMilliseconds(slots_[taken[0]].Deadline - Clock::now());
      // The same question as the datagram, cookie and all.
      settings.FixedCookie = slots_[taken[0]].Cookie;
      settings.SendCookie = !settings.FixedCookie.empty();
    } else if (settings.Server != server_address_) {
      // The name looked up once for every connection; the certificate still checked for it.
      if (settings.Tls.HostName.empty()) settings.Tls.HostName = settings.Server;
      settings.Server = server_address_;
    }
    requests.clear();
    asked.clear();
    asked_slots.clear();
    for (const std::size_t index : taken) {
      TSlot& slot = slots_[index];
      slot.ErrorCode = 0;
      slot.ErrorText.clear();
      if (retry && settings.TimeOut == 0) {
        slot.ErrorCode = kzvErrTimeout;
        slot.ErrorText = SzvTimeoutError;
        continue;
      }
      try {
        requests.push_back(MakeDnsQuestion(settings, slot.Question.Name, slot.Question.Type));
      } catch (const EzvSocketError& error) {
        slot.ErrorCode = error.ErrorCode();
        slot.ErrorText = error.what();
        continue;
      }
      asked.push_back(requests.back().get());
      asked_slots.push_back(&slot);
    }
    try {
      if (!asked.empty()) {
        std::vector<TzvDnsOutcome> outcomes = worker.Query->AskAll(settings, asked);
        for (std::size_t i = 0; i < outcomes.size(); ++i) {
          TSlot& slot = *asked_slots[i];
          TzvDnsOutcome& outcome = outcomes[i];
          if (!retry) {
            slot.Sent = outcome.Reply.Info.Tries;
            slot.ElapsedMicroseconds = outcome.Reply.Info.ElapsedMicroseconds;
          }
          slot.ErrorCode = outcome.Answered ? 0 : outcome.ErrorCode;
          slot.ErrorText = outcome.Answered ? std::string() : std::move(outcome.ErrorText);
          slot.Reply = std::move(outcome.Reply.Bytes);
        }
      }
    } catch (const std::exception& error) {
      // A stop, or what no question should meet (no memory): every question taken.
      const auto* socket_error = dynamic_cast<const EzvSocketError*>(&error);
      for (TSlot* slot : asked_slots) {
        slot->ErrorCode = socket_error != nullptr ? socket_error->ErrorCode() : kzvErrAborted;
        slot->ErrorText = error.what();
      }
    }
    {
      std::lock_guard lock(stream_lock_);
      stream_done_.insert(stream_done_.end(), taken.begin(), taken.end());
    }
    SetEvent(wake_);
  }
}

void TzvDnsBatch::CollectStreams() {
  if (workers_.empty()) return;
  // Reset before looking, so that a slot handed back meanwhile wakes the next wait.
  ResetEvent(wake_);
  std::vector<std::size_t> handed;
  {
    std::lock_guard lock(stream_lock_);
    handed.swap(stream_done_);
  }
  for (const std::size_t index : handed) {
    TSlot& slot = slots_[index];
    slot.Streaming = false;
    --streaming_;
    const std::int32_t code = slot.ErrorCode;
    // Stopped by the run's own stop: Run raises it.
    if (code == kzvErrAborted && stop_->StopRequested())
      RaiseSocketErrorText(SzvAborted, kzvErrAborted);
    if (code == 0) {
      Finish(slot, 0, {});
    } else {
      const std::string text = std::move(slot.ErrorText);
      Finish(slot, code, slot.Retry ? Format(kTruncatedRetryFailed, text.c_str()) : text);
    }
  }
}

void TzvDnsBatch::StopStreams() {
  {
    std::lock_guard lock(stream_lock_);
    streams_stopped_ = true;
    stream_queue_.clear();
  }
  stream_wake_.notify_all();
  // A thread still asking ends with its own time-out, or at once on the stop.
  for (const auto& worker : workers_)
    if (worker->Thread.joinable()) worker->Thread.join();
  workers_.clear();
  stream_done_.clear();
}

void TzvDnsBatch::DeliverReady(const TAnswerDone& done) {
  TzvBatchAnswer& answer = *answer_;
  while (oldest_ < next_index_) {
    TSlot& slot = SlotOf(oldest_);
    if (!slot.Done) return;
    // A stop requested by `done` itself ends the run before the next answer.
    if (stop_->StopRequested()) RaiseSocketErrorText(SzvAborted, kzvErrAborted);
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
        // An error reply is a reply: its code is data.
        answer.Message.Decode(wire_bytes_);
        answer.Answered = true;
        answer.ResponseCode = answer.Message.Header().ResponseCode;
      } catch (const EzvDnsError& error) {
        answer.ErrorCode = error.ErrorCode();
        answer.ErrorText = error.what();
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
  thread_local std::vector<pollfd> fds;
  fds.clear();
  const std::size_t count = sockets_.size();
  for (std::size_t i = 0; i < count; ++i) fds.push_back(pollfd{sockets_[i], POLLIN, 0});
  // The stop wakes the wait, and so does a connection's thread handing something back.
  AddWakeFds(fds);
  const int polled = ws::SocketApi().poll(fds.data(), fds.size(), time_out);
  if (polled < 0) {
    if (errno == EINTR) return 0;
    RaiseSocketError(errno);
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
