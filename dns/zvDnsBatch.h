// Many questions to one DNS server kept in flight together: the engine behind lookups of
// whole lists of names. Answers reach the caller in the order the questions came, whatever
// order the server answers in, and memory stays the same for ten names or ten million:
// only a window of Concurrency questions exists at any time. Over UDP the engine keeps the
// window in flight over several sockets itself; over TCP, TLS and HTTPS it hands windows of
// questions to a few query components, each on its own thread and connection.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "base/Classes.h"
#include "dns/zvDnsExchange.h"
#include "dns/zvDnsMessage.h"
#include "dns/zvDnsRecordTypes.h"
#include "net/zvMessages.h"
#include "net/zvStop.h"

struct pollfd;
class TzvDnsQuery;

// One question of a batch: a name (international names are sent in their A-label form)
// and a record type code (kzvDnsTypeA, kzvDnsTypeAAAA, ...).
struct TzvBatchQuestion {
  std::string Name;
  std::int32_t Type = kzvDnsTypeA;
};

// What became of one question. Handed to the caller by reference and valid during the
// callback only: the engine reuses it, bytes and message included, for the next answer.
struct TzvBatchAnswer {
  // The question's position in the input, from 0.
  std::int64_t Index = 0;
  TzvBatchQuestion Question;
  // A reply was taken and decoded, whatever its response code: Message holds it.
  bool Answered = false;
  // The reply's response code (0 NOERROR, 3 NXDOMAIN, ...), EDNS's upper bits included;
  // -1 without a reply.
  std::int32_t ResponseCode = -1;
  // Without a reply or with one that cannot be decoded: why, as the query component says
  // it (kzvErrTimeout, kzvConnectionRefused, kzvDnsErrInvalidSize, ...). 0 and empty when
  // Answered.
  std::int32_t ErrorCode = 0;
  std::string ErrorText;
  // From the question's first datagram to its reply (or its time-out), TCP included; over
  // a connection, the exchange of the window of questions it was asked with.
  std::int64_t ElapsedMicroseconds = 0;
  // Datagrams sent for the question (0 when it could not be encoded, and over a
  // connection).
  int Tries = 0;
  // The reply over UDP came with TC set, so the question went again over TCP; Bytes and
  // Message are then the answer that came over TCP.
  bool Truncated = false;
  // The reply's wire bytes (kept also when they cannot be decoded), and the reply decoded.
  std::vector<std::uint8_t> Bytes;
  TzvDnsExtendedMessage Message;
};

// Asks one server (an address, or a host name looked up once at the start) many
// questions, as the settings say (TzvDnsExchangeSettings: transport, EDNS, bits, time-out,
// tries). A question is asked only while it lies within Concurrency of the oldest question
// not yet handed over, so a slow answer holds the window, not the memory.
//
// Over UDP the questions go over a few connected sockets. Each is sent again with the same
// ID and bytes on the exchange's schedule (RetransmitOffset: at most Tries datagrams within
// TimeOut from its first one); an answer is taken only from the server's address and port
// (the sockets are connected), under an ID in flight on that socket, and when it echoes its
// question. A socket never has more questions awaiting a datagram than its receive buffer
// holds answers of the largest size asked for, so that a burst of answers from a healthy
// server is never dropped by our own kernel, however large the window. An answer with TC
// set is asked for again over TCP by one of kMaxStreams query components, each on its own
// thread and kept connection, within what is left of that question's time-out, while the
// others go on: a stalled connection costs the questions it holds only.
//
// Over TCP, TLS and HTTPS, StreamCount query components, each on its own thread and
// kept connection, take windows of up to kStreamWindow questions and ask each window
// together (pipelined over TCP and TLS, answers matched by ID).
//
// A failed question never stops the batch: it is handed over with its error in its turn.
// One stop (net/zvStop.h) ends every wait of the batch, its threads' included.
class TzvDnsBatch : public TComponent {
 public:
  // Fills the next question and returns true, or returns false at the end of the input.
  using TNextQuestion = std::function<bool(TzvBatchQuestion& question)>;
  // Receives each question's outcome, in input order.
  using TAnswerDone = std::function<void(const TzvBatchAnswer& answer)>;

  static constexpr std::int32_t kDnsPort = 53;
  static constexpr int kMaxConcurrency = 10000;
  static constexpr int kMaxSockets = 16;
  // Query components retrying truncated answers over TCP at once.
  static constexpr int kMaxStreams = 8;
  // Connections a batch over TCP, TLS or HTTPS uses at most, and the most questions one
  // of them asks together.
  static constexpr int kMaxStreamCount = 8;
  static constexpr int kStreamWindow = 64;

  explicit TzvDnsBatch(TComponent* owner = nullptr);
  ~TzvDnsBatch() override;
  std::string ClassName() const override { return "TzvDnsBatch"; }

