// CRC-32 of byte ranges of one long byte sequence, for callers whose ranges
// overlap so much that hashing each one would cost many passes over the
// sequence (the chunks of many PNG candidates covering the same bytes).
//
// With P(x) the CRC register after the bytes [o, x) from the initial value,
// o the origin of the table's region, a range [a, b) inside the region costs
// two partial blocks and one shift:
//   crc[a, b) = ~(P(b) ^ shift(P(a) ^ ~0, b - a)).
// The registers at the region's block boundaries take one more pass over the
// region, so the table is built only once direct hashing has cost as much: a
// sequence whose ranges do not overlap is hashed once, as without it.
//
// The table holds at most `maxEntries` 32-bit words (shift factors
// included). A region too long for the finest blocks gets coarser ones, which
// only make each range's partial blocks longer; a table that does not cover a
// range is rebuilt from the floor (the lowest position a range may start at
// from then on) once direct hashing has again cost what the rebuild costs.
// Memory that cannot be had leaves the table out. None of this changes a
// result, only what it costs.
//
// Bytes supplies the sequence:
//   std::int64_t Length() const;
//   std::uint32_t Update(std::uint32_t reg, std::int64_t from, std::int64_t to);
//     the register after the bytes [from, to) ran through reg;
//   bool Direct(std::int64_t start, std::uint32_t count, std::uint32_t* stored);
//     the CRC of [start, start + count) in CCrc's stored order, or false when
//     the bytes could not be read.
#pragma once

#include <algorithm>
#include <cstdint>
#include <limits>
#include <new>

#include "checksum/Crc32Combine.h"

namespace qx {

// A finished CRC in the byte order CCrc stores it: compared as a
// little-endian word, it equals the four bytes PNG stores.
constexpr std::uint32_t Crc32StoredOrder(std::uint32_t crc) {
  return (crc >> 24) | ((crc >> 8) & 0x0000FF00u) | ((crc << 8) & 0x00FF0000u) | (crc << 24);
}

template <class Bytes>
class Crc32RangeCache {
 public:
  // maxEntries < 0: no bound but the sequence's length.
  Crc32RangeCache(Bytes& bytes, std::int64_t maxEntries)
      : bytes_(bytes),
        maxEntries_(maxEntries),
        nextAttempt_(std::min(bytes.Length(), PreferredRegion())) {}
  ~Crc32RangeCache() { delete[] tables_; }
  Crc32RangeCache(const Crc32RangeCache&) = delete;
  Crc32RangeCache& operator=(const Crc32RangeCache&) = delete;

  // No range asked for from now on starts below `floor`.
  void SetFloor(std::int64_t floor) { floor_ = floor; }

  // Words held now and at most so far.
  std::int64_t Entries() const { return entries_; }
  std::int64_t PeakEntries() const { return peakEntries_; }

  // False when the bytes could not be read.
  bool Get(std::int64_t start, std::uint32_t count, std::uint32_t* stored) {
    if (count >= kPrefixMinimum) {
      const std::int64_t end = start + count;
      if (!Covers(start, end) && directBytes_ + count > nextAttempt_) Build(start, end, count);
      // A coarse table pays off for longer ranges only.
      if (Covers(start, end) && std::int64_t{count} >= std::int64_t{2} << shift_) {
        const std::uint32_t shifted = Shift(Register(start, &starts_) ^ 0xFFFFFFFFu, count);
        *stored = Crc32StoredOrder(~(Register(end, &ends_) ^ shifted));
        return true;
      }
    }
    directBytes_ += count;
    return bytes_.Direct(start, count, stored);
  }

 private:
  static constexpr std::uint32_t kPrefixMinimum = 512;
  static constexpr unsigned kFinestShift = 6;
  static constexpr unsigned kCoarsestShift = 40;
  // Shift factors are combined from two tables: x^(8k) for the low bits of a
  // count, and x^(8 * 4096 * k) for the rest, up to the region's length.
  static constexpr unsigned kLowBits = 12;
  static constexpr std::int64_t kLowCount = std::int64_t{1} << kLowBits;

  // The region a bounded table covers at its finest blocks, with room to spare.
  std::int64_t PreferredRegion() const {
    if (maxEntries_ < 0) return std::numeric_limits<std::int64_t>::max();
    return std::max<std::int64_t>(maxEntries_ - kLowCount, 0) << (kFinestShift - 1);
  }

  bool Covers(std::int64_t start, std::int64_t end) const {
    return tables_ != nullptr && start >= origin_ && end <= origin_ + span_;
  }

  static std::int64_t EntriesFor(std::int64_t span, unsigned shift) {
    return (span >> shift) + 1 + kLowCount + (span >> kLowBits) + 1;
  }

  void Build(std::int64_t start, std::int64_t end, std::uint32_t count) {
    const std::int64_t origin = std::min(floor_, start);
    const std::int64_t length = bytes_.Length();
    // Room for ranges as long as this one to start well past the origin, so
    // that long ranges do not call for a new table every few positions.
    const std::int64_t span = std::min(std::max(4 * (end - origin), PreferredRegion()), length - origin);
    delete[] tables_;
    tables_ = nullptr;
    entries_ = 0;
    // Blocks to try, finest first: a coarser table is smaller.
    for (unsigned shift = kFinestShift; shift <= kCoarsestShift; shift += 2) {
      const std::int64_t entries = EntriesFor(span, shift);
      if (maxEntries_ >= 0 && entries > maxEntries_) continue;
      if (Fill(origin, span, shift, entries)) {
        // Another table only after direct hashing has cost this one again.
        nextAttempt_ = directBytes_ + count + span;
        return;
      }
    }
    nextAttempt_ = directBytes_ + count + span;
  }

