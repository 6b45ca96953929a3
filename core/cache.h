// PageCache: an LRU cache of decrypted page payloads in which staged (dirty) pages are
// pinned until the commit that writes them.
//
// Contract:
// - A page is stored as the leading bytes of its payload, the rest of the payload being
//   zero: a staged record of 2 KB holds 2 KB, not a page. The bytes are the page's own
//   buffer (insert) or a span of a block shared by the pages of one batch (insert_shared);
//   a block lives as long as any page cached from it.
// - lookup() of a cached page moves it to the most-recently-used end and returns its
//   stored bytes (valid until the next insert or trim); copy_payload() touches it too and
//   writes the whole payload: the stored bytes, then zeros.
// - insert() of a cached page replaces its bytes and dirty flag and touches it, without
//   evicting; insert() of a new page links it at the MRU end, then trims.
// - trim() evicts clean pages from the LRU end while more than capacity() pages are cached;
//   a dirty page is never evicted, so the cache may exceed its capacity until
//   mark_all_clean() runs.
// - capacity() is never below 1.
//
// Invariants:
//   1. The list from head_ (MRU) to tail_ (LRU) links exactly the slots in map_, each once.
//   2. Every cached page is in map_ exactly once; unmapped slots are on free_ and hold no
//      bytes (no buffer, no block).
//   3. dirty_ holds exactly the pages of the mapped slots whose dirty flag is set, so
//      finding and cleaning the staged pages never walks the whole cache.
//   4. A dirty page is never evicted.
//   5. A slot's `bytes` lie in its own buffer when `block` is null, else in `block`.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <unordered_map>
#include <vector>

namespace ormel {

class PageCache {
 public:
  explicit PageCache(uint64_t capacity = 8192);

  // Hit: touch to MRU and return the stored bytes (valid until the next insert or trim).
  std::optional<std::span<const uint8_t>> lookup(uint64_t page);
  // Hit: touch to MRU and write the payload, its stored bytes then zeros, over all of
  // `out`. False on a miss, or when the stored bytes are longer than `out`.
  bool copy_payload(uint64_t page, std::span<uint8_t> out);
  void insert(uint64_t page, std::vector<uint8_t> bytes, bool dirty);
  // Stores `bytes`, which lie in `block`, without copying them.
  void insert_shared(uint64_t page, std::shared_ptr<const uint8_t[]> block, std::span<const uint8_t> bytes,
                     bool dirty);
  // Room for `more` pages beyond size() without rehashing or growing the slot array.
  void reserve(uint64_t more);
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
  bool is_dirty(uint64_t page) const { return dirty_.contains(page); }
  // Slots ever allocated (cached pages plus free slots awaiting reuse).
  uint64_t slot_count() const { return entries_.size(); }

 private:
  struct Slot {
    std::optional<size_t> prev;  // towards the MRU end
    std::optional<size_t> next;  // towards the LRU end
    std::vector<uint8_t> own;
    std::shared_ptr<const uint8_t[]> block;
    std::span<const uint8_t> bytes;  // invariant 5
    uint64_t page = 0;
    bool dirty = false;
  };

  // The slot of `page` with its dirty flag set, touched or newly linked at the MRU end
  // (`fresh`); the caller stores the bytes, then trims a fresh one.
  Slot& place(uint64_t page, bool dirty, bool& fresh);
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
