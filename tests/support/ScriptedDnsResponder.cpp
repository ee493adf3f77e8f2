#include "tests/support/ScriptedDnsResponder.h"

#include <algorithm>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <system_error>

#include "tests/support/TestAddress.h"

namespace {

constexpr std::uint16_t kTypeA = 1;
constexpr std::uint16_t kTypeNs = 2;
constexpr std::uint16_t kTypeCname = 5;
constexpr std::uint16_t kTypeSoa = 6;
constexpr std::uint16_t kTypePtr = 12;
constexpr std::uint16_t kTypeMx = 15;
constexpr std::uint16_t kTypeAaaa = 28;
constexpr std::uint16_t kClassIn = 1;
constexpr std::uint16_t kClassChaos = 3;
constexpr std::uint32_t kTtl = 300;
// The question name always starts right after the 12-byte header.
constexpr std::uint16_t kQuestionOffset = 12;

[[noreturn]] void ThrowErrno(const char* what) {
  throw std::system_error(errno, std::generic_category(), what);
}

class Writer {
 public:
  std::vector<std::uint8_t> bytes;

  std::uint16_t Offset() const { return static_cast<std::uint16_t>(bytes.size()); }
  void Byte(std::uint8_t value) { bytes.push_back(value); }
  void Word(std::uint16_t value) {
    Byte(static_cast<std::uint8_t>(value >> 8));
    Byte(static_cast<std::uint8_t>(value & 0xFF));
  }
  void Long(std::uint32_t value) {
    Word(static_cast<std::uint16_t>(value >> 16));
    Word(static_cast<std::uint16_t>(value & 0xFFFF));
  }
  void Pointer(std::uint16_t offset) { Word(static_cast<std::uint16_t>(0xC000 | offset)); }
  void Raw(const std::vector<std::uint8_t>& raw) {
    bytes.insert(bytes.end(), raw.begin(), raw.end());
  }
  // Dotted text as uncompressed labels (a trailing dot is optional; labels past 63
  // bytes are cut, which only a careless test would ask for).
  void Name(const std::string& text) {
    std::size_t start = 0;
    while (start < text.size()) {
      std::size_t end = text.find('.', start);
      if (end == std::string::npos) end = text.size();
      const std::size_t length = std::min<std::size_t>(end - start, 63);
      if (length > 0) {
        Byte(static_cast<std::uint8_t>(length));
        bytes.insert(bytes.end(), text.begin() + static_cast<std::ptrdiff_t>(start),
                     text.begin() + static_cast<std::ptrdiff_t>(start + length));
      }
      start = end + 1;
    }
    Byte(0);
  }
  // One label followed by a pointer to a name already written.
  void LabelThenPointer(const char* label, std::uint16_t offset) {
    const std::size_t length = std::strlen(label);
    Byte(static_cast<std::uint8_t>(length));
    bytes.insert(bytes.end(), label, label + length);
    Pointer(offset);
  }
  // Record fixed part; returns where RDLENGTH sits so it can be filled in afterwards.
  std::size_t RecordHead(std::uint16_t type) {
    Word(type);
    Word(kClassIn);
    Long(kTtl);
    const std::size_t at = bytes.size();
    Word(0);
    return at;
  }
  void EndRecord(std::size_t length_at) {
    const std::size_t length = bytes.size() - length_at - 2;
    bytes[length_at] = static_cast<std::uint8_t>(length >> 8);
    bytes[length_at + 1] = static_cast<std::uint8_t>(length & 0xFF);
  }
  void Address4(const std::string& text) {
    in_addr address{};
    if (inet_pton(AF_INET, text.c_str(), &address) != 1) address.s_addr = htonl(0x7F000063);
    const auto* octets = reinterpret_cast<const std::uint8_t*>(&address.s_addr);
    bytes.insert(bytes.end(), octets, octets + 4);
  }
  void SetWord(std::size_t at, std::uint16_t value) {
    bytes[at] = static_cast<std::uint8_t>(value >> 8);
    bytes[at + 1] = static_cast<std::uint8_t>(value & 0xFF);
  }
};

int OpenBound(const std::string& address, std::uint16_t port) {
  sockaddr_storage storage{};
  const socklen_t size = TestSocketAddress(address, port, storage);
  const int fd = socket(storage.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) ThrowErrno("socket");
  // As large a receive buffer as the kernel grants, as real servers ask for: a batch's
  // burst of questions waits there instead of being dropped before it is read.
  const int buffer = 8 << 20;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
  if (bind(fd, reinterpret_cast<sockaddr*>(&storage), size) != 0) {
    const int error = errno;
    close(fd);
    errno = error;
    ThrowErrno(("bind " + address).c_str());
  }
  return fd;
}

}  // namespace

