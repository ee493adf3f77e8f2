// The batch engine against a server played in memory through its transport steps: the
// order of answers kept whatever order they come in, the window bound, resends of lost
// datagrams, one time-out for a silent window, forged answers dropped, TC asked again over
// TCP, errors that stay with their question, Abort, and a long input in flat memory.
#include "dns/zvDnsBatch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "dns/zvDnsAnswerMatch.h"
#include "dns/zvDnsOptRecord.h"
#include "net/zvSocketUtils.h"
#include "tests/support/MessageBytes.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

std::string HostName(std::int64_t index) {
  return "h" + std::to_string(index) + ".batch.test";
}

// The address the played server gives host number `index`.
std::string AddressOf(std::int64_t index) {
  return "10." + std::to_string((index >> 16) & 255) + "." + std::to_string((index >> 8) & 255) +
         "." + std::to_string(index & 255);
}

// The host number a question names ("h17.batch.test" gives 17), or -1.
std::int64_t IndexOfName(const std::string& name) {
  if (name.size() < 2 || name[0] != 'h') return -1;
  return std::stoll(name.substr(1, name.find('.') - 1));
}

// A request's question name, read through the codec.
std::string QuestionName(const Bytes& request) {
  TzvDnsExtendedMessage message;
  ParseBytes(message, request);
  return message.Queries().Items(0)->Name;
}

// The answer to a request: its header and question, and one A record for the host the
// question names, or none with `truncated` (TC set) or a response code.
Bytes AnswerTo(const Bytes& request, bool truncated = false, int rcode = 0) {
  const TzvExpectedAnswer expected = ExpectedAnswerOf(request);
  Bytes answer(request.begin(), request.begin() + 12 + static_cast<long>(expected.QuestionLength));
  const bool with_record = !truncated && rcode == 0;
  answer[2] = static_cast<std::uint8_t>(0x80 | (request[2] & 0x01) | (truncated ? 0x02 : 0));
  answer[3] = static_cast<std::uint8_t>(0x80 | rcode);
  answer[4] = 0, answer[5] = 1;                         // QDCOUNT 1
  answer[6] = 0, answer[7] = with_record ? 1 : 0;       // ANCOUNT
  answer[8] = answer[9] = answer[10] = answer[11] = 0;  // NSCOUNT, ARCOUNT 0
  if (!with_record) return answer;
  const std::int64_t index = IndexOfName(QuestionName(request));
  const Bytes record = {0xC0,
                        0x0C,  // NAME -> the question's
                        0x00,
                        0x01,
                        0x00,
                        0x01,  // TYPE A, CLASS IN
                        0x00,
                        0x00,
                        0x01,
                        0x2C,  // TTL 300
                        0x00,
                        0x04,  // RDLENGTH 4
                        10,
                        static_cast<std::uint8_t>((index >> 16) & 255),
                        static_cast<std::uint8_t>((index >> 8) & 255),
                        static_cast<std::uint8_t>(index & 255)};
  answer.insert(answer.end(), record.begin(), record.end());
  return answer;
}

// A datagram a request got from the played server, on the socket it is to arrive on.
struct TReply {
  int Socket = 0;
  Bytes Datagram;
};

// A request as the played server sees it: its socket, bytes, and the how-manieth datagram
// of its ID on that socket it is (1 for the first).
struct TRequest {
  int Socket = 0;
  Bytes Datagram;
  int Number = 1;
};

// The engine with its transport steps played in memory. Replies wait until the engine
// next waits, then arrive in the order they were made, or reversed.
class TPlayedBatch : public TzvDnsBatch {
 public:
  // What the server sends back for a request; by default the right answer.
  std::function<std::vector<TReply>(const TRequest&)> Respond = [](const TRequest& request) {
    return std::vector<TReply>{{request.Socket, AnswerTo(request.Datagram)}};
  };
  // The answer to a question over TCP; by default the right answer.
  std::function<Bytes(const Bytes&)> RespondOverTcp = [](const Bytes& request) {
    return AnswerTo(request);
  };
  bool Reversed = false;
  // Raised by the next receive on socket 0, once.
  std::int32_t ReceiveError = 0;
  // Every request kept, when asked (long inputs keep only the counts).
  bool KeepRequests = true;

