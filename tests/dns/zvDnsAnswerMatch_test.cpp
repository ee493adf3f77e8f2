// Which datagrams count as the answer to a request: one table of replies to the same
// question, each with the verdict its fault calls for.
#include "dns/zvDnsAnswerMatch.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "dns/zvUtils.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

const Bytes kRequest = {
    0x12, 0x34,                                        // ID
    0x01, 0x00,                                        // RD
    0x00, 0x01, 0x00, 0x00,                            // QDCOUNT 1, ANCOUNT 0
    0x00, 0x00, 0x00, 0x00,                            // NSCOUNT 0, ARCOUNT 0
    0x02, 'b',  'b',  0x04, 't', 'e', 's', 't', 0x00,  // QNAME bb.test
    0x00, 0x01, 0x00, 0x01,                            // QTYPE A, QCLASS IN
};

// The request's echo with QR set: the plain answer every case starts from.
Bytes Echo() {
  Bytes answer = kRequest;
  answer[2] = 0x81;
  answer[3] = 0x80;
  return answer;
}

Bytes With(Bytes bytes, std::size_t at, std::uint8_t value) {
  bytes[at] = value;
  return bytes;
}

Bytes Cut(Bytes bytes, std::size_t size) {
  bytes.resize(size);
  return bytes;
}

// The question as a pointer to a copy of the name placed after it (a compressed echo).
Bytes CompressedEcho(std::uint8_t first_letter) {
  const Bytes echo = Echo();
  Bytes answer(echo.begin(), echo.begin() + 12);
  answer.insert(answer.end(), {0xC0, 0x12, 0x00, 0x01, 0x00, 0x01});
  answer.insert(answer.end(), {0x02, first_letter, 'b', 0x04, 't', 'e', 's', 't', 0x00});
  return answer;
}

struct TMatchCase {
  const char* Name;
  Bytes Datagram;
  bool Taken;
};

class AnswerMatch : public testing::TestWithParam<TMatchCase> {};

TEST_P(AnswerMatch, TakesOnlyWhatAnswersTheRequest) {
  const TzvExpectedAnswer expected = ExpectedAnswerOf(kRequest);
  EXPECT_EQ(IsAnswerTo(GetParam().Datagram, expected), GetParam().Taken);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AnswerMatch,
    testing::Values(TMatchCase{"PlainEcho", Echo(), true},
                    TMatchCase{"NameInOtherCase", With(Echo(), 13, 'B'), true},
                    TMatchCase{"CompressedEcho", CompressedEcho('b'), true},
                    TMatchCase{"CutHeaderWithOurId", Cut(Echo(), 6), true},
                    TMatchCase{"CutInsideTheName", Cut(Echo(), 16), true},
                    TMatchCase{"ErrorWithoutQuestion", With(With(Cut(Echo(), 12), 5, 0), 3, 0x81),
                               true},
                    TMatchCase{"TooShortForAnId", Cut(Echo(), 1), false},
                    TMatchCase{"OtherId", With(Echo(), 1, 0x35), false},
                    TMatchCase{"QrClear", With(Echo(), 2, 0x01), false},
                    TMatchCase{"OtherName", With(Echo(), 14, 'c'), false},
                    TMatchCase{"OtherType", With(Echo(), 22, 0x1C), false},
                    TMatchCase{"OtherClass", With(Echo(), 24, 0x03), false},
                    TMatchCase{"CompressedOtherName", CompressedEcho('c'), false},
                    TMatchCase{"NoErrorWithoutQuestion", With(Cut(Echo(), 12), 5, 0), false}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST(ExpectedAnswer, RefusesARequestWhoseQuestionRunsPastItsEnd) {
  EXPECT_THROW(ExpectedAnswerOf(Cut(kRequest, 20)), EzvDnsError);
  EXPECT_THROW(ExpectedAnswerOf(Cut(kRequest, 3)), EzvDnsError);
}

}  // namespace
