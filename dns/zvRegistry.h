// A small read-only view of a key and value tree in the shape of the Windows registry,
// and the discovery of the DNS servers the machine's network interfaces are configured
// to use, read through it. The query component lists those servers for the window's
// "&Listar DNS" and the companion's --list-dns; tests fill an in-memory tree instead.
// Discovery only reads: it never sends a packet.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/Classes.h"

// A value could not be read as asked: "Invalid data type for '%s'" or
// "Failed to get data for '%s'", the value's name in the placeholder.
class EzvRegistryError : public Exception {
 public:
  using Exception::Exception;
};

// The kinds of data a value holds. Only the two string kinds read as text.
enum class TzvRegDataType { rdUnknown, rdString, rdExpandString, rdInteger, rdBinary };

struct TzvRegDataInfo {
  TzvRegDataType RegData = TzvRegDataType::rdUnknown;
  std::size_t DataSize = 0;
};

// One key opened for reading. What it shows is fixed when it is opened.
class TzvRegistryKey {
 public:
  virtual ~TzvRegistryKey() = default;

  virtual int SubKeyCount() const = 0;
  // The name of the direct sub-key at index 0 .. SubKeyCount-1; none when there is no
  // such sub-key.
  virtual std::optional<std::string> SubKeyName(int index) const = 0;
  // The type and size of a value; false when the key has no value of that name.
  virtual bool GetDataInfo(std::string_view name, TzvRegDataInfo& info) const = 0;
  // The data of a value; false when it cannot be read.
  virtual bool GetData(std::string_view name, std::string& data) const = 0;
};

// Where keys come from. Paths lie below the local machine's root, their parts separated
// by backslashes; empty parts (a trailing backslash) are ignored and names compare
// without regard to the case of ASCII letters.
class TzvRegistryProvider {
 public:
  virtual ~TzvRegistryProvider() = default;
  // Opens a key for reading; null when it does not exist or cannot be opened.
  virtual std::unique_ptr<TzvRegistryKey> OpenKey(std::string_view path) const = 0;
};

// Reads one open key at a time through a provider, which must outlive it. Opening a
// key closes the one open before; the destructor closes whatever is open.
class TzvRegistry {
 public:
  explicit TzvRegistry(const TzvRegistryProvider& provider) : provider_(provider) {}
  TzvRegistry(const TzvRegistry&) = delete;
  TzvRegistry& operator=(const TzvRegistry&) = delete;

  // True when the key could be opened; on false no key is open.
  bool OpenKeyReadOnly(std::string_view path);
  void CloseKey() { key_.reset(); }
  bool HasOpenKey() const { return key_ != nullptr; }

  // Appends the names of the open key's direct sub-keys, in the provider's order.
  void GetKeyNames(TStrings& names) const;
  // False when no key is open or it has no value of that name.
  bool GetDataInfo(std::string_view name, TzvRegDataInfo& info) const;
  // A missing value, or one of size 0, reads as empty; a string value as its text up to
  // the first NUL character. Any other type fails with "Invalid data type for '%s'", a
  // value whose data cannot be read with "Failed to get data for '%s'".
  std::string ReadString(std::string_view name) const;

 private:
  const TzvRegistryProvider& provider_;
  std::unique_ptr<TzvRegistryKey> key_;
};

// A tree kept in memory, filled by its owner (tests use it to lay out any configuration).
// Sub-keys are listed in the order they were created; values are replaced by name.
class TzvMemoryRegistry : public TzvRegistryProvider {
 public:
  TzvMemoryRegistry();
  ~TzvMemoryRegistry() override;

  std::unique_ptr<TzvRegistryKey> OpenKey(std::string_view path) const override;

  // Creates the key and any missing parent keys.
  void CreateKey(std::string_view path);
  // Writes a value, creating its key. String values are stored with a terminating NUL.
  void WriteString(std::string_view path, std::string_view name, std::string_view text);
  void WriteExpandString(std::string_view path, std::string_view name, std::string_view text);
  void WriteInteger(std::string_view path, std::string_view name, std::uint32_t value);
  void WriteValue(std::string_view path, std::string_view name, TzvRegDataType type,
                  std::string data);
  // Makes an existing key fail to open (as a key the reader has no right to).
  void DenyOpen(std::string_view path);
  // Makes reading the data of a value fail after its type and size were read.
  void FailDataRead(std::string_view path, std::string_view name);

  struct Node;

 private:
  Node& Ensure(std::string_view path);
  std::unique_ptr<Node> root_;
};

// The machine's own configuration in the registry's shape. Below the interfaces key
// (kDnsInterfacesKey) it shows:
//  - "resolv.conf": the global resolver configuration; "NameServer" holds the addresses
//    of the nameserver lines of the resolver file, in order, as the C library takes them
//    (IPv6 scope suffixes kept where it can use them);
//  - one sub-key per network link that systemd-networkd or systemd-resolved keeps state
//    for under <run>/systemd, named after the link's index: "DhcpNameServer" holds the
//    servers the link learned by DHCP (its networkd lease), "NameServer" the others
//    configured for it (the link's networkd DNS= list without the DHCP ones, then the
//    servers set on it through resolved).
// No other key exists. Values are blank-separated string values, absent when empty.
// The roots are parameters so tests can lay out a fake tree.
class TzvSystemRegistry : public TzvRegistryProvider {
 public:
  explicit TzvSystemRegistry(std::string run_dir = "/run",
                             std::string resolv_conf = "/etc/resolv.conf");

  std::unique_ptr<TzvRegistryKey> OpenKey(std::string_view path) const override;

  const std::string& RunDir() const { return run_dir_; }
  const std::string& ResolvConf() const { return resolv_conf_; }

 private:
  std::vector<std::string> InterfaceNames() const;
  std::unique_ptr<TzvRegistryKey> OpenInterface(const std::string& name) const;

  std::string run_dir_;
  std::string resolv_conf_;
};

// The key whose direct sub-keys stand for the network interfaces.
inline constexpr std::string_view kDnsInterfacesKey =
    "SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters\\Interfaces\\";

// Splits one value into server texts at blanks and commas (runs of them, and leading or
// trailing ones, make no empty entries) and appends each one that the list does not hold
// yet, compared without regard to letter case.
void ParseDnsServers(std::string_view value, TStrings& list);

// Appends the DNS servers configured on the machine's interfaces to the list, read from
// the registry's interfaces key: per interface "DhcpNameServer", and only when that is
// empty, "NameServer". The list is not cleared and gets no text twice. A missing
// interfaces key, or an interface key that cannot be opened, is skipped silently; a value
// of a non-string type fails with "Invalid data type for '%s'", keeping what was already
// appended. The first form reads the machine's own configuration (TzvSystemRegistry).
void GetSystemDnsServers(TStrings& list);
void GetSystemDnsServers(TStrings& list, const TzvRegistryProvider& registry);
