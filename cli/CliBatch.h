// The lines of a batch file (pellamar-cli -f): one question a line, "NAME", "NAME TYPE"
// or "TYPE NAME"; '#' starts a comment; blank lines are skipped. Read a line at a time
// and within bounds, so a file of any length, or one long line of junk, costs no more
// memory than a line.
#pragma once

#include <cstdint>
#include <istream>
#include <optional>
#include <string>

// The most a line may hold: far more than a name and a type ever need.
inline constexpr std::size_t kBatchMostLine = 1024;

struct TBatchLine {
  std::int64_t Number = 0;  // from 1
  bool Question = false;    // false: blank or a comment, nothing to ask
  std::string Name;
  std::int32_t Type = 0;
  std::string Problem;  // why the line cannot be asked; empty when it can
};

class TBatchReader {
 public:
  // Lines without a type of their own ask `default_type`.
  TBatchReader(std::istream& in, std::int32_t default_type)
      : in_(in), default_type_(default_type) {}
  // The next line, or nothing at the end of the input.
  std::optional<TBatchLine> Next();

 private:
  std::istream& in_;
  std::int32_t default_type_;
  std::int64_t number_ = 0;
};

// A line's words as the batch reads them.
TBatchLine ParseBatchLine(const std::string& text, std::int32_t default_type);
