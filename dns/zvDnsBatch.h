// Many questions to one DNS server over UDP, kept in flight together: the engine behind
// lookups of whole lists of names. Answers reach the caller in the order the questions
// came, whatever order the server answers in, and memory stays the same for ten names or
// ten million: only a window of Concurrency questions exists at any time.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "base/Classes.h"
#include "dns/zvDnsMessage.h"
#include "dns/zvDnsRecordTypes.h"
#include "net/zvMessages.h"

class TzvTcpClientConnection;

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
  // From the question's first datagram to its reply (or its time-out), TCP included.
  std::int64_t ElapsedMicroseconds = 0;
  // Datagrams sent for the question (0 when it could not be encoded).
  int Tries = 0;
  // The reply over UDP came with TC set, so the question went again over TCP; Bytes and
  // Message are then the answer that came over TCP.
  bool Truncated = false;
  // The reply's wire bytes (kept also when they cannot be decoded), and the reply decoded.
  std::vector<std::uint8_t> Bytes;
  TzvDnsExtendedMessage Message;
};

// Asks one server (an address, or a host name looked up once at the start) many
// questions over a few connected UDP sockets. A question is sent only while it lies
// within Concurrency of the oldest question not yet handed over, so a slow answer holds
// the window, not the memory. Each question is sent again with the same ID and bytes as
// the query component does (after 0.4 s, then twice the wait before, at most Tries
// datagrams within TimeOut from its first one); an answer is taken only from the server's
// address and port (the sockets are connected), under an ID in flight on that socket, and
// when it echoes its question. A socket never has more questions awaiting a datagram than
// its receive buffer holds answers of the largest size asked for, so that a burst of
// answers from a healthy server is never dropped by our own kernel, however large the
// window. An answer with TC set is asked for again over TCP on a thread of its own
// (kMaxStreams at once, the rest queued), within what is left of that question's time-out,
// while the others go on: a stalled connection costs its own question only. A failed
// question never stops the batch: it is handed over with its error in its turn.
class TzvDnsBatch : public TComponent {
 public:
  // Fills the next question and returns true, or returns false at the end of the input.
  using TNextQuestion = std::function<bool(TzvBatchQuestion& question)>;
  // Receives each question's outcome, in input order.
  using TAnswerDone = std::function<void(const TzvBatchAnswer& answer)>;

  static constexpr std::int32_t kDnsPort = 53;
  static constexpr int kMaxConcurrency = 10000;
  static constexpr int kMaxSockets = 16;
  // TCP retries of truncated answers in progress at once.
  static constexpr int kMaxStreams = 32;

  explicit TzvDnsBatch(TComponent* owner = nullptr);
  ~TzvDnsBatch() override;
  std::string ClassName() const override { return "TzvDnsBatch"; }

  // Asks every question `next` gives and hands each outcome to `done` in input order;
  // returns when the last one has been handed over. `next` is called only when the
  // window has room, so the input may be read as it goes. Fails with EzvSocketError when
  // the server cannot be reached at all (a name that cannot be looked up, no socket), and
  // with kzvErrAborted ("The lookup was stopped") after Abort: what was handed over stays
  // handed over, the questions still in flight are dropped. Whatever `next` or `done`
  // raise passes through and ends the batch.
  void Run(const TNextQuestion& next, const TAnswerDone& done);
  // Ends the running Run promptly, from any thread (or from `next` and `done`): its wait
  // for datagrams, or for the TCP retry, ends at once. An Abort while no Run is running
  // is forgotten when the next one starts.
  void Abort();

  // The server: an IPv4 or IPv6 address, or a host name. Default empty.
  const std::string& Server() const { return server_; }
  void SetServer(const std::string& value) { server_ = value; }
  // Default 53; a port the wire cannot carry fails Run with "Invalid port number".
  std::int32_t Port() const { return port_; }
  void SetPort(std::int32_t value) { port_ = value; }
  // Milliseconds each question may take from its first datagram (TCP retry included).
  // At least 1; default 5000.
  std::int32_t TimeOut() const { return time_out_; }
  void SetTimeOut(std::int32_t value) { time_out_ = value < 1 ? 1 : value; }
  // Datagrams per question within the time-out. At least 1; default 3.
  int Tries() const { return tries_; }
  void SetTries(int value) { tries_ = value < 1 ? 1 : value; }
  // Questions in flight at most. 1 to kMaxConcurrency; default 100.
  int Concurrency() const { return concurrency_; }
  void SetConcurrency(int value);
  // UDP sockets the questions are spread over, each from its own random port. 1 to
  // kMaxSockets; default 4.
  int SocketCount() const { return socket_count_; }
  void SetSocketCount(int value);
  // As the query component: an OPT record offering EdnsBufferSize bytes (values below
  // 512 count as 512). Default true, 1232.
  bool UseEdns() const { return use_edns_; }
  void SetUseEdns(bool value) { use_edns_ = value; }
  std::uint16_t EdnsBufferSize() const { return edns_buffer_size_; }
  void SetEdnsBufferSize(std::uint16_t value) { edns_buffer_size_ = value < 512 ? 512 : value; }
  // Copied into the RD flag of every question. Default true.
  bool IsRecursiveDesired() const { return is_recursive_desired_; }
  void SetIsRecursiveDesired(bool value) { is_recursive_desired_ = value; }
  // The class of every question. Default IN.
  TzvDnsRecordClass QuestionClass() const { return question_class_; }
  void SetQuestionClass(TzvDnsRecordClass value) { question_class_ = value; }

