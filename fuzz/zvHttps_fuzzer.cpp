// Plays a hostile DNS over HTTPS server: the input's first byte picks HTTP/2 or HTTP/1.1
// and POST or GET, the second how the rest is cut into the pieces the server sends. Each
// exchange either gives a non-empty body of at most 65,535 bytes or fails with the
// HTTP failure or the early close, never anything else, and never reads past the input.
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/FuzzCheck.h"
#include "net/zvHttps.h"
#include "net/zvSocketUtils.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const bool http2 = (data[0] & 1) != 0;
  TzvHttpsRequest request;
  request.Authority = "dns.pellamar.test";
  request.Get = (data[0] & 2) != 0;
  request.Message = {0x00, 0x00, 0x01, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                     0x01, 'x',  0x00, 0x00, 0x01, 0x00, 0x01};
  const std::size_t piece = 1 + data[1] % 64;
  std::size_t served = 2;
  TzvHttpsChannel channel;
  channel.Write = [](const std::uint8_t*, std::size_t) {};
  channel.Read = [&](TMemoryStream& received) {
    const std::size_t part = std::min(piece, size - served);
    received.WriteBuffer(data + served, static_cast<std::int64_t>(part));
    served += part;
    return served < size;
  };
  try {
    const TzvHttpsResponse response = ExchangeOverHttps(channel, http2, request);
    FUZZ_CHECK(!response.Body.empty() && response.Body.size() <= kzvHttpsMostAnswer);
  } catch (const EzvSocketError& e) {
    FUZZ_CHECK(e.ErrorCode() == kzvErrHttp || e.ErrorCode() == kzvConnectionReset);
  }
  return 0;
}
