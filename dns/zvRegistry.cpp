#include "dns/zvRegistry.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <system_error>
#include <unordered_set>

#include "base/SysUtils.h"

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
// systemd's state files are small; anything past this is not read.
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

// The C library's resolver uses at most this many servers, and asks its own machine when
// the file names none.
constexpr std::size_t kMaxResolverServers = 3;
constexpr const char* kResolverFallback = "127.0.0.1";

bool IsAsciiSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Whether the resolver can use `scope`, the text after "%" of a server address, as the
// address's scope. It takes a decimal number that fits 32 bits for any address, and for a
// link-local one also an interface's name; any other text it drops without a word, using
// the address with no scope. Which interfaces exist is the machine's own business, so any
// text the kernel would take as an interface name (at most 15 bytes, no "/", ":" or
// blanks of any kind) is kept.
bool ResolverUsesScope(const in6_addr& address, std::string_view scope) {
  if (!scope.empty() && scope.front() >= '0' && scope.front() <= '9') {
    std::uint64_t number = 0;
    bool fits = true;
    for (const char c : scope) {
      if (c < '0' || c > '9') {
        fits = false;
        break;
      }
      number = number * 10 + static_cast<std::uint64_t>(c - '0');
      if (number > UINT32_MAX) {
        fits = false;
        break;
      }
    }
    if (fits) return true;
  }
  const bool link_local = IN6_IS_ADDR_LINKLOCAL(&address) || IN6_IS_ADDR_MC_NODELOCAL(&address) ||
                          IN6_IS_ADDR_MC_LINKLOCAL(&address);
  if (!link_local || scope.empty() || scope.size() >= IFNAMSIZ || scope == "." || scope == "..")
    return false;
  return std::none_of(scope.begin(), scope.end(),
                      [](char c) { return c == '/' || c == ':' || IsAsciiSpace(c); });
}

// A server address as the C library takes it from a nameserver line, in its usual text
// form; empty when it is no address. The whole text must be the address: IPv4 in any form
// inet_aton takes ("127.1", "010.0.0.1"), or IPv6 with an optional scope after "%", kept
// as written when the resolver can use it and left out when it cannot.
std::string ResolverAddress(std::string_view value) {
  const std::string text(value);
  in_addr v4{};
  // inet_aton also takes an address followed by a blank of any kind and then anything;
  // the resolver does not, so "10.0.0.1\r" is no address to it.
  if (!text.empty() && std::none_of(text.begin(), text.end(), IsAsciiSpace) &&
      ::inet_aton(text.c_str(), &v4) != 0) {
    char buffer[INET_ADDRSTRLEN];
    return ::inet_ntop(AF_INET, &v4, buffer, sizeof buffer) != nullptr ? buffer : "";
  }
  const std::size_t percent = text.find('%');
  const std::string address = text.substr(0, percent);
  in6_addr v6{};
  if (address.empty() || ::inet_pton(AF_INET6, address.c_str(), &v6) != 1) return "";
  char buffer[INET6_ADDRSTRLEN];
  if (::inet_ntop(AF_INET6, &v6, buffer, sizeof buffer) == nullptr) return "";
  if (percent == std::string::npos) return buffer;
  const std::string_view scope = std::string_view(text).substr(percent + 1);
  return ResolverUsesScope(v6, scope) ? std::string(buffer) + '%' + std::string(scope)
                                      : std::string(buffer);
}

// Picks the servers out of the resolver file as it streams past, the way the C library's
// resolver reads its lines: a nameserver line is the keyword at the very start of the line,
// one or more blanks or tabs, then the value up to the next blank, tab or line feed (or
// the NUL that ends the line as a C string), used only when all of it is an address. Any
// other line, comments among them, is passed over. Nothing but the value being read is
// kept, so a file or line of any length takes the same little memory.
class ResolverServerScanner {
 public:
  // Takes the next bytes of the file. False once the resolver's servers are all known:
  // it ignores later nameserver lines, so the rest of the file need not be read.
  bool Feed(std::string_view bytes) {
    for (const char c : bytes) {
      if (c == '\n') {
        EndLine();
        if (Full()) return false;
        continue;
      }
      if (state_ == State::kRestOfLine) continue;
      if (c == '\0') {  // the line ends here as far as the resolver's string functions see
        EndValue();
        state_ = State::kRestOfLine;
        continue;
      }
      const bool blank = c == ' ' || c == '\t';
      switch (state_) {
        case State::kKeyword:
          if (c != kKeyword[matched_]) {
            state_ = State::kRestOfLine;
          } else if (++matched_ == kKeyword.size()) {
            state_ = State::kFirstBlank;
          }
          break;
        case State::kFirstBlank:
          state_ = blank ? State::kBlanks : State::kRestOfLine;
          break;
        case State::kBlanks:
          if (blank) break;
          state_ = State::kValue;
          Append(c);
          break;
        case State::kValue:
          if (blank) {
            EndValue();
            state_ = State::kRestOfLine;
          } else {
            Append(c);
          }
          break;
        case State::kRestOfLine:
          break;
      }
    }
    return !Full();
  }

