// The status bar's words for each outcome of a lookup: response codes, transport
// failures, input errors and stops, with and without a record of the exchange.
#include "app/LookupOutcome.h"

#include <gtest/gtest.h>

#include <new>

#include "base/SysUtils.h"
#include "dns/zvUtils.h"
#include "net/zvSocketUtils.h"

namespace {

TzvDnsExchangeInfo Exchange(bool answered, int rcode, TzvDnsTransport transport,
                            std::int64_t micros, bool truncated = false) {
  TzvDnsExchangeInfo e;
  e.ServerAddress = "127.0.0.1";
  e.Port = 5353;
  e.Transport = transport;
  e.Truncated = truncated;
  e.Answered = answered;
  e.ResponseCode = rcode;
  e.ElapsedMicroseconds = micros;
  return e;
}

TLookupFailure Failure(TLookupFailureKind kind, int code, const char* text) {
  return {kind, code, text};
}

}  // namespace

TEST(DescribeOutcome, NamesEachOutcomeWithTimeAndTransport) {
  using K = TLookupFailureKind;
  const auto udp = TzvDnsTransport::dtUdp;
  struct TCase {
    TzvDnsExchangeInfo exchange;
    TLookupFailure failure;
    const char* result;
    const char* time;
    const char* transport;
  };
  const TCase cases[] = {
      {Exchange(true, 0, udp, 12'300), {}, "NOERROR", "12 ms", "UDP"},
      {Exchange(true, 0, TzvDnsTransport::dtTcp, 800, true), {}, "NOERROR", "0,8 ms", "TCP"},
      {Exchange(true, 3, udp, 900), Failure(K::kDns, 3, "Name error"), "NXDOMAIN", "0,9 ms", "UDP"},
      {Exchange(true, 5, udp, 900), Failure(K::kDns, 5, "Refused"), "REFUSED", "0,9 ms", "UDP"},
      {Exchange(true, 2, udp, 900), Failure(K::kDns, 2, "Server failure"), "SERVFAIL", "0,9 ms",
       "UDP"},
      {Exchange(true, -1, udp, 900), Failure(K::kDns, -1, "Malformed"), "respuesta no válida",
       "0,9 ms", "UDP"},
      {Exchange(false, -1, udp, 0), Failure(K::kSocket, -1, "Timeout error occured"),
       "sin respuesta", "", "UDP"},
      {Exchange(false, -1, udp, 0), Failure(K::kSocket, 111, "Connection refused"),
       "conexión rechazada", "", "UDP"},
      {Exchange(false, -1, udp, 0), Failure(K::kStopped, -8, "The lookup was stopped"), "detenida",
       "", "UDP"},
      // Nothing recorded of the exchange: the result alone.
      {{}, {}, "NOERROR", "", ""},
      {{}, Failure(K::kDns, 3, "Name error"), "NXDOMAIN", "", ""},
      {{}, Failure(K::kSocket, 11001, "Host not found"), "servidor desconocido", "", ""},
      {{}, Failure(K::kSocket, -3, "Invalid port number"), "puerto no válido", "", ""},
      {{}, Failure(K::kSocket, 99, "Cannot assign"), "error de red", "", ""},
      {{}, Failure(K::kInput, 0, "'5x3' is not a valid integer value"), "datos no válidos", "", ""},
      {{}, Failure(K::kOther, 0, "out of memory"), "error", "", ""},
  };
  for (const TCase& c : cases) {
    const TLookupOutcome outcome = DescribeOutcome(c.exchange, c.failure);
    EXPECT_EQ(outcome.Result, c.result) << c.failure.Text;
    EXPECT_EQ(outcome.Time, c.time) << c.result;
    EXPECT_EQ(outcome.Transport, c.transport) << c.result;
  }
}

TEST(DescribeOutcome, DetailsNameTheServerAndTheWholeFailure) {
  const TLookupOutcome answered =
      DescribeOutcome(Exchange(true, 0, TzvDnsTransport::dtTcp, 2'000, true), {});
  EXPECT_NE(answered.Details.find("127.0.0.1"), std::string::npos) << answered.Details;
  EXPECT_NE(answered.Details.find("5353"), std::string::npos) << answered.Details;
  EXPECT_NE(answered.Details.find("truncada"), std::string::npos) << answered.Details;
  EXPECT_EQ(answered.Details.find("Error"), std::string::npos) << answered.Details;

  const TLookupOutcome refused =
      DescribeOutcome(Exchange(false, -1, TzvDnsTransport::dtUdp, 0),
                      {TLookupFailureKind::kSocket, 111, "Connection refused"});
  EXPECT_NE(refused.Details.find("Error: Connection refused (código 111)"), std::string::npos)
      << refused.Details;
}

TEST(ClassifyFailure, SortsTheLibrarysFailuresFromOthers) {
  const auto sort = [](auto failure) { return ClassifyFailure(std::make_exception_ptr(failure)); };
  EXPECT_EQ(ClassifyFailure(nullptr).Kind, TLookupFailureKind::kNone);

  const TLookupFailure dns = sort(EzvDnsError(3));
  EXPECT_EQ(dns.Kind, TLookupFailureKind::kDns);
  EXPECT_EQ(dns.Code, 3);
  EXPECT_EQ(dns.Text, DnsResponseCodeText(3));

  EXPECT_EQ(sort(EzvSocketError(SzvTimeoutError, kzvErrTimeout)).Kind, TLookupFailureKind::kSocket);
  EXPECT_EQ(sort(EzvSocketError(SzvAborted, kzvErrAborted)).Kind, TLookupFailureKind::kStopped);
  EXPECT_EQ(sort(EConvertError("'x' is not a valid integer value")).Kind,
            TLookupFailureKind::kInput);
  EXPECT_EQ(sort(std::bad_alloc()).Kind, TLookupFailureKind::kOther);
  EXPECT_EQ(ClassifyFailure(std::make_exception_ptr(42)).Kind, TLookupFailureKind::kOther);
}

TEST(FormatElapsed, TenthsBelowTenMillisecondsAndSecondsPastTen) {
  EXPECT_EQ(FormatElapsed(0), "0,0 ms");
  EXPECT_EQ(FormatElapsed(449), "0,4 ms");
  EXPECT_EQ(FormatElapsed(9'949), "9,9 ms");
  EXPECT_EQ(FormatElapsed(12'499), "12 ms");
  EXPECT_EQ(FormatElapsed(1'500'000), "1500 ms");
  EXPECT_EQ(FormatElapsed(12'340'000), "12,3 s");
  EXPECT_EQ(FormatElapsed(-5), "0,0 ms");
  EXPECT_EQ(ResponseCodeName(10), "NOTZONE");
  EXPECT_EQ(ResponseCodeName(12), "RCODE 12");
}
