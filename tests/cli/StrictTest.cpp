// -strict: candidates that pass the searches' tests but are no plausible
// image are dropped, and a real image inside one is found instead; in a
// file's own bytes (loaded, or read through windows with -whole), in a
// decoded stream, on one thread or more. Real images are all kept, and
// random bytes give nothing.
#include <zlib.h>

#include <chrono>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "CliFixture.h"

namespace qx::cli {
namespace {

std::string Data(const std::string& name) {
  std::ifstream in(fs::path(QX_TEST_DATA_DIR) / name, std::ios::binary);
  EXPECT_TRUE(in.good()) << name;
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}


void PutBe32(std::string& bytes, std::uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) bytes += static_cast<char>((value >> shift) & 0xFF);
}

std::string PngChunk(const char* type, const std::string& data) {
  std::string chunk;
  PutBe32(chunk, static_cast<std::uint32_t>(data.size()));
  const std::string body = std::string(type, 4) + data;
  chunk += body;
  PutBe32(chunk, static_cast<std::uint32_t>(
                     crc32(0, reinterpret_cast<const Bytef*>(body.data()), static_cast<uInt>(body.size()))));
  return chunk;
}

// Junk of each kind that passes the ordinary tests, each holding or followed
// by a real image (at the offsets recorded):
//  - a "bitmap" whose information header is letters, around bmp_24bit.bmp;
//  - a "JPEG" of three application segments, no frame or scan header, whose
//    end is the end marker of baseline_420.jpg right after it;
//  - a "PNG" whose IHDR has a width of zero, with png_palette.png in a tEXt
//    chunk.
struct Junk {
  std::string bytes;
  std::int64_t bmpJunk = 0, bmpJunkSize = 0, bmp = 0;
  std::int64_t jpgJunk = 0, jpgJunkSize = 0, jpg = 0;
  std::int64_t pngJunk = 0, pngJunkSize = 0, png = 0;

