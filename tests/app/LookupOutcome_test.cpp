// The status bar's words for each outcome of a lookup, with and without a record of the
// exchange, and the sorting of the failures that lead to them.
#include "app/LookupOutcome.h"

#include <gtest/gtest.h>

#include <new>

#include "base/SysUtils.h"
#include "dns/zvUtils.h"
#include "net/zvSocketUtils.h"

TEST(DescribeOutcome, NamesEachOutcomeWithItsTimeTransportAndDetails) {
  using K = TLookupFailureKind;
  const TzvDnsExchangeInfo answered{"127.0.0.1", 5353,  TzvDnsTransport::dtUdp, false, true,
                                    0,           12'300};
  const TzvDnsExchangeInfo silent{"127.0.0.1", 5353, TzvDnsTransport::dtUdp, false, false, -1, 0};
  const TzvDnsExchangeInfo retried{"127.0.0.1", 5353, TzvDnsTransport::dtTcp, true, true, 0, 800};
  struct TCase {
    TzvDnsExchangeInfo exchange;
    TLookupFailure failure;
    const char *result, *time, *transport;
  };
  const TCase cases[] = {
      {answered, {}, "NOERROR", "12 ms", "UDP"},
      {retried, {}, "NOERROR", "0,8 ms", "TCP"},
      {answered, {K::kDns, 3, "Name error"}, "NXDOMAIN", "12 ms", "UDP"},
      {answered, {K::kDns, 5, "Refused"}, "REFUSED", "12 ms", "UDP"},
      {answered, {K::kDns, -1, "Malformed"}, "respuesta no válida", "12 ms", "UDP"},
      {silent, {K::kSocket, -1, "Timeout error occured"}, "sin respuesta", "", "UDP"},
      {silent, {K::kSocket, 111, "Connection refused"}, "conexión rechazada", "", "UDP"},
      {silent, {K::kStopped, -8, "The lookup was stopped"}, "detenida", "", "UDP"},
      // Nothing recorded of the exchange: the result alone.
      {{}, {}, "NOERROR", "", ""},
      {{}, {K::kSocket, 11001, "Host not found"}, "servidor desconocido", "", ""},
      {{}, {K::kInput, 0, "'5x3' is not a valid integer value"}, "datos no válidos", "", ""},
  };
  for (const TCase& c : cases) {
    const TLookupOutcome outcome = DescribeOutcome(c.exchange, c.failure);
    EXPECT_EQ(outcome.Result, c.result) << c.failure.Text;
    EXPECT_EQ(outcome.Time, c.time) << c.result;
    EXPECT_EQ(outcome.Transport, c.transport) << c.result;
  }
  const std::string details =
      DescribeOutcome(retried, {K::kSocket, 111, "Connection refused"}).Details;
  for (const char* part : {"127.0.0.1", "5353", "truncada", "Connection refused (código 111)"})
    EXPECT_NE(details.find(part), std::string::npos) << part << " not in " << details;
}

TEST(DescribeOutcome, RetriesAndAFallbackWithoutEdnsAreShownBesideTheTransport) {
  TzvDnsExchangeInfo exchange{"127.0.0.1", 53, TzvDnsTransport::dtUdp, false, true, 0, 900'000};
  exchange.Tries = 1;
  TLookupOutcome outcome = DescribeOutcome(exchange, {});
  EXPECT_EQ(outcome.Transport, "UDP");
  EXPECT_NE(outcome.Details.find("Datagramas enviados: 1"), std::string::npos);
  exchange.Tries = 3;
  EXPECT_EQ(DescribeOutcome(exchange, {}).Transport, "UDP (3 intentos)");
  exchange.EdnsFallback = true;
  outcome = DescribeOutcome(exchange, {});
  EXPECT_EQ(outcome.Transport, "UDP (3 intentos, sin EDNS)");
  EXPECT_NE(outcome.Details.find("se repitió sin EDNS"), std::string::npos);
  exchange.Tries = 1;
  EXPECT_EQ(DescribeOutcome(exchange, {}).Transport, "UDP (sin EDNS)");
  // An extended response code is named too.
  EXPECT_EQ(DescribeOutcome(exchange, {TLookupFailureKind::kDns, 16, "Bad OPT version"}).Result,
            "BADVERS");
}

TEST(ClassifyFailure, SortsTheLibrarysFailuresFromOthers) {
  const auto kind = [](auto failure) {
    return ClassifyFailure(std::make_exception_ptr(failure)).Kind;
  };
  EXPECT_EQ(ClassifyFailure(nullptr).Kind, TLookupFailureKind::kNone);
  EXPECT_EQ(ClassifyFailure(std::make_exception_ptr(EzvDnsError(3))).Code, 3);
  EXPECT_EQ(kind(EzvDnsError(3)), TLookupFailureKind::kDns);
  EXPECT_EQ(kind(EzvSocketError(SzvTimeoutError, kzvErrTimeout)), TLookupFailureKind::kSocket);
  EXPECT_EQ(kind(EzvSocketError(SzvAborted, kzvErrAborted)), TLookupFailureKind::kStopped);
  EXPECT_EQ(kind(EConvertError("'x' is not a valid integer value")), TLookupFailureKind::kInput);
  EXPECT_EQ(kind(std::bad_alloc()), TLookupFailureKind::kOther);
}

TEST(FormatElapsed, TenthsBelowTenMillisecondsAndSecondsPastTen) {
  EXPECT_EQ(FormatElapsed(449), "0,4 ms");
  EXPECT_EQ(FormatElapsed(9'949), "9,9 ms");
  EXPECT_EQ(FormatElapsed(12'499), "12 ms");
  EXPECT_EQ(FormatElapsed(12'340'000), "12,3 s");
  EXPECT_EQ(DnsResponseCodeName(12), "RCODE12");
}

TEST(DescribeDnssec, OneSpanishWordPerVerdictAndOnlyForgeryRaisesTheAlarm) {
  using V = TzvDnssecVerdict;
  const std::pair<V, const char*> words[] = {{V::Secure, "DNSSEC: segura"},
                                             {V::Insecure, "DNSSEC: insegura"},
                                             {V::Bogus, "DNSSEC: falsa"},
                                             {V::Indeterminate, "DNSSEC: indeterminada"}};
  for (const auto& [verdict, text] : words) {
    const TDnssecOutcome outcome = DescribeDnssec({verdict, "", {}});
    EXPECT_EQ(outcome.Text, text);
    EXPECT_EQ(outcome.Alarm, verdict == V::Bogus) << text;
    EXPECT_EQ(outcome.Details.find("Motivo"), std::string::npos) << text;
  }
  // The reason comes from the wire's names: nothing in it reaches the tooltip raw. A long
  // chain is cut.
  TzvDnssecResult bogus{V::Bogus, "www\x1b[2J.example/A: RRSIG has expired", {}};
  for (int i = 0; i < 20; ++i) bogus.Chain.push_back("step " + std::to_string(i));
  const TDnssecOutcome outcome = DescribeDnssec(bogus);
  EXPECT_NE(outcome.Details.find("Motivo: www\\027[2J.example/A: RRSIG has expired"),
            std::string::npos)
      << outcome.Details;
  EXPECT_NE(outcome.Details.find("step 11\n…"), std::string::npos) << outcome.Details;
  EXPECT_EQ(outcome.Details.find("step 12"), std::string::npos);
}

TEST(DescribeOutcome, AnErrorReplysExtendedErrorNamesItInTheBarAndEveryOneIsInTheTooltip) {
  TzvDnsExchangeInfo exchange{"127.0.0.54", 53, TzvDnsTransport::dtUdp, false, true, 2, 900};
  exchange.ExtendedErrors = {{9, "no SEP\x1b[2J"}, {60000, ""}};
  const TLookupOutcome failed =
      DescribeOutcome(exchange, {TLookupFailureKind::kDns, 2, "Server failure"});
  EXPECT_EQ(failed.Result, "SERVFAIL — DNSKEY Missing");
  EXPECT_NE(failed.Details.find("Error extendido: 9 (DNSKEY Missing): no SEP\\027[2J\nError "
                                "extendido: 60000"),
            std::string::npos)
      << failed.Details;
  // A successful answer keeps its result; what the resolver says of it is in the tooltip.
  exchange.ResponseCode = 0;
  exchange.ExtendedErrors = {{3, ""}};
  exchange.AuthenticData = true;
  const TLookupOutcome stale = DescribeOutcome(exchange, {});
  EXPECT_EQ(stale.Result, "NOERROR");
  EXPECT_NE(stale.Details.find("Error extendido: 3 (Stale Answer)"), std::string::npos);
  EXPECT_NE(stale.Details.find("bit AD"), std::string::npos);
  EXPECT_NE(DescribeDnssec({}, true).Details.find("bit AD"), std::string::npos);
  EXPECT_EQ(DescribeDnssec({}).Details.find("bit AD"), std::string::npos);
}
