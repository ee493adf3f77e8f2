// Zone transfers (AXFR, IXFR): one question over a stream connection of its own, then
// any number of answer messages, each checked (ID, question, response code, signature,
// every record inside the zone) and handed record by record to a visitor as it comes,
// so that no zone, however large, is ever held in memory.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "dns/zvDnsAnswerMatch.h"
#include "dns/zvDnsExchange.h"

inline constexpr std::int32_t kzvDnsTypeIXFR = 251;
inline constexpr std::int32_t kzvDnsTypeAXFR = 252;

// The failures of a transfer beside the transport's and the codec's: a message that
// does not belong to it, a record from outside the zone, a limit passed.
inline constexpr std::int32_t kzvDnsErrTransfer = -41;

struct TzvDnsTransferRequest {
  std::string Zone;
  // AXFR, or IXFR from the serial the copy has.
  bool Incremental = false;
  std::uint32_t Serial = 0;
  // Milliseconds for the whole transfer (-1: none); each message's wait is the
  // settings' TimeOut.
  std::int32_t WholeTimeOut = -1;
  // The most records taken (0: unlimited).
  std::int64_t MaxRecords = 0;
  // IXFR: asked over UDP first, over TCP when the answer does not fit a datagram.
  bool DatagramFirst = false;
};

// Where a record of the answer stands.
enum class TzvXfrPart {
  xpZone,     // the whole zone (AXFR, or an IXFR answered in full)
  xpDeleted,  // an IXFR's difference: a record the copy deletes
  xpAdded     // one it adds
};

// How an IXFR was answered.
enum class TzvXfrForm { xfFull, xfIncremental, xfUpToDate };

class TzvDnsTransferVisitor {
 public:
  virtual ~TzvDnsTransferVisitor() = default;
  // One record, as it arrives; the SOA records that open and close the answer too.
  virtual void OnRecord(const TzvDnsRecord& record, TzvXfrPart part) = 0;
  // A message was checked; its records follow.
  virtual void OnMessage(std::int64_t /*messages*/, std::int64_t /*records*/) {}
};

struct TzvDnsTransferResult {
  std::int64_t Records = 0, Messages = 0, Bytes = 0;
  std::int64_t ElapsedMicroseconds = 0;
  std::string ServerAddress;
  std::int32_t Port = 0;
  TzvXfrForm Form = TzvXfrForm::xfFull;
  // TCP (or TLS); UDP for an IXFR answered in one datagram.
  TzvDnsTransport Transport = TzvDnsTransport::dtTcp;
  // Signed messages checked (with a key).
  int SignedMessages = 0;
};

class TzvDnsTransfer {
 public:
  TzvDnsTransfer(TzvDnsWire& wire, const TzvDnsClock& clock) : wire_(wire), clock_(clock) {}
  // Runs the transfer over TCP, or TLS when the settings say so, to its end (the closing
  // SOA). Fails with EzvSocketError (no connection, a silence past a time-out, a
  // connection closed early), EzvDnsError (an error reply: its code; a malformed
  // message; kzvDnsErrTsig; kzvDnsErrTransfer). The visitor has seen every record
  // before the failing message, none of it.
  TzvDnsTransferResult Run(const TzvDnsExchangeSettings& settings,
                           const TzvDnsTransferRequest& request, TzvDnsTransferVisitor& visitor);

 private:
  // The question once over UDP; the answer's bytes (the first datagram that answers it).
  std::vector<std::uint8_t> AskDatagram(const TzvDnsExchangeSettings& settings,
                                        const std::vector<std::uint8_t>& message,
                                        const TzvExpectedAnswer& expected,
                                        const std::function<std::int32_t()>& wait,
                                        std::string& address, std::int32_t& port);

  TzvDnsWire& wire_;
  const TzvDnsClock& clock_;
};
