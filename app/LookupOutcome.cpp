#include "app/LookupOutcome.h"

#include <array>
#include <cstdio>
#include <vector>

#include "app/WindowTexts.h"
#include "base/SysUtils.h"
#include "cli/ResultText.h"
#include "dns/zvUtils.h"
#include "net/zvHttps.h"
#include "net/zvSocketUtils.h"
#include "net/zvTls.h"

namespace {

// System error numbers a person meets when a server cannot be reached.
constexpr std::int32_t kConnectionRefused = 111;   // ECONNREFUSED: nothing listens there
constexpr std::int32_t kNetworkUnreachable = 101;  // ENETUNREACH
constexpr std::int32_t kHostUnreachable = 113;     // EHOSTUNREACH

std::string SocketFailureName(std::int32_t code) {
  switch (code) {
    case kzvErrTimeout:
      return "sin respuesta";
    case kConnectionRefused:
      return "conexión rechazada";
    case kzvErrAborted:
      return "detenida";
    case kzvErrInvalidHostAddress:
      return "dirección no válida";
    case kzvErrTlsCertificate:
      return "certificado rechazado";
    case kzvErrTlsHandshake:
    case kzvErrTlsUnavailable:
      return "fallo de TLS";
    case kzvErrHttp:
      return "respuesta HTTP no válida";
    case kzvErrInvalidPort:
      return "puerto no válido";
    case kNetworkUnreachable:
      return "red inalcanzable";
    case kHostUnreachable:
      return "servidor inalcanzable";
    case kzvHostNotFound:
    case kzvTryAgain:
    case kzvNoRecovery:
    case kzvNoData:
      return "servidor desconocido";
    default:
      return "error de red";
  }
}

// Twelve bits with EDNS's extended response codes.
bool IsResponseCode(std::int32_t code) {
  return code >= 1 && code <= 4095;
}

std::string ResultOf(const TzvDnsExchangeInfo& exchange, const TLookupFailure& failure) {
  switch (failure.Kind) {
    case TLookupFailureKind::kNone:
      // The library fails on every response code but 0, so a lookup that returned had
      // NOERROR even when its exchange was not recorded.
      return DnsResponseCodeName(
          exchange.Answered && exchange.ResponseCode > 0 ? exchange.ResponseCode : 0);
    case TLookupFailureKind::kDns:
      if (IsResponseCode(failure.Code)) return DnsResponseCodeName(failure.Code);
      if (exchange.Answered && IsResponseCode(exchange.ResponseCode))
        return DnsResponseCodeName(exchange.ResponseCode);
      return exchange.Answered ? "respuesta no válida" : "error de DNS";
    case TLookupFailureKind::kSocket:
      return SocketFailureName(failure.Code);
    case TLookupFailureKind::kInput:
      return "datos no válidos";
    case TLookupFailureKind::kStopped:
      return "detenida";
    case TLookupFailureKind::kOther:
      break;
  }
  return "error";
}

}  // namespace

TLookupFailure ClassifyFailure(std::exception_ptr failure) {
  TLookupFailure sorted;
  if (!failure) return sorted;
  try {
    std::rethrow_exception(failure);
  } catch (const EzvDnsError& e) {
    sorted = {TLookupFailureKind::kDns, e.ErrorCode(), e.what()};
  } catch (const EzvSocketError& e) {
    sorted = {
        e.ErrorCode() == kzvErrAborted ? TLookupFailureKind::kStopped : TLookupFailureKind::kSocket,
        e.ErrorCode(), e.what()};
  } catch (const EConvertError& e) {
    sorted = {TLookupFailureKind::kInput, 0, e.what()};
  } catch (const std::exception& e) {
    sorted = {TLookupFailureKind::kOther, 0, e.what()};
  } catch (...) {
    sorted = {TLookupFailureKind::kOther, 0, "unknown failure"};
  }
  return sorted;
}

