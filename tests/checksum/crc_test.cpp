#include <gtest/gtest.h>

#include "common/TestBytes.h"

#include <cstdint>
#include <cstring>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "checksum/CCrc.h"
#include "checksum/Crc32Combine.h"
#include "checksum/Crc32Tables.h"
#include "platform/platform.h"
#include "platform/testing.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Text(const char* s) { return Bytes(s, s + std::strlen(s)); }

Bytes RandomBytes(std::size_t n, std::uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes b(n);
  for (auto& v : b) v = static_cast<std::uint8_t>(rng());
  return b;
}

// The stored (byte-reversed) CRC-32 of a buffer; fails the test when the
// engine delivers nothing.
std::uint32_t Stored(CCrc& crc, const Bytes& b) {
  std::uint32_t result = 0;
  EXPECT_TRUE(crc.Crc32_GetFromBuffer(b.data(), static_cast<std::uint32_t>(b.size()), &result));
  return result;
}

std::uint32_t Reversed(std::uint32_t v) {
  return (v >> 24) | ((v >> 8) & 0xFF00u) | ((v << 8) & 0xFF0000u) | (v << 24);
}

using qx::testbytes::BitwiseCrc32;

// Gives the object a salt the way its owner must: a new[] array that the
// destructor releases.
void SetSalt(CCrc& crc, std::int32_t mode, const Bytes& salt, std::uint32_t length) {
  delete[] crc.Salt_Data;
  crc.Salt_Data = new std::uint8_t[salt.size() + 1];
  std::memcpy(crc.Salt_Data, salt.data(), salt.size());
  crc.Salt_Mode = mode;
  crc.Salt_Length = length;
}

TEST(Crc32, CheckValuesInPngByteOrder) {
  CCrc crc;
  // The standard check value 0xCBF43926, stored with its bytes reversed.
  EXPECT_EQ(0x2639F4CBu, Stored(crc, Text("123456789")));

  // The IEND chunk's CRC as a PNG file stores it: AE 42 60 82.
  const Bytes iend = Text("IEND");
  std::uint8_t image[4] = {};
  std::uint32_t result = 0;
  ASSERT_TRUE(crc.Crc32_GetFromBuffer(iend.data(), 4, &result));
  EXPECT_EQ(0x826042AEu, result);
  std::memcpy(image, &result, 4);
  if (image[0] == 0xAE) {  // a little-endian host lays it out as the file does
    EXPECT_EQ(0x42, image[1]);
    EXPECT_EQ(0x60, image[2]);
    EXPECT_EQ(0x82, image[3]);
  }

  std::uint8_t one = 0;
  result = 0xDEADBEEFu;
  EXPECT_TRUE(crc.Crc32_GetFromBuffer(&one, 0, &result));
  EXPECT_EQ(0u, result);
}

TEST(Crc32, NullPointersDeliverNothingAndReportNothing) {
  static int boxes = 0;
  boxes = 0;
  const auto previous = qx::plat::SetErrorBoxHook([](const wchar_t*, const wchar_t*, unsigned) {
    ++boxes;
    return qx::plat::kBoxYes;
  });
  CCrc crc;
  const Bytes data = Text("abc");
  std::uint32_t result = 0x12345678u;
  EXPECT_FALSE(crc.Crc32_GetFromBuffer(nullptr, 0, &result));
  EXPECT_FALSE(crc.Crc32_GetFromBuffer(nullptr, 3, &result));
  EXPECT_EQ(0x12345678u, result);
  EXPECT_FALSE(crc.Crc32_GetFromBuffer(data.data(), 3, nullptr));
  EXPECT_EQ(0, boxes);
  qx::plat::SetErrorBoxHook(previous);
}

// The sliced path must agree with the table byte by byte and with the
// bitwise definition for every length around the block size and every
// misalignment of the start.
TEST(Crc32, SlicedDataAgreesWithTheBitwiseDefinition) {
  CCrc crc;
  const Bytes data = RandomBytes(4096 + 64, 7);
  for (std::size_t offset = 0; offset < 17; ++offset) {
    for (std::size_t n = 0; n <= 70; ++n) {
      std::uint32_t result = 0;
      ASSERT_TRUE(
          crc.Crc32_GetFromBuffer(data.data() + offset, static_cast<std::uint32_t>(n), &result));
      ASSERT_EQ(Reversed(BitwiseCrc32(data.data() + offset, n)), result)
          << "offset " << offset << " length " << n;
    }
  }
  std::uint32_t result = 0;
  ASSERT_TRUE(crc.Crc32_GetFromBuffer(data.data() + 3, 4096 + 5, &result));
  EXPECT_EQ(Reversed(BitwiseCrc32(data.data() + 3, 4096 + 5)), result);
}

