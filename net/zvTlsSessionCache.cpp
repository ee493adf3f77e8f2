#include "net/zvTlsSessionCache.h"

#include <algorithm>

std::string TzvTlsSessionCache::KeyOf(const std::string& host_name, const std::string& address,
                                      std::int32_t port, const std::string& ca_file,
                                      bool insecure) {
  // Fields are separated by a byte none of them holds.
  std::string key = host_name;
  key += '\n';
  key += address;
  key += '\n';
  key += std::to_string(port);
  key += '\n';
  key += insecure ? "insecure" : ca_file;
  return key;
}

std::vector<std::uint8_t> TzvTlsSessionCache::Find(const std::string& key) const {
  std::lock_guard lock(mutex_);
  const auto found = sessions_.find(key);
  return found == sessions_.end() ? std::vector<std::uint8_t>{} : found->second;
}

void TzvTlsSessionCache::Keep(const std::string& key, std::vector<std::uint8_t> session) {
  std::lock_guard lock(mutex_);
  auto [where, added] = sessions_.insert_or_assign(key, std::move(session));
  if (!added) return;
  order_.push_back(key);
  if (order_.size() > kMostServers) {
    sessions_.erase(order_.front());
    order_.erase(order_.begin());
  }
}

void TzvTlsSessionCache::Forget(const std::string& key) {
  std::lock_guard lock(mutex_);
  if (sessions_.erase(key) > 0) order_.erase(std::find(order_.begin(), order_.end(), key));
}

std::size_t TzvTlsSessionCache::Size() const {
  std::lock_guard lock(mutex_);
  return sessions_.size();
}