struct ScriptedDnsResponder::Request {
  bool valid = false;
  std::uint16_t id = 0;
  std::uint8_t flags = 0;           // the third header byte: opcode and RD
  std::vector<std::uint8_t> qname;  // wire form with its terminating zero
  std::uint16_t qtype = 0;
  std::uint16_t qclass = 0;

  explicit Request(const std::vector<std::uint8_t>& bytes) {
    if (bytes.size() < 12 || ((bytes[4] << 8) | bytes[5]) == 0) return;
    id = static_cast<std::uint16_t>((bytes[0] << 8) | bytes[1]);
    flags = bytes[2];
    std::size_t pos = kQuestionOffset;
    while (true) {
      if (pos >= bytes.size()) return;
      const std::uint8_t length = bytes[pos];
      if (length == 0) break;
      if ((length & 0xC0) != 0 || pos + 1 + length > bytes.size()) return;
      pos += 1 + length;
      if (pos - kQuestionOffset > 255) return;
    }
    qname.assign(bytes.begin() + kQuestionOffset,
                 bytes.begin() + static_cast<std::ptrdiff_t>(pos) + 1);
    pos += 1;
    if (pos + 4 > bytes.size()) return;
    qtype = static_cast<std::uint16_t>((bytes[pos] << 8) | bytes[pos + 1]);
    qclass = static_cast<std::uint16_t>((bytes[pos + 2] << 8) | bytes[pos + 3]);
    valid = true;
    // A client subnet option, when the OPT record right after the question has one.
    pos += 4;
    if (pos + 11 > bytes.size() || bytes[pos] != 0 || bytes[pos + 1] != 0 || bytes[pos + 2] != 41)
      return;
    const std::size_t end =
        std::min(bytes.size(), pos + 11 + (bytes[pos + 9] << 8 | bytes[pos + 10]));
    for (pos += 11; pos + 4 <= end;) {
      const std::size_t code = bytes[pos] << 8 | bytes[pos + 1];
      const std::size_t length = bytes[pos + 2] << 8 | bytes[pos + 3];
      if (pos + 4 + length > end) return;
      if (code == 8) subnet.assign(bytes.begin() + pos + 4, bytes.begin() + pos + 4 + length);
      pos += 4 + length;
    }
  }
  std::vector<std::uint8_t> subnet;  // the question's client subnet option's data
};

// ---- canned replies ----

ScriptedDnsResponder::Reply ScriptedDnsResponder::ForgedThenAnswer(Kind forged) {
  Datagram first;
  first.kind = forged;
  return {{first, Datagram{}}};
}

ScriptedDnsResponder::Reply ScriptedDnsResponder::ResponseCode(int rcode) {
  Datagram datagram;
  datagram.rcode = rcode;
  datagram.no_records = rcode != 3;
  return {{datagram}};
}

ScriptedDnsResponder::Reply ScriptedDnsResponder::Truncated() {
  Datagram datagram;
  datagram.truncated = true;
  datagram.no_records = true;
  return {{datagram}};
}

ScriptedDnsResponder::Reply ScriptedDnsResponder::Oversized() {
  Datagram datagram;
  datagram.padding_records = 40;
  return {{datagram}};
}

ScriptedDnsResponder::Reply ScriptedDnsResponder::Malformed() {
  Datagram datagram;
  datagram.kind = Kind::kMalformed;
  return {{datagram}};
}

ScriptedDnsResponder::Reply ScriptedDnsResponder::Slow(std::chrono::milliseconds delay) {
  Datagram datagram;
  datagram.delay = delay;
  return {{datagram}};
}

ScriptedDnsResponder::Reply ScriptedDnsResponder::Referral(std::vector<NameServer> servers) {
  Datagram datagram;
  datagram.kind = Kind::kReferral;
  datagram.authoritative = false;
  datagram.referral = std::move(servers);
  return {{datagram}};
}

ScriptedDnsResponder::Reply ScriptedDnsResponder::Raw(std::vector<std::uint8_t> bytes) {
  Datagram datagram;
  datagram.kind = Kind::kRaw;
  datagram.raw = std::move(bytes);
  return {{datagram}};
}

