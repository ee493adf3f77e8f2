#include "dns/zvDnsName.h"

#include <array>

namespace {

// A name of 255 octets holds at most 127 labels, so no honest name needs more jumps; the
// cap stops pointer cycles that carry no labels, which the octet cap cannot see.
constexpr int kMaxPointerJumps = 128;

// The offsets a compression pointer can name.
constexpr std::size_t kReachable = 0x4000;

// Every octet of a label may need its backslash: twice the octets is room for any text.
constexpr std::size_t kMaxNameText = 2 * kzvDnsMaxNameOctets;

[[noreturn]] void RaiseEncoding(const std::string& text) {
  throw EzvDnsError(text, kzvDnsErrInvalidSize);
}

// A dot or backslash inside a label, which its text writes with a backslash before it.
bool IsEscaped(std::uint8_t byte) {
  return byte == '.' || byte == '\\';
}

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

}  // namespace

void TzvDnsNameCache::Reset() {
  slots_ = {};
  texts_.clear();
}

bool TzvDnsNameCache::Find(std::size_t offset, TSuffix& suffix) const {
  const TSlot& slot = slots_[offset % kSlots];
  if (slot.offset_plus_one != offset + 1) return false;
  suffix = {std::string_view(texts_).substr(slot.text_at, slot.length), slot.octets, slot.jumps};
  return true;
}

void TzvDnsNameCache::Remember(std::string_view text, std::size_t octets, int jumps,
                               std::span<const TLabel> labels) {
  if (labels.empty() || texts_.size() + text.size() > kMaxText) return;
  const std::size_t base = texts_.size();
  texts_.append(text);
  for (const TLabel& label : labels) {
    slots_[label.offset % kSlots] = {static_cast<std::uint16_t>(label.offset + 1),
                                     static_cast<std::uint16_t>(base + label.text_at),
                                     static_cast<std::uint16_t>(text.size() - label.text_at),
                                     static_cast<std::uint8_t>(octets - label.octets_before),
                                     static_cast<std::uint8_t>(jumps - label.jumps_before)};
  }
}

std::size_t DecodeDnsName(std::span<const std::uint8_t> message, std::size_t position,
                          std::string& text, TzvDnsNameCache* cache) {
  if (position > message.size()) RaiseDnsInvalidSize();
  TzvWireCursor cursor(message, static_cast<std::int32_t>(position));
  std::array<char, kMaxNameText + 2> out;
  std::size_t length = 0;  // of the text so far, every label followed by its dot
  std::size_t octets = 0;  // of the labels so far on the wire, length bytes included
  int jumps = 0;
  bool after_jump = false;
  std::size_t resume = 0;  // behind the first pointer, once one is met
  // The labels read here, for the cache (a name of 255 octets has at most 127).
  std::array<TzvDnsNameCache::TLabel, 128> labels;
  std::size_t label_count = 0;
  for (;;) {
    const std::size_t at = static_cast<std::size_t>(cursor.Position());
    const std::uint8_t label_length = cursor.ReadByte();
    if (label_length == 0) {
      // A pointer straight to a zero byte leaves an empty last label, kept as a trailing
      // dot; such a name is no suffix for another.
      if (after_jump) {
        out[length++] = '.';
        cache = nullptr;
      }
      break;
    }
    if ((label_length & 0xC0) == 0xC0) {
      const std::size_t target = std::size_t{label_length & 0x3Fu} << 8 | cursor.ReadByte();
      if (jumps == 0) resume = static_cast<std::size_t>(cursor.Position());
      if (++jumps > kMaxPointerJumps) RaiseDnsInvalidSize();
      TzvDnsNameCache::TSuffix known;
      if (cache != nullptr && cache->Find(target, known)) {
        // Read before from these very bytes: only the caps are checked again.
        if (octets + known.octets + 1 > kzvDnsMaxNameOctets) RaiseDnsInvalidSize();
        if (jumps + known.jumps > kMaxPointerJumps) RaiseDnsInvalidSize();
        known.text.copy(out.data() + length, known.text.size());
        length += known.text.size();
        out[length++] = '.';
        octets += known.octets;
        jumps += known.jumps;
        break;
      }
      cursor.Jump(target);
      after_jump = true;
      continue;
    }
    // Length bytes 0x40 to 0xBF are taken as plain label lengths, as old servers wrote
    // them; the octet cap still holds them in. The name's zero byte must fit too.
    // Only labels a pointer can reach may start a suffix another name ends in.
    if (at < kReachable && label_count < labels.size())
      labels[label_count++] = {at, length, octets, jumps};
    octets += 1u + label_length;
    if (octets + 1 > kzvDnsMaxNameOctets) RaiseDnsInvalidSize();
    for (const std::uint8_t byte : cursor.ReadBytes(label_length)) {
      if (IsEscaped(byte)) out[length++] = '\\';
      out[length++] = static_cast<char>(byte);
    }
    out[length++] = '.';
    after_jump = false;
  }
  if (length > 0) --length;  // the last dot
  const std::string_view name(out.data(), length);
  if (cache != nullptr) cache->Remember(name, octets, jumps, {labels.data(), label_count});
  text.assign(name);
  return jumps > 0 ? resume : static_cast<std::size_t>(cursor.Position());
}

