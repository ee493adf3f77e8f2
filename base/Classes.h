// The object model the library is written against: named classes, persistent objects
// that copy with Assign, components with an owner, owned object lists, string lists
// and seekable byte streams. Small on purpose: only what the library and its callers use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <typeinfo>
#include <vector>

#include "base/SysUtils.h"

// An index outside 0 .. Count-1: "List index out of bounds (%d)".
class EListError : public Exception {
 public:
  using Exception::Exception;
};

// An object asked to be treated as a class it is not: "Invalid class typecast".
class EInvalidCast : public Exception {
 public:
  using Exception::Exception;
};

// A stream could not give or take the whole buffer asked for.
class EReadError : public Exception {
 public:
  using Exception::Exception;
};
class EWriteError : public Exception {
 public:
  using Exception::Exception;
};

[[noreturn]] void RaiseListIndexError(std::ptrdiff_t index);

// Root of every class that takes part in Assign or in class tests; it can tell its name.
class TObject {
 public:
  virtual ~TObject() = default;
  virtual std::string ClassName() const { return "TObject"; }
};

// Views an object as T, failing with EInvalidCast when it is not one (a null object
// stays null, as a checked cast of nothing gives nothing).
// An object of exactly class T (the common case) is told by comparing type identities,
// which costs far less than the search of a general class test.
template <class T>
T* As(TObject* object) {
  if (object == nullptr) return nullptr;
  if (typeid(*object) == typeid(T)) return static_cast<T*>(object);
  if (auto* typed = dynamic_cast<T*>(object)) return typed;
  throw EInvalidCast("Invalid class typecast");
}
template <class T>
const T* As(const TObject* object) {
  if (object == nullptr) return nullptr;
  if (typeid(*object) == typeid(T)) return static_cast<const T*>(object);
  if (auto* typed = dynamic_cast<const T*>(object)) return typed;
  throw EInvalidCast("Invalid class typecast");
}

using TNotifyEvent = std::function<void(TObject* sender)>;

// Objects that can copy themselves from another object. A class that knows how to copy
// from a source overrides Assign and hands any other source back to this base, which
// fails with EConvertError "Cannot assign a <source class or nil> to a <target class>".
class TPersistent : public TObject {
 public:
  std::string ClassName() const override { return "TPersistent"; }
  virtual void Assign(const TPersistent* source);

 protected:
  // Gives the source a chance to copy itself into a target it knows (the reverse route).
  virtual void AssignTo(TPersistent* target) const;
  [[noreturn]] void AssignError(const TPersistent* source) const;
};

// A non-visual component: an owner (non-owning link; the owner's owner of the C++ object
// is whoever holds its unique_ptr) and a name.
class TComponent : public TPersistent {
 public:
  explicit TComponent(TComponent* owner) : owner_(owner) {}
  TComponent(const TComponent&) = delete;
  TComponent& operator=(const TComponent&) = delete;
  std::string ClassName() const override { return "TComponent"; }

  TComponent* Owner() const { return owner_; }
  const std::string& Name() const { return name_; }
  void SetName(std::string name) { name_ = std::move(name); }

 private:
  TComponent* owner_;
  std::string name_;
};

