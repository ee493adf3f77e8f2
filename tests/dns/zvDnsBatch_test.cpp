// The batch engine against a server played in memory through its transport steps: input
// order whatever order the answers come in, the window bound, one time-out for a silent
// window, a 100,000-name input, and one batch where each question meets its own fault (lost,
// forged, cut, truncated...). Real sockets, a closed port and Abort: the loopback file.
#include "dns/zvDnsBatch.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "dns/zvDnsAnswerMatch.h"
#include "dns/zvDnsOptRecord.h"
#include "dns/zvDnsQuery.h"
#include "net/zvMessages.h"
#include "net/zvSocketUtils.h"
#include "tests/support/MessageBytes.h"

namespace {

using namespace std::chrono_literals;

std::string HostName(std::int64_t index) {
  return "h" + std::to_string(index) + ".batch.test";
}

// The address the played server gives host number `index`.
std::string AddressOf(std::int64_t index) {
  return "10." + std::to_string((index >> 16) & 255) + "." + std::to_string((index >> 8) & 255) +
         "." + std::to_string(index & 255);
}

// The host number a request asks for, read from its first label ("h17" gives 17).
std::int64_t IndexOf(const Bytes& request) {
  return std::stoll(std::string(request.begin() + 14, request.begin() + 13 + request[12]));
}

// The answer to a request: its header and question, then one A record for the host it
// names, or none with TC set or an error code.
Bytes AnswerTo(const Bytes& request, bool truncated = false, int rcode = 0) {
  const std::size_t length = 12 + ExpectedAnswerOf(request).QuestionLength;
  Bytes answer(request.begin(), request.begin() + static_cast<long>(length));
  const bool with_record = !truncated && rcode == 0;
  answer[2] = static_cast<std::uint8_t>(0x80 | (request[2] & 0x01) | (truncated ? 0x02 : 0));
  answer[3] = static_cast<std::uint8_t>(0x80 | rcode);
  answer[7] = with_record ? 1 : 0;  // ANCOUNT
  answer[11] = 0;                   // ARCOUNT: no OPT record
  if (!with_record) return answer;
  // NAME (the question's), A, IN, TTL 300, RDLENGTH 4, then 10.x.y.z.
  const Bytes record = {0xC0, 0x0C, 0, 1, 0, 1, 0, 0, 1, 0x2C, 0, 4, 10};
  answer.insert(answer.end(), record.begin(), record.end());
  for (const int shift : {16, 8, 0})
    answer.push_back(static_cast<std::uint8_t>(IndexOf(request) >> shift));
  return answer;
}

// A datagram to or from the played server, with its socket.
struct TDatagram {
  int Socket = 0;
  Bytes Data;
};
using TReplies = std::vector<TDatagram>;
using TUdp = std::function<TReplies(const TDatagram&)>;

TReplies Answered(const TDatagram& request) {
  return {{request.Socket, AnswerTo(request.Data)}};
}

// The engine with its transport steps played in memory. What the server sends back arrives
// at the engine's next wait, in the order it was made or reversed.
class TPlayedBatch : public TzvDnsBatch {
 public:
  TUdp Respond = Answered;
  std::function<Bytes(const Bytes&)> RespondOverTcp = [](const Bytes& r) { return AnswerTo(r); };
  bool Reversed = false;
  std::int32_t ReceiveError = 0;  // raised by the next receive on socket 0, once
  bool KeepRequests = true;       // off for a long input
  std::vector<TDatagram> Requests;
  std::vector<Bytes> TcpRequests;
  std::int64_t Datagrams = 0;