void EncodeDnsName(std::string_view name, TzvWireWriter& writer) {
  if (name == ".") name = {};
  // The wire form is made here first, so the errors come in their order whatever the text
  // holds. One byte more than the longest name tells a name that is too long.
  std::array<std::uint8_t, kzvDnsMaxNameOctets + 1> wire;
  std::size_t size = 0;
  const auto put = [&](std::uint8_t byte) {
    if (size == wire.size()) RaiseEncoding(SzvDnsNameTooLong);
    wire[size++] = byte;
  };
  const auto refuse = [&name](const char* why) {
    RaiseEncoding(Format("'%s' is not a legal name (%s)", std::string(name).c_str(), why));
  };
  bool empty_label = false;
  bool long_label = false;
  std::size_t label_at = 0;  // where the label's length byte goes, filled in at its end
  const auto end_label = [&] {
    const std::size_t length = size - label_at - 1;
    empty_label = empty_label || length == 0;
    long_label = long_label || length > kzvDnsMaxLabelOctets;
    wire[label_at] = static_cast<std::uint8_t>(length);
  };
  put(0);
  for (std::size_t i = 0; i < name.size();) {
    const char c = name[i];
    if (c == '.') {
      end_label();
      label_at = size;
      put(0);
      ++i;
    } else if (c != '\\') {
      put(static_cast<std::uint8_t>(c));
      ++i;
    } else if (i + 1 == name.size()) {
      refuse("a backslash ends it");
    } else if (IsDigit(name[i + 1])) {
      if (name.size() - i < 4 || !IsDigit(name[i + 2]) || !IsDigit(name[i + 3]))
        refuse("\\DDD needs three digits");
      const int value = (name[i + 1] - '0') * 100 + (name[i + 2] - '0') * 10 + (name[i + 3] - '0');
      if (value > 255) refuse("\\DDD above 255");
      put(static_cast<std::uint8_t>(value));
      i += 4;
    } else {
      put(static_cast<std::uint8_t>(name[i + 1]));
      i += 2;
    }
  }
  // An empty last label is the empty text's or follows a final dot: the placeholder is then
  // the name's zero byte.
  if (size - label_at > 1) {
    end_label();
    put(0);
  }
  if (size > kzvDnsMaxNameOctets) RaiseEncoding(SzvDnsNameTooLong);
  if (empty_label) RaiseEncoding(Format(SzvDnsEmptyLabel, std::string(name).c_str()));
  if (long_label) RaiseEncoding(SzvDnsLabelTooLong);
  writer.WriteBytes({wire.data(), size});
}
