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

std::optional<std::span<const uint8_t>> PageCache::lookup(uint64_t page) {
  auto it = map_.find(page);
  if (it == map_.end()) return std::nullopt;
  touch(it->second);
  return entries_[it->second].bytes;
}

bool PageCache::copy_payload(uint64_t page, std::span<uint8_t> out) {
  const auto bytes = lookup(page);
  if (!bytes || bytes->size() > out.size()) return false;
  std::copy(bytes->begin(), bytes->end(), out.begin());
  std::fill(out.begin() + static_cast<ptrdiff_t>(bytes->size()), out.end(), 0);
  return true;
}

PageCache::Slot& PageCache::place(uint64_t page, bool dirty, bool& fresh) {
  if (dirty) dirty_.insert(dirty_.end(), page);  // staging allocates ascending pages: the hint is right
  if (auto it = map_.find(page); it != map_.end()) {
    fresh = false;
    if (!dirty) dirty_.erase(page);
    touch(it->second);
    Slot& s = entries_[it->second];
    s.dirty = dirty;
    return s;
  }
  fresh = true;
  size_t slot;
  if (!free_.empty()) {
    slot = free_.back();
    free_.pop_back();
  } else {
    slot = entries_.size();
    entries_.emplace_back();
  }
  Slot& s = entries_[slot];
  s.page = page;
  s.dirty = dirty;
  map_.emplace(page, slot);
  link_front(slot);
  return s;
}

void PageCache::insert(uint64_t page, std::vector<uint8_t> bytes, bool dirty) {
  bool fresh = false;
  Slot& s = place(page, dirty, fresh);
  s.block.reset();
  s.own = std::move(bytes);
  s.bytes = s.own;
  if (fresh) trim();
}

void PageCache::insert_shared(uint64_t page, std::shared_ptr<const uint8_t[]> block, std::span<const uint8_t> bytes,
                              bool dirty) {
  bool fresh = false;
  Slot& s = place(page, dirty, fresh);
  std::vector<uint8_t>().swap(s.own);
  s.block = std::move(block);
  s.bytes = bytes;
  if (fresh) trim();
}

void PageCache::reserve(uint64_t more) {
  map_.reserve(map_.size() + more);
  if (more > free_.size()) entries_.reserve(entries_.size() + (more - free_.size()));
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
    std::vector<uint8_t>().swap(s.own);  // release the memory, not just the contents
    s.block.reset();
    s.bytes = {};
    free_.push_back(*victim);
  }
}

void PageCache::set_capacity(uint64_t pages) {
  capacity_ = std::max<uint64_t>(pages, 1);
  trim();
}

}  // namespace ormel
