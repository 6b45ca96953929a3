// PageCache: an LRU cache of decrypted page payloads in which staged (dirty) pages are
// pinned until the commit that writes them.
//
// Contract:
// - lookup() of a cached page moves it to the most-recently-used end.
// - insert() of a cached page replaces its payload and dirty flag and touches it, without
//   evicting; insert() of a new page links it at the MRU end, then trims.
// - trim() evicts clean pages from the LRU end while more than capacity() pages are cached;
//   a dirty page is never evicted, so the cache may exceed its capacity until
//   mark_all_clean() runs.
// - capacity() is never below 1.
//
// Invariants:
//   1. The list from head_ (MRU) to tail_ (LRU) links exactly the slots in map_, each once.
//   2. Every cached page is in map_ exactly once; unmapped slots are on free_ with an
//      empty payload.
//   3. dirty_ holds exactly the pages of the mapped slots whose dirty flag is set, so
//      finding and cleaning the staged pages never walks the whole cache.
//   4. A dirty page is never evicted.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <unordered_map>
#include <vector>

namespace ormel {

class PageCache {
 public:
  explicit PageCache(uint64_t capacity = 8192);

  // Hit: touch to MRU and return the payload (valid until the next insert or trim).
  const std::vector<uint8_t>* lookup(uint64_t page);
  void insert(uint64_t page, std::vector<uint8_t> payload, bool dirty);
  std::vector<uint64_t> dirty_pages() const { return {dirty_.begin(), dirty_.end()}; }  // ascending
  // Commit support: clear every dirty flag, clean_count = size, then trim.
  void mark_all_clean();
  void trim();
  void set_capacity(uint64_t pages);  // max(pages, 1), then trim
  uint64_t size() const { return map_.size(); }
  uint64_t capacity() const { return capacity_; }
  uint64_t clean_count() const { return map_.size() - dirty_.size(); }  // invariant 3
  uint64_t dirty_count() const { return dirty_.size(); }
  bool contains(uint64_t page) const { return map_.contains(page); }
  // Slots ever allocated (cached pages plus free slots awaiting reuse).
  uint64_t slot_count() const { return entries_.size(); }

 private:
  struct Slot {
    std::optional<size_t> prev;  // towards the MRU end
    std::optional<size_t> next;  // towards the LRU end
    std::vector<uint8_t> payload;
    uint64_t page = 0;
    bool dirty = false;
  };

  void unlink(size_t slot);
  void link_front(size_t slot);
  void touch(size_t slot);

  std::vector<Slot> entries_;
  std::vector<size_t> free_;  // released slots, reused last-in first-out
  std::unordered_map<uint64_t, size_t> map_;
  std::optional<size_t> head_;  // most recently used
  std::optional<size_t> tail_;  // least recently used
  uint64_t capacity_;
  std::set<uint64_t> dirty_;
};

}  // namespace ormel
