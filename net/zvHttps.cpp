#include "net/zvHttps.h"

#include "net/zvHttpsSession.h"
#include "net/zvSocketUtils.h"

TzvHttpsResponse ExchangeOverHttps(const TzvHttpsChannel& channel, bool http2,
                                   const TzvHttpsRequest& request) {
  TzvHttpsSession session(channel, http2, /*keep_alive=*/false);
  session.Submit(request);
  TzvHttpsDone done = session.Next();
  if (!done.Response) throw EzvSocketError(done.Error, done.ErrorCode);
  return std::move(*done.Response);
}
