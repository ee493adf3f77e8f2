// Times the codec on the work of one lookup: encoding an MX question, and decoding a
// real answer (nsd's, 171 bytes: 2 MX, 2 NS, 4 glue A records) into typed records.
// When ldns and c-ares are installed, their parsers run on the very same bytes.
#include <benchmark/benchmark.h>

#include "bench/fixtures/MxAnswerFixture.h"
#include "dns/zvDnsMessage.h"

#ifdef PELLAMAR_HAVE_LDNS
#include <ldns/ldns.h>
#endif
#ifdef PELLAMAR_HAVE_CARES
#include <ares.h>
#endif

namespace {

void PrepareMxQuestion(TzvDnsMessage& message) {
  message.Clear();
  message.Header().IsQuery = true;
  message.Header().IsRecursionDesired = true;
  auto question = std::make_unique<TzvDnsMXRecord>();
  question->Name = "pellamar.test";
  message.Queries().Add(std::move(question));
}

// Build alone, into a stream that keeps its memory between runs.
void BM_EncodeMxQuestion(benchmark::State& state) {
  TzvDnsMessage message;
  PrepareMxQuestion(message);
  TMemoryStream stream;
  for (auto _ : state) {
    stream.SetPosition(0);
    message.Build(stream);
    benchmark::DoNotOptimize(stream.Memory());
  }
}
BENCHMARK(BM_EncodeMxQuestion);

// What a lookup does before sending: clear, add the question, build.
void BM_PrepareAndEncodeMxQuestion(benchmark::State& state) {
  TzvDnsMessage message;
  TMemoryStream stream;
  for (auto _ : state) {
    PrepareMxQuestion(message);
    stream.SetPosition(0);
    message.Build(stream);
    benchmark::DoNotOptimize(stream.Memory());
  }
}
BENCHMARK(BM_PrepareAndEncodeMxQuestion);

// The whole answer into typed records: all four sections, names decompressed.
void BM_DecodeMxAnswer(benchmark::State& state) {
  TMemoryStream stream;
  stream.WriteBuffer(kMxAnswerFixture, sizeof kMxAnswerFixture);
  TzvDnsMessage message;
  for (auto _ : state) {
    stream.SetPosition(0);
    message.Parse(stream);
    benchmark::DoNotOptimize(message.AdditionalRecords().Count());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(sizeof kMxAnswerFixture));
}
BENCHMARK(BM_DecodeMxAnswer);

// The same answer into a message made for it, as a one-off lookup (a referral's address
// query) does: nothing is left over from an earlier parse to reuse.
void BM_DecodeMxAnswerFreshMessage(benchmark::State& state) {
  TMemoryStream stream;
  stream.WriteBuffer(kMxAnswerFixture, sizeof kMxAnswerFixture);
  for (auto _ : state) {
    stream.SetPosition(0);
    TzvDnsMessage message;
    message.Parse(stream);
    benchmark::DoNotOptimize(message.AdditionalRecords().Count());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(sizeof kMxAnswerFixture));
}
BENCHMARK(BM_DecodeMxAnswerFreshMessage);

#ifdef PELLAMAR_HAVE_LDNS
// ldns's whole-packet parse of the same bytes, every section.
void BM_LdnsWire2Pkt(benchmark::State& state) {
  for (auto _ : state) {
    ldns_pkt* packet = nullptr;
    if (ldns_wire2pkt(&packet, kMxAnswerFixture, sizeof kMxAnswerFixture) != LDNS_STATUS_OK) {
      state.SkipWithError("ldns could not parse the fixture");
      break;
    }
    benchmark::DoNotOptimize(packet);
    ldns_pkt_free(packet);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(sizeof kMxAnswerFixture));
}
BENCHMARK(BM_LdnsWire2Pkt);
#endif

#ifdef PELLAMAR_HAVE_CARES
// c-ares's MX-only parse: the answer section's MX records, nothing else.
void BM_CaresParseMxReply(benchmark::State& state) {
  for (auto _ : state) {
    ares_mx_reply* reply = nullptr;
    if (ares_parse_mx_reply(kMxAnswerFixture, sizeof kMxAnswerFixture, &reply) != ARES_SUCCESS) {
      state.SkipWithError("c-ares could not parse the fixture");
      break;
    }
    benchmark::DoNotOptimize(reply);
    ares_free_data(reply);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(sizeof kMxAnswerFixture));
}
BENCHMARK(BM_CaresParseMxReply);
#endif

}  // namespace

BENCHMARK_MAIN();
