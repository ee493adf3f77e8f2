// What the query component's tests read back: its hosts as lines, and the question name of
// a request a responder received.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "dns/zvDnsQuery.h"

// "name address" for each host, in list order.
inline std::vector<std::string> Hosts(const TzvDnsQuery& query) {
  std::vector<std::string> lines;
  for (int i = 0; i < query.Hosts().Count(); ++i)
    lines.push_back(query.Hosts().Items(i)->Name + " " + query.Hosts().Items(i)->IPAddress);
  return lines;
}

// The first question's name, or "" when the request has none.
inline std::string QuestionName(const std::vector<std::uint8_t>& request) {
  TMemoryStream stream;
  stream.WriteBuffer(request.data(), static_cast<std::int64_t>(request.size()));
  stream.SetPosition(0);
  TzvDnsMessage message;
  message.Parse(stream);
  return message.Queries().Count() > 0 ? message.Queries().Items(0)->Name : "";
}
