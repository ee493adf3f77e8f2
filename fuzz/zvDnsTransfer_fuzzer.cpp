// Fuzzes a zone transfer's answer stream and its TSIG checks: the fuzzer's bytes are what
// the server sends on the transfer's connection, played in memory through the transfer's
// wire (TzvDnsWire), in the fuzzer's own framing (length words included, so a frame may
// lie about its size, stop early or run on).
//
// Input: one flags byte, then the stream. Flags: 0x01 the question is signed with a key
// (so every message goes through the TSIG verifier: a record found last or not, its
// fields, the signature compared, the unsigned run counted); 0x02 IXFR from serial 7
// instead of AXFR; 0x04 each well-framed message gets the question's ID and QR set, so
// that the stream gets past the first checks to the records; 0x08 at most 50 records;
// 0x10 the stream comes one byte a read.
//
// Checked: only the library's own exceptions leave a transfer; the records the visitor
// is handed are the ones the result counts, never more than the limit, the first of
// them the zone's SOA; nothing is read once the transfer has ended.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "dns/zvDnsTransfer.h"
#include "dns/zvDnsTsig.h"
#include "fuzz/FuzzCheck.h"

namespace {

class TPlayedWire : public TzvDnsWire {
 public:
  TPlayedWire(std::vector<std::uint8_t> stream, bool fix_ids, bool byte_reads)
      : stream_(std::move(stream)), fix_ids_(fix_ids), byte_reads_(byte_reads) {}

  void OpenDatagramExchange(std::string&, std::int32_t&) override { std::abort(); }
  void SendDatagram(TMemoryStream&) override { std::abort(); }
  void ReceiveDatagram(TMemoryStream&, std::int32_t, std::string&, std::int32_t&) override {
    std::abort();
  }
  void CloseDatagramExchange() override {}
  void FindStreamServer(std::string& address, std::int32_t& port) override {
    address = "127.0.0.1";
    port = 53;
  }
  void OpenStreamExchange(const std::string&, std::int32_t, std::int32_t) override {}
  void RestartStreamExchange(std::int32_t) override {}
  void SendStream(TMemoryStream& request) override {
    FUZZ_CHECK(request.Size() >= 4);
    const std::uint8_t* bytes = request.Memory();
    if (!fix_ids_) return;
    // Every whole frame of the stream answers with the question's ID.
    for (std::size_t at = 0; at + 2 <= stream_.size();) {
      const std::size_t length = std::size_t{stream_[at]} << 8 | stream_[at + 1];
      if (at + 2 + length > stream_.size() || length < 3) break;
      stream_[at + 2] = bytes[2];
      stream_[at + 3] = bytes[3];
      stream_[at + 4] |= 0x80;
      at += 2 + length;
    }
  }
  bool ReceiveStream(TMemoryStream& answer, std::int64_t most) override {
    FUZZ_CHECK(most > 0);
    if (read_ == stream_.size()) return false;
    std::size_t count = std::min<std::size_t>(stream_.size() - read_, static_cast<std::size_t>(most));
    if (byte_reads_) count = 1;
    answer.Seek(0, TSeekOrigin::soEnd);
    answer.WriteBuffer(stream_.data() + read_, static_cast<std::int64_t>(count));
    read_ += count;
    return true;
  }
  void CloseStreamExchange() override {}

 private:
  std::vector<std::uint8_t> stream_;
  bool fix_ids_, byte_reads_;
  std::size_t read_ = 0;
};

class TCounter : public TzvDnsTransferVisitor {
 public:
  void OnRecord(const TzvDnsRecord& record, TzvXfrPart) override {
    if (records == 0) FUZZ_CHECK(record.RecordType == kzvDnsTypeSOA);
    ++records;
  }
  std::int64_t records = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::uint8_t flags = data[0];
  TPlayedWire wire({data + 1, data + size}, (flags & 0x04) != 0, (flags & 0x10) != 0);
  const TzvDnsClock clock;
  TzvDnsTransfer transfer(wire, clock);
  TzvDnsExchangeSettings settings;
  settings.Server = "127.0.0.1";
  settings.Transport = TzvDnsTransport::dtTcp;
  if (flags & 0x01) {
    auto key = std::make_shared<TzvTsigKey>();
    key->Name = "fuzz.key";
    key->Secret.assign(32, 0x42);
    settings.Tsig = key;
  }
  TzvDnsTransferRequest request;
  request.Zone = "fuzz.test";
  request.Incremental = (flags & 0x02) != 0;
  request.Serial = 7;
  request.MaxRecords = (flags & 0x08) != 0 ? 50 : 0;
  TCounter counter;
  try {
    const TzvDnsTransferResult result = transfer.Run(settings, request, counter);
    FUZZ_CHECK(result.Records == counter.records);
    FUZZ_CHECK(result.Records >= 1);
  } catch (const EzvSocketError&) {
    // The library's own failures (EzvDnsError among them) are the outcomes expected.
  }
  if (request.MaxRecords > 0) FUZZ_CHECK(counter.records <= request.MaxRecords);
  return 0;
}
