// The EDNS options a client adds to its questions for the sake of the exchange rather
// than of the question: its cookie, the padding that hides a question's length inside an
// encrypted channel, and the keepalive that asks a server how long it keeps an idle
// connection. They are put in at the moment of sending, once the server and the transport
// are known, and each sending replaces what an earlier one put in.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "dns/zvDnsOptRecord.h"

// Questions over an encrypted channel are padded to a multiple of this: the block that
// hides most of a name's length for the least added bytes.
inline constexpr std::int32_t kzvDefaultPaddingBlock = 128;
inline constexpr std::int32_t kzvMostPaddingBlock = 4096;

// The message's OPT record, to change; null without one.
TzvDnsOPTRecord* MutableOptRecord(TzvDnsMessage& message);

// Replaces the options of `code` in the message's OPT record (if it has one) by one with
// `data`, or, without data, only takes them out.
void PutEdnsOption(TzvDnsMessage& message, std::uint16_t code,
                   std::optional<std::vector<std::uint8_t>> data);

// Pads the message (it must have its OPT record, and every other option already) so that
// its encoded length is a multiple of `block`; block 0 takes the padding out.
void PadMessage(TzvDnsMessage& message, std::int32_t block);

// The idle time-out a server gave in an answer's keepalive option; none when the option
// is missing or is not the two bytes an answer's must be.
std::optional<std::chrono::milliseconds> KeepaliveTimeOut(const TzvDnsMessage& answer);
