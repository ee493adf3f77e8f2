#include "dns/zvRegistry.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

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

// The resolver file as the C library's resolver takes it: a missing file is no
// configuration at all (nullopt), but one that is there and cannot be read is a fault
// worth reporting rather than a machine without DNS servers.
std::optional<std::string> ReadResolverFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT || errno == ENOTDIR) return std::nullopt;
    throw EzvRegistryError(Format("Cannot read %s: %s", path.c_str(), std::strerror(errno)));
  }
  std::string text;
  char chunk[4096];
  for (;;) {
    const ssize_t got = ::read(fd, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      const int saved = errno;
      ::close(fd);
      throw EzvRegistryError(Format("Cannot read %s: %s", path.c_str(), std::strerror(saved)));
    }
    if (got == 0 || text.size() >= static_cast<std::size_t>(kMaxFileSize)) break;
    text.append(chunk, static_cast<std::size_t>(got));
  }
  ::close(fd);
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

// The C library's resolver uses at most this many servers, and asks its own machine when
// the file names none.
constexpr std::size_t kMaxResolverServers = 3;
constexpr const char* kResolverFallback = "127.0.0.1";

// A server address as the C library takes it from a nameserver line, in its usual text
// form; empty when it is no address. IPv4 in any form inet_aton takes ("127.1"), IPv6
// with an optional scope after "%", kept as written.
std::string ResolverAddress(const std::string& value) {
  in_addr v4{};
  if (!value.empty() && ::inet_aton(value.c_str(), &v4) != 0) {
    char text[INET_ADDRSTRLEN];
    return ::inet_ntop(AF_INET, &v4, text, sizeof text) != nullptr ? text : "";
  }
  const std::string address = value.substr(0, value.find('%'));
  in6_addr v6{};
  if (address.empty() || ::inet_pton(AF_INET6, address.c_str(), &v6) != 1) return "";
  char text[INET6_ADDRSTRLEN];
  if (::inet_ntop(AF_INET6, &v6, text, sizeof text) == nullptr) return "";
  return text + value.substr(address.size());
}

// The servers of the resolver file, read the way the C library's resolver reads them:
// comment lines start with "#" or ";"; a nameserver line is the keyword at the start of
// the line, blanks or tabs, then the value up to the next blank or tab, which is used
// only when it is an address (so "4.4.4.4;x" or "foo.example" are passed over); at most
// the first three servers count. None at all means the machine itself.
std::vector<std::string> ResolvConfServers(std::string_view text) {
  constexpr std::string_view kKeyword = "nameserver";
  std::vector<std::string> servers;
  for (const std::string& line : Lines(text)) {
    if (servers.size() == kMaxResolverServers) break;
    if (line.size() <= kKeyword.size() || line.compare(0, kKeyword.size(), kKeyword) != 0) continue;
    std::size_t i = kKeyword.size();
    if (line[i] != ' ' && line[i] != '\t') continue;
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    const std::size_t end = line.find_first_of(" \t", i);
    const std::string address =
        ResolverAddress(line.substr(i, end == std::string::npos ? end : end - i));
    if (!address.empty()) servers.push_back(address);
  }
  if (servers.empty()) servers.emplace_back(kResolverFallback);
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
  // The global configuration is always there: without a file it is the fallback server.
  std::vector<std::string> names{std::string(kResolvConfKey)};

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
    const std::optional<std::string> text = ReadResolverFile(resolv_conf_);
    AddStringValue(values, "NameServer", ResolvConfServers(text ? *text : std::string()));
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

namespace {

// A server as systemd writes it ("1.1.1.1:5353#dns.example", "[fe80::1%2]:53") given as
// the text the server field takes, the address, followed by the port as the command
// line takes it when that is not 53. A plain address, or any other text, is kept.
std::string ServerText(std::string server) {
  // After "#" comes the name the server's certificate is checked against.
  if (const std::size_t hash = server.find('#'); hash != std::string::npos) server.resize(hash);
  std::string address = server;
  std::string port;
  if (!server.empty() && server.front() == '[') {
    const std::size_t close = server.find(']');
    if (close == std::string::npos) return server;
    address = server.substr(1, close - 1);
    if (close + 1 < server.size()) {
      if (server[close + 1] != ':') return server;
      port = server.substr(close + 2);
    }
  } else if (const std::size_t colon = server.find(':');
             colon != std::string::npos && server.find(':', colon + 1) == std::string::npos) {
    // One colon only: an IPv4 address with its port (an IPv6 one has two or more).
    address = server.substr(0, colon);
    port = server.substr(colon + 1);
  }
  if (port.empty() || port == "53") return address;
  if (port.size() > 5 ||
      !std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return server;
  return address + " -p " + port;
}

}  // namespace

void ParseDnsServers(std::string_view value, TStrings& list) {
  static const TzvCharSet kDelimiters = MakeCharSet(" ,");
  const std::int32_t count = CountWords(value, kDelimiters);
  for (std::int32_t n = 1; n <= count; ++n) {
    std::string server = ServerText(PickWord(n, value, kDelimiters));
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
