// The DNS query engine's result lists: hosts (a name with its address text) and mail
// servers (a host with its MX preference), in a form callers read without knowing DNS
// records. The query component fills them after each exchange and clears them at the
// start of each lookup; the window and the command-line companion print them. The
// discovery of the machine's DNS servers, which the query component offers at class
// level, lives in dns/zvRegistry.h.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "base/Classes.h"

// A host: its name and its address as text (dotted decimal when it comes from an A
// record; empty when the answer gave no address).
class TzvHostInfo : public TObject {
 public:
  std::string ClassName() const override { return "TzvHostInfo"; }

  std::string IPAddress;
  std::string Name;
};

// A mail exchanger: Name is its host name, IPAddress its address when the answer
// supplied one, Preference the MX preference as carried by the record (0 to 65535).
class TzvMailServerInfo : public TzvHostInfo {
 public:
  std::string ClassName() const override { return "TzvMailServerInfo"; }

  std::int32_t Preference = 0;
};

// An ordered list of hosts that owns its items. Pointers handed out by Items, FindByName
// or a lookup stay valid until the next Clear or the list's destruction.
class TzvHostList : public TObject {
 public:
  TzvHostList() = default;
  TzvHostList(const TzvHostList&) = delete;
  TzvHostList& operator=(const TzvHostList&) = delete;
  ~TzvHostList() override;
  std::string ClassName() const override { return "TzvHostList"; }

  // Appends the item and takes it over; returns its index. A null item is refused with
  // EListError (a list of hosts has no place for "no host").
  int Add(std::unique_ptr<TzvHostInfo> item);
  // Inserts the item at index 0 .. Count, moving later items up; takes it over. Another
  // index fails with "List index out of bounds (%d)".
  void Insert(int index, std::unique_ptr<TzvHostInfo> item);
  // Frees every item, then empties the list.
  void Clear();
  int Count() const { return items_.Count(); }
  // The item at index 0 .. Count-1; another index fails with "List index out of bounds (%d)".
  TzvHostInfo* Items(int index) const { return items_.Items(index); }
  // The first item whose Name equals name ignoring the case of ASCII letters, or null.
  TzvHostInfo* FindByName(std::string_view name) const;

 private:
  TObjectList<TzvHostInfo> items_;
};

// Mail servers ordered from the highest preference value to the lowest; items of equal
// preference keep the order in which they were added. The preference must be set before
// the item is added: changing it later does not reorder the list.
class TzvMailServerList : public TzvHostList {
 public:
  std::string ClassName() const override { return "TzvMailServerList"; }

  // Inserts the item before the first stored item of lower preference, or appends it
  // when there is none; takes it over. A null item is refused with EListError.
  void Add(std::unique_ptr<TzvMailServerInfo> item);
  // The item at index, which must be a mail server: an item of another class (put there
  // through the plain host list's Insert) fails with "Invalid class typecast".
  TzvMailServerInfo* Items(int index) const;
};
