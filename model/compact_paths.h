// Paths kept in ascending byte-wise order (the order of std::set and
// std::map of std::string), each with a small value, held compactly: a path
// is split after its last "/" into its folder, whose text is held once
// however many paths lie in it, and its last component, held in one text
// shared by all paths. The thousands of files of a package lie in some
// dozens of folders, so each costs its name and a dozen bytes, not a tree
// node and a string of its own.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <initializer_list>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

/// The value of a path that carries none (a set of paths).
struct NoPathValue {};

template <class Value>
class CompactPaths {
 public:
  /// One path and its value. The value is a base, not a member, so that an
  /// empty one (NoPathValue) takes no room in the entry.
  struct Entry : Value {
    uint32_t folder = 0;      // index in folders_
    uint32_t name = 0;        // where the last component begins in names_
    uint32_t nameLength = 0;  // its length
  };

  /// Walks the paths in order; each is made as a string when asked for.
  class const_iterator {
   public:
    using iterator_category = std::input_iterator_tag;
    using value_type = std::string;
    using difference_type = std::ptrdiff_t;
    using pointer = void;
    using reference = std::string;

    const_iterator(const CompactPaths* paths, size_t index) : paths_(paths), index_(index) {}
    std::string operator*() const { return paths_->pathAt(index_); }
    /// The entry of the path.
    const Entry& entry() const { return paths_->entries_[index_]; }
    const_iterator& operator++() {
      ++index_;
      return *this;
    }
    bool operator==(const const_iterator& other) const { return index_ == other.index_; }
    bool operator!=(const const_iterator& other) const { return index_ != other.index_; }

   private:
    const CompactPaths* paths_;
    size_t index_;
  };

  CompactPaths() = default;
  CompactPaths(std::initializer_list<std::string> paths) {
    for (const std::string& path : paths) insert(path);
  }
  CompactPaths& operator=(std::initializer_list<std::string> paths) {
    clear();
    for (const std::string& path : paths) insert(path);
    return *this;
  }

  const_iterator begin() const { return const_iterator(this, 0); }
  const_iterator end() const { return const_iterator(this, entries_.size()); }
  size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }

  /// The entry at `index` in the order; its value may be changed.
  Entry& entryAt(size_t index) { return entries_[index]; }
  /// The path at `index` in the order.
  std::string pathAt(size_t index) const {
    const Entry& entry = entries_[index];
    return std::string(folderOf(entry.folder)).append(nameOf(entry));
  }
  /// The first path that is not below `path` in the order.
  const_iterator lowerBound(const std::string& path) const { return const_iterator(this, firstNotBelow(path)); }
  /// 1 when `path` is held, else 0.
  size_t count(const std::string& path) const { return find(path) != nullptr ? 1 : 0; }
  /// The entry of `path`, or null when it is not held.
  const Entry* find(const std::string& path) const {
    const size_t index = firstNotBelow(path);
    return index < entries_.size() && compare(entries_[index], path) == 0 ? &entries_[index] : nullptr;
  }
  /// Adds `path` with `value` when it is not held yet; false (and the held
  /// value kept) when it is.
  bool insert(const std::string& path, const Value& value = Value()) {
    const size_t index = firstNotBelow(path);
    if (index < entries_.size() && compare(entries_[index], path) == 0) return false;
    entries_.insert(entries_.begin() + static_cast<std::ptrdiff_t>(index), makeEntry(path, value));
    return true;
  }
  /// Holds `path` with `value` and the text `attached`, replacing what it
  /// had (the text it had stays until clear()). The attached text is kept
  /// right after the path's name, where attachedText() finds it; the value
  /// says how long it is.
  void assign(const std::string& path, const Value& value, std::string_view attached = {}) {
    const size_t index = firstNotBelow(path);
    const Entry entry = makeEntry(path, value, attached);
    if (index < entries_.size() && compare(entries_[index], path) == 0)
      entries_[index] = entry;
    else
      entries_.insert(entries_.begin() + static_cast<std::ptrdiff_t>(index), entry);
  }
  /// The `length` bytes attached to the path of `entry`.
  std::string_view attachedText(const Entry& entry, size_t length) const {
    return std::string_view(names_).substr(entry.name + entry.nameLength, length);
  }
  /// Drops `path`; false when it was not held. Its text stays until clear().
  bool erase(const std::string& path) {
    const size_t index = firstNotBelow(path);
    if (index == entries_.size() || compare(entries_[index], path) != 0) return false;
    entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(index));
    return true;
  }
  void clear() {
    entries_.clear();
    folders_.clear();
    foldersInOrder_.clear();
    folderTexts_.clear();
    names_.clear();
  }

 private:
  std::string_view folderOf(uint32_t index) const {
    return std::string_view(folderTexts_).substr(folders_[index].start, folders_[index].length);
  }
  std::string_view nameOf(const Entry& entry) const {
    return std::string_view(names_).substr(entry.name, entry.nameLength);
  }

  // Orders the path of `entry` against `path`, byte by byte as
  // std::string::compare does: <0, 0 or >0.
  int compare(const Entry& entry, std::string_view path) const {
    const std::string_view folder = folderOf(entry.folder);
    const int order = folder.compare(path.substr(0, folder.size()));
    if (order != 0) return order;
    return nameOf(entry).compare(path.substr(folder.size()));
  }

  size_t firstNotBelow(const std::string& path) const {
    auto first = std::partition_point(entries_.begin(), entries_.end(),
                                      [&](const Entry& entry) { return compare(entry, path) < 0; });
    return static_cast<size_t>(first - entries_.begin());
  }

  // The index of `folder`, added when it is new.
  uint32_t folderIndex(std::string_view folder) {
    auto place = std::partition_point(foldersInOrder_.begin(), foldersInOrder_.end(),
                                      [&](uint32_t index) { return folderOf(index) < folder; });
    if (place != foldersInOrder_.end() && folderOf(*place) == folder) return *place;
    const uint32_t index = static_cast<uint32_t>(folders_.size());
    folders_.push_back({static_cast<uint32_t>(folderTexts_.size()), static_cast<uint32_t>(folder.size())});
    folderTexts_.append(folder);
    foldersInOrder_.insert(place, index);
    return index;
  }

  Entry makeEntry(const std::string& path, const Value& value, std::string_view attached = {}) {
    const size_t split = path.rfind('/') + 1;  // 0 for a path without "/"
    Entry entry;
    static_cast<Value&>(entry) = value;
    entry.folder = folderIndex(std::string_view(path).substr(0, split));
    entry.name = static_cast<uint32_t>(names_.size());
    entry.nameLength = static_cast<uint32_t>(path.size() - split);
    names_.append(path, split, std::string::npos);
    names_.append(attached);
    return entry;
  }

  // In the order of their paths. A deque grows by blocks, where a vector
  // would copy all of it into one twice as large.
  std::deque<Entry> entries_;
  // Each folder's text (with its last "/") once, in folderTexts_, where
  // folders_ finds it by index; foldersInOrder_ holds the indexes in the
  // order of the texts, to find a folder again.
  struct FolderText {
    uint32_t start;
    uint32_t length;
  };
  std::vector<FolderText> folders_;
  std::vector<uint32_t> foldersInOrder_;
  std::string folderTexts_;
  std::string names_;  // the last components (each with its attached text), one after another
};

/// A set of paths held as compactly as above.
using PathSet = CompactPaths<NoPathValue>;
