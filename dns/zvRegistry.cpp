#include "dns/zvRegistry.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <system_error>

#include "dns/zvUtils.h"

namespace {

struct StoredValue {
  std::string Name;
  TzvRegDataType Type = TzvRegDataType::rdUnknown;
  std::string Data;
  bool FailRead = false;
};

// A key as it was when opened: later changes to the tree do not reach it, so a reader
// never holds a pointer into a tree that may change or go away.
class SnapshotKey : public TzvRegistryKey {
 public:
  SnapshotKey(std::vector<std::string> sub_keys, std::vector<StoredValue> values)
      : sub_keys_(std::move(sub_keys)), values_(std::move(values)) {}

  int SubKeyCount() const override { return static_cast<int>(sub_keys_.size()); }

  std::optional<std::string> SubKeyName(int index) const override {
    if (index < 0 || index >= SubKeyCount()) return std::nullopt;
    return sub_keys_[static_cast<std::size_t>(index)];
  }

  bool GetDataInfo(std::string_view name, TzvRegDataInfo& info) const override {
    const StoredValue* value = Find(name);
    if (value == nullptr) return false;
    info.RegData = value->Type;
    info.DataSize = value->Data.size();
    return true;
  }

  bool GetData(std::string_view name, std::string& data) const override {
    const StoredValue* value = Find(name);
    if (value == nullptr || value->FailRead) return false;
    data = value->Data;
    return true;
  }

 private:
  const StoredValue* Find(std::string_view name) const {
    for (const StoredValue& value : values_)
      if (SameText(value.Name, name)) return &value;
    return nullptr;
  }

  std::vector<std::string> sub_keys_;
  std::vector<StoredValue> values_;
};

// The non-empty parts of a backslash-separated path.
std::vector<std::string_view> SplitPath(std::string_view path) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find('\\', start);
    if (end == std::string_view::npos) end = path.size();
    if (end > start) parts.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

}  // namespace

// ---- reader ----

bool TzvRegistry::OpenKeyReadOnly(std::string_view path) {
  CloseKey();
  key_ = provider_.OpenKey(path);
  return key_ != nullptr;
}

void TzvRegistry::GetKeyNames(TStrings& names) const {
  if (key_ == nullptr) return;
  const int count = key_->SubKeyCount();
  for (int i = 0; i < count; ++i) {
    // A sub-key that vanished between counting and naming is simply not listed.
    if (std::optional<std::string> name = key_->SubKeyName(i)) names.Add(std::move(*name));
  }
}

bool TzvRegistry::GetDataInfo(std::string_view name, TzvRegDataInfo& info) const {
  return key_ != nullptr && key_->GetDataInfo(name, info);
}

std::string TzvRegistry::ReadString(std::string_view name) const {
  TzvRegDataInfo info;
  if (!GetDataInfo(name, info) || info.DataSize == 0) return {};
  if (info.RegData != TzvRegDataType::rdString && info.RegData != TzvRegDataType::rdExpandString)
    throw EzvRegistryError(
        Format("Invalid data type for '%.*s'", static_cast<int>(name.size()), name.data()));
  std::string data;
  if (!key_->GetData(name, data))
    throw EzvRegistryError(
        Format("Failed to get data for '%.*s'", static_cast<int>(name.size()), name.data()));
  const std::size_t nul = data.find('\0');
  if (nul != std::string::npos) data.resize(nul);
  return data;
}

// ---- in-memory tree ----

struct TzvMemoryRegistry::Node {
  std::string Name;
  std::vector<std::unique_ptr<Node>> Children;
  std::vector<StoredValue> Values;
  bool Denied = false;

  Node* Child(std::string_view name) const {
    for (const auto& child : Children)
      if (SameText(child->Name, name)) return child.get();
    return nullptr;
  }
  StoredValue& Value(std::string_view name) {
    for (StoredValue& value : Values)
      if (SameText(value.Name, name)) return value;
    StoredValue& added = Values.emplace_back();
    added.Name = std::string(name);
    return added;
  }
};

TzvMemoryRegistry::TzvMemoryRegistry() : root_(std::make_unique<Node>()) {}
TzvMemoryRegistry::~TzvMemoryRegistry() = default;

std::unique_ptr<TzvRegistryKey> TzvMemoryRegistry::OpenKey(std::string_view path) const {
  const Node* node = root_.get();
  for (std::string_view part : SplitPath(path)) {
    node = node->Child(part);
    if (node == nullptr) return nullptr;
  }
  if (node->Denied) return nullptr;
  std::vector<std::string> names;
  for (const auto& child : node->Children) names.push_back(child->Name);
  return std::make_unique<SnapshotKey>(std::move(names), node->Values);
}

TzvMemoryRegistry::Node& TzvMemoryRegistry::Ensure(std::string_view path) {
  Node* node = root_.get();
  for (std::string_view part : SplitPath(path)) {
    Node* child = node->Child(part);
    if (child == nullptr) {
      node->Children.push_back(std::make_unique<Node>());
      child = node->Children.back().get();
      child->Name = std::string(part);
    }
    node = child;
  }
  return *node;
}

