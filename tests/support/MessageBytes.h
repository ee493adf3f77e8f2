// A message to and from its wire bytes, for the codec's tests.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "dns/zvDnsMessage.h"

using Bytes = std::vector<std::uint8_t>;

inline void ParseBytes(TzvDnsMessage& message, std::span<const std::uint8_t> bytes) {
  TMemoryStream stream;
  stream.WriteBuffer(bytes.data(), static_cast<std::int32_t>(bytes.size()));
  stream.SetPosition(0);
  message.Parse(stream);
}

inline Bytes BuildBytes(TzvDnsMessage& message) {
  TMemoryStream stream;
  message.Build(stream);
  return Bytes(stream.Memory(), stream.Memory() + stream.Size());
}