  std::vector<TRequest> Requests;
  std::vector<Bytes> TcpRequests;
  int SocketsOpened = 0;
  std::int64_t Datagrams = 0;

 protected:
  void OpenDatagramSockets(const std::string&, std::int32_t, int count) override {
    SocketsOpened = count;
    ready_.assign(static_cast<std::size_t>(count), {});
  }
  void SendDatagram(int socket, std::span<const std::uint8_t> datagram) override {
    TRequest request{socket, Bytes(datagram.begin(), datagram.end()), 0};
    // Counted only when kept: a long input would otherwise fill the played server's memory.
    if (KeepRequests) request.Number = ++numbers_[{socket, IdOf(request.Datagram)}];
    ++Datagrams;
    for (TReply& reply : Respond(request)) held_.push_back(std::move(reply));
    if (KeepRequests) Requests.push_back(std::move(request));
  }
  std::uint32_t WaitForDatagrams(std::int32_t time_out) override {
    if (Reversed) std::reverse(held_.begin(), held_.end());
    for (TReply& reply : held_)
      ready_[static_cast<std::size_t>(reply.Socket)].push_back(std::move(reply.Datagram));
    held_.clear();
    std::uint32_t ready = 0;
    for (std::size_t i = 0; i < ready_.size(); ++i) {
      if (!ready_[i].empty() || (i == 0 && ReceiveError != 0)) ready |= 1u << i;
    }
    if (ready != 0) return ready;
    // Nothing comes: the wait lasts as long as it was asked to, or until Abort.
    const auto until = std::chrono::steady_clock::now() +
                       std::chrono::milliseconds(time_out < 0 ? 60000 : time_out);
    while (std::chrono::steady_clock::now() < until && !AbortRequested())
      std::this_thread::sleep_for(1ms);
    return 0;
  }
  bool ReceiveDatagram(int socket, std::vector<std::uint8_t>& datagram) override {
    if (socket == 0 && ReceiveError != 0) {
      const std::int32_t error = ReceiveError;
      ReceiveError = 0;
      RaiseSocketError(error);
    }
    auto& queue = ready_[static_cast<std::size_t>(socket)];
    if (queue.empty()) return false;
    datagram = std::move(queue.front());
    queue.pop_front();
    return true;
  }
  void CloseDatagramSockets() override {}
  void ExchangeStream(std::span<const std::uint8_t> request, std::vector<std::uint8_t>& answer,
                      std::int32_t) override {
    TcpRequests.emplace_back(request.begin(), request.end());
    answer = RespondOverTcp(TcpRequests.back());
  }

 private:
  static std::uint16_t IdOf(const Bytes& datagram) {
    return static_cast<std::uint16_t>(datagram[0] << 8 | datagram[1]);
  }
  std::map<std::pair<int, std::uint16_t>, int> numbers_;
  std::vector<TReply> held_;
  std::vector<std::deque<Bytes>> ready_;
};

// What the caller kept of one answer.
struct TSeen {
  std::int64_t Index = 0;
  std::string Name;
  bool Answered = false;
  std::int32_t ResponseCode = -1;
  std::int32_t ErrorCode = 0;
  std::string ErrorText;
  int Tries = 0;
  bool Truncated = false;
  std::int64_t ElapsedMicroseconds = 0;
  std::string Address;  // of the first A record
};