void TzvMemoryRegistry::CreateKey(std::string_view path) {
  Ensure(path);
}

void TzvMemoryRegistry::WriteString(std::string_view path, std::string_view name,
                                    std::string_view text) {
  WriteValue(path, name, TzvRegDataType::rdString, std::string(text) + '\0');
}

void TzvMemoryRegistry::WriteExpandString(std::string_view path, std::string_view name,
                                          std::string_view text) {
  WriteValue(path, name, TzvRegDataType::rdExpandString, std::string(text) + '\0');
}

void TzvMemoryRegistry::WriteInteger(std::string_view path, std::string_view name,
                                     std::uint32_t value) {
  // Stored as the little-endian double word the registry keeps.
  std::string data;
  for (int shift = 0; shift < 32; shift += 8) data += static_cast<char>((value >> shift) & 0xFF);
  WriteValue(path, name, TzvRegDataType::rdInteger, std::move(data));
}

void TzvMemoryRegistry::WriteValue(std::string_view path, std::string_view name,
                                   TzvRegDataType type, std::string data) {
  StoredValue& value = Ensure(path).Value(name);
  value.Type = type;
  value.Data = std::move(data);
}

void TzvMemoryRegistry::DenyOpen(std::string_view path) {
  Ensure(path).Denied = true;
}

void TzvMemoryRegistry::FailDataRead(std::string_view path, std::string_view name) {
  Ensure(path).Value(name).FailRead = true;
}

// ---- the machine's configuration ----

namespace {

constexpr std::string_view kResolvConfKey = "resolv.conf";
// Configuration files are small; anything past this is not read.
constexpr std::streamsize kMaxFileSize = 1 << 20;

std::optional<std::string> ReadSmallFile(const std::string& path) {
  std::error_code error;
  if (!std::filesystem::is_regular_file(path, error)) return std::nullopt;
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::string text(static_cast<std::size_t>(kMaxFileSize), '\0');
  in.read(text.data(), kMaxFileSize);
  text.resize(static_cast<std::size_t>(in.gcount()));
  return text;
}

std::vector<std::string> Lines(std::string_view text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.emplace_back(line);
    start = end + 1;
  }
  return lines;
}

std::vector<std::string> Words(std::string_view text) {
  std::vector<std::string> words;
  std::size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    const std::size_t start = i;
    while (i < text.size() && text[i] != ' ' && text[i] != '\t') ++i;
    if (i > start) words.emplace_back(text.substr(start, i - start));
  }
  return words;
}

// The addresses of the nameserver lines, read the way the C library's resolver reads
// them: the keyword at the start of the line, a blank or tab, then the address up to a
// blank or a comment character. Scope suffixes ("fe80::1%eth0") are part of the address.
std::vector<std::string> ResolvConfServers(std::string_view text) {
  constexpr std::string_view kKeyword = "nameserver";
  std::vector<std::string> servers;
  for (const std::string& line : Lines(text)) {
    if (line.size() <= kKeyword.size() || line.compare(0, kKeyword.size(), kKeyword) != 0) continue;
    std::size_t i = kKeyword.size();
    if (line[i] != ' ' && line[i] != '\t') continue;
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    const std::size_t end = line.find_first_of(";# \t", i);
    std::string address = line.substr(i, end == std::string::npos ? end : end - i);
    if (!address.empty()) servers.push_back(std::move(address));
  }
  return servers;
}

// The blank-separated words of KEY=... in a systemd state file (KEY=VALUE lines).
std::vector<std::string> StateList(const std::optional<std::string>& text, std::string_view key) {
  if (!text) return {};
  for (const std::string& line : Lines(*text)) {
    if (line.size() > key.size() && line.compare(0, key.size(), key) == 0 &&
        line[key.size()] == '=')
      return Words(std::string_view(line).substr(key.size() + 1));
  }
  return {};
}

bool IsLinkIndex(std::string_view name) {
  return !name.empty() && name.size() <= 9 &&
         std::all_of(name.begin(), name.end(), [](char c) { return c >= '0' && c <= '9'; });
}

void AddStringValue(std::vector<StoredValue>& values, std::string_view name,
                    const std::vector<std::string>& words) {
  if (words.empty()) return;
  std::string text;
  for (const std::string& word : words) {
    if (!text.empty()) text += ' ';
    text += word;
  }
  StoredValue& value = values.emplace_back();
  value.Name = std::string(name);
  value.Type = TzvRegDataType::rdString;
  value.Data = text + '\0';
}

bool ContainsText(const std::vector<std::string>& words, std::string_view word) {
  return std::any_of(words.begin(), words.end(),
                     [&](const std::string& w) { return SameText(w, word); });
}

}  // namespace