 protected:
  // The transport steps, each a thin call into the system (UDP) or the net layer's TCP
  // connection. Tests replace them to play a server without sockets.
  // Opens `count` UDP sockets connected to address and port, each asking for a receive
  // buffer of `receive_bytes`; returns the bytes the smallest buffer was granted (the
  // kernel's count, its bookkeeping included).
  virtual std::int64_t OpenDatagramSockets(const std::string& address, std::int32_t port, int count,
                                           std::int64_t receive_bytes);
  // Sends one datagram on a socket; raises the socket's error (a refused port).
  virtual void SendDatagram(int socket, std::span<const std::uint8_t> datagram);
  // Waits at most time_out ms (0: only looks) for datagrams, or for Abort. Returns the
  // sockets that may have one waiting, one bit each (bit 0: socket 0).
  virtual std::uint32_t WaitForDatagrams(std::int32_t time_out);
  // Takes the next datagram waiting on a socket into `datagram` (replacing what it
  // held); false when none is waiting. Raises the socket's error, such as
  // kzvConnectionRefused once the server's port turned out closed.
  virtual bool ReceiveDatagram(int socket, std::vector<std::uint8_t>& datagram);
  virtual void CloseDatagramSockets();
  // One question over TCP to the server on `connection`: sends `request` behind its length
  // word and leaves the one message that comes back in `answer`, everything within
  // time_out ms; raises the time-out, the connection's error or kzvErrAborted. Called on a
  // retry's own thread, several at once.
  virtual void ExchangeStream(TzvTcpClientConnection& connection,
                              std::span<const std::uint8_t> request,
                              std::vector<std::uint8_t>& answer, std::int32_t time_out);

  // Whether Abort was called since Run started, for steps that wait.
  bool AbortRequested() const { return abort_requested_.load(); }
  // The server's address and port as Run uses them (after a host name was looked up).
  const std::string& ServerAddress() const { return server_address_; }

 private:
  struct TSlot;
  struct TStream;
  using Clock = std::chrono::steady_clock;

  // The slot of a question in flight or waiting to be handed over.
  TSlot& SlotOf(std::int64_t index);
  // Reads and sends questions while the window has room.
  void FillWindow(const TNextQuestion& next);
  // Encodes the slot's question under a fresh ID on its socket and sends it; a question
  // that cannot be encoded or sent is finished with its error.
  void StartQuestion(TSlot& slot);
  void SendSlot(TSlot& slot);
  // Hands over the finished questions at the front of the window, in order.
  void DeliverReady(const TAnswerDone& done);
  // Takes what waits on the sockets of `ready`.
  void ReceiveAll(std::uint32_t ready);
  void TakeDatagram(int socket, const std::vector<std::uint8_t>& datagram);
  // Whether the next question may be sent: the window and its socket have room.
  bool HasRoom() const;
  // The TCP retry of a truncated answer, within what is left of the slot's time-out:
  // queued, and started at once while fewer than kMaxStreams run.
  void RetryOverTcp(TSlot& slot);
  // Starts the queued retries there is room for; gives when the first running one must
  // have ended.
  Clock::time_point StartStreams();
  // A retry's thread: the exchange on a connection of its own.
  void RunStream(TStream& stream);
  // Finishes the questions whose retries have ended.
  void CollectStreams();
  // Stops every retry still running and waits for its thread.
  void StopStreams();
  // Resends and time-outs that are due; gives when the next one falls due.
  Clock::time_point RunTimers(Clock::time_point now);
  void Finish(TSlot& slot, std::int32_t error_code, const std::string& error_text);
  // Every question in flight on a socket whose receive failed ends with that error.
  void FailSocket(int socket, std::int32_t error_code, const std::string& error_text);
  void ReleaseId(TSlot& slot);

  std::string server_;
  std::int32_t port_ = kDnsPort;
  std::int32_t time_out_ = 5000;
  int tries_ = 3;
  int concurrency_ = 100;
  int socket_count_ = 4;
  bool use_edns_ = true;
  std::uint16_t edns_buffer_size_ = 1232;
  bool is_recursive_desired_ = true;
  TzvDnsRecordClass question_class_ = rcInternet;

  std::atomic<bool> abort_requested_{false};
  // The running Run's hidden window: Abort posts to it, so that the handler, on Run's
  // thread, ends a TCP retry's wait without touching the connection from another thread.
  std::mutex window_lock_;
  HWND window_ = 0;

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
  // The TCP retries running (their hidden windows under window_lock_), and the slots of
  // those waiting for a free one, oldest first.
  std::vector<std::unique_ptr<TStream>> streams_;
  std::vector<std::size_t> stream_queue_;
  std::atomic<bool> streams_stopped_{false};
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
  // Holds the abort signal of the server's name lookup.
  std::unique_ptr<TzvTcpClientConnection> stream_connection_;
};