  // Asks every question `next` gives and hands each outcome to `done` in input order;
  // returns when the last one has been handed over. `next` is called only when the
  // window has room, so the input may be read as it goes. Fails with EzvSocketError when
  // the server cannot be reached at all (a name that cannot be looked up, no socket), and
  // with kzvErrAborted ("The lookup was stopped") after a stop: what was handed over stays
  // handed over, the questions still in flight are dropped. Whatever `next` or `done`
  // raise passes through and ends the batch.
  void Run(const TNextQuestion& next, const TAnswerDone& done);
  // Requests the stop: the running Run ends promptly, from any thread (or from `next` and
  // `done`), every wait of it and of its threads with it. With the batch's own stop, an
  // Abort while no Run is running is forgotten when the next one starts.
  void Abort();
  // The stop every wait of a Run ends on. The batch makes its own and clears it when Run
  // starts; one handed in (the stop of the work the batch is part of) is cleared only by
  // its maker. Null: the batch's own again.
  const TzvStop& Stop() const { return stop_; }
  void SetStop(TzvStop stop);

  // Everything the questions are asked with, as one value.
  const TzvDnsExchangeSettings& Settings() const { return settings_; }
  void SetSettings(const TzvDnsExchangeSettings& value);

  // Views of the settings.
  // The server: an IPv4 or IPv6 address, or a host name. Default empty.
  const std::string& Server() const { return settings_.Server; }
  void SetServer(const std::string& value) { settings_.Server = value; }
  // Default 53; a port the wire cannot carry fails Run with "Invalid port number".
  std::int32_t Port() const { return settings_.Port; }
  void SetPort(std::int32_t value) { settings_.Port = value; }
  // Milliseconds each question may take from its first datagram (TCP retry included);
  // over a connection, a window of questions from its sending. At least 1; default 5000.
  std::int32_t TimeOut() const { return settings_.TimeOut; }
  void SetTimeOut(std::int32_t value) { settings_.TimeOut = value < 1 ? 1 : value; }
  // Datagrams per question within the time-out. At least 1; default 3.
  int Tries() const { return settings_.Tries; }
  void SetTries(int value) { settings_.Tries = value < 1 ? 1 : value; }
  // An OPT record offering EdnsBufferSize bytes (values below 512 count as 512).
  // Default true, 1232.
  bool UseEdns() const { return settings_.UseEdns; }
  void SetUseEdns(bool value) { settings_.UseEdns = value; }
  std::uint16_t EdnsBufferSize() const { return settings_.EdnsBufferSize; }
  void SetEdnsBufferSize(std::uint16_t value) {
    settings_.EdnsBufferSize = value < 512 ? 512 : value;
  }
  // Copied into the RD flag of every question. Default true.
  bool IsRecursiveDesired() const { return settings_.RecursionDesired; }
  void SetIsRecursiveDesired(bool value) { settings_.RecursionDesired = value; }
  // The class of every question. Default IN.
  TzvDnsRecordClass QuestionClass() const { return settings_.QuestionClass; }
  void SetQuestionClass(TzvDnsRecordClass value) { settings_.QuestionClass = value; }

  // The batch's own knobs.
  // Questions in flight at most. 1 to kMaxConcurrency; default 100.
  int Concurrency() const { return concurrency_; }
  void SetConcurrency(int value);
  // UDP sockets the questions are spread over, each from its own random port. 1 to
  // kMaxSockets; default 4.
  int SocketCount() const { return socket_count_; }
  void SetSocketCount(int value);
  // Connections (each with its thread) a batch over TCP, TLS or HTTPS asks over. 1 to
  // kMaxStreamCount; default 3.
  int StreamCount() const { return stream_count_; }
  void SetStreamCount(int value);

 protected:
  // The transport steps, each a thin call into the system (UDP) or a query component
  // (TCP, TLS, HTTPS). Tests replace them to play a server without sockets.
  // Opens `count` UDP sockets connected to address and port, each asking for a receive
  // buffer of `receive_bytes`; returns the bytes the smallest buffer was granted (the
  // kernel's count, its bookkeeping included).
  virtual std::int64_t OpenDatagramSockets(const std::string& address, std::int32_t port, int count,
                                           std::int64_t receive_bytes);
  // Sends one datagram on a socket; raises the socket's error (a refused port).
  virtual void SendDatagram(int socket, std::span<const std::uint8_t> datagram);
  // Waits at most time_out ms (0: only looks) for datagrams, for a connection's thread
  // to hand something back, or for the stop (see WakeFds). Returns the sockets that may
  // have one waiting, one bit each (bit 0: socket 0).
  virtual std::uint32_t WaitForDatagrams(std::int32_t time_out);
  // Takes the next datagram waiting on a socket into `datagram` (replacing what it
  // held); false when none is waiting. Raises the socket's error, such as
  // kzvConnectionRefused once the server's port turned out closed.
  virtual bool ReceiveDatagram(int socket, std::vector<std::uint8_t>& datagram);
  virtual void CloseDatagramSockets();
  // A query component for one connection's thread, with nothing set: the batch gives it
  // its stop, and asks it as the settings say.
  virtual std::unique_ptr<TzvDnsQuery> MakeStreamQuery();

