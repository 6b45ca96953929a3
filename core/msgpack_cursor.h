// MsgCursor: a forward reader of MessagePack items over a span of bytes, for decoders of
// known record layouts that read fields in place instead of unpacking into objects.
//
// Contract:
// - Every read first checks that the bytes it needs lie within the span; it never reads
//   beyond the span, whatever the bytes say.
// - A read that finds another form than it asks for, or too few bytes, returns false or
//   nullopt; the cursor's position is then unspecified and the caller abandons the read.
// - Integers follow msgpack-cxx's classification: any integer form holding a value of at
//   least zero is non-negative (signed forms included); only negative values are negative.
// - Strings are views into the span.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string_view>

namespace ormel {

enum class MsgKind : uint8_t { Nil, Bool, Int, Float32, Float64, Str, Bin, Ext, Array, Map, Invalid };

class MsgCursor {
 public:
  struct Integer {
    bool negative = false;  // value holds an int64_t below zero, else a uint64_t
    bool signed_form = false;  // written in a signed form (negative fixint, int 8 .. int 64)
    uint64_t value = 0;
  };

  explicit MsgCursor(std::span<const uint8_t> bytes) : p_(bytes.data()), end_(bytes.data() + bytes.size()) {}

  bool at_end() const { return p_ == end_; }
  const uint8_t* position() const { return p_; }

  // The kind of the next item (Invalid at the end and for the unused marker 0xC1).
  MsgKind kind() const {
    if (p_ == end_) return MsgKind::Invalid;
    const uint8_t m = *p_;
    if (m <= 0x7F || m >= 0xE0) return MsgKind::Int;
    if (m <= 0x8F) return MsgKind::Map;
    if (m <= 0x9F) return MsgKind::Array;
    if (m <= 0xBF) return MsgKind::Str;
    switch (m) {
      case 0xC0: return MsgKind::Nil;
      case 0xC2:
      case 0xC3: return MsgKind::Bool;
      case 0xC4:
      case 0xC5:
      case 0xC6: return MsgKind::Bin;
      case 0xC7:
      case 0xC8:
      case 0xC9:
      case 0xD4:
      case 0xD5:
      case 0xD6:
      case 0xD7:
      case 0xD8: return MsgKind::Ext;
      case 0xCA: return MsgKind::Float32;
      case 0xCB: return MsgKind::Float64;
      case 0xCC:
      case 0xCD:
      case 0xCE:
      case 0xCF:
      case 0xD0:
      case 0xD1:
      case 0xD2:
      case 0xD3: return MsgKind::Int;
      case 0xD9:
      case 0xDA:
      case 0xDB: return MsgKind::Str;
      case 0xDC:
      case 0xDD: return MsgKind::Array;
      case 0xDE:
      case 0xDF: return MsgKind::Map;
      default: return MsgKind::Invalid;
    }
  }

  // Consumes a nil if one comes next.
  bool nil() {
    if (p_ == end_ || *p_ != 0xC0) return false;
    ++p_;
    return true;
  }

  std::optional<bool> boolean() {
    if (p_ == end_ || (*p_ != 0xC2 && *p_ != 0xC3)) return std::nullopt;
    return *p_++ == 0xC3;
  }

  std::optional<Integer> integer() {
    if (p_ == end_) return std::nullopt;
    const uint8_t m = *p_;
    if (m <= 0x7F) {
      ++p_;
      return Integer{false, false, m};
    }
    if (m >= 0xE0) {
      ++p_;
      return Integer{true, true, static_cast<uint64_t>(static_cast<int64_t>(static_cast<int8_t>(m)))};
    }
    if (m >= 0xCC && m <= 0xCF) {
      const size_t n = size_t{1} << (m - 0xCC);
      uint64_t v = 0;
      if (!big_endian(1, n, v)) return std::nullopt;
      return Integer{false, false, v};
    }
    if (m >= 0xD0 && m <= 0xD3) {
      const size_t n = size_t{1} << (m - 0xD0);
      uint64_t v = 0;
      if (!big_endian(1, n, v)) return std::nullopt;
      // Sign-extend the n-byte value.
      const int shift = static_cast<int>(64 - 8 * n);
      const int64_t s = static_cast<int64_t>(v << shift) >> shift;
      return Integer{s < 0, true, static_cast<uint64_t>(s)};
    }
    return std::nullopt;
  }

  // float 32 only (0xCA).
  std::optional<float> f32() {
    uint64_t bits = 0;
    if (p_ == end_ || *p_ != 0xCA || !big_endian(1, 4, bits)) return std::nullopt;
    return std::bit_cast<float>(static_cast<uint32_t>(bits));
  }

  // float 64 only (0xCB).
  std::optional<double> f64() {
    uint64_t bits = 0;
    if (p_ == end_ || *p_ != 0xCB || !big_endian(1, 8, bits)) return std::nullopt;
    return std::bit_cast<double>(bits);
  }