 protected:
  std::int64_t OpenDatagramSockets(const std::string&, std::int32_t, int, std::int64_t) override {
    return INT64_MAX;  // room for any window
  }
  void SendDatagram(int socket, std::span<const std::uint8_t> datagram) override {
    TDatagram request{socket, Bytes(datagram.begin(), datagram.end())};
    ++Datagrams;
    for (TDatagram& reply : Respond(request)) pending_.push_back(std::move(reply));
    if (KeepRequests) Requests.push_back(std::move(request));
  }
  std::uint32_t WaitForDatagrams(std::int32_t time_out) override {
    if (Reversed) std::reverse(pending_.begin(), pending_.end());
    std::uint32_t ready = ReceiveError != 0 ? 1u : 0u;
    for (const TDatagram& reply : pending_) ready |= 1u << reply.Socket;
    // Nothing comes: the wait lasts as long as it was asked to, or until a TCP retry's
    // thread tells that it has ended.
    EXPECT_GE(time_out, 0) << "a wait for ever";
    if (ready == 0) {
      std::vector<pollfd> wake;
      AddWakeFds(wake);
      poll(wake.data(), wake.size(), std::max(time_out, 0));
    }
    return ready;
  }
  bool ReceiveDatagram(int socket, std::vector<std::uint8_t>& datagram) override {
    if (socket == 0 && ReceiveError != 0) RaiseSocketError(std::exchange(ReceiveError, 0));
    const auto next = std::find_if(pending_.begin(), pending_.end(),
                                   [socket](const TDatagram& d) { return d.Socket == socket; });
    if (next == pending_.end()) return false;
    datagram = std::move(next->Data);
    pending_.erase(next);
    return true;
  }
  void CloseDatagramSockets() override {}
  // Each retry over TCP through a query component whose connection is played here: the
  // framed questions it sends are answered, framed, by RespondOverTcp.
  std::unique_ptr<TzvDnsQuery> MakeStreamQuery() override {
    return std::make_unique<TPlayedStream>(*this);
  }

 private:
  class TPlayedStream : public TzvDnsQuery {
   public:
    explicit TPlayedStream(TPlayedBatch& batch) : TzvDnsQuery(nullptr), batch_(batch) {}

   protected:
    void FindStreamServer(std::string& address, std::int32_t& port) override {
      address = "127.0.0.1";
      port = 53;
    }
    void OpenStreamExchange(const std::string&, std::int32_t, std::int32_t) override {}
    void RestartStreamExchange(std::int32_t) override {}
    void SendStream(TMemoryStream& request) override {
      const std::uint8_t* data = request.Memory();
      Bytes sent(data + request.Position(), data + request.Size());
      for (std::size_t at = 0; at + 2 <= sent.size();) {
        const std::size_t length = std::size_t{sent[at]} << 8 | sent[at + 1];
        const Bytes question(sent.begin() + static_cast<long>(at + 2),
                             sent.begin() + static_cast<long>(at + 2 + length));
        at += 2 + length;
        {
          std::lock_guard lock(batch_.tcp_lock_);  // each retry on a thread of its own
          batch_.TcpRequests.push_back(question);
        }
        const Bytes answer = batch_.RespondOverTcp(question);
        answers_.push_back(static_cast<std::uint8_t>(answer.size() >> 8));
        answers_.push_back(static_cast<std::uint8_t>(answer.size() & 0xFF));
        answers_.insert(answers_.end(), answer.begin(), answer.end());
      }
    }
    bool ReceiveStream(TMemoryStream& answer, std::int64_t most) override {
      if (answers_.empty()) RaiseSocketError(kzvConnectionReset);
      const auto size = std::min<std::size_t>(answers_.size(), static_cast<std::size_t>(most));
      answer.Seek(0, TSeekOrigin::soEnd);
      answer.WriteBuffer(answers_.data(), static_cast<std::int64_t>(size));
      answers_.erase(answers_.begin(), answers_.begin() + static_cast<long>(size));
      return true;
    }
    void CloseStreamExchange() override { answers_.clear(); }

   private:
    TPlayedBatch& batch_;
    Bytes answers_;
  };