  // The file ended; its last line may lack a line feed. None found means the machine.
  std::vector<std::string> Finish() {
    EndLine();
    if (servers_.empty()) servers_.emplace_back(kResolverFallback);
    return std::move(servers_);
  }

 private:
  enum class State { kKeyword, kFirstBlank, kBlanks, kValue, kRestOfLine };
  static constexpr std::string_view kKeyword = "nameserver";
  // Far more than any address with a scope; only texts padded with thousands of zeros
  // could be addresses past it, and those are taken for none.
  static constexpr std::size_t kMaxValue = 1024;

  bool Full() const { return servers_.size() >= kMaxResolverServers; }

  void Append(char c) {
    if (value_.size() < kMaxValue) {
      value_ += c;
    } else {
      too_long_ = true;
    }
  }

  void EndValue() {
    if (state_ == State::kValue && !too_long_ && !Full()) {
      std::string address = ResolverAddress(value_);
      if (!address.empty()) servers_.push_back(std::move(address));
    }
    value_.clear();
    too_long_ = false;
  }

  void EndLine() {
    EndValue();
    state_ = State::kKeyword;
    matched_ = 0;
  }

  State state_ = State::kKeyword;
  std::size_t matched_ = 0;
  std::string value_;
  bool too_long_ = false;
  std::vector<std::string> servers_;
};

// The servers of the resolver file, read as the C library's resolver reads it: the whole
// file, a piece at a time, until its servers are all known. A missing file is no
// configuration at all (the machine itself), but one that is there and cannot be read is a
// fault worth reporting rather than a machine without DNS servers.
std::vector<std::string> ResolvConfServers(const std::string& path) {
  ResolverServerScanner scanner;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT || errno == ENOTDIR) return scanner.Finish();
    throw EzvRegistryError(Format("Cannot read %s: %s", path.c_str(), std::strerror(errno)));
  }
  char chunk[4096];
  for (;;) {
    const ssize_t got = ::read(fd, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      const int saved = errno;
      ::close(fd);
      throw EzvRegistryError(Format("Cannot read %s: %s", path.c_str(), std::strerror(saved)));
    }
    if (got == 0 || !scanner.Feed(std::string_view(chunk, static_cast<std::size_t>(got)))) break;
  }
  ::close(fd);
  return scanner.Finish();
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

// Texts compared without regard to the case of ASCII letters, held in one letter case so
// a lookup costs the same however many there are.
class TextSet {
 public:
  // False when the text was there already.
  bool Insert(std::string_view text) { return texts_.insert(LowerCase(text)).second; }
  bool Contains(std::string_view text) const { return texts_.count(LowerCase(text)) != 0; }

 private:
  std::unordered_set<std::string> texts_;
};

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
    AddStringValue(values, "NameServer", ResolvConfServers(resolv_conf_));
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
  TextSet learned;
  for (const std::string& server : dhcp) learned.Insert(server);
  std::vector<std::string> configured;
  for (const std::string& server : StateList(link, "DNS"))
    if (!learned.Contains(server)) configured.push_back(server);
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

// Appends the servers of one value that are not in `known` yet (the texts the list holds,
// compared without regard to case whatever the list's own setting). One pass over the
// value, one lookup per server: a link may list thousands.
void AddDnsServers(std::string_view value, TStrings& list, TextSet& known) {
  std::size_t i = 0;
  while (i < value.size()) {
    while (i < value.size() && (value[i] == ' ' || value[i] == ',')) ++i;
    const std::size_t start = i;
    while (i < value.size() && value[i] != ' ' && value[i] != ',') ++i;
    if (i == start) break;
    std::string server = ServerText(std::string(value.substr(start, i - start)));
    if (known.Insert(server)) list.Add(std::move(server));
  }
}

TextSet TextsOf(const TStrings& list) {
  TextSet texts;
  for (const std::string& entry : list) texts.Insert(entry);
  return texts;
}

}  // namespace

void ParseDnsServers(std::string_view value, TStrings& list) {
  TextSet known = TextsOf(list);
  AddDnsServers(value, list, known);
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
  TextSet known = TextsOf(list);
  for (const std::string& name : names) {
    if (!reader.OpenKeyReadOnly(std::string(kDnsInterfacesKey) + name)) continue;
    // The servers set by hand count only where DHCP gave none.
    std::string servers = reader.ReadString("DhcpNameServer");
    if (servers.empty()) servers = reader.ReadString("NameServer");
    if (!servers.empty()) AddDnsServers(servers, list, known);
    reader.CloseKey();
  }
}
