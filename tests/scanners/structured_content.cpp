#include "structured_content.h"

#include <initializer_list>

namespace qx::testgen {

namespace {

int Count(std::mt19937& rng, int most) { return 1 + static_cast<int>(rng() % static_cast<unsigned>(most)); }

void Put(Bytes& b, std::initializer_list<int> values) {
  for (int v : values) b.push_back(static_cast<std::uint8_t>(v));
}
void PutBe32(Bytes& b, std::uint32_t v) {
  Put(b, {static_cast<int>(v >> 24), static_cast<int>((v >> 16) & 0xFF),
          static_cast<int>((v >> 8) & 0xFF), static_cast<int>(v & 0xFF)});
}
void PutLe32(Bytes& b, std::uint32_t v) {
  Put(b, {static_cast<int>(v & 0xFF), static_cast<int>((v >> 8) & 0xFF),
          static_cast<int>((v >> 16) & 0xFF), static_cast<int>(v >> 24)});
}

std::uint32_t Crc(const std::uint8_t* p, std::size_t n) {
  std::uint32_t crc = 0xFFFFFFFFu;
  for (std::size_t k = 0; k < n; ++k) {
    crc ^= p[k];
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

void PutChunk(Bytes& b, const char* type, std::size_t size) {
  PutBe32(b, static_cast<std::uint32_t>(size));
  const std::size_t at = b.size();
  b.insert(b.end(), type, type + 4);
  for (std::size_t k = 0; k < size; ++k) b.push_back(static_cast<std::uint8_t>(k * 7));
  PutBe32(b, Crc(b.data() + at, size + 4));
}

const std::initializer_list<int> kPngSignature = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};

}  // namespace

// hot: bytes the writer flips between their value and FF all the time, so
// that a walk and its retrace read them differently.
Bytes PngContent(std::mt19937& rng, std::size_t size, std::vector<std::size_t>* hot) {
  Bytes b;
  while (b.size() < size) {
    switch (rng() % 6) {
      case 0:  // back-to-back signatures
        for (int k = Count(rng, 500); k > 0; --k) Put(b, kPngSignature);
        break;
      case 1:  // the signature-and-length period
        for (int k = Count(rng, 300); k > 0; --k) {
          Put(b, kPngSignature);
          PutBe32(b, 2000);
        }
        break;
      case 2:  // signatures into a chain of chunks, IDAT and IEND
        for (int k = Count(rng, 200); k > 0; --k) Put(b, kPngSignature);
        for (int k = Count(rng, 100); k > 0; --k) PutChunk(b, k % 2 ? "tEXt" : "IDAT", rng() % 64);
        PutChunk(b, "IEND", 0);
        break;
      case 3:  // whole images
        Put(b, kPngSignature);
        PutChunk(b, "IHDR", 13);
        PutChunk(b, "IDAT", 100 + rng() % 3000);
        PutChunk(b, "IEND", 0);
        break;
      case 4:  // chunks claiming gigabytes
        Put(b, kPngSignature);
        PutBe32(b, 0xFFFFFFF0u + rng() % 16);
        Put(b, {'I', 'D', 'A', 'T'});
        break;
      default:
        for (int k = Count(rng, 100); k > 0; --k) b.push_back(static_cast<std::uint8_t>(rng()));
    }
  }
  // Walks that run out of bytes at the very end, on a chunk that ends with
  // the buffer: where a retrace that trusted its first reading would leave it.
  // Zeros first: a chunk of them fails its CRC, so no earlier walk gets there.
  b.insert(b.end(), 64, 0x00);
  for (int k = 0; k < 40; ++k) Put(b, kPngSignature);
  for (int k = 0; k < 60; ++k) {
    if (hot != nullptr) hot->push_back(b.size());
    PutChunk(b, k % 3 ? "IDAT" : "tEXt", 1 + 4 * (rng() % 3));
  }
  return b;
}

Bytes JpegContent(std::mt19937& rng, std::size_t size) {
  Bytes b;
  while (b.size() < size) {
    switch (rng() % 7) {
      case 0:  // one segment chain, a start every 6 bytes
        for (int k = Count(rng, 2000); k > 0; --k) Put(b, {0xFF, 0xC0, 0x00, 0x04, 0xFF, 0xD8});
        break;
      case 1:  // a header, then a run of standalone markers
        Put(b, {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x02, 0xFF, 0xE1, 0x00, 0x02});
        for (int k = Count(rng, 3000); k > 0; --k) Put(b, {0xFF, 0xD0});
        break;
      case 2:  // starts whose segments overlap
        for (int k = Count(rng, 1000); k > 0; --k) Put(b, {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x04});
        break;
      case 3:  // valid headers, most without an end marker
        for (int k = Count(rng, 300); k > 0; --k) {
          const int jump = static_cast<int>(rng() % 3000);
          Put(b, {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x02, 0xFF, 0xE1, 0x00, 0x02, 0xFF, 0xC0,
                  jump >> 8, jump & 0xFF, 0x00});
        }
        if (rng() % 2) Put(b, {0xFF, 0xD9});
        break;
      case 5:  // a whole image: three segments, data, end marker
        Put(b, {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x04, 0x11, 0x22, 0xFF, 0xDB, 0x00, 0x03, 0x33,
                0xFF, 0xC0, 0x00, 0x02, 0x01, 0x02, 0x03, 0xFF, 0xD9});
        break;
      case 4:  // long steps
        for (int k = Count(rng, 50); k > 0; --k) Put(b, {0xFF, 0xC4, 0xFF, static_cast<int>(rng() % 256)});
        break;
      default:
        for (int k = Count(rng, 100); k > 0; --k) b.push_back(static_cast<std::uint8_t>(rng()));
    }
  }
  return b;
}

Bytes BmpContent(std::mt19937& rng, std::size_t size) {
  Bytes b;
  while (b.size() < size) {
    Put(b, {'B', 'M'});
    PutLe32(b, rng() % 3 == 0 ? 0xFFFFFFF0u + rng() % 16 : 51 + rng() % 5000);
    PutLe32(b, 0);
    PutLe32(b, rng() % 200);
    PutLe32(b, rng() % 2 ? 40 : 0xFFFFFFF0u);
    for (int k = static_cast<int>(rng() % 64); k > 0; --k) b.push_back(static_cast<std::uint8_t>(rng()));
  }
  return b;
}

}  // namespace qx::testgen
