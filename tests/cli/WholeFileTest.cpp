// -whole: a file of a few hundred MB (sparse, so it costs no disk) with
// images across the 100,000,000 mark, across a window boundary, a JPEG
// whose end marker lies 200 MB after its header, a PNG with a 150 MB IDAT
// chunk, and a bitmap that runs to the end of the file.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "CliFixture.h"
#include "checksum/Crc32Combine.h"
#include "checksum/Crc32Tables.h"

namespace qx::cli {
namespace {

constexpr std::int64_t kMark = 100000000;

void PutBe32(std::string& bytes, std::uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) bytes += static_cast<char>((value >> shift) & 0xFF);
}

// The CRC-32 of `head` followed by `zeros` zero bytes.
std::uint32_t CrcWithZeros(const std::string& head, std::int64_t zeros) {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(head.data());
  const std::uint32_t crcHead = ~Crc32UpdateSliced(0xFFFFFFFFu, bytes, head.size());
  static const std::vector<std::uint8_t> block(1 << 20, 0);
  const std::uint32_t crcBlock = ~Crc32UpdateSliced(0xFFFFFFFFu, block.data(), block.size());
  std::uint32_t crc = crcHead;
  for (std::int64_t left = zeros; left > 0;) {
    const std::int64_t take = std::min<std::int64_t>(left, block.size());
    const std::uint32_t part =
        take == static_cast<std::int64_t>(block.size())
            ? crcBlock
            : ~Crc32UpdateSliced(0xFFFFFFFFu, block.data(), static_cast<std::size_t>(take));
    crc = Crc32Combine(crc, part, static_cast<std::uint64_t>(take));
    left -= take;
  }
  return crc;
}

// A chunk whose data are `zeros` zero bytes after `data`.
std::string Chunk(const char* type, const std::string& data, std::int64_t zeros = 0) {
  std::string chunk;
  PutBe32(chunk, static_cast<std::uint32_t>(data.size() + static_cast<std::size_t>(zeros)));
  const std::string typed = std::string(type, 4) + data;
  chunk += typed;
  chunk.append(static_cast<std::size_t>(zeros), '\0');
  PutBe32(chunk, CrcWithZeros(typed, zeros));
  return chunk;
}

// A piece of the file: `head` at `at`, then `zeros` zero bytes, then `tail`.
struct Piece {
  std::int64_t at;
  std::string head;
  std::int64_t zeros = 0;
  std::string tail;
  std::int64_t Size() const { return static_cast<std::int64_t>(head.size() + tail.size()) + zeros; }
};

class WholeFileTest : public CliTest {
 protected:
  void SetUp() override {
    CliTest::SetUp();
    // Bitmaps: one at the start, one across the 100,000,000 mark.
    pieces_.push_back({0, Bitmap(64, 's'), 0, ""});
    pieces_.push_back({kMark - 1000, Bitmap(2000, 'm'), 0, ""});
    // A PNG across a window boundary (windows start on multiples of a
    // power of two).
    const std::string png = std::string("\x89PNG\r\n\x1A\n", 8) +
                            Chunk("IHDR", std::string("\0\0\0\x01\0\0\0\x01\x08\x00\0\0\0", 13)) +
                            Chunk("IDAT", "small") + Chunk("IEND", "");
    pieces_.push_back({(std::int64_t{25} << 22) - 20, png, 0, ""});
    // A JPEG whose first end marker lies 200 MB after its header.
    const std::string header = std::string("\xFF\xD8\xFF\xE0\x00\x04JF\xFF\xDB\x00\x04\x01\x02"
                                            "\xFF\xC4\x00\x03\x07\xFF\xDA\x00\x03\x01\x55",
                                            25);
    pieces_.push_back({120000000, header, 200000000, std::string("\xFF\xD9", 2)});
    // A PNG whose one IDAT chunk holds 150 MB.
    std::string pngHead = std::string("\x89PNG\r\n\x1A\n", 8) +
                          Chunk("IHDR", std::string("\0\0\x10\0\0\0\x10\0\x08\x00\0\0\0", 13));
    std::string idatHead;
    PutBe32(idatHead, 150000000);
    idatHead += "IDAT";
    pieces_.push_back({330000000, pngHead + idatHead, 150000000,
                       [] {
                         std::string tail;
                         PutBe32(tail, CrcWithZeros("IDAT", 150000000));
                         return tail + Chunk("IEND", "");
                       }()});
    // A bitmap whose declared size runs to the very end of the file.
    const std::int64_t lastAt = 495000000;
    std::string last = Bitmap(64, 'e');
    const std::uint32_t lastSize = static_cast<std::uint32_t>(kSize - lastAt);
    for (int i = 0; i < 4; ++i) last[2 + i] = static_cast<char>((lastSize >> (8 * i)) & 0xFF);
    pieces_.push_back({lastAt, last, 0, ""});

    const fs::path path = Root() / "disk.img";
    {
      std::ofstream out(path, std::ios::binary);
      for (const Piece& piece : pieces_) {
        out.seekp(piece.at);
        out.write(piece.head.data(), static_cast<std::streamsize>(piece.head.size()));
        out.seekp(piece.at + static_cast<std::int64_t>(piece.head.size()) + piece.zeros);
        out.write(piece.tail.data(), static_cast<std::streamsize>(piece.tail.size()));
      }
    }
    fs::resize_file(path, static_cast<std::uintmax_t>(kSize));
    fs::last_write_time(path, fs::file_time_type::clock::now() - std::chrono::hours(1));
  }