std::string FormatElapsed(std::int64_t microseconds) {
  if (microseconds < 0) microseconds = 0;
  char text[32];
  if (microseconds < 10'000) {
    // Below 10 ms a tenth tells a loopback answer from a LAN one.
    const std::int64_t tenths = (microseconds + 50) / 100;
    std::snprintf(text, sizeof text, "%lld,%lld ms", static_cast<long long>(tenths / 10),
                  static_cast<long long>(tenths % 10));
  } else if (microseconds < 10'000'000) {
    std::snprintf(text, sizeof text, "%lld ms",
                  static_cast<long long>((microseconds + 500) / 1000));
  } else {
    const std::int64_t tenths = (microseconds + 50'000) / 100'000;
    std::snprintf(text, sizeof text, "%lld,%lld s", static_cast<long long>(tenths / 10),
                  static_cast<long long>(tenths % 10));
  }
  return text;
}

TLookupOutcome DescribeOutcome(const TzvDnsExchangeInfo& exchange, const TLookupFailure& failure) {
  TLookupOutcome outcome;
  outcome.Result = ResultOf(exchange, failure);
  const bool exchanged = !exchange.ServerAddress.empty();
  if (exchanged) {
    const std::string transport = DnsTransportName(exchange.Transport);
    outcome.Details = "Servidor " + EscapedName(exchange.ServerAddress) + ", puerto " +
                      std::to_string(exchange.Port) + ", por " + transport;
    if (exchange.Truncated) outcome.Details += " (la respuesta UDP llegó truncada)";
    outcome.Details += "\n";
    // What it took beyond one plain datagram is worth a word in the bar itself: a lossy
    // path or a server that does not speak EDNS is something to know about.
    std::vector<std::string> notes;
    if (exchange.Tries > 1) notes.push_back(std::to_string(exchange.Tries) + " intentos");
    if (exchange.EdnsFallback) notes.emplace_back("sin EDNS");
    outcome.Transport = transport;
    for (std::size_t i = 0; i < notes.size(); ++i)
      outcome.Transport += (i == 0 ? " (" : ", ") + notes[i] + (i + 1 == notes.size() ? ")" : "");
    if (exchange.Tries > 0)
      outcome.Details += "Datagramas enviados: " + std::to_string(exchange.Tries) + "\n";
    if (exchange.EdnsFallback)
      outcome.Details += "El servidor rechazó la pregunta con EDNS; se repitió sin EDNS\n";
  }
  // An error reply says in the bar why the resolver failed, when it said so.
  if (failure.Kind == TLookupFailureKind::kDns && exchange.Answered &&
      IsResponseCode(exchange.ResponseCode) && !exchange.ExtendedErrors.empty())
    outcome.Result += zvWindowTexts::kExtendedErrorSeparator +
                      ExtendedErrorTitle(exchange.ExtendedErrors.front());
  outcome.Details += "Resultado: " + outcome.Result;
  if (exchanged && exchange.Answered) {
    outcome.Time = FormatElapsed(exchange.ElapsedMicroseconds);
    outcome.Details += " en " + outcome.Time;
  }
  if (exchange.Answered) {
    for (const TzvExtendedError& error : exchange.ExtendedErrors)
      outcome.Details +=
          std::string("\n") + zvWindowTexts::kExtendedErrorLine + ExtendedErrorSummary(error);
    if (exchange.AuthenticData)
      outcome.Details += std::string("\n") + zvWindowTexts::kResolverAuthenticated;
  }
  if (failure.Kind != TLookupFailureKind::kNone) {
    // The message may quote what was typed or received: shown by the formatters' rule.
    outcome.Details += "\nError: " + EscapedName(failure.Text);
    if (failure.Code != 0) outcome.Details += " (código " + std::to_string(failure.Code) + ")";
  }
  return outcome;
}

std::string DescribeWait(const std::string& server, const std::string& port) {
  return "Consultando " + server + ", puerto " + port + "…";
}

TDnssecOutcome DescribeDnssec(const TzvDnssecResult& result, bool resolver_authenticated) {
  TDnssecOutcome outcome;
  switch (result.Verdict) {
    case TzvDnssecVerdict::Secure:
      outcome.Text = "DNSSEC: segura";
      outcome.Details = "Firmada: la cadena de confianza llega desde el ancla hasta la respuesta";
      break;
    case TzvDnssecVerdict::Insecure:
      outcome.Text = "DNSSEC: insegura";
      outcome.Details = "Sin firmar: una delegación sin DS prueba que la zona no firma";
      break;
    case TzvDnssecVerdict::Bogus:
      outcome.Text = "DNSSEC: falsa";
      outcome.Details = "Firmada pero falsa: no se puede confiar en esta respuesta";
      outcome.Alarm = true;
      break;
    case TzvDnssecVerdict::Indeterminate:
      outcome.Text = "DNSSEC: indeterminada";
      outcome.Details = "No se pudo reunir lo que la prueba necesita";
      break;
  }
  // The reason and the chain come from the library in English, as delv gives them; they
  // may quote names from the wire, shown by the formatters' rule.
  if (!result.Reason.empty()) outcome.Details += "\nMotivo: " + EscapedName(result.Reason);
  // A chain longer than a tooltip can show is cut: the whole of it is in pellamar-cli
  // --verbose.
  constexpr std::size_t kMostChainLines = 12;
  if (!result.Chain.empty()) outcome.Details += std::string("\n") + zvWindowTexts::kDnssecSteps;
  for (std::size_t i = 0; i < result.Chain.size() && i < kMostChainLines; ++i)
    outcome.Details += "\n" + EscapedName(result.Chain[i]);
  if (result.Chain.size() > kMostChainLines) outcome.Details += "\n…";
  if (resolver_authenticated)
    outcome.Details += std::string("\n") + zvWindowTexts::kResolverAuthenticated;
  return outcome;
}