  // The descriptors that become readable when a connection's thread has handed something
  // back or the stop is requested: a wait for datagrams adds them to its own.
  void AddWakeFds(std::vector<pollfd>& fds) const;
  // Whether the stop was requested, for steps that wait.
  bool AbortRequested() const { return stop_->StopRequested(); }
  // The server's address and port as Run uses them (after a host name was looked up).
  const std::string& ServerAddress() const { return server_address_; }

 private:
  struct TSlot;
  struct TStreamWorker;
  using Clock = std::chrono::steady_clock;

  // The slot of a question in flight or waiting to be handed over.
  TSlot& SlotOf(std::int64_t index);
  // Reads and asks questions while the window has room.
  void FillWindow(const TNextQuestion& next);
  // Over UDP: encodes the slot's question under a fresh ID on its socket and sends it; a
  // question that cannot be encoded or sent is finished with its error. Otherwise hands
  // it to the connections.
  void StartQuestion(TSlot& slot);
  void SendSlot(TSlot& slot);
  // Hands over the finished questions at the front of the window, in order.
  void DeliverReady(const TAnswerDone& done);
  // Takes what waits on the sockets of `ready`.
  void ReceiveAll(std::uint32_t ready);
  void TakeDatagram(int socket, const std::vector<std::uint8_t>& datagram);
  // Whether the next question may be asked: the window and its socket have room.
  bool HasRoom() const;
  bool OverUdp() const { return settings_.Transport == TzvDnsTransport::dtUdp; }
  // Queues the slot for a connection's thread: a TCP retry of a truncated answer within
  // what is left of its time-out, or (over a connection) its question.
  void QueueStream(TSlot& slot);
  // A connection's thread: takes queued questions and asks them until the run ends.
  void RunWorker(TStreamWorker& worker);
  // Finishes the questions the connections have handed back.
  void CollectStreams();
  // Ends every connection's thread and waits for it.
  void StopStreams();
  // Resends and time-outs that are due; gives when the next one falls due.
  Clock::time_point RunTimers(Clock::time_point now);
  void Finish(TSlot& slot, std::int32_t error_code, const std::string& error_text);
  // Every question in flight on a socket whose receive failed ends with that error.
  void FailSocket(int socket, std::int32_t error_code, const std::string& error_text);
  void ReleaseId(TSlot& slot);

  TzvDnsExchangeSettings settings_;
  // The run's cookies over UDP, and the client cookie its questions carry (empty: none).
  TzvDnsCookieJar cookies_;
  std::vector<std::uint8_t> cookie_sent_;
  int concurrency_ = 100;
  int socket_count_ = 4;
  int stream_count_ = 3;

  TzvStop stop_;
  bool owns_stop_ = true;
  // Set by a connection's thread when it hands something back; Run's wait wakes on it.
  THandle wake_ = kzvNoHandle;

  // The state of the running Run.
  std::string server_address_;
  std::vector<TSlot> slots_;
  std::int64_t next_index_ = 0;  // the next question to read
  std::int64_t oldest_ = 0;      // the oldest question not yet handed over
  bool input_ended_ = false;
  // For each socket, the slot number + 1 of the question in flight under each ID (0:
  // none): a datagram's ID finds its question without a search, and a fresh ID is drawn
  // again while it is taken.
  std::vector<std::vector<std::int32_t>> ids_;
  // For each socket, its questions awaiting a datagram; at most socket_room_ of them.
  std::vector<int> awaiting_;
  std::int64_t socket_room_ = 0;
  // The connections' threads, and under stream_lock_ the slots queued for them (oldest
  // first), those they handed back, and the order to end.
  std::vector<std::unique_ptr<TStreamWorker>> workers_;
  std::mutex stream_lock_;
  std::condition_variable stream_wake_;
  std::deque<std::size_t> stream_queue_;
  std::vector<std::size_t> stream_done_;
  int idle_workers_ = 0;
  // Slots queued for the connections or with them (Run's thread only).
  std::int64_t streaming_ = 0;
  bool streams_stopped_ = false;
  // One per timer tier (each resend, then the time-out): the oldest question that has not
  // passed it. Every question shares the same schedule from its first datagram, and
  // questions start in input order, so each tier falls due in input order too.
  std::vector<std::int64_t> tier_next_;
  std::vector<Clock::duration> tier_offset_;
  std::vector<std::uint8_t> datagram_;
  std::unique_ptr<TzvDnsExtendedMessage> request_;
  // Where a question is encoded and an answer put for decoding, one at a time.
  TMemoryStream wire_bytes_;
  std::unique_ptr<TzvBatchAnswer> answer_;

  // The real transport.
  std::vector<int> sockets_;
  std::vector<std::uint8_t> receive_buffer_;
};
