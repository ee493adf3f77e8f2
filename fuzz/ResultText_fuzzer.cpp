// Feeds arbitrary answers, and arbitrary bytes taken as names and texts, to the formatters
// the window and pellamar-cli show results through: the text lines, --short's record data
// and --json's records with their fields. Whatever an answer holds, no line may carry a control
// character, a bidirectional control or a character of no width, and every JSON report must parse.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "base/SysUtils.h"
#include "cli/DigText.h"
#include "cli/JsonText.h"
#include "cli/RecordJson.h"
#include "cli/ResultText.h"
#include "dns/zvDnsMessage.h"
#include "dns/zvDnsRecordTypes.h"
#include "dns/zvIdn.h"
#include "tests/support/JsonSyntax.h"

namespace {

#define FUZZ_CHECK(condition, text)                                                           \
  do {                                                                                        \
    if (!(condition)) {                                                                       \
      std::fprintf(stderr, "invariant broken at line %d: %s\nin: %s\n", __LINE__, #condition, \
                   std::string(text).c_str());                                                \
      std::abort();                                                                           \
    }                                                                                         \
  } while (0)

// Valid UTF-8 with nothing a reader cannot see as it is.
void CheckShown(std::string_view line) {
  for (std::size_t i = 0; i < line.size();) {
    const std::size_t length = Utf8SequenceLength(line, i);
    FUZZ_CHECK(length != 0, line);
    FUZZ_CHECK(!IsHiddenCharacter(Utf8CodePoint(line, i, length)), line);
    i += length;
  }
}

void CheckLines(const std::vector<std::string>& lines) {
  for (const std::string& line : lines) CheckShown(line);
}

// pellamar-cli's records in JSON, each with its own fields.
void WriteRecords(TJsonWriter& json, const TzvDnsRecordList& records) {
  json.BeginArray();
  for (const auto& record : records) WriteRecordJson(json, *record);
  json.EndArray();
}

// dig's form and its YAML, folded (+multi) or not: tabs and line ends are its own layout,
// nothing else hidden may come through.
void CheckDigForms(const TzvDnsMessage& message) {
  TDigLookup lookup;
  lookup.ServerName = lookup.ServerAddress = "127.0.0.1";
  for (const bool multi : {false, true}) {
    TDigDisplay display;
    display.Multi = display.Qr = display.TtlUnits = multi;
    for (std::string text :
         {DigText(&message, lookup, display), DigYaml(message, lookup, display)}) {
      for (char& c : text)
        if (c == '\t' || c == '\n') c = ' ';
      CheckShown(text);
    }
  }
}

void CheckAnswer(const std::uint8_t* data, std::size_t size) {
  TzvDnsExtendedMessage message;
  TMemoryStream stream;
  stream.WriteBuffer(data, static_cast<std::int32_t>(size));
  stream.SetPosition(0);
  try {
    message.Parse(stream);
  } catch (const EzvDnsError&) {
    // What was decoded before the fault is shown all the same.
  }
  TJsonWriter json;
  json.BeginObject();
  const std::pair<const char*, const TzvDnsRecordList*> sections[] = {
      {"answer", &message.Answers()},
      {"authority", &message.Authorities()},
      {"additional", &message.AdditionalRecords()}};
  for (const auto& [key, records] : sections) {
    json.Key(key);
    WriteRecords(json, *records);
    for (const auto& record : *records) {
      CheckShown(ShownName(record->Name));
      CheckShown(RecordDataText(*record));
      CheckShown(record->DataText(TzvDnsTextStyle::Dig));  // --short's
    }
    for (std::int32_t type :
         {kzvDnsTypeTXT, kzvDnsTypeSOA, kzvDnsTypeCNAME, kzvDnsTypeSRV, kzvDnsTypeCAA})
      CheckLines(RecordSectionLines(*records, type));
  }
  // EDNS's options: the Extended DNS Errors in JSON and after the results.
  json.Key("ede");
  WriteExtendedErrorsJson(json, &message);
  CheckLines(ExtendedErrorLines(message));
  json.EndObject();
  FUZZ_CHECK(json_syntax::IsValidJson(json.Text()), json.Text());
  CheckShown(json.Text());
  CheckDigForms(message);
}

// The input itself as a name, a text and a server: what a user typed or a configuration
// file held goes through the same formatters.
void CheckText(const std::string& text) {
  CheckShown(ShownName(text));
  CheckShown(QuotedText(text));
  TStrings list;
  list.Add(text);
  CheckLines(AliasLines(list));
  CheckLines(DnsServerLines(list));
  const std::string json = JsonQuoted(text);
  FUZZ_CHECK(json_syntax::IsValidJson(json), json);
  CheckShown(json);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 4096) return 0;
  CheckAnswer(data, size);
  CheckText(std::string(reinterpret_cast<const char*>(data), size));
  return 0;
}
