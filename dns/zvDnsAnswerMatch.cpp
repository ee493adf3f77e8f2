#include "dns/zvDnsAnswerMatch.h"

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "dns/zvDnsMessage.h"
#include "net/zvSocketUtils.h"

namespace {

// A message's question starts right behind its fixed 12-byte header.
constexpr std::size_t kHeaderSize = 12;

// The first question of an encoded message: name and type through the codec, the class
// as its wire word (the codec folds classes it does not know into IN, which would let a
// different class pass for ours). Fails with the codec's error when it cannot be read.
void ReadFirstQuestion(const TzvByteArray& bytes, std::string& name, std::int32_t& type,
                       std::uint16_t& question_class) {
  TzvDnsRecord question;
  std::int32_t position = kHeaderSize;
  question.ReadQuestion(bytes, position);
  std::int32_t class_at = position - 2;
  name = std::move(question.Name);
  type = question.RecordType;
  question_class = ByteArrayReadWord(bytes, class_at);
}

// The question of a datagram compared through the codec: for names that use compression,
// which a straight comparison of labels cannot follow.
bool DecodedQuestionMatches(std::span<const std::uint8_t> datagram,
                            const TzvExpectedAnswer& expected) {
  std::string name;
  std::int32_t type = 0;
  std::uint16_t question_class = 0;
  try {
    ReadFirstQuestion(TzvByteArray(datagram), name, type, question_class);
  } catch (const EzvDnsError&) {
    return true;  // ours but damaged: decoding reports it
  }
  std::vector<std::uint8_t> request(kHeaderSize, 0);
  request[5] = 1;
  request.insert(request.end(), expected.Question.begin(),
                 expected.Question.begin() + static_cast<std::ptrdiff_t>(expected.QuestionLength));
  std::string expected_name;
  std::int32_t expected_type = 0;
  std::uint16_t expected_class = 0;
  ReadFirstQuestion(TzvByteArray(request), expected_name, expected_type, expected_class);
  return type == expected_type && question_class == expected_class && SameText(name, expected_name);
}

std::string_view LabelText(const std::uint8_t* bytes, std::size_t size) {
  return {reinterpret_cast<const char*>(bytes), size};
}

}  // namespace

TzvExpectedAnswer ExpectedAnswerOf(std::span<const std::uint8_t> request) {
  TzvExpectedAnswer expected;
  TzvWireCursor cursor(request, 0);
  expected.ID = cursor.ReadWord();
  cursor.Skip(2);
  if (cursor.ReadWord() == 0) return expected;
  expected.HasQuestion = true;
  // Labels up to the root's zero byte, then type and class.
  std::size_t end = kHeaderSize;
  while (end < request.size() && request[end] != 0) end += 1 + request[end];
  end += 1 + 4;
  if (end > request.size() || end - kHeaderSize > expected.Question.size())
    throw EzvDnsError(SzvDnsInvalidSize, kzvDnsErrInvalidSize);
  expected.QuestionLength = end - kHeaderSize;
  std::copy(request.begin() + kHeaderSize, request.begin() + static_cast<std::ptrdiff_t>(end),
            expected.Question.begin());
  return expected;
}

bool IsAnswerTo(std::span<const std::uint8_t> datagram, const TzvExpectedAnswer& expected) {
  if (datagram.size() < 2) return false;
  TzvWireCursor cursor(datagram, 0);
  if (cursor.ReadWord() != expected.ID) return false;
  if (datagram.size() < kHeaderSize) return true;
  const std::uint16_t flags = cursor.ReadWord();
  if ((flags & 0x8000) == 0) return false;
  if (!expected.HasQuestion) return true;
  const std::uint16_t question_count = cursor.ReadWord();
  if (question_count == 0) return (flags & 0x000F) != 0;
  // The usual echo: the same plain labels, letter case aside, then the same type and
  // class, compared in place without decoding anything.
  std::size_t at = kHeaderSize;
  std::size_t j = 0;
  for (;;) {
    if (at >= datagram.size()) return true;  // cut short: ours but damaged
    const std::uint8_t length = datagram[at];
    if ((length & 0xC0) != 0) return DecodedQuestionMatches(datagram, expected);
    if (at + 1 + length > datagram.size()) return true;
    if (length != expected.Question[j]) return false;
    if (!SameText(LabelText(datagram.data() + at + 1, length),
                  LabelText(expected.Question.data() + j + 1, length)))
      return false;
    at += 1 + length;
    j += 1 + length;
    if (length == 0) break;
  }
  if (at + 4 > datagram.size()) return true;
  return std::equal(datagram.begin() + static_cast<std::ptrdiff_t>(at),
                    datagram.begin() + static_cast<std::ptrdiff_t>(at + 4),
                    expected.Question.begin() + static_cast<std::ptrdiff_t>(j));
}

bool IsTruncatedAnswer(std::span<const std::uint8_t> answer) {
  return answer.size() >= 4 && (answer[2] & 0x02) != 0;
}

std::vector<std::uint8_t> ReadStreamMessage(
    const std::function<bool(TMemoryStream& received, std::int64_t most)>& read) {
  TMemoryStream received;
  std::size_t needed = 2;
  bool length_known = false;
  for (;;) {
    const std::uint8_t* bytes = received.Memory();
    const auto size = static_cast<std::size_t>(received.Size());
    if (!length_known && size >= 2) {
      needed = 2 + ((std::size_t{bytes[0]} << 8) | bytes[1]);
      length_known = true;
      if (needed == 2)
        throw EzvDnsError("The server sent an empty answer over TCP", kzvDnsErrInvalidSize);
    }
    if (length_known && size >= needed) break;
    if (!read(received, static_cast<std::int64_t>(needed - size)))
      RaiseSocketErrorText("The server closed the connection before the answer was complete",
                           kzvConnectionReset);
  }
  return {received.Memory() + 2, received.Memory() + needed};
}