// An ordered list that owns its items. Items handed out are non-owning pointers, valid
// until the item is deleted or the list cleared.
template <class T>
class TObjectList {
 public:
  int Add(std::unique_ptr<T> item) {
    items_.push_back(std::move(item));
    return static_cast<int>(items_.size()) - 1;
  }
  void Insert(int index, std::unique_ptr<T> item) {
    if (index < 0 || index > Count()) RaiseListIndexError(index);
    items_.insert(items_.begin() + index, std::move(item));
  }
  void Delete(int index) {
    CheckIndex(index);
    items_.erase(items_.begin() + index);
  }
  void Clear() { items_.clear(); }
  // Empties the list onto the end of `to`, after handing each item to prepare (which may
  // release it, leaving its place empty). Into an empty `to` the storage itself moves.
  template <class Prepare>
  void MoveAllTo(std::vector<std::unique_ptr<T>>& to, Prepare prepare) {
    for (auto& item : items_) prepare(item);
    if (to.empty()) {
      to.swap(items_);
    } else {
      for (auto& item : items_) to.push_back(std::move(item));
    }
    items_.clear();
  }
  // Makes room for this many items in all, so adding up to them moves nothing.
  void Reserve(int count) {
    if (count > 0 && static_cast<std::size_t>(count) > items_.capacity()) {
      items_.reserve(static_cast<std::size_t>(count));
    }
  }
  int Count() const { return static_cast<int>(items_.size()); }
  T* Items(int index) const {
    CheckIndex(index);
    return items_[static_cast<std::size_t>(index)].get();
  }
  T* operator[](int index) const { return Items(index); }

  auto begin() const { return items_.begin(); }
  auto end() const { return items_.end(); }

 private:
  void CheckIndex(int index) const {
    if (index < 0 || index >= Count()) RaiseListIndexError(index);
  }
  std::vector<std::unique_ptr<T>> items_;
};

// An ordered list of text lines. Look-up (IndexOf) ignores ASCII letter case unless the
// list is made case-sensitive.
class TStrings : public TPersistent {
 public:
  std::string ClassName() const override { return "TStrings"; }
  void Assign(const TPersistent* source) override;

  int Add(std::string line);
  void Insert(int index, std::string line);
  void Delete(int index);
  void Clear() { lines_.clear(); }
  int Count() const { return static_cast<int>(lines_.size()); }
  const std::string& Strings(int index) const;
  const std::string& operator[](int index) const { return Strings(index); }
  int IndexOf(std::string_view line) const;

  bool CaseSensitive() const { return case_sensitive_; }
  void SetCaseSensitive(bool value) { case_sensitive_ = value; }

  // The lines joined, each followed by a line feed.
  std::string Text() const;

  auto begin() const { return lines_.begin(); }
  auto end() const { return lines_.end(); }

 private:
  std::vector<std::string> lines_;
  bool case_sensitive_ = false;
};
using TStringList = TStrings;

enum class TSeekOrigin { soBeginning, soCurrent, soEnd };

// A seekable byte stream. A sender reads from the position; a receiver writes at it.
class TStream : public TObject {
 public:
  std::string ClassName() const override { return "TStream"; }

  // Reads or writes up to count bytes at the position and moves it; returns the number done.
  virtual std::int32_t Read(void* buffer, std::int32_t count) = 0;
  virtual std::int32_t Write(const void* buffer, std::int32_t count) = 0;
  virtual std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) = 0;

  std::int64_t Position() { return Seek(0, TSeekOrigin::soCurrent); }
  void SetPosition(std::int64_t position) { Seek(position, TSeekOrigin::soBeginning); }
  virtual std::int64_t Size();
  virtual void SetSize(std::int64_t size) = 0;

  // All or nothing: fail with EReadError "Stream read error" / EWriteError "Stream write error".
  void ReadBuffer(void* buffer, std::int32_t count);
  void WriteBuffer(const void* buffer, std::int32_t count);
};

// A stream over a growable block of memory.
class TMemoryStream : public TStream {
 public:
  std::string ClassName() const override { return "TMemoryStream"; }

  std::int32_t Read(void* buffer, std::int32_t count) override;
  std::int32_t Write(const void* buffer, std::int32_t count) override;
  std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) override;
  std::int64_t Size() override { return static_cast<std::int64_t>(data_.size()); }
  void SetSize(std::int64_t size) override;
  void Clear();

  // The bytes, valid until the next write or resize.
  const std::uint8_t* Memory() const { return data_.data(); }
  std::uint8_t* Memory() { return data_.data(); }

 private:
  std::vector<std::uint8_t> data_;
  std::int64_t position_ = 0;
};
