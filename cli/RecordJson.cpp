#include "cli/RecordJson.h"

#include "cli/ResultText.h"
#include "dns/zvDnsEdnsOptions.h"
#include "dns/zvDnsRecordTypes.h"
#include "dns/zvIdn.h"

namespace {

class TJsonFields : public TzvDnsFieldVisitor {
 public:
  explicit TJsonFields(TJsonWriter& json) : json_(json) {}

  void Number(std::string_view key, std::int64_t value) override {
    Key(key);
    json_.Number(value);
  }
  void Name(std::string_view key, const std::string& name) override {
    Key(key);
    json_.String(DomainText(name));
  }
  void Text(std::string_view key, std::string_view text) override {
    Key(key);
    json_.String(EscapedName(std::string(text)));
  }
  void Words(std::string_view key, const std::vector<std::string>& words) override {
    Key(key);
    json_.BeginArray();
    for (const std::string& word : words) json_.String(EscapedName(word));
    json_.EndArray();
  }
  void Flag(std::string_view key) override {
    Key(key);
    json_.Bool(true);
  }
  void BeginGroup(std::string_view key) override {
    Key(key);
    json_.BeginObject();
    ++depth_;
  }
  void EndGroup() override {
    json_.EndObject();
    --depth_;
  }
  bool GaveData() const { return gave_data_; }

 private:
  void Key(std::string_view key) {
    if (depth_ == 0 && key == "data") gave_data_ = true;
    json_.Key(key);
  }
  TJsonWriter& json_;
  int depth_ = 0;
  bool gave_data_ = false;
};

}  // namespace

void WriteRecordJson(TJsonWriter& json, const TzvDnsRecord& record) {
  json.BeginObject();
  json.Key("name");
  json.String(DomainText(record.Name));
  const std::string unicode = IdnToUnicode(record.Name);
  if (!unicode.empty()) {
    json.Key("name_unicode");
    json.String(EscapedName(unicode));
  }
  json.Key("type");
  json.String(DnsTypeText(record.RecordType));
  json.Key("class");
  json.String(DnsClassText(record.RecordClass));
  json.Key("ttl");
  json.Number(record.TTL);
  TJsonFields fields(json);
  record.VisitFields(fields);
  if (!fields.GaveData()) {
    json.Key("data");
    json.String(RecordDataText(record));
  }
  json.EndObject();
}

void WriteExtendedErrorsJson(TJsonWriter& json, const TzvDnsMessage* message) {
  json.BeginArray();
  if (message != nullptr) {
    for (const TzvExtendedError& error : ExtendedErrors(*message)) {
      json.BeginObject();
      json.Key("code");
      json.Number(error.Code);
      json.Key("name");
      if (const char* name = ExtendedErrorName(error.Code))
        json.String(name);
      else
        json.Null();
      json.Key("text");
      json.String(ExtendedErrorShownText(error));
      json.EndObject();
    }
  }
  json.EndArray();
}