// Runs `count` questions h0 .. h<count-1>; checks on the way that `next` never runs more
// than Concurrency ahead of what was handed over.
std::vector<TSeen> RunHosts(TPlayedBatch& batch, std::int64_t count, bool keep = true,
                            const std::function<void(std::int64_t)>& on_handed = {}) {
  std::vector<TSeen> seen;
  std::int64_t read = 0;
  std::int64_t handed = 0;
  batch.SetServer("127.0.0.1");
  batch.Run(
      [&](TzvBatchQuestion& question) {
        if (read == count) return false;
        EXPECT_LT(read - handed, batch.Concurrency()) << "read past the window";
        question.Name = HostName(read++);
        return true;
      },
      [&](const TzvBatchAnswer& answer) {
        EXPECT_EQ(answer.Index, handed) << "out of order";
        EXPECT_EQ(answer.Question.Name, HostName(handed));
        ++handed;
        if (on_handed) on_handed(answer.Index);
        if (!keep) return;
        TSeen one{answer.Index,
                  answer.Question.Name,
                  answer.Answered,
                  answer.ResponseCode,
                  answer.ErrorCode,
                  answer.ErrorText,
                  answer.Tries,
                  answer.Truncated,
                  answer.ElapsedMicroseconds,
                  {}};
        if (answer.Answered && answer.Message.Answers().Count() > 0) {
          if (const auto* a = dynamic_cast<const TzvDnsARecord*>(answer.Message.Answers().Items(0)))
            one.Address = a->IPAddress;
        }
        seen.push_back(one);
      });
  EXPECT_EQ(handed, count);
  return seen;
}

// ---- order and window ----

struct TWindowCase {
  const char* Name;
  int Concurrency;
  int Sockets;
  bool Reversed;
  std::int64_t Count;
};

class BatchOrder : public testing::TestWithParam<TWindowCase> {};

TEST_P(BatchOrder, HandsOverInInputOrderWithinTheWindow) {
  const TWindowCase& c = GetParam();
  TPlayedBatch batch;
  batch.SetConcurrency(c.Concurrency);
  batch.SetSocketCount(c.Sockets);
  batch.Reversed = c.Reversed;
  // The most questions in flight at once, seen by the server: sent, not yet answered.
  std::set<std::int64_t> in_flight;
  std::size_t most = 0;
  batch.Respond = [&](const TRequest& request) {
    in_flight.insert(IndexOfName(QuestionName(request.Datagram)));
    most = std::max(most, in_flight.size());
    return std::vector<TReply>{{request.Socket, AnswerTo(request.Datagram)}};
  };
  std::int64_t answered = 0;
  const auto seen =
      RunHosts(batch, c.Count, true, [&](std::int64_t index) { in_flight.erase(index); });
  for (const TSeen& one : seen) {
    EXPECT_TRUE(one.Answered) << one.Index << ": " << one.ErrorText;
    EXPECT_EQ(one.Address, AddressOf(one.Index));
    EXPECT_EQ(one.Tries, 1);
    answered += one.Answered;
  }
  EXPECT_EQ(answered, c.Count);
  EXPECT_LE(most, static_cast<std::size_t>(c.Concurrency));
  EXPECT_EQ(batch.SocketsOpened, c.Sockets);
  // The questions are spread over every socket.
  std::set<int> sockets;
  for (const TRequest& request : batch.Requests) sockets.insert(request.Socket);
  EXPECT_EQ(sockets.size(), static_cast<std::size_t>(std::min<std::int64_t>(c.Sockets, c.Count)));
}

INSTANTIATE_TEST_SUITE_P(Cases, BatchOrder,
                         testing::Values(TWindowCase{"OneAtATime", 1, 1, false, 20},
                                         TWindowCase{"ReversedAnswers", 50, 4, true, 1000},
                                         TWindowCase{"WindowOfSeven", 7, 3, true, 100},
                                         TWindowCase{"WindowLargerThanInput", 100, 4, true, 10},
                                         TWindowCase{"EmptyInput", 100, 4, false, 0}),
                         [](const auto& info) { return std::string(info.param.Name); });

TEST(BatchOrder, SlowOldestHoldsTheWindowNotTheMemory) {
  TPlayedBatch batch;
  batch.SetConcurrency(10);
  batch.SetSocketCount(1);
  batch.SetTimeOut(300);
  batch.SetTries(1);
  // Question 0 is never answered: nothing past 9 may be read until it times out.
  batch.Respond = [](const TRequest& request) {
    if (IndexOfName(QuestionName(request.Datagram)) == 0) return std::vector<TReply>{};
    return std::vector<TReply>{{request.Socket, AnswerTo(request.Datagram)}};
  };
  const auto seen = RunHosts(batch, 30);
  ASSERT_EQ(seen.size(), 30u);
  EXPECT_EQ(seen[0].ErrorCode, kzvErrTimeout);
  for (std::size_t i = 1; i < seen.size(); ++i) EXPECT_TRUE(seen[i].Answered);
}

