// Domain names between their wire form and their text form. The text is the labels joined
// by dots, the root being the empty text; a dot or backslash inside a label is written
// "\." or "\\" as dig writes it, so that one label "a.b" never reads as two. Every record
// of the codec reads and writes its names through these two functions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "dns/zvUtils.h"

// RFC 1035 limits: a longer label would have a length byte with its top bits set, which a
// reader takes for a compression pointer.
inline constexpr std::size_t kzvDnsMaxLabelOctets = 63;
inline constexpr std::size_t kzvDnsMaxNameOctets = 255;

// Decodes the name that starts at `position` of `message` into `text`, following
// compression pointers (forward ones too) anywhere inside the message. Returns the offset
// behind the name's own bytes: behind its zero byte, or behind the first pointer met.
// A name that leaves the message, holds more than 255 octets or follows more pointers than
// a real name can need fails with the codec's size error and leaves `text` as it was.
std::size_t DecodeDnsName(std::span<const std::uint8_t> message, std::size_t position,
                          std::string& text);

// Writes the name's wire form, uncompressed, reading the escapes of dig's text form: "\."
// and "\\" are a dot and a backslash inside a label, "\DDD" the octet of that decimal
// value, a backslash before any other character that character. "." alone is the root.
// Refuses (EzvDnsError, the encoding's code) a name over 255 octets, then one with an empty
// label, then one with a label over 63 octets, and a broken escape.
void EncodeDnsName(std::string_view name, TzvWireWriter& writer);
