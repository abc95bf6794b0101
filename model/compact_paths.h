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
#include <map>
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
    /// The value of the path.
    const Value& value() const { return paths_->entries_[index_]; }
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
  // The folder table points into the folder index: a copy would point into
  // the original. Moving keeps the index's nodes, so it is allowed.
  CompactPaths(const CompactPaths&) = delete;
  CompactPaths& operator=(const CompactPaths&) = delete;
  CompactPaths(CompactPaths&&) = default;
  CompactPaths& operator=(CompactPaths&&) = default;
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

  /// The path at `index` in the order.
  std::string pathAt(size_t index) const {
    const Entry& entry = entries_[index];
    return *folders_[entry.folder] + std::string(nameOf(entry));
  }
  /// The first path that is not below `path` in the order.
  const_iterator lowerBound(const std::string& path) const { return const_iterator(this, firstNotBelow(path)); }
  /// 1 when `path` is held, else 0.
  size_t count(const std::string& path) const { return find(path) != nullptr ? 1 : 0; }
  /// The value of `path`, or null when it is not held.
  const Value* find(const std::string& path) const {
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
  /// Holds `path` with `value`, replacing the value it had.
  void assign(const std::string& path, const Value& value) {
    const size_t index = firstNotBelow(path);
    if (index < entries_.size() && compare(entries_[index], path) == 0)
      static_cast<Value&>(entries_[index]) = value;
    else
      entries_.insert(entries_.begin() + static_cast<std::ptrdiff_t>(index), makeEntry(path, value));
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
    folderIndex_.clear();
    names_.clear();
  }

 private:
  std::string_view nameOf(const Entry& entry) const {
    return std::string_view(names_).substr(entry.name, entry.nameLength);
  }

  // Orders the path of `entry` against `path`, byte by byte as
  // std::string::compare does: <0, 0 or >0.
  int compare(const Entry& entry, std::string_view path) const {
    const std::string& folder = *folders_[entry.folder];
    const int order = std::string_view(folder).compare(path.substr(0, folder.size()));
    if (order != 0) return order;
    return nameOf(entry).compare(path.substr(folder.size()));
  }

  size_t firstNotBelow(const std::string& path) const {
    auto first = std::partition_point(entries_.begin(), entries_.end(),
                                      [&](const Entry& entry) { return compare(entry, path) < 0; });
    return static_cast<size_t>(first - entries_.begin());
  }

  Entry makeEntry(const std::string& path, const Value& value) {
    const size_t split = path.rfind('/') + 1;  // 0 for a path without "/"
    const std::string folder = path.substr(0, split);
    auto known = folderIndex_.find(folder);
    if (known == folderIndex_.end()) {
      known = folderIndex_.emplace(folder, static_cast<uint32_t>(folders_.size())).first;
      folders_.push_back(&known->first);
    }
    Entry entry;
    static_cast<Value&>(entry) = value;
    entry.folder = known->second;
    entry.name = static_cast<uint32_t>(names_.size());
    entry.nameLength = static_cast<uint32_t>(path.size() - split);
    names_.append(path, split, std::string::npos);
    return entry;
  }

  // In the order of their paths. A deque grows by blocks, where a vector
  // would copy all of it into one twice as large.
  std::deque<Entry> entries_;
  std::vector<const std::string*> folders_;     // each folder's text, with its last "/"
  std::map<std::string, uint32_t> folderIndex_;  // a folder's text to its index
  std::string names_;                           // the last components, one after another
};

/// A set of paths held as compactly as above.
using PathSet = CompactPaths<NoPathValue>;
