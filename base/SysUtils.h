// The runtime's failure base and the few text helpers the library is written against.
// Every failure of the library is an Exception (or a kind of it); callers catch the
// family they care about and read the message the user should see.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <string_view>

// Base of every failure raised by the library and the application.
class Exception : public std::exception {
 public:
  explicit Exception(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& Message() const { return message_; }

 private:
  std::string message_;
};

// A text that should have been a number was not one.
class EConvertError : public Exception {
 public:
  using Exception::Exception;
};

// Reads a whole text as a signed 32-bit decimal integer, the way a person types one:
// leading blanks, an optional sign, then digits (no trailing blanks). A "$" prefix or
// "0x" reads hexadecimal. Anything else, or a value outside 32 bits, fails with
// EConvertError "'%s' is not a valid integer value".
std::int32_t StrToInt(std::string_view text);

// The same, but tells failure by an empty result instead of raising.
std::optional<std::int32_t> TryStrToInt(std::string_view text);

// Removes leading and trailing characters at or below the space character.
std::string Trim(std::string_view text);

// ASCII-only, locale-independent case-insensitive comparison.
bool SameText(std::string_view a, std::string_view b);

// ASCII lower-case copy.
std::string LowerCase(std::string_view text);

// printf-style formatting into a std::string.
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The length of the UTF-8 sequence that starts at `at`: 1 for an ASCII byte, 2 to 4 for
// a well-formed multi-byte sequence (no overlong forms, surrogates or values past
// U+10FFFF), 0 when the bytes there are not valid UTF-8.
std::size_t Utf8SequenceLength(std::string_view text, std::size_t at);
// The code point of the well-formed sequence of `length` bytes at `at`.
char32_t Utf8CodePoint(std::string_view text, std::size_t at, std::size_t length);
// Characters that must never reach a terminal or a text pane as they are, whatever text
// they come in: C0 and C1 controls and DEL (a terminal obeys them), the bidirectional
// controls (U+200E, U+200F, U+202A to U+202E, U+2066 to U+2069: they reorder what follows,
// so one name can pass for another) and the characters of no width (U+200B to U+200D,
// U+FEFF) that hide inside a name.
bool IsHiddenCharacter(char32_t code_point);

// A file that could not be read, or that holds more than its reader takes.
class EFileError : public Exception {
 public:
  using Exception::Exception;
};

// The whole content of the file at path, when it holds at most max_bytes: never more than
// max_bytes + 1 bytes are read, so a huge file, /dev/zero or an endless pipe costs no more
// than that before it is refused. Fails with EFileError "PATH: ..." when the file cannot be
// opened or read (the system's reason) or holds more than max_bytes.
std::string ReadFileAtMost(const std::string& path, std::size_t max_bytes);
