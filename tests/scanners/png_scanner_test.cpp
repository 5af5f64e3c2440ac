#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <functional>
#include <initializer_list>
#include <iterator>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "common/TestBytes.h"
#include "allocation_control.h"
#include "reference_scanners.h"
#include "scanners/Scanners.h"
#include "scanners/SourceScanners.h"
#include "support/ByteOrder.h"
#include "support/ByteSource.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Hits = qx::testref::ScanHits;

Hits FindFast(const Bytes& b) {
  Hits hits;
  qx::FindPngs(b.data(), static_cast<std::int64_t>(b.size()),
               [&](std::int64_t start, std::int64_t length) { hits.emplace_back(start, length); });
  return hits;
}

// The fast search, checked against the reference.
Hits Find(const Bytes& b) {
  Hits hits = FindFast(b);
  EXPECT_EQ(qx::testref::FindPngsReference(b.data(), static_cast<std::int64_t>(b.size())), hits);
  return hits;
}

// The standard CRC-32, bit by bit.
std::uint32_t Crc(const std::uint8_t* p, std::size_t n) { return qx::testbytes::BitwiseCrc32(p, n); }

void AppendBe32(Bytes& b, std::uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) b.push_back(static_cast<std::uint8_t>(v >> shift));
}

void Append(Bytes& b, const Bytes& more) { b.insert(b.end(), more.begin(), more.end()); }

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& p : parts) Append(all, p);
  return all;
}

Bytes Type(const char* type) { return Bytes(type, type + 4); }

// A chunk of the given type and data; with goodCrc false its CRC is off by one.
Bytes Chunk(const char* type, const Bytes& data = {}, bool goodCrc = true) {
  Bytes c;
  AppendBe32(c, static_cast<std::uint32_t>(data.size()));
  Append(c, Type(type));
  Append(c, data);
  AppendBe32(c, Crc(c.data() + 4, data.size() + 4) + (goodCrc ? 0 : 1));
  return c;
}

// A chunk header only: length field and type, nothing after.
Bytes Header(std::uint32_t length, const char* type) {
  Bytes c;
  AppendBe32(c, length);
  Append(c, Type(type));
  return c;
}

const Bytes kSignature = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};

Bytes Png(std::initializer_list<Bytes> chunks) {
  Bytes png = kSignature;
  for (const Bytes& c : chunks) Append(png, c);
  return png;
}

Bytes Pattern(std::size_t n, std::uint8_t seed = 1) {
  Bytes b(n);
  for (std::size_t k = 0; k < n; ++k) b[k] = static_cast<std::uint8_t>(seed + 7 * k);
  return b;
}

Bytes Ihdr() { return Chunk("IHDR", Pattern(13)); }
Bytes Idat(std::size_t n = 20) { return Chunk("IDAT", Pattern(n, 3)); }
Bytes Iend() { return Chunk("IEND"); }

// The smallest acceptable image: empty IHDR, IDAT and IEND, 44 bytes.
Bytes Minimal() { return Png({Chunk("IHDR"), Chunk("IDAT"), Iend()}); }
Bytes Standard() { return Png({Ihdr(), Idat(), Iend()}); }

Bytes Filler(std::size_t n, std::uint8_t value = 0x00) { return Bytes(n, value); }

std::int64_t Size(const Bytes& b) { return static_cast<std::int64_t>(b.size()); }

