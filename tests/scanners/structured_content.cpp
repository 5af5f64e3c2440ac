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

namespace qx::testgen {

namespace {

void PutLe16(Bytes& b, unsigned v) { Put(b, {static_cast<int>(v & 0xFF), static_cast<int>((v >> 8) & 0xFF)}); }
void PutLe32At(Bytes& b, std::size_t at, std::uint32_t v) {
  for (int k = 0; k < 4; ++k) b[at + k] = static_cast<std::uint8_t>(v >> (8 * k));
}
void PutRandom(Bytes& b, std::mt19937& rng, std::size_t n) {
  for (std::size_t k = 0; k < n; ++k) b.push_back(static_cast<std::uint8_t>(rng()));
}

// A signature and screen descriptor, with a global colour table when
// `table` (its size field 0 to 7 in `field`).
void PutGifHeader(Bytes& b, std::mt19937& rng, bool table, int field) {
  Put(b, {'G', 'I', 'F', '8', rng() % 2 ? '9' : '7', 'a'});
  PutRandom(b, rng, 4);
  b.push_back(static_cast<std::uint8_t>((table ? 0x80 : 0) | (rng() & 0x78) | field));
  PutRandom(b, rng, 2);
  if (table) PutRandom(b, rng, 3u << (field + 1));
}

void PutSubBlocks(Bytes& b, std::mt19937& rng, int most) {
  for (int k = Count(rng, most); k > 0; --k) {
    const int n = 1 + static_cast<int>(rng() % (rng() % 4 == 0 ? 255 : 12));
    b.push_back(static_cast<std::uint8_t>(n));
    PutRandom(b, rng, static_cast<std::size_t>(n));
  }
  b.push_back(0);
}

// An image descriptor with or without a local table, a code size (now and
// then out of range) and its data.
void PutGifImage(Bytes& b, std::mt19937& rng) {
  b.push_back(0x2C);
  PutRandom(b, rng, 8);
  const bool table = rng() % 3 == 0;
  const int field = static_cast<int>(rng() % 8);
  b.push_back(static_cast<std::uint8_t>((table ? 0x80 : 0) | (rng() & 0x60) | field));
  if (table) PutRandom(b, rng, 3u << (field + 1));
  b.push_back(static_cast<std::uint8_t>(rng() % 16 == 0 ? rng() % 12 : 2 + rng() % 7));
  PutSubBlocks(b, rng, 6);
}

void PutGifExtension(Bytes& b, std::mt19937& rng) {
  switch (rng() % 5) {
    case 0:  // graphic control
      Put(b, {0x21, 0xF9, 0x04});
      PutRandom(b, rng, 4);
      b.push_back(0);
      break;
    case 1:  // application
      Put(b, {0x21, 0xFF, 0x0B, 'N', 'E', 'T', 'S', 'C', 'A', 'P', 'E', '2', '.', '0', 3, 1, 0, 0, 0});
      break;
    case 2:  // plain text
      Put(b, {0x21, 0x01, 0x0C});
      PutRandom(b, rng, 12);
      PutSubBlocks(b, rng, 3);
      break;
    default:  // comment, or a label of no known meaning
      Put(b, {0x21, rng() % 2 ? 0xFE : static_cast<int>(rng() % 256)});
      PutSubBlocks(b, rng, 4);
  }
}

// A header whose walk, from its end on, is the caller's next sub-block: an
// extension introducer and label, or an image descriptor and code size.
Bytes EmbeddedHeader(std::mt19937& rng, bool image) {
  Bytes h;
  PutGifHeader(h, rng, false, 0);
  if (image) {
    h.push_back(0x2C);
    PutRandom(h, rng, 8);
    h.push_back(0);
    h.push_back(static_cast<std::uint8_t>(2 + rng() % 7));
  } else {
    Put(h, {0x21, 0xFE});
  }
  return h;
}

}  // namespace

Bytes GifContent(std::mt19937& rng, std::size_t size) {
  Bytes b;
  while (b.size() < size) {
    switch (rng() % 7) {
      case 0:  // back-to-back headers
        for (int k = Count(rng, 300); k > 0; --k) PutGifHeader(b, rng, rng() % 4 == 0, static_cast<int>(rng() % 3));
        break;
      case 1:
      case 2: {  // one chain of sub-blocks, entered by headers hidden in its data
        PutGifHeader(b, rng, false, 0);
        Put(b, {0x21, 0xFE});
        for (int k = Count(rng, 400); k > 0; --k) {
          if (rng() % 2) {
            const Bytes h = EmbeddedHeader(rng, rng() % 4 == 0);
            const std::size_t pad = rng() % 8;
            b.push_back(static_cast<std::uint8_t>(pad + h.size()));
            PutRandom(b, rng, pad);
            b.insert(b.end(), h.begin(), h.end());
          } else {
            const int n = 1 + static_cast<int>(rng() % 6);
            b.push_back(static_cast<std::uint8_t>(n));
            PutRandom(b, rng, static_cast<std::size_t>(n));
          }
        }
        switch (rng() % 4) {
          case 0:
            Put(b, {0x00, 0x3B});  // the trailer
            break;
          case 1:
            b.push_back(0x00);
            PutGifImage(b, rng);
            b.push_back(0x3B);
            break;
          case 2:
            Put(b, {0x00, 0x22});  // no block
            break;
          default:
            break;  // the chain goes on into what follows
        }
        break;
      }
      case 3: {  // a whole GIF, or one without an image
        PutGifHeader(b, rng, rng() % 2 == 0, static_cast<int>(rng() % 8));
        const bool images = rng() % 4 != 0;
        for (int k = Count(rng, 6); k > 0; --k) {
          if (rng() % 2) PutGifExtension(b, rng);
          if (images) PutGifImage(b, rng);
        }
        b.push_back(0x3B);
        break;
      }
      case 4:  // headers before a run of empty extensions and control blocks
        for (int k = Count(rng, 50); k > 0; --k) PutGifHeader(b, rng, false, 0);
        for (int k = Count(rng, 500); k > 0; --k) {
          if (rng() % 2) {
            Put(b, {0x21, 0xFE, 0x00});
          } else {
            Put(b, {0x21, 0xF9, 0x04, 0, 0, 0, 0, 0});
          }
        }
        if (rng() % 2) PutGifImage(b, rng);
        b.push_back(rng() % 2 ? 0x3B : 0x00);
        break;
      default:
        PutRandom(b, rng, static_cast<std::size_t>(Count(rng, 100)));
    }
  }
  return b;
}

namespace {

// The first 40 bytes of a bitmap information header for an icon image, and
// in *need the bytes such an image needs; now and then with a field wrong.
Bytes DibHeader(std::mt19937& rng, std::uint32_t* need) {
  static const int kDepths[] = {1, 4, 8, 16, 24, 32};
  const int depth = kDepths[rng() % 6];
  const unsigned width = 1 + rng() % 8;
  const bool bitFields = depth == 32 && rng() % 4 == 0;
  const std::uint32_t size = rng() % 8 == 0 ? 108 : 40;
  const std::uint32_t used = depth <= 8 && rng() % 2 ? 1u << depth : 0;
  Bytes h;
  PutLe32(h, size);
  PutLe32(h, width);
  PutLe32(h, 2 * width);
  PutLe16(h, 1);
  PutLe16(h, static_cast<unsigned>(depth));
  PutLe32(h, bitFields ? 3 : 0);
  PutLe32(h, 0);
  PutLe32(h, 0);
  PutLe32(h, 0);
  PutLe32(h, used);
  PutLe32(h, 0);
  const std::uint32_t palette = depth <= 8 ? 1u << depth : 0;
  *need = size + (bitFields && size == 40 ? 12 : 0) + 4 * palette + (width * depth + 31) / 32 * 4 * width;
  if (rng() % 8 == 0) {
    const std::size_t at = rng() % 36;
    h[at] = static_cast<std::uint8_t>(rng() % 3 == 0 ? 0xFF : rng());
  }
  return h;
}

Bytes PngHead() {
  return {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A, 0, 0, 0, 13, 'I', 'H', 'D', 'R'};
}

// A directory, its entries and images; sizes mostly what the images need,
// offsets and sizes sometimes wrong.
void PutIcon(Bytes& b, std::mt19937& rng) {
  const unsigned count = rng() % 10 == 0 ? 60 + rng() % 8 : 1 + rng() % 4;
  const unsigned type = rng() % 8 == 0 ? rng() % 4 : 1 + rng() % 2;
  const std::size_t d = b.size();
  PutLe16(b, 0);
  PutLe16(b, type);
  PutLe16(b, count);
  const std::size_t entries = b.size();
  b.resize(b.size() + 16 * count);
  for (unsigned k = 0; k < count; ++k) {
    const bool png = rng() % 3 == 0;
    std::uint32_t need = 57;
    const Bytes head = png ? PngHead() : DibHeader(rng, &need);
    const std::uint32_t size = need + (rng() % 20 == 0 ? 0u - 1 : rng() % 64);
    std::uint32_t offset = static_cast<std::uint32_t>(b.size() - d);
    if (rng() % 40 == 0) offset -= static_cast<std::uint32_t>(rng() % 64);
    std::uint8_t* e = b.data() + entries + 16 * k;
    e[0] = static_cast<std::uint8_t>(rng());
    e[1] = static_cast<std::uint8_t>(rng());
    e[4] = rng() % 40 == 0 ? 2 : 1;
    e[6] = static_cast<std::uint8_t>(rng() % 40 == 0 ? 3 : 32);
    PutLe32At(b, entries + 16 * k + 8, rng() % 40 == 0 ? rng() % 48 : size);
    PutLe32At(b, entries + 16 * k + 12, offset);
    b.insert(b.end(), head.begin(), head.end());
    PutRandom(b, rng, size - head.size() - (rng() % 40 == 0 ? 1 : 0));
  }
}

}  // namespace

Bytes IconContent(std::mt19937& rng, std::size_t size) {
  Bytes b;
  while (b.size() < size) {
    switch (rng() % 7) {
      case 0:
      case 1:
        PutIcon(b, rng);
        break;
      case 2:  // zeros
        b.insert(b.end(), static_cast<std::size_t>(Count(rng, 3000)), 0);
        break;
      case 3:  // directory heads back to back
        for (int k = Count(rng, 300); k > 0; --k) Put(b, {0, 0, 1 + static_cast<int>(rng() % 2), 0, Count(rng, 64), 0});
        break;
      case 4: {  // entries that host directories of their own (bytes 10..15: 00 00 02 00 n 00),
                 // all pointing 64 KiB * n ahead, into PNG heads or elsewhere
        const int n = 1 + static_cast<int>(rng() % 3);
        for (int k = Count(rng, 200); k > 0; --k) {
          PutRandom(b, rng, 8);
          Put(b, {static_cast<int>(60 + rng() % 100), 0, 0, 0, 2, 0, rng() % 8 == 0 ? 1 : n, 0});
        }
        const Bytes head = PngHead();
        for (int k = Count(rng, 200); k > 0; --k) b.insert(b.end(), head.begin(), head.end());
        break;
      }
      default:
        PutRandom(b, rng, static_cast<std::size_t>(Count(rng, 100)));
    }
  }
  return b;
}

}  // namespace qx::testgen
