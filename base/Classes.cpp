#include "base/Classes.h"

#include <algorithm>
#include <cstring>

void RaiseListIndexError(std::ptrdiff_t index) {
  throw EListError(Format("List index out of bounds (%td)", index));
}

void TPersistent::Assign(const TPersistent* source) {
  if (source != nullptr) {
    source->AssignTo(this);
    return;
  }
  AssignError(nullptr);
}

void TPersistent::AssignTo(TPersistent* target) const { target->AssignError(this); }

void TPersistent::AssignError(const TPersistent* source) const {
  const std::string source_name = source != nullptr ? source->ClassName() : "nil";
  throw EConvertError(
      Format("Cannot assign a %s to a %s", source_name.c_str(), ClassName().c_str()));
}

void TStrings::Assign(const TPersistent* source) {
  if (auto* other = dynamic_cast<const TStrings*>(source)) {
    if (other != this) lines_ = other->lines_;
    return;
  }
  TPersistent::Assign(source);
}

int TStrings::Add(std::string line) {
  lines_.push_back(std::move(line));
  return Count() - 1;
}

void TStrings::Insert(int index, std::string line) {
  if (index < 0 || index > Count()) RaiseListIndexError(index);
  lines_.insert(lines_.begin() + index, std::move(line));
}

void TStrings::Delete(int index) {
  if (index < 0 || index >= Count()) RaiseListIndexError(index);
  lines_.erase(lines_.begin() + index);
}

const std::string& TStrings::Strings(int index) const {
  if (index < 0 || index >= Count()) RaiseListIndexError(index);
  return lines_[static_cast<std::size_t>(index)];
}

int TStrings::IndexOf(std::string_view line) const {
  for (int i = 0; i < Count(); ++i) {
    const std::string& candidate = lines_[static_cast<std::size_t>(i)];
    if (case_sensitive_ ? candidate == line : SameText(candidate, line)) return i;
  }
  return -1;
}

std::string TStrings::Text() const {
  std::string text;
  for (const std::string& line : lines_) {
    text += line;
    text += '\n';
  }
  return text;
}

std::int64_t TStream::Size() {
  const std::int64_t here = Seek(0, TSeekOrigin::soCurrent);
  const std::int64_t size = Seek(0, TSeekOrigin::soEnd);
  Seek(here, TSeekOrigin::soBeginning);
  return size;
}

void TStream::ReadBuffer(void* buffer, std::int32_t count) {
  if (count != 0 && Read(buffer, count) != count) throw EReadError("Stream read error");
}

void TStream::WriteBuffer(const void* buffer, std::int32_t count) {
  if (count != 0 && Write(buffer, count) != count) throw EWriteError("Stream write error");
}

std::int32_t TMemoryStream::Read(void* buffer, std::int32_t count) {
  const auto size = static_cast<std::int64_t>(data_.size());
  if (count <= 0 || position_ >= size) return 0;
  const auto n = static_cast<std::int32_t>(std::min<std::int64_t>(count, size - position_));
  std::memcpy(buffer, data_.data() + position_, static_cast<std::size_t>(n));
  position_ += n;
  return n;
}

std::int32_t TMemoryStream::Write(const void* buffer, std::int32_t count) {
  if (count <= 0) return 0;
  const std::int64_t end = position_ + count;
  if (end > static_cast<std::int64_t>(data_.size())) data_.resize(static_cast<std::size_t>(end));
  std::memcpy(data_.data() + position_, buffer, static_cast<std::size_t>(count));
  position_ = end;
  return count;
}

std::int64_t TMemoryStream::Seek(std::int64_t offset, TSeekOrigin origin) {
  std::int64_t target = offset;
  if (origin == TSeekOrigin::soCurrent) target = position_ + offset;
  if (origin == TSeekOrigin::soEnd) target = static_cast<std::int64_t>(data_.size()) + offset;
  // A position past the end is allowed (a later write fills the gap with zeros); a
  // negative one is not.
  position_ = std::max<std::int64_t>(0, target);
  return position_;
}

void TMemoryStream::SetSize(std::int64_t size) {
  data_.resize(static_cast<std::size_t>(std::max<std::int64_t>(0, size)));
  position_ = std::min(position_, static_cast<std::int64_t>(data_.size()));
}

void TMemoryStream::Clear() {
  data_.clear();
  position_ = 0;
}
