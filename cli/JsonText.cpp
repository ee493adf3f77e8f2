#include "cli/JsonText.h"

#include <array>
#include <charconv>
#include <cstdio>
#include <cstring>

#include "base/SysUtils.h"

namespace {

void AppendUnicodeEscape(std::string& out, char32_t c) {
  char escape[8];
  std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(c));
  out += escape;
}

// The bytes a JSON string holds as they are: printable ASCII but the quote and the
// backslash. A table, as every byte of a report is looked up in it.
constexpr auto kPlain = [] {
  std::array<bool, 256> plain{};
  for (int c = 0x20; c < 0x7F; ++c) plain[static_cast<std::size_t>(c)] = c != '"' && c != '\\';
  return plain;
}();

bool IsPlain(char c) {
  return kPlain[static_cast<unsigned char>(c)];
}

// Appends the text as a JSON string literal. Runs of plain bytes, nearly every byte of a
// report, are copied whole rather than a byte at a time.
void AppendQuoted(std::string& out, std::string_view text) {
  std::size_t first = 0;
  while (first < text.size() && IsPlain(text[first])) ++first;
  if (first == text.size()) {
    // Nothing to escape, nearly every key and string: the quotes and the text in one copy.
    const std::size_t at = out.size();
    out.resize(at + text.size() + 2);
    char* to = out.data() + at;
    to[0] = '"';
    std::memcpy(to + 1, text.data(), text.size());
    to[text.size() + 1] = '"';
    return;
  }
  out += '"';
  for (std::size_t i = 0; i < text.size();) {
    std::size_t plain = i;
    while (plain < text.size() && IsPlain(text[plain])) ++plain;
    out.append(text.data() + i, plain - i);
    i = plain;
    if (i == text.size()) break;
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 0x80) {
      const std::size_t length = Utf8SequenceLength(text, i);
      if (length == 0) {
        AppendUnicodeEscape(out, c);
        ++i;
      } else {
        // Valid, but a character that would reorder or hide what a reader sees: escaped.
        const char32_t code_point = Utf8CodePoint(text, i, length);
        if (IsHiddenCharacter(code_point))
          AppendUnicodeEscape(out, code_point);
        else
          out.append(text.substr(i, length));
        i += length;
      }
      continue;
    }
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\t':
        out += "\\t";
        break;
      default:  // the other control characters and DEL
        AppendUnicodeEscape(out, c);
    }
    ++i;
  }
  out += '"';
}

}  // namespace

std::string JsonQuoted(std::string_view text) {
  std::string out;
  AppendQuoted(out, text);
  return out;
}

TJsonWriter::TJsonWriter() {
  // A lookup's report is some hundreds of bytes: made once rather than grown step by step.
  text_.reserve(1024);
}

void TJsonWriter::BeforeValue() {
  if (after_key_) {
    after_key_ = false;
    return;
  }
  if (!has_value_.empty()) {
    if (has_value_.back()) text_ += ',';
    has_value_.back() = true;
  }
}

void TJsonWriter::BeginObject() {
  BeforeValue();
  text_ += '{';
  has_value_.push_back(false);
}

void TJsonWriter::EndObject() {
  has_value_.pop_back();
  text_ += '}';
}

void TJsonWriter::BeginArray() {
  BeforeValue();
  text_ += '[';
  has_value_.push_back(false);
}

void TJsonWriter::EndArray() {
  has_value_.pop_back();
  text_ += ']';
}

void TJsonWriter::Key(std::string_view name) {
  BeforeValue();
  AppendQuoted(text_, name);
  text_ += ':';
  after_key_ = true;
}

void TJsonWriter::String(std::string_view text) {
  BeforeValue();
  AppendQuoted(text_, text);
}

void TJsonWriter::Number(std::int64_t value) {
  BeforeValue();
  char number[24];
  text_.append(number, std::to_chars(number, number + sizeof number, value).ptr);
}

void TJsonWriter::Fixed(double value, int decimals) {
  BeforeValue();
  // As printf's "%.*f" writes it, without its format parsing.
  char number[384];
  const auto written =
      std::to_chars(number, number + sizeof number, value, std::chars_format::fixed, decimals);
  if (written.ec == std::errc{}) {
    text_.append(number, written.ptr);
    return;
  }
  std::snprintf(number, sizeof number, "%.*f", decimals, value);
  text_ += number;
}

void TJsonWriter::Bool(bool value) {
  BeforeValue();
  text_ += value ? "true" : "false";
}

void TJsonWriter::Null() {
  BeforeValue();
  text_ += "null";
}