TEST(Crc32, SaltModes) {
  const Bytes salt = Text("salt!");
  const Bytes data = Text("the data bytes");
  auto joined = [](std::initializer_list<const Bytes*> parts) {
    Bytes all;
    for (const Bytes* p : parts) all.insert(all.end(), p->begin(), p->end());
    return all;
  };
  CCrc plain;
  const std::uint32_t unsalted = Stored(plain, data);

  {
    CCrc crc;
    SetSalt(crc, 1, salt, 5);
    EXPECT_EQ(Stored(plain, joined({&salt, &data})), Stored(crc, data));
  }
  {
    CCrc crc;
    SetSalt(crc, 2, salt, 5);
    EXPECT_EQ(Stored(plain, joined({&data, &salt})), Stored(crc, data));
  }
  {
    CCrc crc;
    SetSalt(crc, 3, salt, 5);
    EXPECT_EQ(Stored(plain, joined({&salt, &data, &salt})), Stored(crc, data));
  }
  // Length 0 means no salt whatever the mode; modes outside 1-3 act as 0.
  for (const std::int32_t mode : {0, 1, 2, 3}) {
    CCrc crc;
    SetSalt(crc, mode, salt, 0);
    EXPECT_EQ(unsalted, Stored(crc, data)) << "mode " << mode;
  }
  for (const std::int32_t mode : {0, 4, 7, -1}) {
    CCrc crc;
    SetSalt(crc, mode, salt, 5);
    EXPECT_EQ(unsalted, Stored(crc, data)) << "mode " << mode;
  }
  // A salt shorter than its array: only Salt_Length bytes count.
  {
    CCrc crc;
    SetSalt(crc, 1, salt, 2);
    const Bytes two = Text("sa");
    EXPECT_EQ(Stored(plain, joined({&two, &data})), Stored(crc, data));
  }
}

TEST(Crc32, MovingBytesBetweenSaltAndDataKeepsTheResult) {
  CCrc plain;
  const std::uint32_t whole = Stored(plain, Text("123456789"));
  ASSERT_EQ(0x2639F4CBu, whole);
  {
    CCrc crc;
    SetSalt(crc, 1, Text("123"), 3);
    EXPECT_EQ(whole, Stored(crc, Text("456789")));
  }
  {
    CCrc crc;
    SetSalt(crc, 2, Text("789"), 3);
    EXPECT_EQ(whole, Stored(crc, Text("123456")));
  }
  {
    CCrc crc;
    SetSalt(crc, 3, Text("1"), 1);
    EXPECT_EQ(Stored(plain, Text("112345678911")), Stored(crc, Text("1234567891")));
  }
  // The salt alone, with empty data.
  {
    CCrc crc;
    SetSalt(crc, 1, Text("123456789"), 9);
    std::uint8_t none = 0;
    std::uint32_t result = 0;
    ASSERT_TRUE(crc.Crc32_GetFromBuffer(&none, 0, &result));
    EXPECT_EQ(whole, result);
  }
}

TEST(CrcTables, FreshObjectStateAndKnownEntries) {
  CCrc crc;
  EXPECT_EQ(0, crc.Salt_Mode);
  EXPECT_EQ(0u, crc.Salt_Length);
  EXPECT_EQ(nullptr, crc.Salt_Data);

  EXPECT_EQ(0u, crc.Crc16_Table[0]);
  EXPECT_EQ(0xC0C1u, crc.Crc16_Table[1]);
  EXPECT_EQ(0xA001u, crc.Crc16_Table[128]);
  EXPECT_EQ(0x4040u, crc.Crc16_Table[255]);
  EXPECT_EQ(0x77073096u, crc.Crc32_Table[1]);
  EXPECT_EQ(0xEDB88320u, crc.Crc32_Table[128]);
  EXPECT_EQ(0x2D02EF8Du, crc.Crc32_Table[255]);
  EXPECT_EQ(0x01B0000000000000ull, crc.Crc64_Table[1]);
  EXPECT_EQ(0xD800000000000000ull, crc.Crc64_Table[128]);
  EXPECT_EQ(0x9090000000000000ull, crc.Crc64_Table[255]);

  // The object's own table is the one the shared slicing tables start from.
  for (int n = 0; n < 256; ++n) ASSERT_EQ(qx::kCrc32Slices[0][n], crc.Crc32_Table[n]) << n;
}

