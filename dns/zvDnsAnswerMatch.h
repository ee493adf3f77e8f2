// Whether a received message answers a question that went out: the same ID, the QR bit,
// and the question echoed (name in any letter case, type and class). The query
// component's exchanges and the batch engine (dns/zvDnsBatch.h) both match what arrives
// with it, so that both take and drop alike; they share the reading of a truncated
// answer and of one that comes over a stream too.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "base/Classes.h"

// What a datagram must echo to count as the answer to a request: the request's ID and,
// when it asked one, its first question exactly as it went out (name, type and class as
// wire bytes; requests write names uncompressed).
struct TzvExpectedAnswer {
  std::uint16_t ID = 0;
  bool HasQuestion = false;
  std::array<std::uint8_t, 256 + 4> Question{};
  std::size_t QuestionLength = 0;
};

// The expectation of an encoded request. A request too short for its header, or whose
// first question runs past its end, fails with the codec's size error.
TzvExpectedAnswer ExpectedAnswerOf(std::span<const std::uint8_t> request);

// Whether a datagram from the server answers the request. Anything that cannot be ours
// is refused: too short to carry an ID, another ID, a question (QR clear), another
// question. What is ours but damaged (a cut header, a question that cannot be read) is
// taken, so that decoding reports it instead of the caller waiting for nothing. An error
// reply without a question section, as servers send for requests they cannot parse,
// counts as ours too.
bool IsAnswerTo(std::span<const std::uint8_t> datagram, const TzvExpectedAnswer& expected);

// Whether an answer came with TC set: it did not fit, and the question goes again over TCP.
bool IsTruncatedAnswer(std::span<const std::uint8_t> answer);

// One message as it comes over a stream, behind its length word. `read` appends what
// arrives to the stream, at most `most` bytes (waiting for some first), and is false once
// the peer has closed. Only the length word and exactly the message it announces are
// read: whatever the server sends beyond that is never read, however much it is. Fails
// with the codec's size error for an empty message, and with kzvConnectionReset when the
// stream ends before the message does.
std::vector<std::uint8_t> ReadStreamMessage(
    const std::function<bool(TMemoryStream& received, std::int64_t most)>& read);
