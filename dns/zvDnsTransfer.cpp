#include "dns/zvDnsTransfer.h"

#include <algorithm>
#include <optional>

#include "base/ScopeExit.h"
#include "base/SysUtils.h"
#include "dns/zvDnsAnswerMatch.h"
#include "dns/zvDnsRecordTypes.h"
#include "dns/zvDnsTsig.h"
#include "dns/zvIdn.h"
#include "dns/zvMessageId.h"

namespace {

[[noreturn]] void Fail(const std::string& text) {
  throw EzvDnsError(text, kzvDnsErrTransfer);
}

std::string Lower(std::string_view name) {
  std::string text = LowerCase(name);
  if (!text.empty() && text.back() == '.') text.pop_back();
  return text;
}

// Whether `name` is the zone's apex or below it.
bool InZone(const std::string& name, const std::string& zone) {
  const std::string lower = Lower(name);
  if (zone.empty()) return true;  // the root's zone holds every name
  return lower == zone || (lower.size() > zone.size() && lower.ends_with(zone) &&
                           lower[lower.size() - zone.size() - 1] == '.');
}

// Where the answer stands: before its first record, inside a whole zone, or in an IXFR's
// difference sequences.
enum class TState { sStart, sFirstSoa, sZone, sDeleting, sAdding, sDone };

}  // namespace

std::vector<std::uint8_t> TzvDnsTransfer::AskDatagram(const TzvDnsExchangeSettings& settings,
                                                      const std::vector<std::uint8_t>& message,
                                                      const TzvExpectedAnswer& expected,
                                                      const std::function<std::int32_t()>& wait,
                                                      std::string& address, std::int32_t& port) {
  TzvDnsExchangeSettings over_udp = settings;
  over_udp.Transport = TzvDnsTransport::dtUdp;
  wire_.BeginExchange(over_udp);
  auto close = ScopeExit([this] { wire_.CloseDatagramExchange(); });
  wire_.OpenDatagramExchange(address, port);
  TMemoryStream request;
  request.WriteBuffer(message.data(), static_cast<std::int64_t>(message.size()));
  request.SetPosition(0);
  wire_.SendDatagram(request);
  for (;;) {
    TMemoryStream received;
    std::string from_address;
    std::int32_t from_port = 0;
    wire_.ReceiveDatagram(received, wait(), from_address, from_port);
    const std::span<const std::uint8_t> bytes(received.Memory(),
                                              static_cast<std::size_t>(received.Size()));
    // Anything else is dropped; the wait for the answer goes on within the time-out.
    if (from_address == address && from_port == port && IsAnswerTo(bytes, expected))
      return {bytes.begin(), bytes.end()};
  }
}

