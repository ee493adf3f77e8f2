// A small JSON writer for pellamar-cli's --json output: objects, arrays, strings,
// numbers, booleans and null, with commas and string escapes handled in one place.
// Strings are expected in UTF-8 (the companion's texts are made safe before they get
// here); any byte that is not part of valid UTF-8 is written as \u00XX so the output
// always parses.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class TJsonWriter {
 public:
  TJsonWriter();
  void BeginObject();
  void EndObject();
  void BeginArray();
  void EndArray();
  // The member name of the value written next (inside an object).
  void Key(std::string_view name);
  void String(std::string_view text);
  void Number(std::int64_t value);
  // A fixed-point number with `decimals` digits after the point (times in ms).
  void Fixed(double value, int decimals);
  void Bool(bool value);
  void Null();

  const std::string& Text() const { return text_; }

 private:
  // Writes the comma a value needs when it is not the first of its container.
  void BeforeValue();
  std::string text_;
  // One entry per open container: whether it already holds a value.
  std::vector<char> has_value_;
  bool after_key_ = false;
};

// The text as a JSON string literal, quotes included.
std::string JsonQuoted(std::string_view text);