  // The output holds exactly `piece`'s bytes, and for the bitmap that runs
  // to the end, everything up to the end.
  void ExpectOutput(const std::string& name, const Piece& piece, std::int64_t size) {
    std::ifstream in(Root() / name, std::ios::binary);
    ASSERT_TRUE(in) << name;
    ASSERT_EQ(static_cast<std::int64_t>(fs::file_size(Root() / name)), size) << name;
    std::string head(piece.head.size(), '\0');
    in.read(head.data(), static_cast<std::streamsize>(head.size()));
    EXPECT_EQ(head, piece.head) << name;
    // The rest is zeros up to the tail.
    const std::int64_t zeros = size - static_cast<std::int64_t>(piece.head.size() + piece.tail.size());
    std::vector<char> block(1 << 20);
    for (std::int64_t left = zeros; left > 0;) {
      const std::int64_t take = std::min<std::int64_t>(left, static_cast<std::int64_t>(block.size()));
      in.read(block.data(), take);
      ASSERT_TRUE(std::all_of(block.begin(), block.begin() + take, [](char c) { return c == 0; }))
          << name << " at " << (size - left);
      left -= take;
    }
    std::string tail(piece.tail.size(), '\0');
    in.read(tail.data(), static_cast<std::streamsize>(tail.size()));
    EXPECT_EQ(tail, piece.tail) << name;
  }

  void RemoveOutputs() {
    for (const char* name : {"disk_000.bmp", "disk_001.bmp", "disk_002.bmp", "disk_000.jpg",
                             "disk_000.png", "disk_001.png"}) {
      fs::remove(Root() / name);
    }
  }

  static constexpr std::int64_t kSize = 500000000;
  std::vector<Piece> pieces_;
};

TEST_F(WholeFileTest, ScansTheWholeFileInBoundedMemory) {
  // Without -whole only the first 100,000,000 bytes are scanned.
  const auto capped = Run({"-extract=ALL", "disk.img"});
  EXPECT_EQ(capped.exitCode, 0);
  EXPECT_EQ(capped.out, At("disk.img") + "\n  " + At("disk_000.bmp") + "\n");
  RemoveOutputs();

  const std::string expected = At("disk.img") + "\n  " + At("disk_000.bmp") + "\n  " +
                               At("disk_001.bmp") + "\n  " + At("disk_002.bmp") + "\n  " +
                               At("disk_000.jpg") + "\n  " + At("disk_000.png") + "\n  " +
                               At("disk_001.png") + "\n";
  for (const char* threads : {"-threads=1", "-threads=2"}) {
    SCOPED_TRACE(threads);
    const auto whole = Run({"-extract=ALL", "-WHOLE", threads, "disk.img"});
    EXPECT_EQ(whole.exitCode, 0);
    EXPECT_EQ(whole.out, expected);
    // Standard error is no terminal here: no progress line.
    EXPECT_EQ(whole.err, "");
    EXPECT_LT(whole.peakKiB, 256 * 1024) << "peak resident memory";
    ExpectOutput("disk_000.bmp", pieces_[0], 64);
    ExpectOutput("disk_001.bmp", pieces_[1], 2000);
    ExpectOutput("disk_002.bmp", pieces_[5], kSize - 495000000);
    ExpectOutput("disk_000.jpg", pieces_[3], pieces_[3].Size());
    ExpectOutput("disk_000.png", pieces_[2], static_cast<std::int64_t>(pieces_[2].head.size()));
    ExpectOutput("disk_001.png", pieces_[4], pieces_[4].Size());
    RemoveOutputs();
  }
}

}  // namespace
}  // namespace qx::cli
