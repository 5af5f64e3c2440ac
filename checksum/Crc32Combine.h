// Arithmetic on finished CRC-32 values (the standard CRC-32: initial value
// all ones, reflected, final inversion), so that the CRC of a concatenation
// follows from the CRCs of its parts without reading the bytes again:
//
//   crc(A || B) == Crc32Combine(crc(A), crc(B), size(B))
//
// Values are polynomials over GF(2) in the reflected bit order of the
// register (bit 31 is x^0), reduced modulo the CRC-32 polynomial.
#pragma once

#include <array>
#include <cstdint>

#include "checksum/Crc32Tables.h"

namespace qx {

// a * b modulo the CRC-32 polynomial.
constexpr std::uint32_t Crc32MultiplyModP(std::uint32_t a, std::uint32_t b) {
  std::uint32_t product = 0;
  for (std::uint32_t m = 0x80000000u; m != 0; m >>= 1) {
    if ((a & m) != 0) product ^= b;
    b = (b & 1u) != 0 ? (b >> 1) ^ kCrc32Polynomial : b >> 1;
  }
  return product;
}

// The same product four bits of `a` at a time, for callers that need one per
// range of bytes (Crc32Range.h): multiples of b by each nibble are formed
// once, and each step folds four bits of the product back through a table of
// reductions.
constexpr std::uint32_t Crc32TimesX(std::uint32_t v) {
  return (v >> 1) ^ (kCrc32Polynomial & (0u - (v & 1u)));
}

struct Crc32NibbleReduction {
  std::uint32_t byLowBits[16];
};

constexpr Crc32NibbleReduction MakeCrc32NibbleReduction() {
  Crc32NibbleReduction r{};
  for (std::uint32_t low = 0; low < 16; ++low) {
    r.byLowBits[low] = Crc32TimesX(Crc32TimesX(Crc32TimesX(Crc32TimesX(low))));
  }
  return r;
}

inline constexpr Crc32NibbleReduction kCrc32NibbleReduction = MakeCrc32NibbleReduction();

// The multiples of b by every nibble; bit 0 of a nibble is its highest
// power of x. A caller that multiplies by the same b again keeps them.
struct Crc32NibbleMultiples {
  std::uint32_t byNibble[16];
};

constexpr Crc32NibbleMultiples MakeCrc32NibbleMultiples(std::uint32_t b) {
  Crc32NibbleMultiples m{};
  m.byNibble[8] = b;
  m.byNibble[4] = Crc32TimesX(b);
  m.byNibble[2] = Crc32TimesX(m.byNibble[4]);
  m.byNibble[1] = Crc32TimesX(m.byNibble[2]);
  for (unsigned n = 3; n < 16; ++n) {
    if ((n & (n - 1)) != 0) m.byNibble[n] = m.byNibble[n & (n - 1)] ^ m.byNibble[n & (0u - n)];
  }
  return m;
}

// a * b modulo the polynomial, with b given by its nibble multiples.
constexpr std::uint32_t Crc32MultiplyByMultiples(std::uint32_t a, const Crc32NibbleMultiples& b) {
  std::uint32_t product = 0;
  for (unsigned shift = 0; shift < 32; shift += 4) {
    product = (product >> 4) ^ kCrc32NibbleReduction.byLowBits[product & 15u] ^
              b.byNibble[(a >> shift) & 15u];
  }
  return product;
}

constexpr std::uint32_t Crc32MultiplyModPByNibbles(std::uint32_t a, std::uint32_t b) {
  return Crc32MultiplyByMultiples(a, MakeCrc32NibbleMultiples(b));
}

// x^(2^k) modulo the polynomial, for k = 0..66: enough for 8 times any
// 64-bit byte count.
inline constexpr int kCrc32PowerCount = 67;

constexpr std::array<std::uint32_t, kCrc32PowerCount> MakeCrc32PowersOfTwo() {
  std::array<std::uint32_t, kCrc32PowerCount> powers{};
  std::uint32_t p = 0x40000000u;  // x^1
  for (auto& power : powers) {
    power = p;
    p = Crc32MultiplyModP(p, p);
  }
  return powers;
}

inline constexpr std::array<std::uint32_t, kCrc32PowerCount> kCrc32PowersOfTwo =
    MakeCrc32PowersOfTwo();

// x^(8 * byteCount) modulo the polynomial: the factor that moves a CRC value
// past byteCount further bytes.
constexpr std::uint32_t Crc32ShiftFactor(std::uint64_t byteCount) {
  std::uint32_t factor = 0x80000000u;  // x^0
  unsigned k = 3;                      // 8 * n == n * 2^3
  for (; byteCount != 0; byteCount >>= 1, ++k) {
    if ((byteCount & 1u) != 0) factor = Crc32MultiplyModP(kCrc32PowersOfTwo[k], factor);
  }
  return factor;
}

// crc(A || B) from crcA = crc(A), crcB = crc(B) and the factor for size(B).
constexpr std::uint32_t Crc32CombineWithFactor(std::uint32_t crcA, std::uint32_t crcB,
                                               std::uint32_t factorB) {
  return Crc32MultiplyModP(factorB, crcA) ^ crcB;
}

constexpr std::uint32_t Crc32Combine(std::uint32_t crcA, std::uint32_t crcB, std::uint64_t sizeB) {
  return Crc32CombineWithFactor(crcA, crcB, Crc32ShiftFactor(sizeB));
}

}  // namespace qx
