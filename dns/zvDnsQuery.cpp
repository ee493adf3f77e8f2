#include "dns/zvDnsQuery.h"

namespace {

void RefuseNullItem(const TzvHostInfo* item) {
  if (item == nullptr) throw EListError("A host list cannot hold a nil item");
}

}  // namespace

TzvHostList::~TzvHostList() {
  Clear();
}

int TzvHostList::Add(std::unique_ptr<TzvHostInfo> item) {
  RefuseNullItem(item.get());
  return items_.Add(std::move(item));
}

void TzvHostList::Insert(int index, std::unique_ptr<TzvHostInfo> item) {
  RefuseNullItem(item.get());
  items_.Insert(index, std::move(item));
}

void TzvHostList::Clear() {
  items_.Clear();
}

TzvHostInfo* TzvHostList::FindByName(std::string_view name) const {
  for (int i = 0; i < Count(); ++i) {
    TzvHostInfo* host = items_.Items(i);
    if (SameText(host->Name, name)) return host;
  }
  return nullptr;
}

void TzvMailServerList::Add(std::unique_ptr<TzvMailServerInfo> item) {
  RefuseNullItem(item.get());
  // Before the first item of lower preference, so equal preferences keep their order of
  // arrival and the highest value comes first.
  for (int i = 0; i < Count(); ++i) {
    if (Items(i)->Preference < item->Preference) {
      TzvHostList::Insert(i, std::move(item));
      return;
    }
  }
  TzvHostList::Add(std::move(item));
}

TzvMailServerInfo* TzvMailServerList::Items(int index) const {
  return As<TzvMailServerInfo>(TzvHostList::Items(index));
}
