// A strict check of JSON syntax (RFC 8259) for what pellamar-cli --json prints: the tests
// and the formatters' fuzz target hold every report to it, so a string escape gone wrong
// or a raw control byte is caught wherever it comes from.
#pragma once

#include <cstddef>
#include <string_view>

namespace json_syntax {

class TChecker {
 public:
  explicit TChecker(std::string_view text) : text_(text) {}

  bool Document() {
    Space();
    if (!Value(0)) return false;
    Space();
    return at_ == text_.size();
  }

 private:
  static constexpr int kMaxDepth = 64;

  bool More() const { return at_ < text_.size(); }
  char Peek() const { return More() ? text_[at_] : '\0'; }
  bool Take(char c) {
    if (Peek() != c || !More()) return false;
    ++at_;
    return true;
  }
  void Space() {
    while (More() && (Peek() == ' ' || Peek() == '\t' || Peek() == '\n' || Peek() == '\r')) ++at_;
  }
  bool Word(std::string_view word) {
    if (text_.substr(at_, word.size()) != word) return false;
    at_ += word.size();
    return true;
  }
  bool Digits() {
    const std::size_t start = at_;
    while (More() && Peek() >= '0' && Peek() <= '9') ++at_;
    return at_ > start;
  }
  bool Number() {
    Take('-');
    if (!Take('0') && !Digits()) return false;
    if (Take('.') && !Digits()) return false;
    if (Take('e') || Take('E')) {
      if (!Take('+')) Take('-');
      if (!Digits()) return false;
    }
    return true;
  }
  bool String() {
    if (!Take('"')) return false;
    while (More()) {
      const auto c = static_cast<unsigned char>(text_[at_++]);
      if (c == '"') return true;
      if (c < 0x20) return false;
      if (c != '\\') continue;
      const char e = Peek();
      ++at_;
      if (e == 'u') {
        for (int i = 0; i < 4; ++i) {
          const char h = Peek();
          if (!((h >= '0' && h <= '9') || (h >= 'a' && h <= 'f') || (h >= 'A' && h <= 'F')))
            return false;
          ++at_;
        }
      } else if (std::string_view("\"\\/bfnrt").find(e) == std::string_view::npos || e == '\0') {
        return false;
      }
    }
    return false;
  }
  template <class Item>
  bool List(char close, Item item) {
    Space();
    if (Take(close)) return true;
    for (;;) {
      Space();
      if (!item()) return false;
      Space();
      if (Take(close)) return true;
      if (!Take(',')) return false;
    }
  }
  bool Value(int depth) {
    if (depth > kMaxDepth) return false;
    switch (Peek()) {
      case '{':
        ++at_;
        return List('}', [&] {
          if (!String()) return false;
          Space();
          if (!Take(':')) return false;
          Space();
          return Value(depth + 1);
        });
      case '[':
        ++at_;
        return List(']', [&] { return Value(depth + 1); });
      case '"':
        return String();
      case 't':
        return Word("true");
      case 'f':
        return Word("false");
      case 'n':
        return Word("null");
      default:
        return Number();
    }
  }

  std::string_view text_;
  std::size_t at_ = 0;
};

// Whether the text is one JSON value, with white space around it at most.
inline bool IsValidJson(std::string_view text) {
  return TChecker(text).Document();
}

}  // namespace json_syntax
