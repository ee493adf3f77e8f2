#include "dns/zvDnsExchange.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <deque>
#include <vector>

#include "dns/zvDnsAnswerMatch.h"
#include "dns/zvDnsRecordTypes.h"
#include "net/zvSocketUtils.h"
#include "tests/support/MessageBytes.h"

namespace {

using namespace std::chrono_literals;

// A clock that moves only when the wire lets time pass.
class TestClock : public TzvDnsClock {
 public:
  std::chrono::steady_clock::time_point Now() const override { return now; }
  std::chrono::steady_clock::time_point now{};
};

Bytes AnswerTo(const Bytes& request) {
  TzvDnsExtendedMessage message;
  ParseBytes(message, request);
  message.Header().IsQuery = false;
  auto a = std::make_unique<TzvDnsARecord>();
  a->Name = message.Queries().Items(0)->Name;
  a->IPAddress = "192.0.2.7";
  message.Answers().Add(std::move(a));
  return BuildBytes(message);
}

// A server played without sockets, on the test clock. Over UDP it answers the datagram
// numbered `answer_datagram` (from 1; 0: never). Over a stream it answers each burst in
// reverse order, and closes the connection after `close_after` answers (0: never).
class PlayedWire : public TzvDnsWire {
 public:
  explicit PlayedWire(TestClock& clock) : clock_(clock) {}
  int answer_datagram = 1;
  int close_after = 0;
  std::vector<std::chrono::milliseconds> sent_at;
  int connections = 0;

  void OpenDatagramExchange(std::string& address, std::int32_t& port) override {
    address = "192.0.2.1";
    port = 53;
  }
  void SendDatagram(TMemoryStream& request) override {
    sent_at.push_back(
        std::chrono::duration_cast<std::chrono::milliseconds>(clock_.now.time_since_epoch()));
    last_ = Bytes(request.Memory(), request.Memory() + request.Size());
  }
  void ReceiveDatagram(TMemoryStream& answer, std::int32_t time_out, std::string& from,
                       std::int32_t& port) override {
    if (static_cast<int>(sent_at.size()) == answer_datagram && !answered_) {
      answered_ = true;
      const Bytes reply = AnswerTo(last_);
      answer.WriteBuffer(reply.data(), static_cast<std::int64_t>(reply.size()));
      from = "192.0.2.1";
      port = 53;
      return;
    }
    clock_.now += std::chrono::milliseconds(time_out);
    RaiseSocketErrorText(SzvTimeoutError, kzvErrTimeout);
  }
  void CloseDatagramExchange() override {}
  void FindStreamServer(std::string& address, std::int32_t& port) override {
    address = "192.0.2.1";
    port = 53;
  }
  void OpenStreamExchange(const std::string&, std::int32_t, std::int32_t) override {
    ++connections;
    open_ = true;
    answers_given_ = 0;
    unread_.clear();
  }
  void RestartStreamExchange(std::int32_t) override {}
  void SendStream(TMemoryStream& request) override {
    const Bytes bytes(request.Memory() + request.Position(), request.Memory() + request.Size());
    std::vector<Bytes> burst;
    for (std::size_t at = 0; at + 2 <= bytes.size();) {
      const std::size_t length = bytes[at] << 8 | bytes[at + 1];
      burst.emplace_back(bytes.begin() + at + 2, bytes.begin() + at + 2 + length);
      at += 2 + length;
    }
    for (auto it = burst.rbegin(); it != burst.rend(); ++it) {
      if (close_after != 0 && answers_given_ == close_after) break;
      ++answers_given_;
      AppendStreamMessage(AnswerTo(*it), unread_);
    }
  }
  bool ReceiveStream(TMemoryStream& answer, std::int64_t most) override {
    if (unread_.empty()) {
      open_ = false;
      return false;
    }
    const auto count = static_cast<std::size_t>(
        std::min<std::int64_t>(most < 0 ? INT64_MAX : most, std::int64_t(unread_.size())));
    answer.Seek(0, TSeekOrigin::soEnd);
    answer.WriteBuffer(unread_.data(), static_cast<std::int64_t>(count));
    unread_.erase(unread_.begin(), unread_.begin() + static_cast<std::ptrdiff_t>(count));
    return true;
  }
  void CloseStreamExchange() override { open_ = false; }

 private:
  TestClock& clock_;
  Bytes last_;
  Bytes unread_;
  bool answered_ = false;
  bool open_ = false;
  int answers_given_ = 0;
};

TEST(Exchange, DatagramsGoAgainOnTheScheduleAndASilentServerFailsAtTheTimeOut) {
  const struct {
    int answer_datagram;  // 0: the server stays silent
    int tries;
    std::vector<std::chrono::milliseconds> sends;
  } cases[] = {
      {1, 3, {0ms}},
      {3, 3, {0ms, 400ms, 1200ms}},
      {0, 3, {0ms, 400ms, 1200ms}},
      {0, 1, {0ms}},
  };
  for (const auto& c : cases) {
    TestClock clock;
    PlayedWire wire(clock);
    wire.answer_datagram = c.answer_datagram;
    TzvDnsExchange exchange(wire);
    exchange.SetClock(&clock);
    TzvDnsExchangeSettings settings;
    settings.Tries = c.tries;
    settings.TimeOut = 5000;
    auto req = MakeDnsQuestion(settings, "www.example", kzvDnsTypeA);
    if (c.answer_datagram == 0) {
      try {
        exchange.Ask(settings, *req);
        ADD_FAILURE() << "a silent server answered";
      } catch (const EzvSocketError& e) {
        EXPECT_EQ(e.ErrorCode(), kzvErrTimeout);
      }
      EXPECT_EQ(clock.now.time_since_epoch(), 5000ms) << "tries " << c.tries;
    } else {
      const TzvDnsReply reply = exchange.Ask(settings, *req);
      EXPECT_EQ(reply.ResponseCode, 0);
      EXPECT_EQ(reply.Info.Tries, c.answer_datagram);
    }
    EXPECT_EQ(wire.sent_at, c.sends) << "answered by datagram " << c.answer_datagram;
  }
}

TEST(Exchange, PipelinedAnswersOutOfOrderAreMatchedAndAClosedConnectionIsOpenedAgain) {
  for (const int close_after : {0, 3}) {
    TestClock clock;
    PlayedWire wire(clock);
    wire.close_after = close_after;
    TzvDnsExchange exchange(wire);
    exchange.SetClock(&clock);
    TzvDnsExchangeSettings settings;
    settings.Transport = TzvDnsTransport::dtTcp;
    std::vector<std::unique_ptr<TzvDnsMessage>> owned;
    std::vector<TzvDnsMessage*> requests;
    for (const char* name : {"a.example", "b.example", "c.example", "d.example"}) {
      owned.push_back(MakeDnsQuestion(settings, name, kzvDnsTypeA));
      requests.push_back(owned.back().get());
    }
    // A question asked first opens the connection the burst then finds kept.
    exchange.Ask(settings, *requests[0]);
    const std::vector<TzvDnsOutcome> outcomes = exchange.AskAll(settings, requests);
    ASSERT_EQ(outcomes.size(), requests.size());
    for (std::size_t i = 0; i < outcomes.size(); ++i) {
      ASSERT_TRUE(outcomes[i].Answered) << outcomes[i].ErrorText;
      EXPECT_EQ(outcomes[i].Reply.Message->Answers().Items(0)->Name,
                requests[i]->Queries().Items(0)->Name);
    }
    EXPECT_EQ(wire.connections, close_after == 0 ? 1 : 2) << "closing after " << close_after;
  }
}

}  // namespace