TEST(BatchOrder, AHundredThousandQuestionsInFlatMemory) {
  TPlayedBatch batch;
  batch.KeepRequests = false;
  batch.Reversed = true;
  constexpr std::int64_t kCount = 100000;
  // RunHosts checks order and that the input is never read past the window.
  RunHosts(batch, kCount, false);
  EXPECT_EQ(batch.Datagrams, kCount);
}

// ---- resends and time-outs ----

TEST(BatchResend, LostDatagramGoesAgainWithTheSameBytes) {
  TPlayedBatch batch;
  batch.SetTimeOut(3000);
  // The first datagram of question 3 is lost; its second is answered.
  batch.Respond = [](const TRequest& request) {
    if (IndexOfName(QuestionName(request.Datagram)) == 3 && request.Number == 1)
      return std::vector<TReply>{};
    return std::vector<TReply>{{request.Socket, AnswerTo(request.Datagram)}};
  };
  const auto seen = RunHosts(batch, 8);
  ASSERT_EQ(seen.size(), 8u);
  EXPECT_TRUE(seen[3].Answered);
  EXPECT_EQ(seen[3].Tries, 2);
  EXPECT_GE(seen[3].ElapsedMicroseconds, 400000);
  EXPECT_LT(seen[3].ElapsedMicroseconds, 1200000);
  std::vector<TRequest> of_three;
  for (const TRequest& request : batch.Requests) {
    if (IndexOfName(QuestionName(request.Datagram)) == 3) of_three.push_back(request);
  }
  ASSERT_EQ(of_three.size(), 2u);
  EXPECT_EQ(of_three[0].Datagram, of_three[1].Datagram);
  EXPECT_EQ(of_three[0].Socket, of_three[1].Socket);
}

struct TSilentCase {
  const char* Name;
  std::int32_t TimeOut;
  int Tries;
  int DatagramsEach;
};

class BatchSilence : public testing::TestWithParam<TSilentCase> {};

TEST_P(BatchSilence, SilentWindowCostsOneTimeOut) {
  const TSilentCase& c = GetParam();
  TPlayedBatch batch;
  batch.SetTimeOut(c.TimeOut);
  batch.SetTries(c.Tries);
  batch.Respond = [](const TRequest&) { return std::vector<TReply>{}; };
  const auto started = Clock::now();
  const auto seen = RunHosts(batch, 100);
  const auto took = Clock::now() - started;
  ASSERT_EQ(seen.size(), 100u);
  for (const TSeen& one : seen) {
    EXPECT_FALSE(one.Answered);
    EXPECT_EQ(one.ErrorCode, kzvErrTimeout);
    EXPECT_EQ(one.ErrorText, SzvTimeoutError);
    EXPECT_EQ(one.Tries, c.DatagramsEach);
    EXPECT_GE(one.ElapsedMicroseconds, std::int64_t{c.TimeOut} * 1000);
  }
  // One questions at a time would take a hundred time-outs.
  EXPECT_GE(took, std::chrono::milliseconds(c.TimeOut));
  EXPECT_LT(took, std::chrono::milliseconds(c.TimeOut) + 1500ms);
}

INSTANTIATE_TEST_SUITE_P(Cases, BatchSilence,
                         testing::Values(TSilentCase{"ShorterThanFirstResend", 300, 3, 1},
                                         TSilentCase{"OneResendFits", 900, 3, 2},
                                         TSilentCase{"NoResends", 900, 1, 1}),
                         [](const auto& info) { return std::string(info.param.Name); });

// ---- what is taken and what is dropped ----

struct TForgeryCase {
  const char* Name;
  std::function<TReply(const TRequest&)> Forge;
};

Bytes WithByte(Bytes bytes, std::size_t at, std::uint8_t value) {
  bytes[at] = value;
  return bytes;
}