  std::vector<TDatagram> pending_;
  std::mutex tcp_lock_;
};

// What the caller kept of one answer.
struct TSeen {
  bool Answered = false;
  std::int32_t ResponseCode = -1, ErrorCode = 0;
  std::string ErrorText;
  int Tries = 0;
  bool Truncated = false;
  std::int64_t ElapsedMicroseconds = 0;
  std::string Address{};  // of the first A record
};

// Runs `count` questions (h0 .. h<count-1> unless `name_of` says otherwise), checking on the
// way that each is handed over in input order and that `next` never runs more than
// Concurrency ahead of what was handed over.
std::vector<TSeen> RunHosts(TPlayedBatch& batch, std::int64_t count, bool keep = true,
                            const std::function<void(std::int64_t)>& on_handed = {},
                            const std::function<std::string(std::int64_t)>& name_of = HostName) {
  std::vector<TSeen> seen;
  std::int64_t read = 0, handed = 0;
  batch.SetServer("127.0.0.1");
  batch.Run(
      [&](TzvBatchQuestion& question) {
        if (read == count) return false;
        EXPECT_LT(read - handed, batch.Concurrency()) << "read past the window";
        question.Name = name_of(read++);
        return true;
      },
      [&](const TzvBatchAnswer& answer) {
        EXPECT_EQ(answer.Index, handed) << "out of order";
        EXPECT_EQ(answer.Question.Name, name_of(handed));
        if (on_handed) on_handed(handed);
        ++handed;
        if (!keep) return;
        seen.push_back({answer.Answered, answer.ResponseCode, answer.ErrorCode, answer.ErrorText,
                        answer.Tries, answer.Truncated, answer.ElapsedMicroseconds});
        const auto& records = answer.Message.Answers();
        if (answer.Answered && records.Count() > 0)
          if (const auto* a = dynamic_cast<const TzvDnsARecord*>(records.Items(0)))
            seen.back().Address = a->IPAddress;
      });
  EXPECT_EQ(handed, count);
  return seen;
}

// ---- order, window, time-outs ----

TEST(BatchOrder, HandsOverInInputOrderWithinTheWindow) {
  struct TCase {
    const char* Name;
    int Concurrency, Sockets;
    bool Reversed;
    std::int64_t Count;
  };
  for (const TCase c :
       {TCase{"one at a time", 1, 1, false, 20}, TCase{"reversed answers", 50, 4, true, 1000},
        TCase{"window of seven", 7, 3, true, 100},
        TCase{"window larger than the input", 100, 4, true, 10},
        TCase{"empty input", 100, 4, false, 0}}) {
    SCOPED_TRACE(c.Name);
    TPlayedBatch batch;
    batch.SetConcurrency(c.Concurrency);
    batch.SetSocketCount(c.Sockets);
    batch.Reversed = c.Reversed;
    const auto seen = RunHosts(batch, c.Count);
    for (std::size_t i = 0; i < seen.size(); ++i) {
      EXPECT_TRUE(seen[i].Answered) << i << ": " << seen[i].ErrorText;
      EXPECT_EQ(seen[i].Address, AddressOf(static_cast<std::int64_t>(i)));
      EXPECT_EQ(seen[i].Tries, 1);
    }
    // The questions are spread over every socket.
    std::set<int> sockets;
    for (const TDatagram& request : batch.Requests) sockets.insert(request.Socket);
    EXPECT_EQ(sockets.size(), static_cast<std::size_t>(std::min<std::int64_t>(c.Sockets, c.Count)));
  }
}

TEST(BatchOrder, AHundredThousandQuestionsInFlatMemory) {
  TPlayedBatch batch;
  batch.KeepRequests = false;
  batch.Reversed = true;
  RunHosts(batch, 100000, false);
  EXPECT_EQ(batch.Datagrams, 100000);
}

TEST(BatchResend, SilentWindowCostsOneTimeOut) {
  struct TCase {
    std::int32_t TimeOut;
    int Tries, DatagramsEach;
  };
  // Resends at 0.4 s, 1.2 s, ... while they fall within the time-out.
  for (const TCase c : {TCase{300, 3, 1}, TCase{900, 3, 2}, TCase{900, 1, 1}}) {
    SCOPED_TRACE(testing::Message() << c.TimeOut << " ms, " << c.Tries << " tries");
    TPlayedBatch batch;
    batch.SetTimeOut(c.TimeOut);
    batch.SetTries(c.Tries);
    batch.Respond = [](const TDatagram&) { return TReplies{}; };
    const auto started = std::chrono::steady_clock::now();
    const auto seen = RunHosts(batch, 100);
    const auto took = std::chrono::steady_clock::now() - started;
    for (const TSeen& one : seen) {
      EXPECT_FALSE(one.Answered);
      EXPECT_EQ(one.ErrorCode, kzvErrTimeout);
      EXPECT_EQ(one.ErrorText, SzvTimeoutError);
      EXPECT_EQ(one.Tries, c.DatagramsEach);
      EXPECT_GE(one.ElapsedMicroseconds, std::int64_t{c.TimeOut} * 1000);
    }
    // One question at a time would take a hundred time-outs.
    EXPECT_GE(took, std::chrono::milliseconds(c.TimeOut));
    EXPECT_LT(took, std::chrono::milliseconds(c.TimeOut) + 1500ms);
  }
}

// ---- one batch, a fault for each question ----

// The answer, with TC set or an error code, and cut to `cut` bytes when not 0.
TUdp Reply(bool truncated, int rcode = 0, std::size_t cut = 0) {
  return [=](const TDatagram& request) {
    Bytes answer = AnswerTo(request.Data, truncated, rcode);
    if (cut != 0) answer.resize(cut);
    return TReplies{{request.Socket, answer}};
  };
}

// A datagram that is not the answer first (`forge` makes it of one that carries another
// address, 10.0.0.99, so taking it shows), then the answer.
TUdp Forged(std::function<void(TDatagram&)> forge) {
  return [forge](const TDatagram& request) {
    TReplies replies = Answered(request);
    TDatagram forged = replies[0];
    forged.Data.back() = 99;
    forge(forged);
    replies.insert(replies.begin(), forged);
    return replies;
  };
}

// Each question of one batch meets its own fault, and its outcome stays with it. The window
// of 4 is held by the lost datagram's question meanwhile. Socket 0's first receive fails
// with a refused port: the questions in flight on it then (0 and 2) fail, no other.
TEST(BatchOutcome, EachQuestionKeepsItsOwn) {
  struct TRow {
    const char* What;
    TUdp Udp;                                // null: a name that cannot be sent ("a..b")
    std::function<Bytes(const Bytes&)> Tcp;  // for a truncated answer; null: the answer
    std::int32_t Error;                      // 0: answered
    std::int32_t ResponseCode;
    int Tries;
    bool Truncated;
    const char* Address;  // null: the host's own
  };
  const TUdp lost_once = [lost = false](const TDatagram& request) mutable {
    return std::exchange(lost, true) ? Answered(request) : TReplies{};
  };
  const TUdp wrong_id = Forged([](TDatagram& d) { ++d.Data[1]; });
  const TUdp other_socket = Forged([](TDatagram& d) { d.Socket = 1 - d.Socket; });
  const TUdp qr_clear = Forged([](TDatagram& d) { d.Data[2] &= 0x7F; });
  const TUdp other_name = Forged([](TDatagram& d) { d.Data[14] ^= 1; });  // "h8" -> "h9"
  const TUdp other_type =                                                 // A -> AAAA
      Forged([](TDatagram& d) { d.Data[9 + ExpectedAnswerOf(d.Data).QuestionLength] = 28; });
  const TUdp too_short = Forged([](TDatagram& d) { d.Data = {0x12}; });
  const TUdp upper_case = Forged([](TDatagram& d) { d.Data[13] = 'H'; });
  const auto refused = [](const Bytes&) -> Bytes { RaiseSocketError(kzvConnectionRefused); };
  const auto tcp_other_id = [](const Bytes& request) {
    Bytes answer = AnswerTo(request);
    answer[0] ^= 0xFF;
    return answer;
  };
  constexpr auto kBad = kzvDnsErrInvalidSize;
  constexpr auto kRefused = kzvConnectionRefused;
  const TRow rows[] = {
      {"on socket 0, refused", Reply(false), {}, kRefused, -1, 1, false, ""},
      {"answer", Reply(false), {}, 0, 0, 1, false, nullptr},
      {"on socket 0, refused too", Reply(false), {}, kRefused, -1, 1, false, ""},
      {"NXDOMAIN is an answer", Reply(false, kzvDnsResponseNameError), {}, 0, 3, 1, false, ""},
      {"ours, cut inside the question", Reply(false, 0, 20), {}, kBad, -1, 1, false, ""},
      {"a name that cannot be sent", nullptr, {}, kBad, -1, 0, false, ""},
      {"first datagram lost", lost_once, {}, 0, 0, 2, false, nullptr},
      {"wrong ID", wrong_id, {}, 0, 0, 1, false, nullptr},
      {"ID of the other socket", other_socket, {}, 0, 0, 1, false, nullptr},
      {"QR clear", qr_clear, {}, 0, 0, 1, false, nullptr},
      {"another name", other_name, {}, 0, 0, 1, false, nullptr},
      {"another type", other_type, {}, 0, 0, 1, false, nullptr},
      {"too short for an ID", too_short, {}, 0, 0, 1, false, nullptr},
      {"the name in other letter case is taken", upper_case, {}, 0, 0, 1, false, "10.0.0.99"},
      {"TC, then TCP", Reply(true), {}, 0, 0, 1, true, nullptr},
      {"TC, then a refused TCP port", Reply(true), refused, kRefused, -1, 1, true, ""},
      {"TC, then another ID over TCP", Reply(true), tcp_other_id, kBad, -1, 1, true, ""},
  };
  const auto row = [&](const Bytes& request) -> const TRow& {
    return rows[static_cast<std::size_t>(IndexOf(request))];
  };
  TPlayedBatch batch;
  batch.SetSocketCount(2);
  batch.SetConcurrency(4);
  batch.SetTimeOut(3000);
  // Settings that are not the defaults, to be seen in every question.
  batch.SetIsRecursiveDesired(false);
  batch.SetQuestionClass(rcChaos);
  batch.SetEdnsBufferSize(4096);
  batch.ReceiveError = kzvConnectionRefused;
  batch.Respond = [&](const TDatagram& request) { return row(request.Data).Udp(request); };
  batch.RespondOverTcp = [&](const Bytes& request) {
    return row(request).Tcp ? row(request).Tcp(request) : AnswerTo(request);
  };
  const std::int64_t count = std::size(rows);
  const auto seen = RunHosts(batch, count, true, {}, [&](std::int64_t i) {
    return rows[i].Udp ? HostName(i) : std::string("a..b.batch.test");
  });
  ASSERT_EQ(seen.size(), std::size(rows));
  for (std::size_t i = 0; i < seen.size(); ++i) {
    const TRow& r = rows[i];
    const TSeen& one = seen[i];
    SCOPED_TRACE(r.What);
    EXPECT_EQ(one.ErrorCode, r.Error) << one.ErrorText;
    EXPECT_EQ(one.Answered, r.Error == 0);
    EXPECT_EQ(one.ResponseCode, r.ResponseCode);
    EXPECT_EQ(one.Tries, r.Tries);
    EXPECT_EQ(one.Truncated, r.Truncated);
    EXPECT_EQ(one.Address, r.Address ? r.Address : AddressOf(std::int64_t(i)));
    const char* text = r.Tries == 0                  ? "empty label"
                       : r.Truncated && r.Error != 0 ? "truncated and its retry over TCP failed"
                                                     : "";
    EXPECT_NE(one.ErrorText.find(text), std::string::npos) << one.ErrorText;
    // The lost datagram goes again after 0.4 s (with the same bytes on the same socket).
    EXPECT_GE(one.ElapsedMicroseconds, r.Tries == 2 ? 400000 : 0);
    EXPECT_LT(one.ElapsedMicroseconds, r.Tries == 2 ? 1200000 : 400000);
  }
  std::map<std::int64_t, std::vector<TDatagram>> sent;  // by question
  for (const TDatagram& request : batch.Requests) {
    sent[IndexOf(request.Data)].push_back(request);
    TzvDnsExtendedMessage m;
    ParseBytes(m, request.Data);
    EXPECT_FALSE(m.Header().IsRecursionDesired);
    EXPECT_EQ(m.Queries().Items(0)->RecordClass, rcChaos);
    const auto* opt = dynamic_cast<const TzvDnsOPTRecord*>(m.AdditionalRecords().Items(0));
    ASSERT_NE(opt, nullptr);
    EXPECT_EQ(opt->UDPPayloadSize, 4096);
  }
  for (const auto& [index, datagrams] : sent) {
    ASSERT_EQ(datagrams.size(), static_cast<std::size_t>(rows[index].Tries));
    EXPECT_EQ(datagrams.front().Data, datagrams.back().Data);
    EXPECT_EQ(datagrams.front().Socket, datagrams.back().Socket);
  }
  // Over TCP, the same question under a new ID.
  ASSERT_EQ(batch.TcpRequests.size(), 3u);
  for (const Bytes& tcp : batch.TcpRequests) {
    const Bytes& udp = sent[IndexOf(tcp)].front().Data;
    EXPECT_NE(Bytes(tcp.begin(), tcp.begin() + 2), Bytes(udp.begin(), udp.begin() + 2));
    EXPECT_EQ(Bytes(tcp.begin() + 2, tcp.end()), Bytes(udp.begin() + 2, udp.end()));
  }
}

}  // namespace
