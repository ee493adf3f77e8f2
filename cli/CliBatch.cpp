#include "cli/CliBatch.h"

#include <vector>

#include "cli/CliOptions.h"
#include "cli/ResultText.h"

namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

}  // namespace

TBatchLine ParseBatchLine(const std::string& text, std::int32_t default_type) {
  TBatchLine line;
  std::vector<std::string> words;
  for (std::size_t at = 0; at < text.size();) {
    if (IsBlank(text[at])) {
      ++at;
      continue;
    }
    // A comment starts a line or a word; "a#b" is a name.
    if (text[at] == '#') break;
    std::size_t end = at;
    while (end < text.size() && !IsBlank(text[end])) ++end;
    words.push_back(text.substr(at, end - at));
    at = end;
  }
  if (words.empty()) return line;
  line.Question = true;
  line.Type = default_type;
  if (words.size() == 1) {
    line.Name = words[0];
  } else if (words.size() == 2) {
    // dig's "NAME TYPE" first, then "TYPE NAME", as on the command line.
    if (const auto type = ParseQueryType(words[1])) {
      line.Name = words[0];
      line.Type = *type;
    } else if (const auto first = ParseQueryType(words[0])) {
      line.Name = words[1];
      line.Type = *first;
    } else {
      line.Problem = "unknown TYPE '" + EscapedName(words[1]) + "'";
    }
  } else {
    line.Problem =
        "expected NAME, NAME TYPE or TYPE NAME, not " + std::to_string(words.size()) + " words";
  }
  return line;
}

std::optional<TBatchLine> TBatchReader::Next() {
  std::string text;
  bool too_long = false, any = false;
  for (int c; (c = in_.get()) != std::char_traits<char>::eof();) {
    any = true;
    if (c == '\n') break;
    if (text.size() < kBatchMostLine)
      text += static_cast<char>(c);
    else
      too_long = true;  // the rest of the line is read and dropped
  }
  if (!any) return std::nullopt;
  ++number_;
  TBatchLine line;
  if (too_long) {
    line.Question = true;
    line.Problem = "longer than " + std::to_string(kBatchMostLine) + " bytes";
  } else if (text.find('\0') != std::string::npos) {
    line.Question = true;
    line.Problem = "holds a NUL byte";
  } else {
    line = ParseBatchLine(text, default_type_);
  }
  line.Number = number_;
  return line;
}