// Every entry of the 16- and 64-bit tables, through check values and a
// long random message compared with the bit-by-bit definitions.
TEST(CrcTables, SixteenAndSixtyFourBitTablesMatchTheirDefinitions) {
  CCrc crc;
  auto table16 = [&](const Bytes& b) {
    std::uint16_t r = 0;  // CRC-16 with polynomial 0xA001, initial value 0
    for (std::uint8_t v : b)
      r = static_cast<std::uint16_t>((r >> 8) ^ crc.Crc16_Table[(r ^ v) & 0xFF]);
    return r;
  };
  auto bitwise16 = [](const Bytes& b) {
    std::uint16_t r = 0;
    for (std::uint8_t v : b) {
      r ^= v;
      for (int bit = 0; bit < 8; ++bit)
        r = static_cast<std::uint16_t>((r & 1) ? (r >> 1) ^ 0xA001 : r >> 1);
    }
    return r;
  };
  auto table64 = [&](const Bytes& b) {
    std::uint64_t r = ~0ull;
    for (std::uint8_t v : b) r = (r >> 8) ^ crc.Crc64_Table[(r ^ v) & 0xFF];
    return ~r;
  };
  auto bitwise64 = [](const Bytes& b) {
    std::uint64_t r = ~0ull;
    for (std::uint8_t v : b) {
      r ^= v;
      for (int bit = 0; bit < 8; ++bit) r = (r & 1) ? (r >> 1) ^ 0xD800000000000000ull : r >> 1;
    }
    return ~r;
  };
  EXPECT_EQ(0xBB3Du, table16(Text("123456789")));
  EXPECT_EQ(0xB90956C775A41001ull, table64(Text("123456789")));
  Bytes all(256);
  for (int n = 0; n < 256; ++n) all[n] = static_cast<std::uint8_t>(n);
  const Bytes random = RandomBytes(2000, 11);
  for (const Bytes& b : {all, random}) {
    EXPECT_EQ(bitwise16(b), table16(b));
    EXPECT_EQ(bitwise64(b), table64(b));
  }
}

TEST(CrcTables, BuildSkipsOnlyWhenTheMarkerEqualsThePolynomial) {
  CCrc crc;
  crc.Crc32_Table[7] = 0;
  crc.Crc16_Table[7] = 0;
  crc.Crc64_Table[7] = 0;
  // Not built yet as far as the markers say: the fixed polynomials are used
  // whatever the argument.
  crc.Crc32_InitTable(0x12345678u);
  crc.Crc16_InitTable(0x1234u);
  crc.Crc64_InitTable(0x1234ull);
  EXPECT_EQ(qx::kCrc32Slices[0][7], crc.Crc32_Table[7]);
  CCrc fresh;
  EXPECT_EQ(fresh.Crc16_Table[7], crc.Crc16_Table[7]);
  EXPECT_EQ(fresh.Crc64_Table[7], crc.Crc64_Table[7]);

  // Markers equal to the polynomials: the builds leave the tables alone.
  crc.Crc16_Table[256] = 0xA001u;
  crc.Crc32_Table[256] = 0xEDB88320u;
  crc.Crc64_Table[256] = 0xD800000000000000ull;
  crc.Crc16_Table[7] = crc.Crc32_Table[7] = 0;
  crc.Crc64_Table[7] = 0;
  crc.Crc16_InitTable(0xA001u);
  crc.Crc32_InitTable(0xEDB88320u);
  crc.Crc64_InitTable(0xD800000000000000ull);
  EXPECT_EQ(0u, crc.Crc16_Table[7]);
  EXPECT_EQ(0u, crc.Crc32_Table[7]);
  EXPECT_EQ(0u, crc.Crc64_Table[7]);
}