  // `n` consecutive float 32 items: the 5 * n bytes they take.
  std::optional<std::span<const uint8_t>> f32_items(size_t n) {
    if (static_cast<size_t>(end_ - p_) / 5 < n) return std::nullopt;
    const std::span<const uint8_t> items(p_, 5 * n);
    for (size_t i = 0; i < items.size(); i += 5) {
      if (items[i] != 0xCA) return std::nullopt;
    }
    p_ += items.size();
    return items;
  }

  std::optional<std::string_view> str() {
    if (p_ == end_) return std::nullopt;
    const uint8_t m = *p_;
    uint64_t len = 0;
    if (m >= 0xA0 && m <= 0xBF) {
      len = m & 0x1F;
      ++p_;
    } else if (m >= 0xD9 && m <= 0xDB) {
      if (!big_endian(1, size_t{1} << (m - 0xD9), len)) return std::nullopt;
    } else {
      return std::nullopt;
    }
    if (len > static_cast<uint64_t>(end_ - p_)) return std::nullopt;
    const std::string_view s(reinterpret_cast<const char*>(p_), static_cast<size_t>(len));
    p_ += len;
    return s;
  }

  // A bin 8/16/32: its body. Nothing (and the cursor where it was) for anything else.
  std::optional<std::span<const uint8_t>> bin() {
    if (p_ == end_ || *p_ < 0xC4 || *p_ > 0xC6) return std::nullopt;
    const uint8_t* at = p_;
    uint64_t len = 0;
    if (!big_endian(1, size_t{1} << (*p_ - 0xC4), len) || len > static_cast<uint64_t>(end_ - p_)) {
      p_ = at;
      return std::nullopt;
    }
    const std::span<const uint8_t> body(p_, static_cast<size_t>(len));
    p_ += len;
    return body;
  }

  // The element count of an array header.
  std::optional<uint32_t> array() { return header(0x90, 0xDC); }
  // The pair count of a map header.
  std::optional<uint32_t> map() { return header(0x80, 0xDE); }

  // Skips one item of any kind, nested ones included, without recursing.
  bool skip() {
    uint64_t pending = 1;
    while (pending > 0) {
      --pending;
      switch (kind()) {
        case MsgKind::Nil:
        case MsgKind::Bool: ++p_; break;
        case MsgKind::Int:
          if (!integer()) return false;
          break;
        case MsgKind::Float32:
          if (!f32()) return false;
          break;
        case MsgKind::Float64:
          if (!f64()) return false;
          break;
        case MsgKind::Str:
          if (!str()) return false;
          break;
        case MsgKind::Array: {
          const std::optional<uint32_t> n = array();
          if (!n) return false;
          pending += *n;
          break;
        }
        case MsgKind::Map: {
          const std::optional<uint32_t> n = map();
          if (!n) return false;
          pending += uint64_t{2} * *n;
          break;
        }
        case MsgKind::Bin:
        case MsgKind::Ext:
          if (!skip_blob()) return false;
          break;
        case MsgKind::Invalid: return false;
      }
      // Every pending item takes at least one byte: more than remain cannot be there.
      if (pending > static_cast<uint64_t>(end_ - p_)) return false;
    }
    return true;
  }

 private:
  // Reads an n-byte big-endian integer that starts `skip` bytes ahead, and moves past it.
  bool big_endian(size_t skip, size_t n, uint64_t& out) {
    if (static_cast<size_t>(end_ - p_) < skip + n) return false;
    uint64_t v = 0;
    for (size_t i = 0; i < n; ++i) v = (v << 8) | p_[skip + i];
    p_ += skip + n;
    out = v;
    return true;
  }

  // fix forms (fix_base + 0..15), then 16- and 32-bit counts.
  std::optional<uint32_t> header(uint8_t fix_base, uint8_t marker16) {
    if (p_ == end_) return std::nullopt;
    const uint8_t m = *p_;
    uint64_t n = 0;
    if (m >= fix_base && m <= fix_base + 0x0F) {
      n = m & 0x0F;
      ++p_;
    } else if (m == marker16 || m == marker16 + 1) {
      if (!big_endian(1, m == marker16 ? 2 : 4, n)) return std::nullopt;
    } else {
      return std::nullopt;
    }
    return static_cast<uint32_t>(n);
  }

  // bin 8/16/32 and ext (fixext 1..16, ext 8/16/32): payload length and type byte.
  bool skip_blob() {
    const uint8_t m = *p_;
    uint64_t len = 0;
    if (m >= 0xC4 && m <= 0xC6) {
      if (!big_endian(1, size_t{1} << (m - 0xC4), len)) return false;
    } else if (m >= 0xD4 && m <= 0xD8) {
      len = 1 + (uint64_t{1} << (m - 0xD4));
      ++p_;
    } else {
      if (!big_endian(1, size_t{1} << (m - 0xC7), len)) return false;
      ++len;  // the type byte
    }
    if (len > static_cast<uint64_t>(end_ - p_)) return false;
    p_ += len;
    return true;
  }

  const uint8_t* p_;
  const uint8_t* end_;
};

}  // namespace ormel
