#include "cli/JsonText.h"

#include <cstdio>

#include "base/SysUtils.h"

namespace {

void AppendUnicodeEscape(std::string& out, char32_t c) {
  char escape[8];
  std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(c));
  out += escape;
}

}  // namespace

std::string JsonQuoted(std::string_view text) {
  std::string out = "\"";
  for (std::size_t i = 0; i < text.size();) {
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
      default:
        if (c < 0x20 || c == 0x7F)
          AppendUnicodeEscape(out, c);
        else
          out += static_cast<char>(c);
    }
    ++i;
  }
  out += '"';
  return out;
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
  text_ += JsonQuoted(name);
  text_ += ':';
  after_key_ = true;
}

void TJsonWriter::String(std::string_view text) {
  BeforeValue();
  text_ += JsonQuoted(text);
}

void TJsonWriter::Number(std::int64_t value) {
  BeforeValue();
  text_ += std::to_string(value);
}

void TJsonWriter::Fixed(double value, int decimals) {
  BeforeValue();
  char number[64];
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