Bytes ReadData(const std::string& name) {
  std::ifstream in(std::string(QX_TEST_DATA_DIR) + "/" + name, std::ios::binary);
  EXPECT_TRUE(in.good()) << name;
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(PngScanner, BufferLengthThresholds) {
  ASSERT_EQ(44u, Minimal().size());
  EXPECT_TRUE(Find(Cat({Minimal(), Filler(6)})).empty());
  EXPECT_EQ(Hits({{0, 44}}), Find(Cat({Minimal(), Filler(7)})));
  // With n bytes, a signature at n - 51 is tried and one at n - 50 is not.
  EXPECT_EQ(Hits({{100, 44}}), Find(Cat({Filler(100), Minimal(), Filler(7)})));
  EXPECT_TRUE(Find(Cat({Filler(101), Minimal(), Filler(6)})).empty());
  // An image whose IEND CRC is the buffer's last byte is written whole.
  const Bytes standard = Standard();
  EXPECT_EQ(Hits({{13, Size(standard)}}), Find(Cat({Filler(13), standard})));
  bool called = false;
  qx::FindPngs(nullptr, 1000, [&](std::int64_t, std::int64_t) { called = true; });
  EXPECT_FALSE(called);
}

TEST(PngScanner, BackToBackAndNestedImages) {
  const Bytes a = Png({Ihdr(), Chunk("tEXt", Pattern(30)), Idat(), Idat(5), Iend()});
  const Bytes b = Standard();
  // The scan resumes exactly at the first byte after the first image.
  EXPECT_EQ(Hits({{0, Size(a)}, {Size(a), Size(b)}}), Find(Cat({a, b})));

  // A signature inside a written image is not tried again.
  const Bytes outer = Png({Ihdr(), Chunk("tEXt", Standard()), Idat(), Iend()});
  EXPECT_EQ(Hits({{5, Size(outer)}}), Find(Cat({Filler(5), outer, Filler(3)})));

  // Chunk order is free: IDAT before IHDR, IEND after unknown chunks.
  const Bytes shuffled = Png({Idat(), Chunk("zzzz", Pattern(9)), Ihdr(), Iend()});
  EXPECT_EQ(Hits({{0, Size(shuffled)}}), Find(Cat({shuffled, Filler(10)})));
}

TEST(PngScanner, AllThreeMarkersAndNoCrcError) {
  EXPECT_TRUE(Find(Cat({Png({Ihdr(), Iend()}), Filler(40)})).empty());
  EXPECT_TRUE(Find(Cat({Png({Idat(), Iend()}), Filler(40)})).empty());
  EXPECT_TRUE(Find(Cat({Png({Ihdr(), Idat()}), Filler(40)})).empty());
  // Case counts: other spellings mark nothing.
  for (const char* type : {"ihdr", "iHDR", "IHDr"}) {
    EXPECT_TRUE(Find(Cat({Png({Chunk(type, Pattern(13)), Idat(), Iend()}), Filler(20)})).empty())
        << type;
  }
  for (const char* type : {"idat", "IDAt"}) {
    EXPECT_TRUE(Find(Cat({Png({Ihdr(), Chunk(type), Iend()}), Filler(20)})).empty()) << type;
  }
  for (const char* type : {"iEND", "IENd"}) {
    EXPECT_TRUE(Find(Cat({Png({Ihdr(), Idat(), Chunk(type)}), Filler(20)})).empty()) << type;
  }

  // One wrong CRC anywhere, ancillary chunks and IEND included, rejects the
  // image; the signature of a complete image inside the rejected one's
  // bytes is still tried.
  const Bytes inner = Standard();
  const Bytes badText = Png({Ihdr(), Chunk("tEXt", inner, false), Idat(), Iend()});
  const std::int64_t innerAt = 8 + Size(Ihdr()) + 8;
  EXPECT_EQ(Hits({{innerAt, Size(inner)}}), Find(badText));
  EXPECT_TRUE(Find(Cat({Png({Ihdr(), Idat(), Chunk("IEND", {}, false)}), Filler(10)})).empty());
  EXPECT_TRUE(
      Find(Cat({Png({Chunk("IHDR", Pattern(13), false), Idat(), Iend()}), Filler(10)})).empty());
}

TEST(PngScanner, ImageCutInsideAChunkWalksPseudoChunks) {
  // Cut inside the IDAT data: its CRC is not verified, and the 4-byte steps
  // from its type field run out of bytes.
  const Bytes whole = Png({Ihdr(), Idat(300), Iend()});
  const Bytes cut(whole.begin(), whole.begin() + 8 + Size(Ihdr()) + 8 + 150);
  EXPECT_TRUE(Find(cut).empty());
  EXPECT_TRUE(Find(Cat({Filler(20), cut})).empty());

  // A pseudo-chunk whose type bytes read IEND ends the walk: the image runs
  // up to, not including, those type bytes.
  const Bytes prefix = Png({Ihdr(), Idat()});
  const Bytes pseudo = Cat({prefix, Header(0xFFFFFF00u, "abcd"), Type("IEND"), Filler(20, 0xEE)});
  EXPECT_EQ(Hits({{0, Size(prefix) + 8}}), Find(pseudo));

  // A pseudo-chunk that lies inside the buffer and fails its CRC rejects.
  Bytes failing = Cat({prefix, Header(0xFFFFFF00u, "\0\0\0\x04"), Type("IEND"), Filler(30, 0xEE)});
  EXPECT_TRUE(Find(failing).empty());

  // One that lies inside and passes is walked past like any chunk: here the
  // type field "\0\0\0\x04" is read as a length of 4.
  Bytes passing = Cat({prefix, Header(0xFFFFFF00u, "\0\0\0\x04")});
  const std::size_t pseudoType = passing.size();
  Append(passing, Cat({Type("IDAT"), Pattern(4)}));
  AppendBe32(passing, Crc(passing.data() + pseudoType, 8));
  Append(passing, Iend());
  Append(passing, Filler(5));
  EXPECT_EQ(Hits({{0, Size(passing) - 5}}), Find(passing));
}

TEST(PngScanner, IendWhoseLengthRunsPastTheEnd) {
  const Bytes prefix = Png({Ihdr(), Idat()});
  for (const std::uint32_t length : {5u, 0x7FFFFFFFu, 0xFFFFFFF0u, 0xFFFFFFFFu}) {
    // Just 12 bytes from the IEND header on: the walk reads it, marks IEND,
    // and stops on its type field; the length field is the last byte written.
    const Bytes b = Cat({Filler(3), prefix, Header(length, "IEND"), Filler(4, 0xAB)});
    EXPECT_EQ(Hits({{3, Size(prefix) + 4}}), Find(b)) << length;
  }
  // Any length that carries the CRC field past the end, by one byte or by
  // gigabytes, makes a chunk count as not inside the buffer.
  const Bytes exact = Cat({prefix, Chunk("IEND", Pattern(3))});
  EXPECT_EQ(Hits({{0, Size(exact)}}), Find(exact));
  Bytes longer = exact;
  longer[Size(prefix) + 3] = 4;  // one byte more than there is
  EXPECT_EQ(Hits({{0, Size(prefix) + 4}}), Find(longer));
}

TEST(PngScanner, RealImagesCarvedByteExactly) {
  const char* names[] = {"png_palette.png", "png_adam7.png", "png_rgba_text.png"};
  std::mt19937 rng(4711);
  Bytes buffer;
  Hits expected;
  for (int round = 0; round < 2; ++round) {
    for (const char* name : names) {
      const Bytes image = ReadData(name);
      ASSERT_GT(image.size(), 100u) << name;
      const std::size_t filler = 2 * (rng() % 500) + 1;
      for (std::size_t k = 0; k < filler; ++k) buffer.push_back(static_cast<std::uint8_t>(rng()));
      expected.emplace_back(Size(buffer), Size(image));
      Append(buffer, image);
    }
  }
  Append(buffer, Filler(51));
  const Hits hits = Find(buffer);
  ASSERT_EQ(expected, hits);
  for (std::size_t k = 0; k < hits.size(); ++k) {
    const Bytes image = ReadData(names[k % 3]);
    EXPECT_TRUE(std::equal(image.begin(), image.end(), buffer.begin() + hits[k].first));
  }
}

// Candidates whose chunks overlap a lot: each of many signatures is followed
// by one chunk header claiming everything up to the buffer's end, with a CRC
// that does not match. After that the images still come out exactly, their
// long chunks checked from prefix CRCs.
Bytes OverlappingPreamble(std::size_t candidates, std::size_t tailLength, const Bytes& tail) {
  Bytes b;
  const std::size_t total = candidates * 16 + tailLength;
  for (std::size_t k = 0; k < candidates; ++k) {
    Append(b, kSignature);
    const std::size_t type = b.size() + 4;
    AppendBe32(b, static_cast<std::uint32_t>(total - type - 8));
    Append(b, Type("tEXt"));
  }
  Append(b, tail);
  b.resize(total, 0x5A);
  return b;
}

TEST(PngScanner, OverlappingLongChunksAgreeWithTheReference) {
  const Bytes rgba = ReadData("png_rgba_text.png");
  const Bytes big = Png({Ihdr(), Chunk("tEXt", Pattern(1000)), Idat(700), Idat(129), Iend()});
  // Chunks ending at every offset within a prefix block.
  Bytes ladder = Png({Ihdr()});
  for (std::size_t n = 128; n < 128 + 64; ++n) Append(ladder, Idat(n));
  Append(ladder, Iend());
  const Bytes tail = Cat({Filler(37), rgba, Filler(3), big, ladder});
  // The tail is padded to the final length; its last bytes are the CRC that
  // every long chunk compares with.
  const Bytes b = OverlappingPreamble(60, tail.size() + 51, tail);
  const std::int64_t rgbaAt = 60 * 16 + 37;
  const std::int64_t bigAt = rgbaAt + Size(rgba) + 3;
  EXPECT_EQ(Hits({{rgbaAt, Size(rgba)}, {bigAt, Size(big)}, {bigAt + Size(big), Size(ladder)}}),
            Find(b));
}

// A walk that joins the path of an earlier, rejected walk takes the flags
// that were seen along that path from the joining point on.
TEST(PngScanner, JoinedPathsContributeTheirFlags) {
  // The first candidate walks 4 bytes at a time over the second one's bytes
  // (two bytes out of step with them, so it never reads its IHDR), then on
  // to IDAT and IEND: no IHDR, rejected. The second candidate's own IHDR,
  // 14 bytes long, brings its walk into step with the first one's, and the
  // rest is the first walk's path.
  Bytes b = kSignature;
  Append(b, Filler(90, 0xFF));
  const std::int64_t second = Size(b);
  ASSERT_EQ(2, second % 4);
  Append(b, kSignature);
  Append(b, Chunk("IHDR", Filler(14, 0xFF)));
  Append(b, Filler(200, 0xFF));
  Append(b, Idat());
  Append(b, Iend());
  const std::int64_t end = Size(b);
  Append(b, Filler(60));
  EXPECT_EQ(Hits({{second, end - second}}), Find(b));
}

TEST(PngScanner, OverlappingLongChunksStayLinear) {
  // 100,000 candidates, each with a chunk of at least 1.4 MB: hashing each
  // chunk separately would take hundreds of gigabytes of CRC work.
  const Bytes big = Png({Ihdr(), Chunk("tEXt", Pattern(5000)), Idat(3000), Iend()});
  const std::size_t candidates = 100000;
  const std::size_t tailLength = 1400000;
  const Bytes b = OverlappingPreamble(candidates, tailLength, Cat({Filler(1001), big}));
  const std::int64_t at = static_cast<std::int64_t>(candidates * 16 + 1001);
  EXPECT_EQ(Hits({{at, Size(big)}}), FindFast(b));
}

TEST(PngScanner, BackToBackSignaturesStayLinear) {
  // 2 MB of signatures: every walk runs 4 bytes at a time over the ones
  // after it, up to a chunk whose CRC fails. Without reusing earlier walks
  // that is a quarter of a million walks to the end.
  Bytes b;
  for (int k = 0; k < (2 << 20) / 8; ++k) Append(b, kSignature);
  Append(b, Chunk("abcd", {}, false));
  const std::int64_t imageAt = Size(b);
  const Bytes image = Standard();
  Append(b, image);
  Append(b, Filler(60));
  EXPECT_EQ(Hits({{imageAt, Size(image)}}), FindFast(b));

  // Without the failing chunk, the very first signature's walk reaches the
  // image's chunks through all the others and takes everything.
  Bytes joined;
  for (int k = 0; k < (2 << 20) / 8; ++k) Append(joined, kSignature);
  Append(joined, Png({Ihdr(), Idat(), Iend()}));
  Append(joined, Filler(60));
  EXPECT_EQ(Hits({{0, Size(joined) - 60}}), FindFast(joined));
}

TEST(PngScanner, LongChunkChainWithManySignaturesStaysLinear) {
  // 20,000 signatures back to back lead, 4 bytes at a time, into a chain of
  // 20,000 valid chunks that ends in IDAT and IEND but has no IHDR, so every
  // one of them is rejected after walking the whole chain. Each chunk of the
  // chain carries a complete image, found once the scan gets there.
  const int signatures = 20000;
  const int links = 20000;
  Bytes b;
  for (int k = 0; k < signatures; ++k) Append(b, kSignature);
  Hits expected;
  const Bytes inner = Minimal();
  for (int k = 0; k < links; ++k) {
    expected.emplace_back(Size(b) + 8, Size(inner));
    Append(b, Chunk("tEXt", inner));
  }
  Append(b, Idat());
  Append(b, Iend());
  EXPECT_EQ(expected, FindFast(b));
}

// Random buffers built from the pieces that matter: signatures, valid and
// broken chunks of every kind, lengths running past the end, runs of bytes
// that walk 4 at a time, truncated images.
Bytes RandomStructure(std::mt19937& rng, std::size_t* fourByteRuns) {
  const char* types[] = {"IHDR", "IDAT", "IEND", "tEXt", "iEND", "abcd"};
  Bytes b;
  const int pieces = 1 + static_cast<int>(rng() % 40);
  for (int p = 0; p < pieces; ++p) {
    switch (rng() % 9) {
      case 0:
      case 1:
        Append(b, kSignature);
        break;
      case 2:
        Append(b, Chunk(types[rng() % 6], Pattern(rng() % 40, static_cast<std::uint8_t>(rng()))));
        break;
      case 3:
        Append(b, Chunk(types[rng() % 6], Pattern(rng() % 20), false));
        break;
      case 4:
        Append(b, Header(0xFFFFFFF0u + rng() % 16, types[rng() % 6]));
        break;
      case 5:
        Append(b, Filler(4 * (1 + rng() % 150), 0xFF));
        ++*fourByteRuns;
        break;
      case 6: {
        // An image, whole or cut anywhere.
        const Bytes png = rng() % 2 ? Standard() : Minimal();
        if (rng() % 2) {
          Append(b, png);
          break;
        }
        b.insert(b.end(), png.begin(),
                 png.begin() + static_cast<std::ptrdiff_t>(rng() % (png.size() + 1)));
        break;
      }
      case 7: {
        // A chunk whose data holds more signatures and chunks.
        Bytes data = Cat({kSignature, Chunk(types[rng() % 6]), kSignature});
        Append(b, Chunk(types[rng() % 6], data, rng() % 3 != 0));
        break;
      }
      default:
        for (int k = static_cast<int>(rng() % 12); k > 0; --k)
          b.push_back(static_cast<std::uint8_t>(rng()));
    }
  }
  return b;
}

// The fast search and the reference must agree on every one.
TEST(PngScanner, AgreesWithTheReferenceOnRandomStructures) {
  std::mt19937 rng(20140101);
  std::size_t hits = 0;
  std::size_t fourByteRuns = 0;
  for (int round = 0; round < 1000; ++round) hits += Find(RandomStructure(rng, &fourByteRuns)).size();
  // The generator must produce images, or agreeing says little.
  EXPECT_GT(hits, 200u);
  EXPECT_GT(fourByteRuns, 100u);
}

// A signature and a chunk length of 2000, over and over: every walk checks
// one long chunk that fails its CRC and ends there. Zeros after it end the
// last walks the same way.
Bytes SignatureAndLengthPeriod(std::size_t units) {
  Bytes unit = kSignature;
  AppendBe32(unit, 2000);
  Bytes b;
  for (std::size_t k = 0; k < units; ++k) Append(b, unit);
  Append(b, Filler(2100));
  return b;
}

TEST(PngScanner, SignatureAndLengthPeriodStaysLinear) {
  const Bytes small = SignatureAndLengthPeriod(2500);
  EXPECT_EQ(Hits({{Size(small), Size(Standard())}}), Find(Cat({small, Standard(), Filler(60)})));

  // 4 MB: a third of a million walks, each with 2 KB of CRC.
  const Bytes period = SignatureAndLengthPeriod((4 << 20) / 12);
  const Bytes image = Png({Ihdr(), Chunk("tEXt", small), Idat(), Iend()});
  EXPECT_EQ(Hits({{Size(period), Size(image)}}), FindFast(Cat({period, image, Filler(3000)})));
}

// Back-to-back signatures whose walks all reach an IEND after an IDAT, with
// no IHDR: rejected, so each later walk joins the first one's path, which
// keeps its flags at checkpoints.
Bytes SignaturesIntoIend(std::size_t signatures) {
  Bytes b;
  for (std::size_t k = 0; k < signatures; ++k) Append(b, kSignature);
  Append(b, Idat());
  Append(b, Iend());
  return b;
}

TEST(PngScanner, SignaturesLeadingToAnIendWithoutIhdr) {
  // 48 KB: more checkpoints than the table of so small a buffer takes, so it
  // starts over with wider spacing on the way.
  const Bytes small = SignaturesIntoIend(6000);
  EXPECT_EQ(Hits({{Size(small), Size(Standard())}}), Find(Cat({small, Standard(), Filler(60)})));

  // An IHDR right after the last signature turns the first walk into an
  // image; the other signatures lie inside it.
  Bytes withIhdr = SignaturesIntoIend(3000);
  const Bytes ihdr = Ihdr();
  withIhdr.insert(withIhdr.begin() + 3000 * 8, ihdr.begin(), ihdr.end());
  EXPECT_EQ(Hits({{0, Size(withIhdr)}}), Find(Cat({withIhdr, Filler(60)})));

  // 2 MB: the table fills up here too.
  const Bytes big = SignaturesIntoIend(1 << 18);
  EXPECT_EQ(Hits({{Size(big), Size(Standard())}}), FindFast(Cat({big, Standard(), Filler(60)})));
}

// The search inside an allocation scope whose rule `grant` decides every
// request the search makes without exceptions. The callback's storage is
// taken beforehand, so that throwing requests counted are the search's own.
struct ScopedRun {
  Hits hits;
  std::size_t granted = 0;
  std::size_t refused = 0;
  std::size_t throwing = 0;
};

ScopedRun FindUnder(const Bytes& b, std::function<bool(std::size_t, std::size_t)> grant) {
  ScopedRun run;
  run.hits.reserve(1000);
  const qx::HitCallback onHit = [&run](std::int64_t start, std::int64_t length) {
    run.hits.emplace_back(start, length);
  };
  qx::testalloc::NothrowAllocationScope scope(std::move(grant));
  qx::FindPngs(b.data(), Size(b), onHit);
  run.granted = scope.granted();
  run.refused = scope.refused();
  run.throwing = scope.throwingRequests();
  return run;
}

// Inputs on which the search keeps memory of every kind: dead paths,
// checkpoints of paths to IEND, prefix CRCs. Small enough for the reference
// and for a search that keeps no memory at all.
std::vector<Bytes> MemoryHungryInputs() {
  std::vector<Bytes> inputs;
  Bytes deadEnd;
  for (int k = 0; k < 2000; ++k) Append(deadEnd, kSignature);
  Append(deadEnd, Chunk("abcd", {}, false));
  Append(deadEnd, Standard());
  Append(deadEnd, Filler(60));
  inputs.push_back(deadEnd);
  inputs.push_back(Cat({SignaturesIntoIend(3000), Standard(), Filler(60)}));
  const Bytes big = Png({Ihdr(), Chunk("tEXt", Pattern(1000)), Idat(700), Iend()});
  const Bytes tail = Cat({Filler(37), ReadData("png_rgba_text.png"), Filler(3), big});
  inputs.push_back(OverlappingPreamble(200, tail.size() + 51, tail));
  inputs.push_back(OverlappingPreamble(40, 400000, tail));
  inputs.push_back(Cat({SignatureAndLengthPeriod(300), Standard(), Filler(60)}));
  std::mt19937 rng(4242);
  std::size_t runs = 0;
  for (int k = 0; k < 100; ++k) inputs.push_back(RandomStructure(rng, &runs));
  return inputs;
}

TEST(PngScannerMemory, RefusedAllocationsChangeNoResult) {
  const std::vector<Bytes> inputs = MemoryHungryInputs();
  std::vector<Hits> expected;
  for (const Bytes& b : inputs) {
    expected.push_back(qx::testref::FindPngsReference(b.data(), Size(b)));
  }
  const std::pair<const char*, std::function<bool(std::size_t, std::size_t)>> rules[] = {
      {"every request granted", [](std::size_t, std::size_t) { return true; }},
      {"every request refused", [](std::size_t, std::size_t) { return false; }},
      {"every other one refused", [](std::size_t n, std::size_t) { return n % 2 == 1; }},
      {"all but small ones refused", [](std::size_t, std::size_t size) { return size < 4096; }},
      {"large ones refused", [](std::size_t, std::size_t size) { return size < 30000; }},
      {"the first three refused", [](std::size_t n, std::size_t) { return n >= 3; }},
  };
  for (const auto& [name, grant] : rules) {
    std::size_t refused = 0;
    for (std::size_t k = 0; k < inputs.size(); ++k) {
      const ScopedRun run = FindUnder(inputs[k], grant);
      ASSERT_EQ(expected[k], run.hits) << name << ", input " << k;
      // Nothing the search asks for can end in an exception.
      ASSERT_EQ(0u, run.throwing) << name << ", input " << k;
      refused += run.refused;
    }
    EXPECT_EQ(std::string(name) == "every request granted", refused == 0) << name;
  }
}

TEST(PngScannerMemory, RefusedAllocationsAreAskedForAgain) {
  // 2 MB of back-to-back signatures that all end in a bad CRC: without the
  // memory of dead paths, a quarter of a million walks to the end. The first
  // requests are refused; the search keeps going without them, asks again
  // later, and is linear from then on.
  Bytes b;
  for (int k = 0; k < (2 << 20) / 8; ++k) Append(b, kSignature);
  Append(b, Chunk("abcd", {}, false));
  const std::int64_t imageAt = Size(b);
  Append(b, Standard());
  Append(b, Filler(60));
  const ScopedRun run = FindUnder(b, [](std::size_t n, std::size_t) { return n >= 3; });
  EXPECT_EQ(Hits({{imageAt, Size(Standard())}}), run.hits);
  EXPECT_EQ(3u, run.refused);
  EXPECT_GT(run.granted, 0u);
  EXPECT_EQ(0u, run.throwing);
}

// --- The strict search -----------------------------------------------------

namespace strict {

qx::ScanLimits Strict() {
  qx::ScanLimits limits;
  limits.strict = true;
  return limits;
}

// The strict search, checked against the strict reference and the strict
// windowed search through views of 32 bytes.
Hits Find(const Bytes& b) {
  Hits hits;
  qx::FindPngs(
      b.data(), Size(b), [&](std::int64_t start, std::int64_t length) { hits.emplace_back(start, length); },
      Strict());
  EXPECT_EQ(qx::testref::FindPngsReference(b.data(), Size(b), true), hits);
  qx::SpanSource source(b.data(), Size(b), 32);
  Hits windowed;
  qx::FindPngsIn(source, [&](std::int64_t s, std::int64_t n) { windowed.emplace_back(s, n); }, Strict());
  EXPECT_EQ(windowed, hits) << "through windows";
  return hits;
}

// IHDR data: width, height, bit depth, colour type, compression, filter,
// interlace.
Bytes IhdrData(std::uint32_t width, std::uint32_t height, int depth, int colour, int compression = 0,
               int filter = 0, int interlace = 0) {
  Bytes d;
  AppendBe32(d, width);
  AppendBe32(d, height);
  for (int v : {depth, colour, compression, filter, interlace}) d.push_back(static_cast<std::uint8_t>(v));
  return d;
}

bool Accepted(const Bytes& ihdr) {
  const Bytes image = Png({Chunk("IHDR", ihdr), Idat(), Iend()});
  const Hits hits = Find(Cat({Filler(5), image, Filler(50)}));
  EXPECT_TRUE(hits.empty() || hits == Hits({{5, Size(image)}}));
  // The ordinary search takes it whatever its fields.
  EXPECT_EQ(FindFast(Cat({Filler(5), image, Filler(50)})), Hits({{5, Size(image)}}));
  return !hits.empty();
}

TEST(PngScannerStrict, WidthAndHeight) {
  EXPECT_TRUE(Accepted(IhdrData(1, 1, 8, 2)));
  EXPECT_TRUE(Accepted(IhdrData(0x7FFFFFFFu, 0x7FFFFFFFu, 8, 2)));
  for (const std::uint32_t bad : {0u, 0x80000000u, 0xFFFFFFFFu}) {
    EXPECT_FALSE(Accepted(IhdrData(bad, 1, 8, 2))) << bad;
    EXPECT_FALSE(Accepted(IhdrData(1, bad, 8, 2))) << bad;
  }
}

TEST(PngScannerStrict, BitDepthAndColourTypePairs) {
  const std::pair<int, std::vector<int>> allowed[] = {
      {0, {1, 2, 4, 8, 16}}, {2, {8, 16}}, {3, {1, 2, 4, 8}}, {4, {8, 16}}, {6, {8, 16}}};
  for (int colour = 0; colour <= 8; ++colour) {
    for (int depth : {0, 1, 2, 3, 4, 5, 7, 8, 9, 15, 16, 17, 32, 255}) {
      bool expected = false;
      for (const auto& [type, depths] : allowed) {
        if (type == colour) expected = std::count(depths.begin(), depths.end(), depth) != 0;
      }
      EXPECT_EQ(Accepted(IhdrData(3, 2, depth, colour)), expected) << "colour " << colour << " depth " << depth;
    }
  }
}

TEST(PngScannerStrict, MethodsAndInterlace) {
  EXPECT_TRUE(Accepted(IhdrData(3, 2, 8, 6, 0, 0, 1)));
  EXPECT_FALSE(Accepted(IhdrData(3, 2, 8, 6, 0, 0, 2)));
  EXPECT_FALSE(Accepted(IhdrData(3, 2, 8, 6, 1, 0, 0)));
  EXPECT_FALSE(Accepted(IhdrData(3, 2, 8, 6, 0, 1, 0)));
  EXPECT_FALSE(Accepted(IhdrData(3, 2, 8, 6, 0xFF, 0, 0)));
}

TEST(PngScannerStrict, DataLengthThirteenAndInsideTheBytes) {
  Bytes longer = IhdrData(3, 2, 8, 2);
  longer.push_back(0);
  EXPECT_FALSE(Accepted(longer));
  Bytes shorter = IhdrData(3, 2, 8, 2);
  shorter.pop_back();
  EXPECT_FALSE(Accepted(shorter));
  EXPECT_FALSE(Accepted({}));
  // An invalid IHDR is just a chunk: a valid one later in the walk counts.
  const Bytes image = Png({Chunk("IHDR", Pattern(13)), Chunk("IHDR", IhdrData(3, 2, 8, 2)), Idat(), Iend()});
  EXPECT_EQ(Find(Cat({image, Filler(50)})), Hits({{0, Size(image)}}));
  // An IHDR whose chunk runs past the end is walked 4 bytes on; its fields
  // count when all 13 bytes are there. Here it is the last chunk, and its
  // data begin with the type bytes of the pseudo-chunk that follows: "IEND"
  // as width, then a height, depth 8, colour 2, methods 0 and interlace 0, 1
  // or 2. The image ends at that pseudo-chunk's type field.
  for (const int interlace : {0, 1, 2}) {
    const Bytes head = Png({Chunk("IDAT", Pattern(60))});
    Bytes b = Cat({head, Header(13, "IHDR"), Type("IEND"), {0, 0, 0, 9, 8, 2, 0, 0, static_cast<std::uint8_t>(interlace)}});
    const Hits whole = {{0, Size(head) + 8}};
    EXPECT_EQ(FindFast(b), whole);
    EXPECT_EQ(Find(b), interlace <= 1 ? whole : Hits{}) << interlace;
    // One byte short of its 13: not valid, whatever they hold.
    b.pop_back();
    EXPECT_EQ(FindFast(b), whole);
    EXPECT_TRUE(Find(b).empty());
  }
}

TEST(PngScannerStrict, ARealImageInsideARejectedOneIsFound) {
  const Bytes inner = ReadData("png_palette.png");
  const Bytes outer = Png({Chunk("IHDR", IhdrData(0, 1, 8, 2)), Chunk("tEXt", inner), Idat(), Iend()});
  const Bytes b = Cat({Filler(3), outer, Filler(50)});
  EXPECT_EQ(FindFast(b), Hits({{3, Size(outer)}}));
  EXPECT_EQ(Find(b), Hits({{3 + 8 + 25 + 8, Size(inner)}}));
}

TEST(PngScannerStrict, RealImagesAreKept) {
  Bytes buffer;
  Hits expected;
  for (const char* name : {"png_palette.png", "png_adam7.png", "png_rgba_text.png"}) {
    const Bytes image = ReadData(name);
    Append(buffer, Filler(13, 0x77));
    expected.emplace_back(Size(buffer), Size(image));
    Append(buffer, image);
  }
  Append(buffer, Filler(51));
  EXPECT_EQ(Find(buffer), expected);
}

// Back-to-back signatures into one chain: the first walk runs 4 bytes at a
// time into it, and every later one joins that path. Whether the chain's
// IHDR counts is the same for all of them.
TEST(PngScannerStrict, WalksIntoOneChainSeeTheSameIhdr) {
  for (const bool valid : {false, true}) {
    Bytes b;
    for (int k = 0; k < 3000; ++k) Append(b, kSignature);
    Append(b, Chunk("IHDR", valid ? IhdrData(3, 2, 8, 2) : IhdrData(3, 2, 8, 7)));
    for (int k = 0; k < 30; ++k) Append(b, Idat(k));
    Append(b, Iend());
    const std::int64_t end = Size(b);
    Append(b, Filler(60));
    EXPECT_EQ(FindFast(b), Hits({{0, end}}));
    EXPECT_EQ(Find(b), valid ? Hits({{0, end}}) : Hits{}) << valid;
  }
}

// A walk that joins the recorded path of a rejected one: the first
// candidate jumps with a tEXt chunk over the second and its IHDR into a
// chain of IDAT and IEND, and is rejected without an IHDR; the second walks
// its own IHDR, then 4 bytes at a time over the tEXt chunk's CRC onto the
// first one's path. Strict, it is taken only when its IHDR is valid.
TEST(PngScannerStrict, AJoinedWalkKeepsItsOwnIhdr) {
  for (const bool valid : {false, true}) {
    const Bytes second = Cat({kSignature, Chunk("IHDR", valid ? IhdrData(5, 5, 1, 0) : IhdrData(5, 5, 16, 3))});
    const Bytes text = Chunk("tEXt", Cat({second, {0xFF, 0xFF, 0xFF, 0xFF}}));
    Bytes chain;
    for (int k = 0; k < 40; ++k) Append(chain, Idat(k + 1));
    Append(chain, Iend());
    Bytes b = Cat({kSignature, text, chain});
    // The CRC read as a length must not fit, so that the second walk steps over it.
    ASSERT_GT(qx::ReadBe32(b.data() + 8 + text.size() - 4), b.size());
    const std::int64_t secondAt = 8 + 8;
    const Hits taken = {{secondAt, Size(b) - secondAt}};
    Append(b, Filler(60));
    EXPECT_EQ(FindFast(b), taken);
    EXPECT_EQ(Find(b), valid ? taken : Hits{}) << valid;
  }
}

TEST(PngScannerStrict, AgreesWithTheReferenceOnRandomStructures) {
  std::mt19937 rng(20140102);
  std::size_t hits = 0;
  std::size_t fourByteRuns = 0;
  for (int round = 0; round < 600; ++round) {
    Bytes b = RandomStructure(rng, &fourByteRuns);
    // Give some IHDR chunks valid fields, with their CRCs mended.
    for (std::size_t at = 0; at + 25 <= b.size(); ++at) {
      if (std::memcmp(b.data() + at + 4, "IHDR", 4) != 0 || qx::ReadBe32(b.data() + at) != 13 || rng() % 2) continue;
      const Bytes fields = IhdrData(1 + rng() % 9, 1 + rng() % 9, rng() % 3 ? 8 : 16, rng() % 2 ? 2 : 6, 0, 0,
                                    static_cast<int>(rng() % 3));
      std::copy(fields.begin(), fields.end(), b.begin() + static_cast<std::ptrdiff_t>(at + 8));
      const std::uint32_t crc = Crc(b.data() + at + 4, 17);
      for (int k = 0; k < 4; ++k) b[at + 21 + k] = static_cast<std::uint8_t>(crc >> (24 - 8 * k));
    }
    hits += Find(b).size();
  }
  EXPECT_GT(hits, 50u);
}

}  // namespace strict

}  // namespace