// Storage that still holds an old object whose markers equal the
// polynomials must not keep a new object from building its tables.
TEST(CrcTables, ConstructionAlwaysBuildsWhateverTheStorageHeld) {
  alignas(CCrc) unsigned char storage[sizeof(CCrc)];
  auto* old = new (storage) CCrc;
  old->Crc16_Table[256] = 0xA001u;
  old->Crc32_Table[256] = 0xEDB88320u;
  old->Crc64_Table[256] = 0xD800000000000000ull;
  for (int n = 0; n < 256; ++n) {
    old->Crc16_Table[n] = 0;
    old->Crc32_Table[n] = 0;
    old->Crc64_Table[n] = 0;
  }
  old->~CCrc();
  auto* crc = new (storage) CCrc;
  EXPECT_EQ(0xC0C1u, crc->Crc16_Table[1]);
  EXPECT_EQ(0x77073096u, crc->Crc32_Table[1]);
  EXPECT_EQ(0x01B0000000000000ull, crc->Crc64_Table[1]);
  crc->~CCrc();
}

struct Box {
  std::wstring text;
};
std::vector<Box> gBoxes;

class CrcGuardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    gBoxes.clear();
    previous_ = qx::plat::SetErrorBoxHook([](const wchar_t* text, const wchar_t*, unsigned) {
      gBoxes.push_back({text});
      return qx::plat::kBoxYes;
    });
  }
  void TearDown() override { qx::plat::SetErrorBoxHook(previous_); }

 private:
  qx::plat::ErrorBoxHook previous_ = nullptr;
};

TEST_F(CrcGuardTest, FaultingDataIsReportedAndDeliversNothing) {
  qx::plat::testing::NoAccessPage page;
  ASSERT_NE(nullptr, page.address());
  CCrc crc;
  std::uint32_t result = 0x55AA55AAu;
  EXPECT_FALSE(
      crc.Crc32_GetFromBuffer(static_cast<const std::uint8_t*>(page.address()), 100, &result));
  EXPECT_EQ(0x55AA55AAu, result);
  ASSERT_EQ(1u, gBoxes.size());
  const std::wstring& text = gBoxes[0].text;
  EXPECT_EQ(0u, text.find(L"Exception error\nFile     : CCrc.cpp (")) << text;
  EXPECT_NE(std::wstring::npos, text.find(L"Crc32_GetFromBuffer")) << text;

  // The object works normally afterwards.
  EXPECT_EQ(0x2639F4CBu, Stored(crc, Text("123456789")));
  EXPECT_EQ(1u, gBoxes.size());
}

TEST_F(CrcGuardTest, FaultingSaltIsReportedAndDeliversNothing) {
  qx::plat::testing::NoAccessPage page;
  ASSERT_NE(nullptr, page.address());
  const Bytes data = Text("abc");
  for (const std::int32_t mode : {1, 2, 3}) {
    gBoxes.clear();
    CCrc crc;
    crc.Salt_Mode = mode;
    crc.Salt_Length = 16;
    crc.Salt_Data = static_cast<std::uint8_t*>(page.address());
    std::uint32_t result = 0;
    EXPECT_FALSE(crc.Crc32_GetFromBuffer(data.data(), 3, &result)) << mode;
    EXPECT_EQ(1u, gBoxes.size()) << mode;
    crc.Salt_Data = nullptr;  // not the object's to release
  }
}

TEST(Crc32Combine, ConcatenationFromTheParts) {
  const Bytes data = RandomBytes(3000, 3);
  for (const std::size_t split : {std::size_t{0}, std::size_t{1}, std::size_t{63}, std::size_t{64},
                                  std::size_t{1500}, std::size_t{3000}}) {
    const std::uint32_t a = BitwiseCrc32(data.data(), split);
    const std::uint32_t b = BitwiseCrc32(data.data() + split, data.size() - split);
    EXPECT_EQ(BitwiseCrc32(data.data(), data.size()), qx::Crc32Combine(a, b, data.size() - split))
        << split;
  }
  // Shifting by m bytes and then by n bytes is shifting by m + n.
  EXPECT_EQ(qx::Crc32ShiftFactor(1000003),
            qx::Crc32MultiplyModP(qx::Crc32ShiftFactor(1000000), qx::Crc32ShiftFactor(3)));
  EXPECT_EQ(0x80000000u, qx::Crc32ShiftFactor(0));
  // A 64-bit count uses every power, up to the top bit.
  const std::uint64_t huge = 0xFFFFFFFFFFFFFFFFull;
  EXPECT_EQ(qx::Crc32ShiftFactor(huge),
            qx::Crc32MultiplyModP(qx::Crc32ShiftFactor(huge - 5), qx::Crc32ShiftFactor(5)));
}

}  // namespace
