#include "tests/support/WireMessage.h"

#include <stdexcept>

namespace {

class Reader {
 public:
  explicit Reader(const std::vector<std::uint8_t>& bytes) : bytes_(bytes) {}

  std::size_t pos = 0;

  std::uint8_t Byte() {
    Need(1);
    return bytes_[pos++];
  }
  std::uint16_t Word() {
    const std::uint16_t high = Byte();
    return static_cast<std::uint16_t>((high << 8) | Byte());
  }
  std::uint32_t Long() {
    const std::uint32_t high = Word();
    return (high << 16) | Word();
  }
  // A name, following compression pointers (at most 64 of them, so a loop ends).
  std::string Name() {
    std::string name;
    std::size_t at = pos;
    bool jumped = false;
    for (int hops = 0;;) {
      if (at >= bytes_.size()) throw std::runtime_error("name runs past the message");
      const std::uint8_t length = bytes_[at];
      if ((length & 0xC0) == 0xC0) {
        if (at + 1 >= bytes_.size() || ++hops > 64) throw std::runtime_error("bad pointer");
        if (!jumped) pos = at + 2;
        jumped = true;
        at = static_cast<std::size_t>(((length & 0x3F) << 8) | bytes_[at + 1]);
        continue;
      }
      if (length == 0) {
        if (!jumped) pos = at + 1;
        return name.empty() ? "." : name;
      }
      if (at + 1 + length > bytes_.size()) throw std::runtime_error("label runs past the end");
      name.append(reinterpret_cast<const char*>(&bytes_[at + 1]), length);
      name += '.';
      at += 1 + length;
    }
  }
  std::vector<std::uint8_t> Take(std::size_t count) {
    Need(count);
    std::vector<std::uint8_t> out(bytes_.begin() + static_cast<std::ptrdiff_t>(pos),
                                  bytes_.begin() + static_cast<std::ptrdiff_t>(pos + count));
    pos += count;
    return out;
  }

 private:
  void Need(std::size_t count) const {
    if (pos + count > bytes_.size()) throw std::runtime_error("message cut short");
  }
  const std::vector<std::uint8_t>& bytes_;
};

void Append(std::vector<std::uint8_t>& out, const std::vector<std::uint8_t>& more) {
  out.insert(out.end(), more.begin(), more.end());
}
void Word(std::vector<std::uint8_t>& out, std::uint16_t value) {
  out.push_back(static_cast<std::uint8_t>(value >> 8));
  out.push_back(static_cast<std::uint8_t>(value & 0xFF));
}

// The record's data with the compressed names expanded.
std::vector<std::uint8_t> ReadData(Reader& reader, std::uint16_t type, std::uint16_t length) {
  const std::size_t end = reader.pos + length;
  std::vector<std::uint8_t> data;
  switch (type) {
    case wire_type::NS:
    case wire_type::CNAME:
    case 12:  // PTR
    case 39:  // DNAME
      Append(data, WireName(reader.Name()));
      break;
    case 15:  // MX
      Word(data, reader.Word());
      Append(data, WireName(reader.Name()));
      break;
    case wire_type::SOA:
      Append(data, WireName(reader.Name()));
      Append(data, WireName(reader.Name()));
      Append(data, reader.Take(20));
      break;
    default:
      return reader.Take(length);
  }
  if (reader.pos != end) throw std::runtime_error("record data of the wrong length");
  return data;
}

std::size_t SignerEnd(const WireRecord& rrsig) {
  std::size_t at = 18;
  while (at < rrsig.data.size() && rrsig.data[at] != 0) at += 1 + rrsig.data[at];
  if (at >= rrsig.data.size()) throw std::runtime_error("RRSIG without a signer");
  return at + 1;
}

}  // namespace

std::vector<std::uint8_t> WireName(const std::string& dotted) {
  std::vector<std::uint8_t> out;
  std::size_t start = 0;
  while (start < dotted.size()) {
    std::size_t end = dotted.find('.', start);
    if (end == std::string::npos) end = dotted.size();
    if (end > start) {
      out.push_back(static_cast<std::uint8_t>(end - start));
      out.insert(out.end(), dotted.begin() + static_cast<std::ptrdiff_t>(start),
                 dotted.begin() + static_cast<std::ptrdiff_t>(end));
    }
    start = end + 1;
  }
  out.push_back(0);
  return out;
}

WireMessage WireMessage::Parse(const std::vector<std::uint8_t>& bytes) {
  Reader reader(bytes);
  WireMessage message;
  message.id = reader.Word();
  message.flags = reader.Word();
  const std::uint16_t questions = reader.Word();
  const std::uint16_t counts[3] = {reader.Word(), reader.Word(), reader.Word()};
  if (questions != 1) throw std::runtime_error("not one question");
  message.qname = reader.Name();
  message.qtype = reader.Word();
  message.qclass = reader.Word();
  std::vector<WireRecord>* sections[3] = {&message.answer, &message.authority, &message.additional};
  for (int section = 0; section < 3; ++section) {
    for (std::uint16_t i = 0; i < counts[section]; ++i) {
      WireRecord record;
      record.name = reader.Name();
      record.type = reader.Word();
      record.klass = reader.Word();
      record.ttl = reader.Long();
      const std::uint16_t length = reader.Word();
      record.data = ReadData(reader, record.type, length);
      sections[section]->push_back(std::move(record));
    }
  }
  return message;
}

std::vector<std::uint8_t> WireMessage::Bytes() const {
  std::vector<std::uint8_t> out;
  Word(out, id);
  Word(out, flags);
  Word(out, 1);
  for (const auto* section : {&answer, &authority, &additional})
    Word(out, static_cast<std::uint16_t>(section->size()));
  Append(out, WireName(qname));
  Word(out, qtype);
  Word(out, qclass);
  for (const auto* section : {&answer, &authority, &additional}) {
    for (const WireRecord& record : *section) {
      // An owner that is the question's name points to it: a flood of records of one name
      // still fits a TCP message.
      if (record.name == qname)
        Word(out, 0xC00C);
      else
        Append(out, WireName(record.name));
      Word(out, record.type);
      Word(out, record.klass);
      Word(out, static_cast<std::uint16_t>(record.ttl >> 16));
      Word(out, static_cast<std::uint16_t>(record.ttl & 0xFFFF));
      Word(out, static_cast<std::uint16_t>(record.data.size()));
      Append(out, record.data);
    }
  }
  return out;
}

std::uint16_t RrsigTypeCovered(const WireRecord& rrsig) {
  if (rrsig.type != wire_type::RRSIG || rrsig.data.size() < 18) return 0;
  return static_cast<std::uint16_t>((rrsig.data[0] << 8) | rrsig.data[1]);
}

void SetRrsigLabels(WireRecord& rrsig, std::uint8_t labels) {
  rrsig.data.at(3) = labels;
}

void SetRrsigSigner(WireRecord& rrsig, const std::string& signer) {
  const std::size_t end = SignerEnd(rrsig);
  std::vector<std::uint8_t> data(rrsig.data.begin(), rrsig.data.begin() + 18);
  Append(data, WireName(signer));
  data.insert(data.end(), rrsig.data.begin() + static_cast<std::ptrdiff_t>(end), rrsig.data.end());
  rrsig.data = std::move(data);
}