class BatchForgery : public testing::TestWithParam<TForgeryCase> {};

TEST_P(BatchForgery, DropsWhatIsNotTheAnswer) {
  TPlayedBatch batch;
  batch.SetSocketCount(2);
  batch.SetTimeOut(2000);
  const auto forge = GetParam().Forge;
  // Question 2 gets the forgery first, then the right answer with another address.
  batch.Respond = [&](const TRequest& request) {
    std::vector<TReply> replies;
    if (IndexOfName(QuestionName(request.Datagram)) == 2) replies.push_back(forge(request));
    replies.push_back({request.Socket, AnswerTo(request.Datagram)});
    return replies;
  };
  const auto seen = RunHosts(batch, 4);
  ASSERT_EQ(seen.size(), 4u);
  for (const TSeen& one : seen) {
    EXPECT_TRUE(one.Answered) << one.ErrorText;
    EXPECT_EQ(one.Address, AddressOf(one.Index));
  }
}

// An answer for another host (so taking it would show the wrong address).
Bytes ForeignAnswer(const TRequest& request) {
  Bytes answer = AnswerTo(request.Datagram);
  answer.back() = 99;
  return answer;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BatchForgery,
    testing::Values(
        TForgeryCase{"WrongId",
                     [](const TRequest& r) {
                       Bytes a = ForeignAnswer(r);
                       return TReply{r.Socket, WithByte(a, 1, static_cast<std::uint8_t>(a[1] + 1))};
                     }},
        TForgeryCase{"OtherSocket",
                     [](const TRequest& r) {
                       return TReply{1 - r.Socket, ForeignAnswer(r)};
                     }},
        TForgeryCase{"QrClear",
                     [](const TRequest& r) {
                       Bytes a = ForeignAnswer(r);
                       return TReply{r.Socket, WithByte(a, 2, a[2] & 0x7F)};
                     }},
        TForgeryCase{"OtherName",
                     [](const TRequest& r) {
                       // "h2" becomes "h3": same length, another question.
                       return TReply{r.Socket, WithByte(ForeignAnswer(r), 14, '3')};
                     }},
        TForgeryCase{"OtherType",
                     [](const TRequest& r) {
                       Bytes a = ForeignAnswer(r);
                       const std::size_t type_at =
                           12 + ExpectedAnswerOf(r.Datagram).QuestionLength - 3;
                       return TReply{r.Socket, WithByte(a, type_at, 28)};
                     }},
        TForgeryCase{"TooShortForAnId",
                     [](const TRequest& r) {
                       return TReply{r.Socket, {0x12}};
                     }}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST(BatchForgery, AnswerInAnyLetterCaseIsTaken) {
  TPlayedBatch batch;
  batch.Respond = [](const TRequest& request) {
    Bytes answer = AnswerTo(request.Datagram);
    answer[13] = 'H';  // "h0" echoed as "H0"
    return std::vector<TReply>{{request.Socket, answer}};
  };
  const auto seen = RunHosts(batch, 3);
  for (const TSeen& one : seen) EXPECT_TRUE(one.Answered) << one.ErrorText;
}

// ---- TC and TCP ----

TEST(BatchTcp, TruncatedAnswerIsAskedAgainOverTcp) {
  TPlayedBatch batch;
  batch.Respond = [](const TRequest& request) {
    const bool truncated = IndexOfName(QuestionName(request.Datagram)) % 2 == 1;
    return std::vector<TReply>{{request.Socket, AnswerTo(request.Datagram, truncated)}};
  };
  const auto seen = RunHosts(batch, 6);
  ASSERT_EQ(seen.size(), 6u);
  for (const TSeen& one : seen) {
    EXPECT_TRUE(one.Answered) << one.ErrorText;
    EXPECT_EQ(one.Truncated, one.Index % 2 == 1);
    EXPECT_EQ(one.Address, AddressOf(one.Index));
  }
  ASSERT_EQ(batch.TcpRequests.size(), 3u);
  // The same question under a new ID.
  for (const Bytes& tcp : batch.TcpRequests) {
    const std::string name = QuestionName(tcp);
    for (const TRequest& udp : batch.Requests) {
      if (QuestionName(udp.Datagram) != name) continue;
      EXPECT_NE(Bytes(tcp.begin(), tcp.begin() + 2),
                Bytes(udp.Datagram.begin(), udp.Datagram.begin() + 2));
      EXPECT_EQ(Bytes(tcp.begin() + 2, tcp.end()),
                Bytes(udp.Datagram.begin() + 2, udp.Datagram.end()));
    }
  }
}

struct TTcpFailureCase {
  const char* Name;
  std::function<Bytes(const Bytes&)> Respond;
  std::int32_t ErrorCode;
};

class BatchTcpFailure : public testing::TestWithParam<TTcpFailureCase> {};

TEST_P(BatchTcpFailure, FailsThatQuestionOnly) {
  TPlayedBatch batch;
  batch.Respond = [](const TRequest& request) {
    const bool truncated = IndexOfName(QuestionName(request.Datagram)) == 1;
    return std::vector<TReply>{{request.Socket, AnswerTo(request.Datagram, truncated)}};
  };
  batch.RespondOverTcp = GetParam().Respond;
  const auto seen = RunHosts(batch, 3);
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_TRUE(seen[0].Answered);
  EXPECT_TRUE(seen[2].Answered);
  EXPECT_FALSE(seen[1].Answered);
  EXPECT_TRUE(seen[1].Truncated);
  EXPECT_EQ(seen[1].ErrorCode, GetParam().ErrorCode);
  EXPECT_NE(seen[1].ErrorText.find("truncated and its retry over TCP failed"), std::string::npos)
      << seen[1].ErrorText;
}

INSTANTIATE_TEST_SUITE_P(Cases, BatchTcpFailure,
                         testing::Values(TTcpFailureCase{"Refused",
                                                         [](const Bytes&) -> Bytes {
                                                           RaiseSocketError(kzvConnectionRefused);
                                                         },
                                                         kzvConnectionRefused},
                                         TTcpFailureCase{"AnswersAnotherId",
                                                         [](const Bytes& request) {
                                                           Bytes answer = AnswerTo(request);
                                                           answer[0] ^= 0xFF;
                                                           return answer;
                                                         },
                                                         kzvDnsErrInvalidSize}),
                         [](const auto& info) { return std::string(info.param.Name); });

// ---- errors stay with their question ----

TEST(BatchErrors, EachQuestionKeepsItsOwnOutcome) {
  TPlayedBatch batch;
  batch.SetSocketCount(1);
  batch.Respond = [](const TRequest& request) {
    const std::int64_t index = IndexOfName(QuestionName(request.Datagram));
    Bytes answer = AnswerTo(request.Datagram, false, index == 1 ? 3 : 0);
    if (index == 2) answer.resize(20);  // ours, cut inside the question
    return std::vector<TReply>{{request.Socket, answer}};
  };
  std::vector<std::string> names = {"h0.batch.test", "h1.batch.test", "h2.batch.test",
                                    "a..b.batch.test", "h4.batch.test"};
  std::vector<TSeen> seen;
  std::size_t read = 0;
  batch.SetServer("127.0.0.1");
  batch.Run(
      [&](TzvBatchQuestion& question) {
        if (read == names.size()) return false;
        question.Name = names[read++];
        return true;
      },
      [&](const TzvBatchAnswer& answer) {
        seen.push_back({answer.Index,
                        answer.Question.Name,
                        answer.Answered,
                        answer.ResponseCode,
                        answer.ErrorCode,
                        answer.ErrorText,
                        answer.Tries,
                        answer.Truncated,
                        0,
                        {}});
      });
  ASSERT_EQ(seen.size(), 5u);
  EXPECT_TRUE(seen[0].Answered);
  EXPECT_EQ(seen[0].ResponseCode, 0);
  // NXDOMAIN is an answer, not a failure.
  EXPECT_TRUE(seen[1].Answered);
  EXPECT_EQ(seen[1].ResponseCode, 3);
  EXPECT_EQ(seen[1].ErrorCode, 0);
  EXPECT_FALSE(seen[2].Answered);
  EXPECT_EQ(seen[2].ErrorCode, kzvDnsErrInvalidSize);
  // Refused before anything is sent.
  EXPECT_FALSE(seen[3].Answered);
  EXPECT_EQ(seen[3].Tries, 0);
  EXPECT_NE(seen[3].ErrorText.find("empty label"), std::string::npos) << seen[3].ErrorText;
  EXPECT_TRUE(seen[4].Answered);
}

TEST(BatchErrors, RefusedPortFailsThatSocketsQuestionsAndTheBatchGoesOn) {
  TPlayedBatch batch;
  batch.SetSocketCount(2);
  batch.ReceiveError = kzvConnectionRefused;
  // Nothing is answered until the refusal has been seen.
  bool refused = false;
  batch.Respond = [&](const TRequest& request) {
    if (!refused) return std::vector<TReply>{};
    return std::vector<TReply>{{request.Socket, AnswerTo(request.Datagram)}};
  };
  batch.SetTimeOut(500);
  batch.SetTries(1);
  batch.SetConcurrency(4);
  std::vector<TSeen> seen;
  std::int64_t read = 0;
  batch.SetServer("127.0.0.1");
  batch.Run(
      [&](TzvBatchQuestion& question) {
        if (read == 8) return false;
        question.Name = HostName(read++);
        return true;
      },
      [&](const TzvBatchAnswer& answer) {
        refused = true;
        seen.push_back(
            {answer.Index, {}, answer.Answered, 0, answer.ErrorCode, {}, 0, false, 0, {}});
      });
  ASSERT_EQ(seen.size(), 8u);
  // Socket 0 had questions 0 and 2 in flight; socket 1's waited out their time.
  EXPECT_EQ(seen[0].ErrorCode, kzvConnectionRefused);
  EXPECT_EQ(seen[2].ErrorCode, kzvConnectionRefused);
  EXPECT_EQ(seen[1].ErrorCode, kzvErrTimeout);
  for (std::size_t i = 4; i < seen.size(); ++i) EXPECT_TRUE(seen[i].Answered) << i;
}

TEST(BatchErrors, WhatTheCallbacksRaiseEndsTheBatch) {
  TPlayedBatch batch;
  int handed = 0;
  std::int64_t read = 0;
  batch.SetServer("127.0.0.1");
  EXPECT_THROW(batch.Run(
                   [&](TzvBatchQuestion& question) {
                     question.Name = HostName(read++);
                     return true;
                   },
                   [&](const TzvBatchAnswer&) {
                     if (++handed == 5) throw EListError("enough");
                   }),
               EListError);
  EXPECT_EQ(handed, 5);
}

TEST(BatchErrors, PortTheWireCannotCarryIsRefused) {
  TPlayedBatch batch;
  batch.SetServer("127.0.0.1");
  batch.SetPort(65536);
  try {
    batch.Run([](TzvBatchQuestion&) { return false; }, [](const TzvBatchAnswer&) {});
    FAIL() << "ran";
  } catch (const EzvSocketError& error) {
    EXPECT_EQ(error.ErrorCode(), kzvErrInvalidPort);
  }
}

// ---- the questions as they go out ----

struct TSettingsCase {
  const char* Name;
  std::function<void(TzvDnsBatch&)> Set;
  std::function<void(const TzvDnsMessage&)> Check;
};

class BatchSettings : public testing::TestWithParam<TSettingsCase> {};

TEST_P(BatchSettings, ShapeEveryQuestion) {
  TPlayedBatch batch;
  GetParam().Set(batch);
  RunHosts(batch, 3);
  ASSERT_EQ(batch.Requests.size(), 3u);
  std::set<int> ids;
  for (const TRequest& request : batch.Requests) {
    TzvDnsExtendedMessage message;
    ParseBytes(message, request.Datagram);
    ids.insert(message.Header().ID);
    EXPECT_TRUE(message.Header().IsQuery);
    GetParam().Check(message);
  }
  EXPECT_EQ(ids.size(), 3u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BatchSettings,
    testing::Values(TSettingsCase{"Defaults", [](TzvDnsBatch&) {},
                                  [](const TzvDnsMessage& m) {
                                    EXPECT_TRUE(m.Header().IsRecursionDesired);
                                    ASSERT_EQ(m.AdditionalRecords().Count(), 1);
                                    EXPECT_EQ(m.AdditionalRecords().Items(0)->RecordType, 41);
                                    const auto* opt = dynamic_cast<const TzvDnsOPTRecord*>(
                                        m.AdditionalRecords().Items(0));
                                    ASSERT_NE(opt, nullptr);
                                    EXPECT_EQ(opt->UDPPayloadSize, 1232);
                                    EXPECT_EQ(m.Queries().Items(0)->RecordType, kzvDnsTypeA);
                                  }},
                    TSettingsCase{"NoEdnsNoRecursion",
                                  [](TzvDnsBatch& b) {
                                    b.SetUseEdns(false);
                                    b.SetIsRecursiveDesired(false);
                                  },
                                  [](const TzvDnsMessage& m) {
                                    EXPECT_FALSE(m.Header().IsRecursionDesired);
                                    EXPECT_EQ(m.AdditionalRecords().Count(), 0);
                                  }},
                    TSettingsCase{"LargerBufferChaosClass",
                                  [](TzvDnsBatch& b) {
                                    b.SetEdnsBufferSize(4096);
                                    b.SetQuestionClass(rcChaos);
                                  },
                                  [](const TzvDnsMessage& m) {
                                    const auto* opt = dynamic_cast<const TzvDnsOPTRecord*>(
                                        m.AdditionalRecords().Items(0));
                                    ASSERT_NE(opt, nullptr);
                                    EXPECT_EQ(opt->UDPPayloadSize, 4096);
                                    EXPECT_EQ(m.Queries().Items(0)->RecordClass, rcChaos);
                                  }}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST(BatchSettings, ValuesAreKeptWithinTheirBounds) {
  TzvDnsBatch batch;
  batch.SetConcurrency(0);
  EXPECT_EQ(batch.Concurrency(), 1);
  batch.SetConcurrency(1000000);
  EXPECT_EQ(batch.Concurrency(), TzvDnsBatch::kMaxConcurrency);
  batch.SetSocketCount(99);
  EXPECT_EQ(batch.SocketCount(), TzvDnsBatch::kMaxSockets);
  batch.SetTries(0);
  EXPECT_EQ(batch.Tries(), 1);
  batch.SetTimeOut(-5);
  EXPECT_EQ(batch.TimeOut(), 1);
  batch.SetEdnsBufferSize(100);
  EXPECT_EQ(batch.EdnsBufferSize(), 512);
}

// ---- Abort ----

TEST(BatchAbort, EndsTheRunFromAnotherThread) {
  TPlayedBatch batch;
  batch.SetTimeOut(20000);
  batch.Respond = [](const TRequest&) { return std::vector<TReply>{}; };
  std::atomic<bool> started{false};
  std::thread stopper([&] {
    while (!started.load()) std::this_thread::sleep_for(1ms);
    std::this_thread::sleep_for(50ms);
    batch.Abort();
  });
  const auto begun = Clock::now();
  std::int64_t read = 0;
  batch.SetServer("127.0.0.1");
  try {
    batch.Run(
        [&](TzvBatchQuestion& question) {
          started = true;
          question.Name = HostName(read++);
          return read <= 500;
        },
        [](const TzvBatchAnswer&) {});
    ADD_FAILURE() << "ran to the end";
  } catch (const EzvSocketError& error) {
    EXPECT_EQ(error.ErrorCode(), kzvErrAborted);
  }
  stopper.join();
  EXPECT_LT(Clock::now() - begun, 2s);
  // The next run is not stopped by the last one's Abort.
  batch.Respond = [](const TRequest& request) {
    return std::vector<TReply>{{request.Socket, AnswerTo(request.Datagram)}};
  };
  EXPECT_EQ(RunHosts(batch, 5).size(), 5u);
}

}  // namespace
