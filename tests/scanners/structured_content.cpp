#include "common/TestBytes.h"
#include "structured_content.h"

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <iterator>

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

std::uint32_t Crc(const std::uint8_t* p, std::size_t n) { return qx::testbytes::BitwiseCrc32(p, n); }

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

namespace {

void PutLe16(Bytes& b, std::uint32_t v) { Put(b, {static_cast<int>(v & 0xFF), static_cast<int>((v >> 8) & 0xFF)}); }

void SetLe32(Bytes& b, std::size_t at, std::uint32_t v) {
  for (int k = 0; k < 4; ++k) b[at + k] = static_cast<std::uint8_t>(v >> (8 * k));
}

// A bitmap that passes the strict rules: a header size, compression and bit
// count the format allows, its colour table and masks, rows that fit.
Bytes PlausibleBitmap(std::mt19937& rng) {
  struct Form {
    std::uint32_t info, compression, bits;
  };
  static const Form kForms[] = {
      {12, 0, 1},  {12, 0, 4},  {12, 0, 8},   {12, 0, 24},  {40, 0, 1},   {40, 0, 8},
      {40, 0, 16}, {40, 0, 24}, {40, 0, 32},  {40, 1, 8},   {40, 2, 4},   {40, 3, 16},
      {40, 3, 32}, {40, 6, 32}, {40, 4, 0},   {40, 5, 24},  {52, 3, 16},  {56, 6, 32},
      {64, 0, 4},  {64, 3, 1},  {64, 4, 24},  {108, 3, 32}, {124, 0, 24}, {124, 5, 0},
  };
  const Form form = kForms[rng() % std::size(kForms)];
  const bool plain = form.compression == 0 || (form.info != 64 && (form.compression == 3 || form.compression == 6));
  const std::uint32_t width = 1 + rng() % 9;
  const std::uint32_t height = 1 + rng() % 7;
  const std::uint32_t masks = form.info == 40 && form.compression == 3 ? 12 : form.info == 40 && form.compression == 6 ? 16 : 0;
  const std::uint32_t used = form.info != 12 && rng() % 3 == 0 ? rng() % 5 : 0;
  const std::uint32_t colours = used != 0 ? used : form.bits >= 1 && form.bits <= 8 ? 1u << form.bits : 0;
  const std::uint32_t table = (form.info == 12 ? 3 : 4) * colours;
  const std::uint32_t offset = 14 + form.info + masks + table + (rng() % 4 == 0 ? rng() % 9 : 0);
  const std::uint32_t rows = plain ? (width * form.bits + 31) / 32 * 4 * height : 1 + rng() % 40;
  const std::uint32_t fileSize = std::max<std::uint32_t>(offset + rows + (rng() % 4 == 0 ? rng() % 9 : 0), 51);
  Bytes b;
  Put(b, {'B', 'M'});
  PutLe32(b, fileSize);
  PutLe32(b, 0);
  PutLe32(b, offset);
  PutLe32(b, form.info);
  if (form.info == 12) {
    PutLe16(b, width);
    PutLe16(b, height);
    PutLe16(b, 1);
    PutLe16(b, form.bits);
  } else {
    PutLe32(b, width);
    // Top-down rows where they are plain, now and then.
    PutLe32(b, plain && rng() % 3 == 0 ? 0u - height : height);
    PutLe16(b, 1);
    PutLe16(b, form.bits);
    PutLe32(b, form.compression);
    PutLe32(b, rows);
    PutLe32(b, 2835);
    PutLe32(b, 2835);
    PutLe32(b, used);
    PutLe32(b, 0);
  }
  while (b.size() < fileSize) b.push_back(static_cast<std::uint8_t>(rng()));
  return b;
}

// The bitmap with one field moved just outside a strict rule (the file
// header's own tests still pass).
void BreakOneField(std::mt19937& rng, Bytes& b) {
  const bool core = b[14] == 12;
  const std::size_t planes = core ? 22 : 26;
  const std::size_t bits = core ? 24 : 28;
  switch (rng() % 8) {
    case 0: SetLe32(b, 14, b[14] + (rng() % 2 ? 1u : 0u - 1u)); break;  // header size
    case 1: b[planes] = rng() % 2 ? 0 : 2; break;
    case 2: b[bits] = static_cast<std::uint8_t>(b[bits] + (rng() % 2 ? 1 : -1)); break;
    case 3:
      if (core) {
        const std::size_t at = 18 + 2 * (rng() % 2);  // width or height zero
        b[at] = 0;
        b[at + 1] = 0;
      } else {
        SetLe32(b, 18 + 4 * (rng() % 2), 0);
      }
      break;
    case 4: if (!core) b[30] = static_cast<std::uint8_t>(7 + rng() % 3); break;
    case 5: SetLe32(b, 10, b[10] - 1u - rng() % 3); break;  // offset into the headers
    case 6: if (!core) SetLe32(b, 18, 0x80000000u | static_cast<std::uint32_t>(rng())); break;  // width < 0
    default: if (!core) SetLe32(b, 46, 0xFFFF0000u | static_cast<std::uint32_t>(rng())); break;  // colours
  }
}

void PutJpegSegment(Bytes& b, int code, int length, std::mt19937& rng) {
  Put(b, {0xFF, code, length >> 8, length & 0xFF});
  for (int k = 2; k < length; ++k) b.push_back(static_cast<std::uint8_t>(rng() % 0xFF));
}

// SOI, a header of segments in which SOF and SOS appear or not (the last
// segment, when it is a scan header, before the data), data, EOI.
void PutJpegHeader(Bytes& b, std::mt19937& rng) {
  static const int kCodes[] = {0xE0, 0xE1, 0xDB, 0xC4, 0xC8, 0xCC, 0xDD, 0xFE, 0xC0, 0xC1,
                               0xC2, 0xC3, 0xC5, 0xC7, 0xC9, 0xCB, 0xCD, 0xCF, 0xDA};
  static const int kFrames[] = {0xC0, 0xC1, 0xC2, 0xC3, 0xC5, 0xC6, 0xC7, 0xC9, 0xCA, 0xCB, 0xCD, 0xCE, 0xCF};
  Put(b, {0xFF, 0xD8});
  const bool whole = rng() % 2 == 0;
  for (int k = Count(rng, 4); k > 0; --k) {
    if (rng() % 6 == 0) Put(b, {0xFF, 0xD0 + static_cast<int>(rng() % 8)});
    PutJpegSegment(b, kCodes[rng() % std::size(kCodes)], 2 + static_cast<int>(rng() % 8), rng);
  }
  if (whole) {
    PutJpegSegment(b, kFrames[rng() % std::size(kFrames)], 2 + static_cast<int>(rng() % 8), rng);
    PutJpegSegment(b, 0xC4, 2 + static_cast<int>(rng() % 8), rng);
    PutJpegSegment(b, 0xDA, 2 + static_cast<int>(rng() % 8), rng);
  }
  for (int k = Count(rng, 20); k > 0; --k) b.push_back(static_cast<std::uint8_t>(rng() % 0xFF));
  if (rng() % 6 != 0) Put(b, {0xFF, 0xD9});
}

void PutPngChunk(Bytes& b, const char* type, const Bytes& data) {
  PutBe32(b, static_cast<std::uint32_t>(data.size()));
  const std::size_t at = b.size();
  b.insert(b.end(), type, type + 4);
  b.insert(b.end(), data.begin(), data.end());
  PutBe32(b, Crc(b.data() + at, data.size() + 4));
}

// IHDR data that is valid, or with one field just outside the rules.
Bytes IhdrData(std::mt19937& rng, bool valid) {
  static const std::uint8_t kPairs[][2] = {{0, 1}, {0, 2}, {0, 4}, {0, 8}, {0, 16}, {2, 8}, {2, 16},
                                           {3, 1}, {3, 2}, {3, 4}, {3, 8}, {4, 8},  {4, 16}, {6, 8}, {6, 16}};
  const auto& pair = kPairs[rng() % std::size(kPairs)];
  Bytes d;
  PutBe32(d, rng() % 4 == 0 ? 0x7FFFFFFFu : 1 + rng() % 500);
  PutBe32(d, rng() % 4 == 0 ? 0x7FFFFFFFu : 1 + rng() % 500);
  Put(d, {pair[1], pair[0], 0, 0, static_cast<int>(rng() % 2)});
  if (valid) return d;
  static const std::uint8_t kBadPairs[][2] = {{0, 3}, {0, 32}, {2, 4}, {3, 16}, {4, 4}, {6, 1}, {1, 8}, {5, 8}, {7, 8}};
  switch (rng() % 6) {
    case 0: std::memset(d.data() + 4 * (rng() % 2), 0, 4); break;        // zero width or height
    case 1: d[4 * (rng() % 2)] = 0x80; break;                            // 2^31 or more
    case 2: {
      const auto& bad = kBadPairs[rng() % std::size(kBadPairs)];
      d[8] = bad[1];
      d[9] = bad[0];
      break;
    }
    case 3: d[10] = 1; break;
    case 4: d[11] = 1; break;
    default: d[12] = 2; break;
  }
  return d;
}

void PutPng(Bytes& b, std::mt19937& rng, bool valid) {
  Put(b, kPngSignature);
  PutPngChunk(b, "IHDR", IhdrData(rng, valid));
  Bytes data(static_cast<std::size_t>(rng() % 40));
  for (auto& v : data) v = static_cast<std::uint8_t>(rng());
  PutPngChunk(b, "IDAT", data);
  PutPngChunk(b, "IEND", {});
}

}  // namespace