  bool Fill(std::int64_t origin, std::int64_t span, unsigned shift, std::int64_t entries) {
    tables_ = new (std::nothrow) std::uint32_t[static_cast<std::size_t>(entries)];
    if (tables_ == nullptr) return false;
    entries_ = entries;
    peakEntries_ = std::max(peakEntries_, entries);
    starts_ = Cursor{};
    ends_ = Cursor{};
    lastCount_ = 0;
    repeats_ = 0;
    origin_ = origin;
    span_ = span;
    shift_ = shift;
    const std::int64_t blocks = span >> shift;
    prefix_ = tables_;
    lowFactor_ = prefix_ + blocks + 1;
    highFactor_ = lowFactor_ + kLowCount;

    const std::int64_t block = std::int64_t{1} << shift;
    prefix_[0] = 0xFFFFFFFFu;
    for (std::int64_t k = 0; k < blocks; ++k) {
      prefix_[k + 1] = bytes_.Update(prefix_[k], origin + k * block, origin + (k + 1) * block);
    }
    const std::uint32_t oneByte = Crc32ShiftFactor(1);
    lowFactor_[0] = Crc32ShiftFactor(0);
    for (std::int64_t k = 1; k < kLowCount; ++k) {
      lowFactor_[k] = Crc32MultiplyModPByNibbles(lowFactor_[k - 1], oneByte);
    }
    const std::uint32_t oneHigh = Crc32ShiftFactor(kLowCount);
    const std::int64_t highCount = (span >> kLowBits) + 1;
    highFactor_[0] = Crc32ShiftFactor(0);
    for (std::int64_t k = 1; k < highCount; ++k) {
      highFactor_[k] = Crc32MultiplyModPByNibbles(highFactor_[k - 1], oneHigh);
    }
    return true;
  }

  // value * x^(8 * count): a register moved past count further bytes.
  // Hostile input repeats one length over and over, so the factor of the
  // last count is kept as its nibble multiples, and once it has been used
  // often, as byte tables whose four lookups do not wait on each other.
  // count is never 0 here (ranges this short are hashed directly), so 0
  // marks no count.
  std::uint32_t Shift(std::uint32_t value, std::uint32_t count) {
    if (count != lastCount_) {
      lastCount_ = count;
      repeats_ = 0;
      lastFactor_ = MakeCrc32NibbleMultiples(Crc32MultiplyModPByNibbles(
          lowFactor_[count & (kLowCount - 1)], highFactor_[count >> kLowBits]));
    }
    if (repeats_ < kRepeatsForBytes) {
      if (++repeats_ == kRepeatsForBytes) {
        for (unsigned k = 0; k < 4; ++k) {
          for (std::uint32_t byte = 0; byte < 256; ++byte) {
            byByte_[k][byte] = Crc32MultiplyByMultiples(byte << (8 * k), lastFactor_);
          }
        }
      }
      return Crc32MultiplyByMultiples(value, lastFactor_);
    }
    // The product is linear in value: the sum of each byte's products.
    return byByte_[0][value & 0xFFu] ^ byByte_[1][(value >> 8) & 0xFFu] ^
           byByte_[2][(value >> 16) & 0xFFu] ^ byByte_[3][value >> 24];
  }

  // The last register computed for range starts, and for range ends:
  // candidates close together ask for positions close together, which are
  // cheaper to reach from there than from their block's boundary.
  struct Cursor {
    std::int64_t position = -1;
    std::uint32_t reg = 0;
  };

  // P(position), for a position inside the region.
  std::uint32_t Register(std::int64_t position, Cursor* cursor) {
    const std::int64_t block = (position - origin_) >> shift_;
    const std::int64_t from = origin_ + (block << shift_);
    if (cursor->position >= from && cursor->position <= position) {
      cursor->reg = bytes_.Update(cursor->reg, cursor->position, position);
    } else {
      cursor->reg = bytes_.Update(prefix_[block], from, position);
    }
    cursor->position = position;
    return cursor->reg;
  }

  Bytes& bytes_;
  std::int64_t maxEntries_;
  std::int64_t floor_ = 0;
  std::int64_t directBytes_ = 0;
  std::int64_t nextAttempt_;
  std::uint32_t* tables_ = nullptr;  // one block: prefix_, lowFactor_, highFactor_
  std::int64_t entries_ = 0;
  std::int64_t peakEntries_ = 0;
  std::int64_t origin_ = 0;
  std::int64_t span_ = 0;
  std::uint32_t* prefix_ = nullptr;  // prefix_[k]: P(origin_ + (k << shift_))
  std::uint32_t* lowFactor_ = nullptr;
  std::uint32_t* highFactor_ = nullptr;
  unsigned shift_ = 0;
  Cursor starts_;
  Cursor ends_;
  std::uint32_t lastCount_ = 0;
  Crc32NibbleMultiples lastFactor_{};
  static constexpr std::uint32_t kRepeatsForBytes = 256;
  std::uint32_t repeats_ = 0;
  std::uint32_t byByte_[4][256] = {};
};

}  // namespace qx
