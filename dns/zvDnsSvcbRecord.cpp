#include "dns/zvDnsSvcbRecord.h"

#include <arpa/inet.h>

#include "base/Base64.h"
#include "base/SysUtils.h"

namespace {

constexpr const char* kKeyNames[] = {"mandatory", "alpn", "no-default-alpn", "port",
                                     "ipv4hint",  "ech",  "ipv6hint"};

// Whether a named key's value has that key's form; any value goes for another key.
bool ValidValue(const TzvSvcParam& param) {
  const std::size_t size = param.Value.size();
  switch (param.Key) {
    case kzvSvcMandatory:
      return size > 0 && size % 2 == 0;
    case kzvSvcAlpn:
      for (std::size_t at = 0; at < size; at += 1 + param.Value[at])
        if (param.Value[at] == 0 || size - at - 1 < param.Value[at]) return false;
      return size > 0;
    case kzvSvcNoDefaultAlpn:
      return size == 0;
    case kzvSvcPort:
      return size == 2;
    case kzvSvcIPv4Hint:
      return size > 0 && size % 4 == 0;
    case kzvSvcIPv6Hint:
      return size > 0 && size % 16 == 0;
    default:
      return true;
  }
}

bool ValidParams(const std::vector<TzvSvcParam>& params) {
  for (std::size_t i = 0; i < params.size(); ++i) {
    if (i > 0 && params[i].Key <= params[i - 1].Key) return false;
    if (!ValidValue(params[i])) return false;
  }
  return true;
}

std::vector<std::string> AlpnIds(const std::vector<std::uint8_t>& value) {
  std::vector<std::string> ids;
  for (std::size_t at = 0; at < value.size(); at += 1 + value[at])
    ids.emplace_back(value.begin() + static_cast<long>(at) + 1,
                     value.begin() + static_cast<long>(at) + 1 + value[at]);
  return ids;
}

std::vector<std::string> Addresses(const std::vector<std::uint8_t>& value, int family) {
  const std::size_t octets = family == AF_INET ? 4 : 16;
  std::vector<std::string> addresses;
  for (std::size_t at = 0; at + octets <= value.size(); at += octets) {
    char text[INET6_ADDRSTRLEN];
    inet_ntop(family, value.data() + at, text, sizeof text);
    addresses.emplace_back(text);
  }
  return addresses;
}

std::vector<std::string> KeyNames(const std::vector<std::uint8_t>& value) {
  std::vector<std::string> names;
  for (std::size_t at = 0; at + 1 < value.size(); at += 2)
    names.push_back(SvcParamKeyText(static_cast<std::uint16_t>(value[at] << 8 | value[at + 1])));
  return names;
}

std::string Joined(const std::vector<std::string>& words) {
  std::string text;
  for (const std::string& word : words) text += (text.empty() ? "" : ",") + word;
  return text;
}

// An ALPN identifier inside the quoted list, as RFC 9460's Appendix A writes it: a comma
// escaped once for the list and a backslash twice (once for the list, once for the
// quotes), '"' once, and bytes outside printable ASCII as \DDD.
std::string AlpnText(const std::string& id) {
  std::string text;
  for (const char ch : id) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (c == ',') {
      text += "\\\\,";
    } else if (c == '\\') {
      text += "\\\\\\\\";
    } else if (c == '"') {
      text += "\\\"";
    } else if (c < 0x20 || c >= 0x7F) {
      text += '\\';
      text += static_cast<char>('0' + c / 100);
      text += static_cast<char>('0' + c / 10 % 10);
      text += static_cast<char>('0' + c % 10);
    } else {
      text += ch;
    }
  }
  return text;
}

std::string ValueText(const TzvSvcParam& param, TzvDnsTextStyle style) {
  const auto& value = param.Value;
  switch (param.Key) {
    case kzvSvcMandatory:
      return Joined(KeyNames(value));
    case kzvSvcAlpn: {
      std::string text;
      for (const std::string& id : AlpnIds(value)) text += (text.empty() ? "" : ",") + AlpnText(id);
      return '"' + text + '"';
    }
    case kzvSvcPort:
      return std::to_string(value[0] << 8 | value[1]);
    case kzvSvcIPv4Hint:
      return Joined(Addresses(value, AF_INET));
    case kzvSvcEch:
      return Base64Encode(value);
    case kzvSvcIPv6Hint:
      return Joined(Addresses(value, AF_INET6));
    default:
      return DnsQuotedText(std::string(value.begin(), value.end()), style);
  }
}

}  // namespace