TzvDnsTransferResult TzvDnsTransfer::Run(const TzvDnsExchangeSettings& settings,
                                         const TzvDnsTransferRequest& request,
                                         TzvDnsTransferVisitor& visitor) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point started = clock_.Now();
  TzvDnsTransferResult result;
  TzvDnsExchangeSettings over_stream = settings;
  if (over_stream.Transport != TzvDnsTransport::dtTls)
    over_stream.Transport = TzvDnsTransport::dtTcp;
  // A transfer asks an authoritative server; recursion has no part in it.
  over_stream.RecursionDesired = false;
  const std::string zone = Lower(IdnToAscii(request.Zone));
  const std::int32_t type = request.Incremental ? kzvDnsTypeIXFR : kzvDnsTypeAXFR;
  std::unique_ptr<TzvDnsMessage> question = MakeDnsQuestion(over_stream, request.Zone, type);
  if (request.Incremental) {
    // The copy's serial, in an SOA record of the authority section.
    auto soa = std::make_unique<TzvDnsSOARecord>();
    soa->Name = question->Queries()[0]->Name;
    soa->RecordClass = over_stream.QuestionClass;
    soa->SerialNumber = request.Serial;
    question->Authorities().Add(std::move(soa));
  }
  question->Header().ID = NewMessageID();
  TMemoryStream encoded;
  question->Build(encoded);
  std::vector<std::uint8_t> message(encoded.Memory(), encoded.Memory() + encoded.Size());
  std::vector<std::uint8_t> request_mac;
  if (settings.Tsig != nullptr)
    request_mac = SignTsigMessage(*settings.Tsig, message, TsigNow(*settings.Tsig));
  std::optional<TzvTsigVerifier> verifier;
  if (settings.Tsig != nullptr) verifier.emplace(*settings.Tsig, request_mac);
  const TzvExpectedAnswer expected = ExpectedAnswerOf(message);

  // Each message's wait: the settings' time-out from its start, never past the whole's.
  auto wait = [&] {
    const std::int32_t whole = ::MillisecondsLeft(request.WholeTimeOut, clock_.Now() - started);
    if (whole == 0) RaiseSocketErrorText(SzvTimeoutError, kzvErrTimeout);
    if (whole == -1) return settings.TimeOut;
    return settings.TimeOut == -1 ? whole : std::min(whole, settings.TimeOut);
  };
  TState state = TState::sStart;
  std::uint32_t final_serial = 0;
  TzvDnsExtendedMessage answer;
  // One message of the answer: checked, then its records handed on.
  auto take = [&](const std::vector<std::uint8_t>& bytes) {
    // The messages after the first may leave the question out; each carries the ID.
    const bool without_question = bytes.size() >= 12 && bytes[4] == 0 && bytes[5] == 0 &&
                                  ComposeWord(bytes[0], bytes[1]) == expected.ID &&
                                  (bytes[2] & 0x80) != 0;
    if (bytes.size() < 12 || (!without_question && !IsAnswerTo(bytes, expected)))
      Fail("Message " + std::to_string(result.Messages + 1) +
           " of the transfer does not answer its question");
    ++result.Messages;
    result.Bytes += static_cast<std::int64_t>(bytes.size());
    if (verifier) verifier->Verify(bytes, TsigNow(*settings.Tsig));
    TMemoryStream stream;
    stream.WriteBuffer(bytes.data(), static_cast<std::int64_t>(bytes.size()));
    stream.SetPosition(0);
    answer.Decode(stream);
    if (answer.Header().ResponseCode != 0) throw EzvDnsError(answer.Header().ResponseCode);
    if (answer.Header().OpCode != ocQuery || answer.Queries().Count() > 1)
      Fail("Message " + std::to_string(result.Messages) + " of the transfer is not an answer");
    // Every record is checked before any of the message is handed on: a message with a
    // foreign record shows nothing.
    for (const auto& record : answer.Answers()) {
      if (!InZone(record->Name, zone))
        Fail("The transfer's message " + std::to_string(result.Messages) +
             " carries a record from outside the zone: " + record->Name);
    }
    if (request.MaxRecords > 0 && result.Records + answer.Answers().Count() > request.MaxRecords)
      Fail("The transfer passed --xfr-max-records (" + std::to_string(request.MaxRecords) +
           " records)");
    visitor.OnMessage(result.Messages, result.Records);
    for (const auto& record : answer.Answers()) {
      if (state == TState::sDone) Fail("The transfer's records go on after its closing SOA");
      const bool soa = record->RecordType == kzvDnsTypeSOA;
      const std::uint32_t serial =
          soa ? static_cast<const TzvDnsSOARecord&>(*record).SerialNumber : 0;
      TzvXfrPart part = TzvXfrPart::xpZone;
      switch (state) {
        case TState::sStart:
          if (!soa || Lower(record->Name) != zone)
            Fail("The transfer does not start with the zone's SOA");
          final_serial = serial;
          state = TState::sFirstSoa;
          break;
        case TState::sFirstSoa:
          // IXFR: a second SOA opens the difference sequences; anything else is the
          // whole zone.
          if (request.Incremental && soa) {
            state = TState::sDeleting;
            part = TzvXfrPart::xpDeleted;
            result.Form = TzvXfrForm::xfIncremental;
          } else {
            state = soa ? TState::sDone : TState::sZone;
          }
          break;
        case TState::sZone:
          if (soa) state = TState::sDone;
          break;
        case TState::sDeleting:
          part = TzvXfrPart::xpDeleted;
          if (soa) state = TState::sAdding, part = TzvXfrPart::xpAdded;
          break;
        case TState::sAdding:
          part = TzvXfrPart::xpAdded;
          if (soa && serial == final_serial)
            state = TState::sDone, part = TzvXfrPart::xpZone;
          else if (soa)
            state = TState::sDeleting, part = TzvXfrPart::xpDeleted;
          break;
        case TState::sDone:
          break;
      }
      ++result.Records;
      visitor.OnRecord(*record, part);
    }
    // IXFR: an answer of the one SOA says the copy is up to date.
    if (state == TState::sFirstSoa && request.Incremental) {
      state = TState::sDone;
      result.Form = TzvXfrForm::xfUpToDate;
    }
  };

  // IXFR over UDP first when asked: the answer whole in one datagram, unless it comes
  // truncated or as the lone SOA with which a server says "ask over TCP" (RFC 1995).
  if (request.Incremental && request.DatagramFirst &&
      settings.Transport != TzvDnsTransport::dtTls) {
    std::vector<std::uint8_t> datagram =
        AskDatagram(over_stream, message, expected, wait, result.ServerAddress, result.Port);
    TzvDnsExtendedMessage peek;
    TMemoryStream stream;
    stream.WriteBuffer(datagram.data(), static_cast<std::int64_t>(datagram.size()));
    stream.SetPosition(0);
    peek.Decode(stream);
    const bool lone_soa =
        peek.Header().ResponseCode == 0 && peek.Answers().Count() == 1 &&
        peek.Answers()[0]->RecordType == kzvDnsTypeSOA &&
        static_cast<const TzvDnsSOARecord&>(*peek.Answers()[0]).SerialNumber != request.Serial;
    if (!IsTruncatedAnswer(datagram) && !lone_soa) {
      take(datagram);
      if (state != TState::sDone) Fail("The IXFR answer over UDP does not end with the zone's SOA");
      if (verifier) result.SignedMessages = verifier->Signed();
      result.Transport = TzvDnsTransport::dtUdp;
      result.ElapsedMicroseconds =
          std::chrono::duration_cast<std::chrono::microseconds>(clock_.Now() - started).count();
      return result;
    }
    // Over TCP the same signed question starts the chain anew.
    if (verifier) verifier.emplace(*settings.Tsig, request_mac);
    result.Messages = result.Bytes = 0;
  }

  result.Transport = over_stream.Transport;
  wire_.BeginExchange(over_stream);
  wire_.FindStreamServer(result.ServerAddress, result.Port);
  auto close = ScopeExit([this] { wire_.CloseStreamExchange(); });
  wire_.OpenStreamExchange(result.ServerAddress, result.Port, wait());
  {
    TMemoryStream framed;
    std::vector<std::uint8_t> bytes;
    AppendStreamMessage(message, bytes);
    framed.WriteBuffer(bytes.data(), static_cast<std::int64_t>(bytes.size()));
    framed.SetPosition(0);
    wire_.SendStream(framed);
  }
  auto read = [this](TMemoryStream& received, std::int64_t most) {
    return wire_.ReceiveStream(received, most);
  };
  while (state != TState::sDone) {
    wire_.RestartStreamExchange(wait());
    std::vector<std::uint8_t> bytes;
    try {
      bytes = ReadStreamMessage(read);
    } catch (const EzvSocketError& error) {
      if (error.ErrorCode() != kzvConnectionReset) throw;
      throw EzvSocketError("The server closed the connection before the transfer's end (after " +
                               std::to_string(result.Records) + " records)",
                           kzvConnectionReset);
    }
    take(bytes);
  }
  if (verifier) {
    verifier->Finish();
    result.SignedMessages = verifier->Signed();
  }
  result.ElapsedMicroseconds =
      std::chrono::duration_cast<std::chrono::microseconds>(clock_.Now() - started).count();
  return result;
}