// ---- life cycle ----

ScriptedDnsResponder::ScriptedDnsResponder(const std::string& address, std::uint16_t port)
    : address_(address) {
  sockaddr_storage parsed{};
  try {
    TestSocketAddress(address, 0, parsed);
  } catch (const std::invalid_argument&) {
    throw std::invalid_argument("ScriptedDnsResponder serves loopback addresses only: " + address);
  }
  family_ = parsed.ss_family;
  const in_addr v4 = reinterpret_cast<const sockaddr_in&>(parsed).sin_addr;

  int pipe_fds[2];
  if (pipe2(pipe_fds, O_CLOEXEC) != 0) ThrowErrno("pipe");
  wake_read_ = pipe_fds[0];
  wake_write_ = pipe_fds[1];
  try {
    socket_ = OpenBound(address, port);
    sockaddr_storage bound{};
    socklen_t size = sizeof bound;
    if (getsockname(socket_, reinterpret_cast<sockaddr*>(&bound), &size) != 0)
      ThrowErrno("getsockname");
    port_ = ntohs(family_ == AF_INET ? reinterpret_cast<sockaddr_in*>(&bound)->sin_port
                                     : reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port);
    second_socket_ = OpenBound(address, 0);
    if (family_ == AF_INET) {
      // Another address of the loopback network, never the responder's own.
      const std::uint32_t own = ntohl(v4.s_addr);
      in_addr other{};
      other.s_addr = htonl((own & 0xFF) == 254 ? 0x7F0000FD : 0x7F0000FE);
      char text[INET_ADDRSTRLEN];
      inet_ntop(AF_INET, &other, text, sizeof text);
      other_socket_ = OpenBound(text, 0);
    }
  } catch (...) {
    for (int fd : {socket_, second_socket_, other_socket_, wake_read_, wake_write_})
      if (fd >= 0) close(fd);
    throw;
  }
  thread_ = std::thread([this] { Run(); });
}

ScriptedDnsResponder::~ScriptedDnsResponder() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  const char wake = 1;
  while (write(wake_write_, &wake, 1) < 0 && errno == EINTR) {
  }
  thread_.join();
  for (int fd : {socket_, second_socket_, other_socket_, wake_read_, wake_write_})
    if (fd >= 0) close(fd);
}

// ---- script and observations ----

void ScriptedDnsResponder::Script(std::vector<Reply> replies) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (Reply& reply : replies) script_.push_back(std::move(reply));
}

void ScriptedDnsResponder::SetDefaultReply(Reply reply) {
  std::lock_guard<std::mutex> lock(mutex_);
  default_reply_ = std::move(reply);
}

void ScriptedDnsResponder::SetAnswerAddresses(std::vector<std::string> addresses) {
  std::lock_guard<std::mutex> lock(mutex_);
  answer_addresses_ = std::move(addresses);
}

std::vector<std::vector<std::uint8_t>> ScriptedDnsResponder::Requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

int ScriptedDnsResponder::RequestCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<int>(requests_.size());
}

int ScriptedDnsResponder::SentCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return sent_;
}

bool ScriptedDnsResponder::WaitForRequests(int count, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, timeout,
                           [&] { return static_cast<int>(requests_.size()) >= count; });
}

bool ScriptedDnsResponder::WaitForSent(int count, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return sent_ >= count; });
}

// ---- the responder's thread ----

void ScriptedDnsResponder::Run() {
  std::vector<std::uint8_t> buffer(65536);
  while (true) {
    pollfd fds[2] = {{socket_, POLLIN, 0}, {wake_read_, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents != 0) {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stop_) return;
    }
    if ((fds[0].revents & POLLIN) == 0) continue;

    sockaddr_storage peer{};
    socklen_t peer_size = sizeof peer;
    const ssize_t got = recvfrom(socket_, buffer.data(), buffer.size(), MSG_DONTWAIT,
                                 reinterpret_cast<sockaddr*>(&peer), &peer_size);
    if (got < 0) continue;
    std::vector<std::uint8_t> bytes(buffer.begin(), buffer.begin() + got);
    const Request request(bytes);
    Reply reply;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      requests_.push_back(std::move(bytes));
      if (script_.empty()) {
        reply = default_reply_;
      } else {
        reply = std::move(script_.front());
        script_.pop_front();
      }
    }
    changed_.notify_all();
    for (const Datagram& datagram : reply.datagrams) {
      if (datagram.delay.count() > 0 && !Sleep(datagram.delay)) return;
      Send(request, datagram, &peer, peer_size);
    }
  }
}