Bytes BmpStrictContent(std::mt19937& rng, std::size_t size) {
  Bytes b;
  while (b.size() < size) {
    switch (rng() % 5) {
      case 0: {
        const Bytes base = BmpContent(rng, 1 + rng() % 300);
        b.insert(b.end(), base.begin(), base.end());
        break;
      }
      case 1: {
        Bytes bad = PlausibleBitmap(rng);
        BreakOneField(rng, bad);
        b.insert(b.end(), bad.begin(), bad.end());
        break;
      }
      case 2: {
        // A rejected bitmap whose bytes hold a plausible one.
        Bytes outer = PlausibleBitmap(rng);
        BreakOneField(rng, outer);
        const Bytes inner = PlausibleBitmap(rng);
        outer.insert(outer.end(), inner.begin(), inner.end());
        SetLe32(outer, 2, static_cast<std::uint32_t>(outer.size()));
        b.insert(b.end(), outer.begin(), outer.end());
        break;
      }
      default: {
        const Bytes good = PlausibleBitmap(rng);
        b.insert(b.end(), good.begin(), good.end());
      }
    }
  }
  return b;
}

Bytes JpegStrictContent(std::mt19937& rng, std::size_t size) {
  Bytes b;
  while (b.size() < size) {
    switch (rng() % 8) {
      case 0: {
        const Bytes base = JpegContent(rng, 1 + rng() % 500);
        b.insert(b.end(), base.begin(), base.end());
        break;
      }
      case 1:  // a chain of frame and scan headers entered every 6 bytes
        for (int k = Count(rng, 1000); k > 0; --k) {
          Put(b, {0xFF, rng() % 2 ? 0xC0 : 0xDA, 0x00, 0x04, 0xFF, 0xD8});
        }
        Put(b, {0x00, 0xFF, 0xD9});
        break;
      case 2:  // starts whose walks cross a frame header only, the scan header far on
        for (int k = Count(rng, 300); k > 0; --k) Put(b, {0xFF, 0xD8, 0xFF, 0xC2, 0x00, 0x04});
        for (int k = Count(rng, 300); k > 0; --k) Put(b, {0xFF, 0xD0});
        Put(b, {0xFF, 0xDA, 0x00, 0x02, 0x11});
        if (rng() % 2) Put(b, {0xFF, 0xD9});
        break;
      default:
        PutJpegHeader(b, rng);
    }
  }
  return b;
}

