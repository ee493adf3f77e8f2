// Small helpers shared by the transport tests: the code of a socket failure, a UDP client
// connection made as the client component makes it, and byte streams of test data.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "base/Classes.h"
#include "net/zvSocket.h"
#include "net/zvSocketUtils.h"

// The ErrorCode of the EzvSocketError that f raises, or 0 when it raises none.
template <class F>
std::int32_t CodeOf(F f) {
  try {
    f();
  } catch (const EzvSocketError& e) {
    return e.ErrorCode();
  }
  return 0;
}

// A UDP client connection with its stream.
inline std::unique_ptr<TzvUdpClientConnection> NewConnection() {
  auto connection = std::make_unique<TzvUdpClientConnection>();
  connection->SetNetworkStream(std::make_unique<TzvNetworkStream>());
  return connection;
}

// A stream holding the bytes, positioned at its start.
inline std::unique_ptr<TMemoryStream> StreamOf(const std::vector<std::uint8_t>& bytes) {
  auto stream = std::make_unique<TMemoryStream>();
  stream->WriteBuffer(bytes.data(), static_cast<std::int32_t>(bytes.size()));
  stream->SetPosition(0);
  return stream;
}

// Everything the stream holds, whatever its position.
inline std::vector<std::uint8_t> ContentOf(TMemoryStream& stream) {
  return std::vector<std::uint8_t>(stream.Memory(), stream.Memory() + stream.Size());
}
