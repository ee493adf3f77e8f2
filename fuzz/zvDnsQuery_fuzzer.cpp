// Fuzzes a whole lookup: the fuzzer's bytes are the server's replies, over UDP and over
// the TCP retry, to one of the four lookups, with or without referral following. The
// transport steps are played in memory, so everything above the sockets runs as it does
// for real: matching answers to questions, dropping strangers, the retry of truncated
// answers with its length framing, the referral walk and decoding.
//
// Input: one byte choosing the lookup (bits 0-1), referral following (bit 2) and its
// depth (bits 3-5), then replies, each a flags byte, a 16-bit length and that many bytes.
// Flags: 0x01 the reply carries the request's ID; 0x02 the reply is the request's own
// header and question turned into an answer (QR set, the reply's first bytes giving the
// flags and the three record counts), followed by the reply's remaining bytes as records;
// 0x04 it comes from another address (a stranger); 0x08 nothing comes at all (a
// time-out); over TCP, 0x10 sends the bytes without a length word in front, 0x20 closes
// the connection instead.
//
// Checked: only the library's own exceptions leave a lookup, Server is as the caller set
// it afterwards, and no lookup makes more exchanges than its bound.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

#include "dns/zvDnsQuery.h"
#include "net/zvSocketUtils.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

class FuzzedServerQuery : public TzvDnsQuery {
 public:
  FuzzedServerQuery(std::span<const std::uint8_t> replies)
      : TzvDnsQuery(nullptr), input_(replies) {}

  int DatagramExchanges() const { return datagram_exchanges_; }
  int StreamExchanges() const { return stream_exchanges_; }

 protected:
  void OpenDatagramExchange(std::string& address, std::int32_t& port) override {
    ++datagram_exchanges_;
    address = Server();
    port = Port();
  }
  void SendDatagram(TMemoryStream& request) override { request_ = Contents(request); }
  void ReceiveDatagram(TMemoryStream& answer, std::int32_t, std::string& from_address,
                       std::int32_t& from_port) override {
    std::uint8_t flags = 0;
    Bytes reply;
    if (!NextReply(flags, reply) || (flags & 0x08) != 0)
      RaiseSocketErrorText(SzvTimeoutError, kzvErrTimeout);
    answer.WriteBuffer(reply.data(), static_cast<std::int64_t>(reply.size()));
    from_address = (flags & 0x04) != 0 ? "192.0.2.66" : Server();
    from_port = Port();
  }
  void CloseDatagramExchange() override {}

  void OpenStreamExchange(const std::string&, std::int32_t, std::int32_t) override {
    ++stream_exchanges_;
  }
  void SendStream(TMemoryStream& request) override {
    const Bytes framed = Contents(request);
    if (framed.size() < 2 || framed.size() - 2 != std::size_t(framed[0] << 8 | framed[1]))
      std::abort();  // the length word must say what follows
    request_.assign(framed.begin() + 2, framed.end());
  }
  bool ReceiveStream(TMemoryStream& answer, std::int64_t) override {
    std::uint8_t flags = 0;
    Bytes reply;
    if (!NextReply(flags, reply) || (flags & 0x20) != 0) return false;
    answer.Seek(0, TSeekOrigin::soEnd);
    if ((flags & 0x10) == 0) {
      const std::uint8_t length[2] = {static_cast<std::uint8_t>(reply.size() >> 8),
                                      static_cast<std::uint8_t>(reply.size())};
      answer.WriteBuffer(length, 2);
    }
    answer.WriteBuffer(reply.data(), static_cast<std::int64_t>(reply.size()));
    return true;
  }
  void CloseStreamExchange() override {}

 private:
  static Bytes Contents(TMemoryStream& stream) {
    return Bytes(stream.Memory(), stream.Memory() + stream.Size());
  }

  // The next reply of the input, shaped by its flags; false when the input is used up.
  bool NextReply(std::uint8_t& flags, Bytes& reply) {
    if (input_.size() < 3) return false;
    flags = input_[0];
    const std::size_t length = std::min<std::size_t>(input_[1] << 8 | input_[2], input_.size() - 3);
    Bytes bytes(input_.begin() + 3, input_.begin() + 3 + static_cast<std::ptrdiff_t>(length));
    input_ = input_.subspan(3 + length);
    if ((flags & 0x02) != 0 && request_.size() >= 12) {
      // The request's header and question (it holds exactly one), as an answer.
      reply = request_;
      reply[2] = static_cast<std::uint8_t>(0x80 | (bytes.size() > 0 ? bytes[0] & 0x7F : 0));
      reply[3] = bytes.size() > 1 ? bytes[1] : 0;
      for (std::size_t i = 0; i < 6; ++i) reply[6 + i] = bytes.size() > 2 + i ? bytes[2 + i] : 0;
      if (bytes.size() > 8) reply.insert(reply.end(), bytes.begin() + 8, bytes.end());
    } else {
      reply = std::move(bytes);
    }
    if ((flags & 0x01) != 0 && reply.size() >= 2 && request_.size() >= 2) {
      reply[0] = request_[0];
      reply[1] = request_[1];
    }
    return true;
  }

  std::span<const std::uint8_t> input_;
  Bytes request_;
  int datagram_exchanges_ = 0;
  int stream_exchanges_ = 0;
};

}  // namespace

// Decoded records wait poisoned before they are reused, within a message and from one
// message to the thread's next, and still own their texts meanwhile: the leak checks run
// between inputs must follow pointers kept in poisoned memory.
extern "C" const char* __lsan_default_options() {
  return "use_poisoned=1";
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::uint8_t choice = data[0];
  FuzzedServerQuery query(std::span<const std::uint8_t>(data + 1, size - 1));
  query.SetServer("127.0.0.1");
  query.SetUseRecursiveQueries((choice & 0x04) != 0);
  query.SetMaxRecursiveQueries((choice >> 3) & 0x07);
  try {
    switch (choice & 0x03) {
      case 0:
        query.ResolveMX("user@example.test");
        break;
      case 1:
        query.ResolveIP("www.example.test");
        break;
      case 2:
        query.ResolveHostName("192.0.2.1");
        break;
      default: {
        std::string first;
        query.ResolveNS("example.test", first);
        break;
      }
    }
  } catch (const Exception&) {
    // The library's own failures are the expected outcome of most inputs.
  }
  if (query.Server() != "127.0.0.1") std::abort();
  if (query.DatagramExchanges() > TzvDnsQuery::kMaxExchangesPerLookup) std::abort();
  if (query.StreamExchanges() > query.DatagramExchanges()) std::abort();
  return 0;
}
