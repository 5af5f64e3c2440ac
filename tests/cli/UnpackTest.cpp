// -unpack: images inside deflated zip entries, gzip members and base64
// text are written beside the scanned file, numbered after its own images,
// in the order the containers appear; nothing else is written; bombs cost
// neither memory nor time.
#include <zlib.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "CliFixture.h"

namespace qx::cli {
namespace {

std::string Data(const char* name) {
  std::ifstream in(fs::path(QX_TEST_DATA_DIR) / name, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A gzip member of `bytes`.

// A gzip member of `count` zero bytes, made a block at a time.
std::string GzipOfZeros(long long count) {
  z_stream z{};
  EXPECT_EQ(deflateInit2(&z, 9, Z_DEFLATED, 16 + 15, 9, Z_DEFAULT_STRATEGY), Z_OK);
  const std::string zeros(1 << 20, '\0');
  std::string out;
  std::string buffer(1 << 16, '\0');
  for (long long left = count; left >= 0;) {
    const long long take = left < static_cast<long long>(zeros.size()) ? left : zeros.size();
    left -= take;
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(zeros.data()));
    z.avail_in = static_cast<uInt>(take);
    const int flush = left == 0 ? Z_FINISH : Z_NO_FLUSH;
    do {
      z.next_out = reinterpret_cast<Bytef*>(buffer.data());
      z.avail_out = static_cast<uInt>(buffer.size());
      deflate(&z, flush);
      out.append(buffer.data(), buffer.size() - z.avail_out);
    } while (z.avail_out == 0);
    if (left == 0) break;
  }
  deflateEnd(&z);
  return out;
}

// A zip local header and `data` deflated without compression (stored
// blocks), as compressors do with bytes that do not compress.
std::string StoredDeflateEntry(const std::string& name, const std::string& data) {
  z_stream z{};
  EXPECT_EQ(deflateInit2(&z, 0, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY), Z_OK);
  std::string packed(deflateBound(&z, static_cast<uLong>(data.size())), '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = reinterpret_cast<Bytef*>(packed.data());
  z.avail_out = static_cast<uInt>(packed.size());
  EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
  packed.resize(z.total_out);
  deflateEnd(&z);
  const auto le = [](std::uint32_t value, int bytes) {
    std::string out;
    for (int i = 0; i < bytes; ++i) out += static_cast<char>((value >> (8 * i)) & 0xFF);
    return out;
  };
  const auto crc = static_cast<std::uint32_t>(
      crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
  return std::string("PK\x03\x04", 4) + le(20, 2) + le(0, 2) + le(8, 2) + le(0, 4) + le(crc, 4) +
         le(static_cast<std::uint32_t>(packed.size()), 4) +
         le(static_cast<std::uint32_t>(data.size()), 4) + le(static_cast<std::uint32_t>(name.size()), 2) +
         le(0, 2) + name + packed;
}

class UnpackTest : public CliTest {
 protected:
  void SetUp() override {
    CliTest::SetUp();
    for (const char* name : {"document.docx", "piped.zip", "appended.bin", "images.tar.gz",
                             "mail.eml", "page.html", "truncated.zip", "nested.gz"}) {
      WriteOld(Root() / "Box" / name, Data(name));
    }
    before_ = Snapshot();
  }
  FileMap before_;
};

TEST_F(UnpackTest, ImagesInsideContainersAreWrittenAfterTheFilesOwn) {
  const auto plain = Run({"-extract=ALL", "-verbosity=1", "Box"});
  EXPECT_EQ(plain.exitCode, 0);
  // Without -unpack only images held as they are are found: the bitmap
  // stored in piped.zip, and the images that deflate kept in stored blocks
  // (they do not compress).
  const FileMap raw = {{"Box/document_000.png", Data("png_rgba_text.png")},
                       {"Box/nested_000.png", Data("png_adam7.png")},
                       {"Box/piped_000.bmp", Data("bmp_core_24bit.bmp")}};
  EXPECT_EQ(Written(before_, Snapshot()), raw);
  for (const auto& [name, content] : raw) fs::remove(Root() / name);

  const auto result = Run({"-extract=ALL", "-UNPACK", "Box"});
  EXPECT_EQ(result.exitCode, 0);
  const auto line = [&](const std::string& name) { return "  " + At("Box/" + name) + "\n"; };
  const auto file = [&](const std::string& name) { return At("Box/" + name) + "\n"; };
  // Listed in name order; in each file its own images first, then those of
  // its containers in the order the containers appear, numbered on. An image
  // that a container held as it is was found by the file's own scan and is
  // not written again (document.docx, nested.gz, and the .docx inside
  // mail.eml).
  EXPECT_EQ(result.out,
            file("appended.bin") + line("appended_000.png") +  //
            file("document.docx") + line("document_000.png") +  //
            file("images.tar.gz") + line("images.tar_000.bmp") + line("images.tar_000.jpg") +
                line("images.tar_000.png") +                      //
            file("mail.eml") + line("mail_000.png") +             //
            file("nested.gz") + line("nested_000.png") +          //
            file("page.html") + line("page_000.jpg") + line("page_000.png") +  //
            file("piped.zip") + line("piped_000.bmp") + line("piped_000.jpg") +
                line("piped_001.bmp") +  //
            file("truncated.zip"));
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(Written(before_, Snapshot()),
            (FileMap{{"Box/appended_000.png", Data("png_palette.png")},
                     {"Box/document_000.png", Data("png_rgba_text.png")},
                     {"Box/images.tar_000.bmp", Data("bmp_8bit_palette.bmp")},
                     {"Box/images.tar_000.jpg", Data("greyscale.jpg")},
                     {"Box/images.tar_000.png", Data("png_adam7.png")},
                     {"Box/mail_000.png", Data("png_rgba_text.png")},
                     {"Box/nested_000.png", Data("png_adam7.png")},
                     {"Box/page_000.jpg", Data("greyscale.jpg")},
                     {"Box/page_000.png", Data("png_palette.png")},
                     {"Box/piped_000.bmp", Data("bmp_core_24bit.bmp")},
                     {"Box/piped_000.jpg", Data("baseline_420.jpg")},
                     {"Box/piped_001.bmp", Data("bmp_24bit.bmp")}}));

  // Two entries that hold the same image, each deflated into stored blocks:
  // the file's own scan finds it twice, and each container's copy is the one
  // in its own bytes, so two images, not four and not one.
  const std::string png = Data("png_rgba_text.png");
  WriteOld(Root() / "twice.zip", StoredDeflateEntry("a.png", png) + StoredDeflateEntry("b.png", png));
  const auto twice = Run({"-extract=PNG", "-unpack", "twice.zip"});
  EXPECT_EQ(twice.out, At("twice.zip") + "\n  " + At("twice_000.png") + "\n  " +
                           At("twice_001.png") + "\n");
  EXPECT_EQ(ReadAll(Root() / "twice_000.png"), png);
  EXPECT_EQ(ReadAll(Root() / "twice_001.png"), png);

  // The same on one thread and on several.
  for (const char* threads : {"-threads=1", "-threads=3"}) {
    SCOPED_TRACE(threads);
    const auto again = Run({"-extract=ALL", "-unpack", threads, "Box"});
    EXPECT_EQ(again.out, result.out);
  }
}

TEST_F(UnpackTest, ABombCostsNeitherMemoryNorTime) {
  // A gigabyte of zeros in a gzip member, then a gzipped PNG and a raw
  // bitmap: the bomb is cut, and what follows it is still found.
  const std::string bomb = GzipOfZeros(1LL << 30) + Gzip(Data("png_palette.png")) + Bitmap(70, 'b');
  WriteOld(Root() / "bomb.bin", bomb);
  plat::testing::RunOptions bounded;
  bounded.timeoutSeconds = 120;
  const auto result = RunWith({"-extract=ALL", "-unpack", "-verbosity=2", "bomb.bin"}, bounded);
  ASSERT_FALSE(result.timedOut);
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(result.out, "bomb.bin\n");
  EXPECT_LT(result.peakKiB, 512 * 1024) << "peak resident memory";
  EXPECT_LT(result.seconds, 60.0);
  EXPECT_EQ(ReadAll(Root() / "bomb_000.bmp"), Bitmap(70, 'b'));
  EXPECT_EQ(ReadAll(Root() / "bomb_000.png"), Data("png_palette.png"));
}

}  // namespace
}  // namespace qx::cli
