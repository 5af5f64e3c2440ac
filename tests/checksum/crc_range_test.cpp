#include <gtest/gtest.h>

#include "common/TestBytes.h"

#include <cstdint>
#include <random>
#include <vector>

#include "checksum/Crc32Combine.h"
#include "checksum/Crc32Range.h"
#include "checksum/Crc32Tables.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

using qx::testbytes::BitwiseCrc32;

// A sequence in memory that counts the bytes each path reads.
struct CountingBytes {
  const Bytes& data;
  std::int64_t updated = 0;
  std::int64_t direct = 0;

  std::int64_t Length() const { return static_cast<std::int64_t>(data.size()); }
  std::uint32_t Update(std::uint32_t reg, std::int64_t from, std::int64_t to) {
    EXPECT_LE(0, from);
    EXPECT_LE(from, to);
    EXPECT_LE(to, Length());
    updated += to - from;
    return qx::Crc32UpdateSliced(reg, data.data() + from, static_cast<std::size_t>(to - from));
  }
  bool Direct(std::int64_t start, std::uint32_t count, std::uint32_t* stored) {
    direct += count;
    *stored = qx::Crc32StoredOrder(~qx::Crc32UpdateSliced(0xFFFFFFFFu, data.data() + start, count));
    return true;
  }
};

Bytes RandomBytes(std::size_t n, std::uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes b(n);
  for (auto& v : b) v = static_cast<std::uint8_t>(rng());
  return b;
}

// The sliced engine, itself checked against the bitwise definition.
std::uint32_t Expected(const Bytes& b, std::int64_t start, std::uint32_t count) {
  return qx::Crc32StoredOrder(~qx::Crc32UpdateSliced(0xFFFFFFFFu, b.data() + start, count));
}

TEST(Crc32MultiplyByNibbles, AgreesWithTheBitwiseProduct) {
  std::mt19937 rng(99);
  for (int k = 0; k < 2000; ++k) {
    const std::uint32_t a = rng();
    const std::uint32_t b = k % 7 == 0 ? qx::Crc32ShiftFactor(rng() % 100000) : rng();
    ASSERT_EQ(qx::Crc32MultiplyModP(a, b), qx::Crc32MultiplyModPByNibbles(a, b)) << a << " " << b;
  }
  EXPECT_EQ(0u, qx::Crc32MultiplyModPByNibbles(0, 0xFFFFFFFFu));
  EXPECT_EQ(0xCBF43926u, qx::Crc32MultiplyModPByNibbles(0x80000000u, 0xCBF43926u));  // times x^0
}

// Overlapping ranges of every length class: short ones always hashed
// directly, long ones from the table once direct hashing has cost a pass.
TEST(Crc32RangeCache, OverlappingRangesFromAnUnboundedTable) {
  const Bytes b = RandomBytes(200000, 7);
  CountingBytes bytes{b};
  qx::Crc32RangeCache<CountingBytes> cache(bytes, -1);
  std::mt19937 rng(8);
  for (int k = 0; k < 1000; ++k) {
    const std::uint32_t count = k % 3 == 0 ? rng() % 600 : 512 + rng() % 150000;
    const auto start = static_cast<std::int64_t>(rng() % (b.size() - count + 1));
    std::uint32_t stored = 0;
    ASSERT_TRUE(cache.Get(start, count, &stored));
    ASSERT_EQ(Expected(b, start, count), stored) << start << " " << count;
    if (k % 100 == 0) {
      ASSERT_EQ(qx::Crc32StoredOrder(BitwiseCrc32(b.data() + start, count)), stored);
    }
  }
  // Ranges ending at the buffer's last byte and at every offset in a block.
  for (std::uint32_t count = 1000; count < 1200; ++count) {
    std::uint32_t stored = 0;
    const std::int64_t start = static_cast<std::int64_t>(b.size()) - count;
    ASSERT_TRUE(cache.Get(start, count, &stored));
    ASSERT_EQ(Expected(b, start, count), stored) << count;
    ASSERT_TRUE(cache.Get(start - 1, count, &stored));
    ASSERT_EQ(Expected(b, start - 1, count), stored) << count;
  }
  // One length over and over, at starts 8 bytes apart (back-to-back PNG
  // signatures): past a few hundred, its factor is applied by byte tables.
  for (std::int64_t start = 1000; start < 1000 + 8 * 700; start += 8) {
    std::uint32_t stored = 0;
    ASSERT_TRUE(cache.Get(start, 150001, &stored));
    ASSERT_EQ(Expected(b, start, 150001), stored) << start;
  }
  // About 150 MB of ranges asked for: the direct hashing stopped after about
  // a pass, and the table cost about one more.
  EXPECT_GT(cache.PeakEntries(), 0);
  EXPECT_LT(bytes.direct, 3 * static_cast<std::int64_t>(b.size()));
  EXPECT_LT(bytes.updated, 100 * static_cast<std::int64_t>(b.size()));
}

// A table of at most a few thousand words over a longer sequence: coarse
// blocks, rebuilt from the floor as the ranges move on, never beyond the
// bound, and still exact.
TEST(Crc32RangeCache, BoundedTableMovesWithTheFloor) {
  const Bytes b = RandomBytes(1000000, 11);
  for (const std::int64_t maxEntries : {std::int64_t{4096 + 300}, std::int64_t{6000}, std::int64_t{50000}}) {
    SCOPED_TRACE(maxEntries);
    CountingBytes bytes{b};
    qx::Crc32RangeCache<CountingBytes> cache(bytes, maxEntries);
    std::mt19937 rng(12);
    std::int64_t floor = 0;
    while (floor + 40000 < static_cast<std::int64_t>(b.size())) {
      cache.SetFloor(floor);
      const std::int64_t start = floor + static_cast<std::int64_t>(rng() % 64);
      const auto count = static_cast<std::uint32_t>(2000 + rng() % 30000);
      std::uint32_t stored = 0;
      ASSERT_TRUE(cache.Get(start, count, &stored));
      ASSERT_EQ(Expected(b, start, count), stored) << start << " " << count;
      floor += 1 + static_cast<std::int64_t>(rng() % 400);
    }
    EXPECT_GT(cache.PeakEntries(), 0);
    EXPECT_LE(cache.PeakEntries(), maxEntries);
  }
  // Too small a bound for any table: every range hashed directly.
  CountingBytes bytes{b};
  qx::Crc32RangeCache<CountingBytes> none(bytes, 4096);
  for (std::int64_t start = 0; start < 20000; start += 10) {
    std::uint32_t stored = 0;
    ASSERT_TRUE(none.Get(start, 6000, &stored));
    ASSERT_EQ(Expected(b, start, 6000), stored);
  }
  EXPECT_EQ(0, none.PeakEntries());
}

}  // namespace