Bytes PngStrictContent(std::mt19937& rng, std::size_t size) {
  Bytes b;
  while (b.size() < size) {
    switch (rng() % 5) {
      case 0: {
        const Bytes base = PngContent(rng, 1 + rng() % 2000);
        b.insert(b.end(), base.begin(), base.end());
        break;
      }
      case 1: {
        // Signatures into one chain holding an IHDR, valid or not: every
        // walk after the first joins the first one's path.
        for (int k = Count(rng, 100); k > 0; --k) Put(b, kPngSignature);
        PutPngChunk(b, "tEXt", Bytes(static_cast<std::size_t>(rng() % 20), 0x41));
        PutPngChunk(b, "IHDR", IhdrData(rng, rng() % 2 == 0));
        for (int k = Count(rng, 20); k > 0; --k) PutChunk(b, "IDAT", rng() % 30);
        PutChunk(b, "IEND", 0);
        break;
      }
      case 2: {
        // A rejected image whose ancillary chunk holds a valid one.
        Bytes inner;
        PutPng(inner, rng, true);
        Put(b, kPngSignature);
        PutPngChunk(b, "IHDR", IhdrData(rng, false));
        PutPngChunk(b, "tEXt", inner);
        PutChunk(b, "IDAT", 10);
        PutChunk(b, "IEND", 0);
        break;
      }
      default:
        PutPng(b, rng, rng() % 2 == 0);
    }
  }
  return b;
}

}  // namespace qx::testgen

namespace qx::testgen {

namespace {

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