  // The -list lines of the junk, or of the real images inside it.
  std::string Lines(bool strict) const {
    const auto line = [](const char* kind, std::size_t length, std::int64_t at) {
      return std::string("  ") + kind + " " + std::to_string(length) + " bytes at " + std::to_string(at) + "\n";
    };
    if (!strict) {
      return line("bmp", bmpJunkSize, bmpJunk) + line("jpg", jpgJunkSize, jpgJunk) +
             line("png", pngJunkSize, pngJunk);
    }
    return line("bmp", Data("bmp_24bit.bmp").size(), bmp) + line("jpg", Data("baseline_420.jpg").size(), jpg) +
           line("png", Data("png_palette.png").size(), png);
  }
};

Junk MakeJunk(std::int64_t base = 0) {
  Junk junk;
  std::string& b = junk.bytes;
  b = Filler(7);
  const std::string bmp = Data("bmp_24bit.bmp");
  std::string bitmap = Bitmap(static_cast<std::uint32_t>(40 + bmp.size() + 30), 'q');
  bitmap.replace(40, bmp.size(), bmp);
  junk.bmpJunk = base + static_cast<std::int64_t>(b.size());
  junk.bmpJunkSize = static_cast<std::int64_t>(bitmap.size());
  junk.bmp = junk.bmpJunk + 40;
  b += bitmap + Filler(5);

  junk.jpgJunk = base + static_cast<std::int64_t>(b.size());
  b += "\xFF\xD8";
  for (const int code : {0xE0, 0xE1, 0xFE}) b += std::string{'\xFF', static_cast<char>(code), '\0', '\x04', 'a', 'b'};
  b += "....";
  junk.jpg = base + static_cast<std::int64_t>(b.size());
  b += Data("baseline_420.jpg");
  junk.jpgJunkSize = base + static_cast<std::int64_t>(b.size()) - junk.jpgJunk;
  b += Filler(9);

  const std::string signature("\x89PNG\r\n\x1A\n", 8);
  const std::string png = Data("png_palette.png");
  junk.pngJunk = base + static_cast<std::int64_t>(b.size());
  const std::string outer = signature + PngChunk("IHDR", std::string("\0\0\0\0\0\0\0\x01\x08\x02\0\0\0", 13)) +
                            PngChunk("tEXt", png) + PngChunk("IDAT", "xx") + PngChunk("IEND", "");
  junk.pngJunkSize = static_cast<std::int64_t>(outer.size());
  junk.png = junk.pngJunk + 8 + 25 + 8;
  b += outer + Filler(60);
  return junk;
}

class StrictTest : public CliTest {};

TEST_F(StrictTest, DropsJunkAndFindsTheRealImagesInside) {
  const Junk junk = MakeJunk();
  WriteOld(Root() / "junk.bin", junk.bytes);
  const auto ordinary = Run({"-extract=ALL", "-list", "junk.bin"});
  EXPECT_EQ(ordinary.out, At("junk.bin") + "\n" + junk.Lines(false));
  // Matched ignoring case, blanked so that it names no file, on one thread
  // or several (the pool's searches).
  for (const char* option : {"-strict", "-STRICT", "-Strict"}) {
    for (const char* threads : {"-threads=1", "-threads=2"}) {
      SCOPED_TRACE(std::string(option) + " " + threads);
      const auto strict = Run({option, "-extract=ALL", threads, "-list", "junk.bin"});
      EXPECT_EQ(strict.exitCode, 0);
      EXPECT_EQ(strict.err, "");
      EXPECT_EQ(strict.out, At("junk.bin") + "\n" + junk.Lines(true));
    }
  }
  // Written, the images are the real ones byte for byte.
  const FileMap before = Snapshot();
  const auto written = Run({"-extract=ALL", "-strict", "junk.bin"});
  EXPECT_EQ(written.exitCode, 0);
  EXPECT_EQ(Written(before, Snapshot()), (FileMap{{"junk_000.bmp", Data("bmp_24bit.bmp")},
                                                  {"junk_000.jpg", Data("baseline_420.jpg")},
                                                  {"junk_000.png", Data("png_palette.png")}}));
}

TEST_F(StrictTest, AnOptionLikeItIsAPatternAndAloneItSelectsNothing) {
  WriteOld(Root() / "junk.bin", MakeJunk().bytes);
  const auto alone = Run({"-strict", "junk.bin"});
  EXPECT_EQ(alone.out, UsageText("quarrix"));
  // Only the whole word is the option: "-strictly" is a pattern matching no file.
  const auto longer = Run({"-strictly", "-extract=BMP", "-list", "junk.bin"});
  EXPECT_EQ(longer.out, At("junk.bin") + "\n" + "  bmp " + std::to_string(MakeJunk().bmpJunkSize) + " bytes at 7\n");
}

TEST_F(StrictTest, DecodedStreamsAreSearchedStrictlyToo) {
  const Junk junk = MakeJunk();
  WriteOld(Root() / "junk.gz", Gzip(junk.bytes));
  const std::string in = " in gzip at 0\n";
  const auto lines = [&](bool strict) {
    std::string text = junk.Lines(strict);
    std::string out;
    for (std::size_t from = 0; from < text.size();) {
      const std::size_t end = text.find('\n', from);
      out += text.substr(from, end - from) + in;
      from = end + 1;
    }
    return out;
  };
  EXPECT_EQ(Run({"-extract=ALL", "-unpack", "-list", "junk.gz"}).out, At("junk.gz") + "\n" + lines(false));
  EXPECT_EQ(Run({"-extract=ALL", "-unpack", "-strict", "-list", "junk.gz"}).out, At("junk.gz") + "\n" + lines(true));
}

TEST_F(StrictTest, FilesReadThroughWindowsAreSearchedStrictly) {
  // The junk past the first 100,000,000 bytes of a sparse file.
  constexpr std::int64_t kAt = 100000000 + 4093;
  const Junk junk = MakeJunk(kAt);
  const fs::path path = Root() / "disk.img";
  {
    std::ofstream out(path, std::ios::binary);
    out.seekp(kAt);
    out.write(junk.bytes.data(), static_cast<std::streamsize>(junk.bytes.size()));
  }
  fs::last_write_time(path, fs::file_time_type::clock::now() - std::chrono::hours(1));
  EXPECT_EQ(Run({"-extract=ALL", "-whole", "-list", "disk.img"}).out, At("disk.img") + "\n" + junk.Lines(false));
  for (const char* threads : {"-threads=1", "-threads=2"}) {
    EXPECT_EQ(Run({"-extract=ALL", "-whole", "-strict", threads, "-list", "disk.img"}).out,
              At("disk.img") + "\n" + junk.Lines(true))
        << threads;
  }
}

// Every image the project's scripts made, and those inside its containers,
// is kept: a strict run writes exactly what an ordinary one writes.
TEST_F(StrictTest, KeepsEveryImageOfTheTestData) {
  std::size_t sources = 0;
  for (const auto& entry : fs::directory_iterator(QX_TEST_DATA_DIR)) {
    const std::string name = Utf8(entry.path().filename());
    if (!entry.is_regular_file() || name.ends_with(".py") || name.ends_with(".md")) continue;
    WriteOld(Root() / "ordinary" / name, Data(name));
    WriteOld(Root() / "strict" / name, Data(name));
    ++sources;
  }
  const auto ordinary = Run({"-extract=ALL", "-unpack", "-verbosity=1", "ordinary"});
  const auto strict = Run({"-extract=ALL", "-unpack", "-strict", "-verbosity=1", "strict"});
  EXPECT_EQ(ordinary.exitCode, 0);
  EXPECT_EQ(strict.exitCode, 0);
  FileMap fromOrdinary;
  FileMap fromStrict;
  for (const auto& [path, bytes] : Snapshot()) {
    if (path.starts_with("ordinary/")) fromOrdinary[path.substr(9)] = bytes;
    if (path.starts_with("strict/")) fromStrict[path.substr(7)] = bytes;
  }
  EXPECT_EQ(fromStrict, fromOrdinary);
  // The images themselves, and those in the containers.
  EXPECT_GT(fromOrdinary.size(), sources + 20);
}

// 100 MB of random bytes: strictly, nothing at all.
TEST_F(StrictTest, RandomBytesGiveNothing) {
  std::string bytes(100000000, '\0');
  std::mt19937_64 rng(20261208);
  for (std::size_t k = 0; k < bytes.size(); k += 8) {
    const std::uint64_t v = rng();
    for (int n = 0; n < 8; ++n) bytes[k + n] = static_cast<char>(v >> (8 * n));
  }
  WriteOld(Root() / "random.bin", bytes);
  bytes.clear();
  const auto result = Run({"-extract=ALL", "-strict", "-list", "random.bin"});
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(result.out, At("random.bin") + "\n");
}

}  // namespace
}  // namespace qx::cli
