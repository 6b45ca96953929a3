#include "core/cache.h"

#include <algorithm>

namespace ormel {

PageCache::PageCache(uint64_t capacity) : capacity_(std::max<uint64_t>(capacity, 1)) {}

void PageCache::unlink(size_t slot) {
  Slot& s = entries_[slot];
  if (s.prev) entries_[*s.prev].next = s.next;
  else head_ = s.next;
  if (s.next) entries_[*s.next].prev = s.prev;
  else tail_ = s.prev;
  s.prev.reset();
  s.next.reset();
}

void PageCache::link_front(size_t slot) {
  Slot& s = entries_[slot];
  s.prev.reset();
  s.next = head_;
  if (head_) entries_[*head_].prev = slot;
  else tail_ = slot;
  head_ = slot;
}

void PageCache::touch(size_t slot) {
  if (head_ == slot) return;
  unlink(slot);
  link_front(slot);
}

const std::vector<uint8_t>* PageCache::lookup(uint64_t page) {
  auto it = map_.find(page);
  if (it == map_.end()) return nullptr;
  touch(it->second);
  return &entries_[it->second].payload;
}

void PageCache::insert(uint64_t page, std::vector<uint8_t> payload, bool dirty) {
  if (auto it = map_.find(page); it != map_.end()) {
    Slot& s = entries_[it->second];
    if (dirty) dirty_.insert(page);
    else dirty_.erase(page);
    s.payload = std::move(payload);
    s.dirty = dirty;
    touch(it->second);
    return;
  }
  size_t slot;
  if (!free_.empty()) {
    slot = free_.back();
    free_.pop_back();
  } else {
    slot = entries_.size();
    entries_.emplace_back();
  }
  Slot& s = entries_[slot];
  s.payload = std::move(payload);
  s.page = page;
  s.dirty = dirty;
  map_.emplace(page, slot);
  link_front(slot);
  if (dirty) dirty_.insert(page);
  trim();
}

void PageCache::mark_all_clean() {
  for (uint64_t page : dirty_) {
    if (auto it = map_.find(page); it != map_.end()) entries_[it->second].dirty = false;
  }
  dirty_.clear();
  trim();
}

void PageCache::trim() {
  while (map_.size() > capacity_) {
    if (clean_count() == 0 || !tail_) return;
    std::optional<size_t> victim = tail_;
    while (victim && entries_[*victim].dirty) victim = entries_[*victim].prev;
    if (!victim) return;
    Slot& s = entries_[*victim];
    unlink(*victim);
    map_.erase(s.page);
    std::vector<uint8_t>().swap(s.payload);  // release the memory, not just the contents
    free_.push_back(*victim);
  }
}

void PageCache::set_capacity(uint64_t pages) {
  capacity_ = std::max<uint64_t>(pages, 1);
  trim();
}

}  // namespace ormel