TzvSystemRegistry::TzvSystemRegistry(std::string run_dir, std::string resolv_conf)
    : run_dir_(std::move(run_dir)), resolv_conf_(std::move(resolv_conf)) {}

std::unique_ptr<TzvRegistryKey> TzvSystemRegistry::OpenKey(std::string_view path) const {
  const std::vector<std::string_view> interfaces = SplitPath(kDnsInterfacesKey);
  const std::vector<std::string_view> parts = SplitPath(path);
  if (parts.size() < interfaces.size() || parts.size() > interfaces.size() + 1) return nullptr;
  for (std::size_t i = 0; i < interfaces.size(); ++i)
    if (!SameText(parts[i], interfaces[i])) return nullptr;
  if (parts.size() == interfaces.size())
    return std::make_unique<SnapshotKey>(InterfaceNames(), std::vector<StoredValue>{});
  return OpenInterface(std::string(parts.back()));
}

std::vector<std::string> TzvSystemRegistry::InterfaceNames() const {
  std::vector<std::string> names;
  std::error_code error;
  if (std::filesystem::is_regular_file(resolv_conf_, error)) names.emplace_back(kResolvConfKey);

  // Ordered by index; the file names themselves name the keys.
  std::set<std::pair<long, std::string>> links;
  for (const char* dir :
       {"/systemd/netif/links", "/systemd/netif/leases", "/systemd/resolve/netif"}) {
    std::error_code list_error;
    std::filesystem::directory_iterator it(run_dir_ + dir, list_error);
    if (list_error) continue;
    for (; it != std::filesystem::directory_iterator(); it.increment(list_error)) {
      const std::string name = it->path().filename().string();
      if (IsLinkIndex(name)) links.emplace(std::stol(name), name);
      if (list_error) break;
    }
  }
  for (const auto& link : links) names.push_back(link.second);
  return names;
}

std::unique_ptr<TzvRegistryKey> TzvSystemRegistry::OpenInterface(const std::string& name) const {
  std::vector<StoredValue> values;
  if (SameText(name, kResolvConfKey)) {
    const std::optional<std::string> text = ReadSmallFile(resolv_conf_);
    if (!text) return nullptr;
    AddStringValue(values, "NameServer", ResolvConfServers(*text));
    return std::make_unique<SnapshotKey>(std::vector<std::string>{}, std::move(values));
  }
  if (!IsLinkIndex(name)) return nullptr;
  const std::string& index = name;  // digits only, so it cannot leave the state folders
  const std::optional<std::string> link = ReadSmallFile(run_dir_ + "/systemd/netif/links/" + index);
  const std::optional<std::string> lease =
      ReadSmallFile(run_dir_ + "/systemd/netif/leases/" + index);
  const std::optional<std::string> resolved =
      ReadSmallFile(run_dir_ + "/systemd/resolve/netif/" + index);
  if (!link && !lease && !resolved) return nullptr;

  const std::vector<std::string> dhcp = StateList(lease, "DNS");
  // networkd's DNS= lists every server the link uses, the DHCP ones among them; the rest
  // were configured for the link, as are those set on it through resolved.
  std::vector<std::string> configured;
  for (const std::string& server : StateList(link, "DNS"))
    if (!ContainsText(dhcp, server)) configured.push_back(server);
  for (const std::string& server : StateList(resolved, "SERVERS")) configured.push_back(server);
  AddStringValue(values, "DhcpNameServer", dhcp);
  AddStringValue(values, "NameServer", configured);
  return std::make_unique<SnapshotKey>(std::vector<std::string>{}, std::move(values));
}

// ---- discovery ----

void ParseDnsServers(std::string_view value, TStrings& list) {
  static const TzvCharSet kDelimiters = MakeCharSet(" ,");
  const std::int32_t count = CountWords(value, kDelimiters);
  for (std::int32_t n = 1; n <= count; ++n) {
    std::string server = PickWord(n, value, kDelimiters);
    // Compared without regard to case whatever the list's own setting.
    const bool known = std::any_of(list.begin(), list.end(), [&](const std::string& entry) {
      return SameText(entry, server);
    });
    if (!known) list.Add(std::move(server));
  }
}

void GetSystemDnsServers(TStrings& list) {
  const TzvSystemRegistry system;
  GetSystemDnsServers(list, system);
}

void GetSystemDnsServers(TStrings& list, const TzvRegistryProvider& registry) {
  TzvRegistry reader(registry);
  if (!reader.OpenKeyReadOnly(kDnsInterfacesKey)) return;
  TStrings names;
  reader.GetKeyNames(names);
  for (const std::string& name : names) {
    if (!reader.OpenKeyReadOnly(std::string(kDnsInterfacesKey) + name)) continue;
    // The servers set by hand count only where DHCP gave none.
    std::string servers = reader.ReadString("DhcpNameServer");
    if (servers.empty()) servers = reader.ReadString("NameServer");
    if (!servers.empty()) ParseDnsServers(servers, list);
    reader.CloseKey();
  }
}
