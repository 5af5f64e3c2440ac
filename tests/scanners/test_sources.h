// Byte sources for testing the windowed searches: views that are each a
// separate heap copy of exactly their size (so the sanitizer build catches a
// read past a view's end, and a view used after its slot moved on), views of
// bytes that change from one view to the next, and a long sequence made of
// zeros with a few placed pieces, served without allocating its length.
// Each aborts when asked for a view outside the sequence.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <vector>

#include "support/ByteSource.h"

namespace qx::testsrc {

// Each view is a fresh heap block holding [pos, end) and nothing more; the
// slot's previous block is freed. Views hold at least `window` bytes (or to
// the end) and sometimes more.
class CopyingSource final : public ByteSource {
 public:
  CopyingSource(const std::uint8_t* data, std::int64_t length, std::int64_t window,
                std::uint32_t seed = 1)
      : data_(data), length_(length), window_(window), rng_(seed) {}

  std::int64_t Length() const override { return length_; }
  std::int64_t MinView() const override { return window_; }

  const std::uint8_t* View(int slot, std::int64_t pos, std::int64_t* end) override {
    if (slot < 0 || slot >= kByteSourceSlots || pos < 0 || pos >= length_) std::abort();
    views_[slot].reset();
    const std::int64_t extra = rng_() % 2 ? static_cast<std::int64_t>(rng_() % window_) : 0;
    *end = length_ - pos < window_ + extra ? length_ : pos + window_ + extra;
    views_[slot] = std::make_unique<std::uint8_t[]>(static_cast<std::size_t>(*end - pos));
    std::memcpy(views_[slot].get(), data_ + pos, static_cast<std::size_t>(*end - pos));
    ++calls_;
    return views_[slot].get();
  }

  std::int64_t calls() const { return calls_; }

 private:
  const std::uint8_t* data_;
  std::int64_t length_;
  std::int64_t window_;
  std::mt19937 rng_;
  std::unique_ptr<std::uint8_t[]> views_[kByteSourceSlots];
  std::int64_t calls_ = 0;
};

// Bytes that change between views: each view is a fresh exact-size copy
// taken from one of several versions of the sequence, picked at random per
// view, as if another process kept rewriting the file between reads.
class ChangingSource final : public ByteSource {
 public:
  ChangingSource(std::vector<const std::uint8_t*> versions, std::int64_t length,
                 std::int64_t window, std::uint32_t seed)
      : versions_(std::move(versions)), length_(length), window_(window), rng_(seed) {}

  std::int64_t Length() const override { return length_; }
  std::int64_t MinView() const override { return window_; }

  const std::uint8_t* View(int slot, std::int64_t pos, std::int64_t* end) override {
    if (slot < 0 || slot >= kByteSourceSlots || pos < 0 || pos >= length_) std::abort();
    views_[slot].reset();
    *end = length_ - pos < window_ ? length_ : pos + window_;
    const std::uint8_t* from = versions_[rng_() % versions_.size()];
    views_[slot] = std::make_unique<std::uint8_t[]>(static_cast<std::size_t>(*end - pos));
    std::memcpy(views_[slot].get(), from + pos, static_cast<std::size_t>(*end - pos));
    return views_[slot].get();
  }

 private:
  std::vector<const std::uint8_t*> versions_;
  std::int64_t length_;
  std::int64_t window_;
  std::mt19937 rng_;
  std::unique_ptr<std::uint8_t[]> views_[kByteSourceSlots];
};

// Zeros, except for pieces placed at given positions (not overlapping);
// views of `window` bytes are filled on demand, and a view with no piece in
// it points at a shared block of zeros.
class SparseSource final : public ByteSource {
 public:
  SparseSource(std::int64_t length, std::int64_t window)
      : length_(length), window_(window), zeros_(static_cast<std::size_t>(window), 0) {
    for (auto& v : views_) v.resize(static_cast<std::size_t>(window));
  }

  void Place(std::int64_t at, std::vector<std::uint8_t> bytes) { pieces_[at] = std::move(bytes); }

  std::int64_t Length() const override { return length_; }
  std::int64_t MinView() const override { return window_; }

  const std::uint8_t* View(int slot, std::int64_t pos, std::int64_t* end) override {
    *end = length_ - pos < window_ ? length_ : pos + window_;
    // Pieces that start before the view's end and end after its start.
    auto it = pieces_.upper_bound(*end - 1);
    bool any = false;
    std::vector<std::uint8_t>& view = views_[slot];
    while (it != pieces_.begin()) {
      --it;
      const std::int64_t pieceEnd = it->first + static_cast<std::int64_t>(it->second.size());
      if (pieceEnd <= pos) {
        // Pieces are sorted by start and do not overlap: none further back reaches.
        break;
      }
      if (!any) std::memset(view.data(), 0, view.size());
      any = true;
      const std::int64_t from = std::max(pos, it->first);
      const std::int64_t to = std::min(*end, pieceEnd);
      std::memcpy(view.data() + (from - pos), it->second.data() + (from - it->first),
                  static_cast<std::size_t>(to - from));
    }
    return any ? view.data() : zeros_.data();
  }

 private:
  std::int64_t length_;
  std::int64_t window_;
  std::vector<std::uint8_t> zeros_;
  std::vector<std::uint8_t> views_[kByteSourceSlots];
  std::map<std::int64_t, std::vector<std::uint8_t>> pieces_;
};

}  // namespace qx::testsrc