bool ScriptedDnsResponder::Sleep(std::chrono::milliseconds delay) {
  const auto deadline = std::chrono::steady_clock::now() + delay;
  while (true) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return true;
    pollfd wake = {wake_read_, POLLIN, 0};
    if (poll(&wake, 1, static_cast<int>(left.count())) > 0) {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stop_) return false;
    }
  }
}

void ScriptedDnsResponder::Send(const Request& request, const Datagram& datagram, const void* peer,
                                unsigned peer_size) {
  const bool needs_question = datagram.kind != Kind::kRaw && datagram.kind != Kind::kEmpty;
  if (needs_question && !request.valid) return;  // nothing to echo: a junk request
  const std::vector<std::uint8_t> bytes = Build(request, datagram);
  int from = socket_;
  if (datagram.kind == Kind::kWrongSourcePort) from = second_socket_;
  if (datagram.kind == Kind::kWrongSourceAddress)
    from = other_socket_ >= 0 ? other_socket_ : second_socket_;
  int sent = 0;
  for (int i = 0; i < datagram.repeat; ++i) {
    if (sendto(from, bytes.data(), bytes.size(), 0, static_cast<const sockaddr*>(peer),
               static_cast<socklen_t>(peer_size)) >= 0)
      ++sent;
  }
  if (sent == 0) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    sent_ += sent;
  }
  changed_.notify_all();
}