std::string SvcParamKeyText(std::uint16_t key) {
  return key < std::size(kKeyNames) ? kKeyNames[key] : "key" + std::to_string(key);
}

std::unique_ptr<TzvDnsRecord> TzvDnsSVCBRecord::Create() const {
  return std::make_unique<TzvDnsSVCBRecord>(RecordType);
}

void TzvDnsSVCBRecord::Assign(const TPersistent* source) {
  TzvDnsRecord::Assign(source);
  if (auto* svcb = dynamic_cast<const TzvDnsSVCBRecord*>(source)) {
    Priority = svcb->Priority;
    Target = svcb->Target;
    Params = svcb->Params;
  }
}

void TzvDnsSVCBRecord::BuildData(TzvByteArray& buffer, std::int32_t& position) {
  if (!ValidParams(Params)) throw EzvDnsError(2);
  ByteArrayWriteWord(Priority, buffer, position);
  WriteName(Target, buffer, position);
  TzvWireWriter writer(buffer.Bytes(), position);
  for (const TzvSvcParam& param : Params) {
    if (param.Value.size() > 0xFFFF) throw EzvDnsError(2);
    writer.WriteWord(param.Key);
    writer.WriteWord(static_cast<std::uint16_t>(param.Value.size()));
    writer.WriteBytes(param.Value);
  }
  position = writer.Position();
}

void TzvDnsSVCBRecord::ParseData(const TzvByteArray& buffer, std::int32_t& position) {
  const std::size_t end = DataEnd(buffer, position);
  TzvWireCursor cursor = DataCursor(buffer, position);
  Priority = cursor.ReadWord();
  position = cursor.Position();
  ReadDataName(buffer, position, end, Target);
  cursor = TzvWireCursor(buffer.Bytes().first(end), position);
  Params.clear();
  while (cursor.Remaining() > 0) {
    TzvSvcParam param;
    param.Key = cursor.ReadWord();
    const auto value = cursor.ReadBytes(cursor.ReadWord());
    param.Value.assign(value.begin(), value.end());
    Params.push_back(std::move(param));
  }
  position = cursor.Position();
  if (!ValidParams(Params)) RaiseDnsInvalidSize();
}

std::string TzvDnsSVCBRecord::DataText(TzvDnsTextStyle style) const {
  std::string text = std::to_string(Priority) + " " + DnsNameText(Target, style);
  for (const TzvSvcParam& param : Params) {
    text += " " + SvcParamKeyText(param.Key);
    // A key without a value stands alone, as no-default-alpn always does.
    if (!param.Value.empty() && ValidValue(param)) text += "=" + ValueText(param, style);
  }
  return text;
}

void TzvDnsSVCBRecord::VisitFields(TzvDnsFieldVisitor& visitor) const {
  visitor.Number("priority", Priority);
  visitor.Name("target", Target);
  visitor.BeginGroup("params");
  for (const TzvSvcParam& param : Params) {
    const std::string key = SvcParamKeyText(param.Key);
    if (!ValidValue(param)) continue;
    switch (param.Key) {
      case kzvSvcMandatory:
        visitor.Words(key, KeyNames(param.Value));
        break;
      case kzvSvcAlpn:
        visitor.Words(key, AlpnIds(param.Value));
        break;
      case kzvSvcNoDefaultAlpn:
        visitor.Flag(key);
        break;
      case kzvSvcPort:
        visitor.Number(key, param.Value[0] << 8 | param.Value[1]);
        break;
      case kzvSvcIPv4Hint:
        visitor.Words(key, Addresses(param.Value, AF_INET));
        break;
      case kzvSvcEch:
        visitor.Text(key, Base64Encode(param.Value));
        break;
      case kzvSvcIPv6Hint:
        visitor.Words(key, Addresses(param.Value, AF_INET6));
        break;
      default:
        visitor.Text(key, LowerCase(HexEncode(param.Value)));
    }
  }
  visitor.EndGroup();
}
