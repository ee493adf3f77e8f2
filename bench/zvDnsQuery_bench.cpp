// Times one whole MX lookup through the query component against the loopback NSD server
// (127.0.0.1:53) beside a bare exchange of the very same request bytes over a plain UDP
// socket (open, send, receive, close), so that one run gives what the component adds on
// top of the round trip. It sends packets, so it runs only inside the private network
// namespace that starts NSD:
//
//   tests/netns/run-in-netns.sh build/bench/zvDnsQuery_bench --benchmark_repetitions=5
//
// Anywhere else it says so and sends nothing.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "dns/zvDnsOptRecord.h"
#include "dns/zvDnsQuery.h"

namespace {

// tests/netns/run-in-netns.sh sets this only once the namespace, its loopback and NSD
// are up (the same test as the loopback tests make).
bool InLoopbackNamespace() {
  const char* flag = std::getenv("PELLAMAR_NETNS");
  return flag != nullptr && std::strcmp(flag, "1") == 0;
}

constexpr const char* kServer = "127.0.0.1";
constexpr int kPort = 53;
constexpr const char* kName = "pellamar.test";

// The bytes ResolveMX sends for kName: an MX question with RD set and EDNS's OPT record.
std::vector<std::uint8_t> MxRequestBytes() {
  TzvDnsMessage message;
  message.Header().IsQuery = true;
  message.Header().IsRecursionDesired = true;
  auto question = std::make_unique<TzvDnsMXRecord>();
  question->Name = kName;
  message.Queries().Add(std::move(question));
  message.AdditionalRecords().Add(std::make_unique<TzvDnsOPTRecord>());
  TMemoryStream stream;
  message.Build(stream);
  return std::vector<std::uint8_t>(stream.Memory(), stream.Memory() + stream.Size());
}

void BM_ResolveMX(benchmark::State& state) {
  TzvDnsQuery query(nullptr);
  query.SetServer(kServer);
  query.SetTimeOut(5000);
  for (auto _ : state) {
    TzvMailServerInfo* first = query.ResolveMX(kName);
    if (first == nullptr) {
      state.SkipWithError("the lookup found no mail server");
      break;
    }
    benchmark::DoNotOptimize(first);
  }
}
BENCHMARK(BM_ResolveMX)->UseRealTime();

// The same bytes through the transport the component is built on (its inherited Open,
// SendPacket, ReceivePacket and Close), without building, matching or decoding: what is
// left of the lookup's time beyond this is the component's own.
void BM_TransportExchange(benchmark::State& state) {
  const std::vector<std::uint8_t> request = MxRequestBytes();
  TzvDnsQuery query(nullptr);
  query.SetServer(kServer);
  query.SetTimeOut(5000);
  TMemoryStream out;
  out.WriteBuffer(request.data(), static_cast<std::int32_t>(request.size()));
  TMemoryStream answer;
  for (auto _ : state) {
    out.SetPosition(0);
    answer.Clear();
    query.Open();
    query.SendPacket(&out);
    query.ReceivePacket(&answer);
    query.Close();
    if (answer.Size() == 0) {
      state.SkipWithError("no answer");
      break;
    }
    benchmark::DoNotOptimize(answer.Memory());
  }
}
BENCHMARK(BM_TransportExchange)->UseRealTime();

// What any client must do at least: a socket, the request out, one answer in, close;
// `connected` connects the socket to the server first and sends without an address, as
// a client that lets the kernel filter strangers and report a closed port must do.
void BareExchange(benchmark::State& state, bool connected) {
  const std::vector<std::uint8_t> request = MxRequestBytes();
  sockaddr_in server{};
  server.sin_family = AF_INET;
  server.sin_port = htons(kPort);
  inet_pton(AF_INET, kServer, &server.sin_addr);
  auto* to = reinterpret_cast<sockaddr*>(&server);
  std::uint8_t answer[1232];  // the buffer EDNS offers
  for (auto _ : state) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
      state.SkipWithError("socket");
      break;
    }
    ssize_t got = -1;
    const bool sent = connected ? connect(fd, to, sizeof server) == 0 &&
                                      send(fd, request.data(), request.size(), 0) ==
                                          static_cast<ssize_t>(request.size())
                                : sendto(fd, request.data(), request.size(), 0, to,
                                         sizeof server) == static_cast<ssize_t>(request.size());
    if (sent) {
      pollfd wait{fd, POLLIN, 0};
      if (poll(&wait, 1, 5000) == 1) got = recv(fd, answer, sizeof answer, 0);
    }
    close(fd);
    if (got <= 0) {
      state.SkipWithError("no answer");
      break;
    }
    benchmark::DoNotOptimize(answer);
  }
}

void BM_BareExchange(benchmark::State& state) {
  BareExchange(state, false);
}
BENCHMARK(BM_BareExchange)->UseRealTime();

// What the connected socket, and so that safety, costs.
void BM_BareConnectedExchange(benchmark::State& state) {
  BareExchange(state, true);
}
BENCHMARK(BM_BareConnectedExchange)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  if (!InLoopbackNamespace()) {
    std::printf(
        "zvDnsQuery_bench sends packets to the loopback NSD server, so it runs only inside "
        "the test namespace:\n  tests/netns/run-in-netns.sh %s [benchmark options]\n",
        argv[0]);
    return 0;
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