std::vector<std::uint8_t> ScriptedDnsResponder::Build(const Request& request,
                                                      const Datagram& datagram) const {
  if (datagram.kind == Kind::kEmpty) return {};
  if (datagram.kind == Kind::kRaw) return datagram.raw;
  std::vector<std::string> addresses;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    addresses = answer_addresses_;
  }
  if (addresses.empty()) addresses.emplace_back("127.0.0.99");

  Writer out;
  // Header: ID, flags, then four counts filled in at the end.
  out.Word(datagram.kind == Kind::kWrongId ? static_cast<std::uint16_t>(request.id + 1)
                                           : request.id);
  std::uint8_t flags = static_cast<std::uint8_t>(request.flags & 0x79);  // opcode and RD
  if (datagram.kind != Kind::kQrClear) flags |= 0x80;
  if (datagram.authoritative) flags |= 0x04;
  if (datagram.truncated) flags |= 0x02;
  out.Byte(flags);
  out.Byte(static_cast<std::uint8_t>(0x80 | (datagram.rcode & 0x0F)));  // RA, RCODE
  out.Word(1);
  out.Word(0);
  out.Word(0);
  out.Word(0);

  // The question, echoed (or not quite, for the forged kinds).
  if (datagram.kind == Kind::kWrongQuestionName) {
    out.Name("forged");
    out.bytes.pop_back();  // no root label: the asked name follows
  }
  std::vector<std::uint8_t> qname = request.qname;
  if (datagram.kind == Kind::kCaseChangedName) {
    std::size_t pos = 0;
    while (pos < qname.size() && qname[pos] != 0) {
      const std::size_t end = pos + 1 + qname[pos];
      for (std::size_t i = pos + 1; i < end; ++i) {
        const std::uint8_t c = qname[i];
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) qname[i] = c ^ 0x20;
      }
      pos = end;
    }
  }
  out.Raw(qname);
  std::uint16_t qtype = request.qtype;
  if (datagram.kind == Kind::kWrongQuestionType) qtype = qtype == kTypeA ? kTypeAaaa : kTypeA;
  std::uint16_t qclass = request.qclass;
  if (datagram.kind == Kind::kWrongQuestionClass)
    qclass = qclass == kClassIn ? kClassChaos : kClassIn;
  out.Word(qtype);
  out.Word(qclass);

  std::uint16_t answers = 0, authorities = 0, additionals = 0;
  if (datagram.kind == Kind::kMalformed) {
    // Owner, type and class of one record, then the data ends.
    out.Pointer(kQuestionOffset);
    out.Word(kTypeA);
    out.Byte(0);
    answers = 1;
  } else if (datagram.kind == Kind::kPointerLoop) {
    out.Pointer(out.Offset());
    const std::size_t at = out.RecordHead(kTypeA);
    out.Address4(addresses.front());
    out.EndRecord(at);
    answers = 1;
  } else if (datagram.kind == Kind::kReferral) {
    std::vector<std::uint16_t> name_offsets;
    for (const NameServer& server : datagram.referral) {
      out.Pointer(kQuestionOffset);
      const std::size_t at = out.RecordHead(kTypeNs);
      name_offsets.push_back(out.Offset());
      out.Name(server.name);
      out.EndRecord(at);
      ++authorities;
    }
    for (std::size_t i = 0; i < datagram.referral.size(); ++i) {
      if (datagram.referral[i].glue.empty()) continue;
      out.Pointer(name_offsets[i]);
      const std::size_t at = out.RecordHead(kTypeA);
      out.Address4(datagram.referral[i].glue);
      out.EndRecord(at);
      ++additionals;
    }
  } else if (datagram.rcode == 3 && !datagram.no_records) {
    // A name error carries the zone's SOA in the authority section.
    out.Pointer(kQuestionOffset);
    const std::size_t at = out.RecordHead(kTypeSoa);
    out.Name("ns.scripted.test");
    out.Name("hostmaster.scripted.test");
    for (std::uint32_t value : {1u, 3600u, 600u, 86400u, 300u}) out.Long(value);
    out.EndRecord(at);
    authorities = 1;
  } else if (datagram.rcode == 0 && !datagram.no_records) {
    switch (request.qtype) {
      case kTypeA:
        for (const std::string& address : addresses) {
          out.Pointer(kQuestionOffset);
          const std::size_t at = out.RecordHead(kTypeA);
          out.Address4(address);
          out.EndRecord(at);
          ++answers;
        }
        break;
      case kTypeMx:
      case kTypeNs: {
        const bool mx = request.qtype == kTypeMx;
        out.Pointer(kQuestionOffset);
        const std::size_t at = out.RecordHead(request.qtype);
        if (mx) out.Word(10);
        const std::uint16_t target = out.Offset();
        out.LabelThenPointer(mx ? "mail" : "ns", kQuestionOffset);
        out.EndRecord(at);
        out.Pointer(target);
        const std::size_t glue_at = out.RecordHead(kTypeA);
        out.Address4(addresses.front());
        out.EndRecord(glue_at);
        answers = 1;
        additionals = 1;
        break;
      }
      case kTypePtr: {
        out.Pointer(kQuestionOffset);
        const std::size_t at = out.RecordHead(kTypePtr);
        out.Name("host.scripted.test");
        out.EndRecord(at);
        answers = 1;
        break;
      }
      case kTypeCname: {
        out.Pointer(kQuestionOffset);
        const std::size_t at = out.RecordHead(kTypeCname);
        out.LabelThenPointer("canonical", kQuestionOffset);
        out.EndRecord(at);
        answers = 1;
        break;
      }
      default:
        break;
    }
  }
  for (int i = 0; i < datagram.padding_records; ++i) {
    out.Pointer(kQuestionOffset);
    const std::size_t at = out.RecordHead(kTypeA);
    out.Byte(127);
    out.Byte(0);
    out.Byte(static_cast<std::uint8_t>(1 + i / 250));
    out.Byte(static_cast<std::uint8_t>(1 + i % 250));
    out.EndRecord(at);
    ++answers;
  }
  if (datagram.opt) {
    out.Byte(0);  // the root
    out.Word(41);
    out.Word(1232);
    out.Long(static_cast<std::uint32_t>(datagram.extended_rcode & 0xFF) << 24);
    const std::size_t length_at = out.bytes.size();
    out.Word(0);
    if (!datagram.nsid.empty()) {
      out.Word(3);
      out.Word(static_cast<std::uint16_t>(datagram.nsid.size()));
      out.Raw(std::vector<std::uint8_t>(datagram.nsid.begin(), datagram.nsid.end()));
    }
    if (datagram.subnet_scope >= 0 && request.subnet.size() >= 4) {
      std::vector<std::uint8_t> echoed = request.subnet;
      echoed[3] = static_cast<std::uint8_t>(datagram.subnet_scope);
      out.Word(8);
      out.Word(static_cast<std::uint16_t>(echoed.size()));
      out.Raw(echoed);
    }
    out.Raw(datagram.options);
    out.SetWord(length_at, static_cast<std::uint16_t>(out.bytes.size() - length_at - 2));
    ++additionals;
  }
  out.SetWord(6, answers);
  out.SetWord(8, authorities);
  out.SetWord(10, additionals);
  return out.bytes;
}
