// Containers as the project's own script writes them (tests/data/
// make_containers.py): each decoded stream must be exactly the file that was
// put in, in the order and at the depth the contract gives, through small
// windows as through one span.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "unpack_helpers.h"

namespace {

using namespace qx::testunpack;
using qx::ContainerKind;

std::int64_t Find(const Bytes& haystack, const std::string& needle) {
  const auto at = std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end());
  EXPECT_NE(at, haystack.end()) << needle;
  return at - haystack.begin();
}

// The three deflated parts of document.docx, at their offsets in it.
void ExpectDocumentParts(const std::vector<Found>& found, std::size_t first, int depth,
                         const Bytes& docx) {
  ASSERT_GE(found.size(), first + 3);
  const std::string names[] = {"[Content_Types].xml", "word/document.xml", "word/media/image1.png"};
  for (int k = 0; k < 3; ++k) {
    const Found& f = found[first + static_cast<std::size_t>(k)];
    EXPECT_EQ(ContainerKind::kZipEntry, f.kind);
    EXPECT_EQ(depth, f.depth);
    EXPECT_EQ(Find(docx, names[k]) - 30, f.offset) << names[k];
    EXPECT_TRUE(f.complete);
  }
  EXPECT_EQ(0, std::string(found[first].bytes.begin(), found[first].bytes.end()).find("<?xml"));
  EXPECT_EQ(ReadData("png_rgba_text.png"), found[first + 2].bytes);
}

TEST(UnpackContainers, DocumentZipYieldsItsPartsAndPicture) {
  const Bytes docx = ReadData("document.docx");
  const Unpacked run = UnpackAllWindows(docx);
  ASSERT_EQ(3u, run.found.size());
  ExpectDocumentParts(run.found, 0, 1, docx);
}

TEST(UnpackContainers, PipeWrittenZipWithDataDescriptors) {
  const Unpacked run = UnpackAllWindows(ReadData("piped.zip"));
  // The stored bitmap between the two needs no decoding: the raw scan sees it.
  ASSERT_EQ(2u, run.found.size());
  EXPECT_EQ(ReadData("baseline_420.jpg"), run.found[0].bytes);
  EXPECT_EQ(ReadData("bmp_24bit.bmp"), run.found[1].bytes);
  for (const Found& f : run.found) {
    EXPECT_TRUE(f.complete) << "the CRC in the descriptor matches";
    EXPECT_EQ(1, f.depth);
  }
}

TEST(UnpackContainers, ZipAfterOtherBytes) {
  const Bytes appended = ReadData("appended.bin");
  const Unpacked run = UnpackAllWindows(appended);
  ASSERT_EQ(1u, run.found.size());
  EXPECT_EQ(1000, run.found[0].offset);
  // The entry's bytes end where the archive's central directory begins.
  EXPECT_EQ(Find(appended, "PK\x01\x02"), run.found[0].end);
  EXPECT_EQ(ReadData("png_palette.png"), run.found[0].bytes);
}

TEST(UnpackContainers, TarGzYieldsTheTar) {
  const Unpacked run = UnpackAllWindows(ReadData("images.tar.gz"));
  ASSERT_EQ(1u, run.found.size());
  EXPECT_EQ(ContainerKind::kGzipMember, run.found[0].kind);
  EXPECT_EQ(0, run.found[0].offset);
  // The member's bytes end with its trailer, at the end of the file.
  EXPECT_EQ(static_cast<std::int64_t>(ReadData("images.tar.gz").size()), run.found[0].end);
  EXPECT_TRUE(run.found[0].complete);
  EXPECT_EQ(ReadData("images.tar"), run.found[0].bytes);
}

TEST(UnpackContainers, MailWithDocumentAttachmentInCrlfAndLfLines) {
  const Bytes docx = ReadData("document.docx");
  const Bytes crlf = ReadData("mail.eml");
  std::string text(crlf.begin(), crlf.end());
  for (std::size_t at; (at = text.find("\r\n")) != std::string::npos;) text.erase(at, 1);
  for (const Bytes& mail : {crlf, ToBytes(text)}) {
    const Unpacked run = UnpackAllWindows(mail);
    ASSERT_EQ(4u, run.found.size());
    EXPECT_EQ(ContainerKind::kBase64, run.found[0].kind);
    EXPECT_EQ(1, run.found[0].depth);
    EXPECT_EQ(Find(mail, "UEsDB"), run.found[0].offset);
    EXPECT_EQ(docx, run.found[0].bytes);
    // Pre-order: the attachment, then the parts found inside it.
    ExpectDocumentParts(run.found, 1, 2, docx);
  }
}

TEST(UnpackContainers, DataUrlsInCssAndHtmlEndAtTheirDelimiters) {
  const Bytes page = ReadData("page.html");
  const Unpacked run = UnpackAllWindows(page);
  // The prose, its long word and the hex digest decode to nothing.
  ASSERT_EQ(2u, run.found.size());
  EXPECT_EQ(Find(page, "base64,") + 7, run.found[0].offset);
  // The text ends at the URL's closing parenthesis.
  EXPECT_EQ(Find(page, ") no-repeat"), run.found[0].end);
  EXPECT_EQ(ReadData("greyscale.jpg"), run.found[0].bytes);
  EXPECT_EQ(ReadData("png_palette.png"), run.found[1].bytes);
  for (const Found& f : run.found) EXPECT_EQ(ContainerKind::kBase64, f.kind);
}

TEST(UnpackContainers, TruncatedZipKeepsWhatCameBeforeTheCut) {
  const Unpacked run = UnpackAllWindows(ReadData("truncated.zip"));
  ASSERT_EQ(3u, run.found.size());
  EXPECT_TRUE(run.found[0].complete);
  EXPECT_TRUE(run.found[1].complete);
  const Found& picture = run.found[2];
  EXPECT_FALSE(picture.complete);
  EXPECT_FALSE(picture.cut) << "damage, not a limit";
  const Bytes png = ReadData("png_rgba_text.png");
  ASSERT_GT(picture.length, 100);
  ASSERT_LT(picture.length, static_cast<std::int64_t>(png.size()));
  EXPECT_TRUE(std::equal(picture.bytes.begin(), picture.bytes.end(), png.begin()));
}

// A gzip member inside a stored entry is found in the same sequence, where
// its bytes lie; one inside a deflated entry is found one level deeper.
TEST(UnpackContainers, OrderIsDepthFirstAndStoredBytesAreSearchedInPlace) {
  const Bytes png = ReadData("png_palette.png");
  const Bytes inner = Gzip(Gzip(Gzip(png)));
  Bytes input = ToBytes("leading text\n");
  Bytes stored(30, 0);  // a local header of a stored entry: method 0
  stored[0] = 'P';
  stored[1] = 'K';
  stored[2] = 3;
  stored[3] = 4;
  stored[4] = 20;
  Append(stored, Gzip(png));
  Append(input, ZipEntry("deep.gz", inner));
  const std::int64_t storedAt = static_cast<std::int64_t>(input.size());
  Append(input, stored);
  Append(input, ToBytes("trailing text\n"));

  const Unpacked run = UnpackAllWindows(input);
  ASSERT_EQ(4u, run.found.size());
  const int depths[] = {1, 2, 3, 1};
  for (int k = 0; k < 4; ++k) EXPECT_EQ(depths[k], run.found[static_cast<std::size_t>(k)].depth) << k;
  EXPECT_EQ(ContainerKind::kZipEntry, run.found[0].kind);
  EXPECT_EQ(13, run.found[0].offset);
  EXPECT_EQ(inner, run.found[0].bytes);
  EXPECT_EQ(0, run.found[1].offset);
  EXPECT_EQ(Gzip(png), run.found[2].bytes) << "depth 3 is decoded but not searched";
  EXPECT_EQ(ContainerKind::kGzipMember, run.found[3].kind);
  EXPECT_EQ(storedAt + 30, run.found[3].offset);
  EXPECT_EQ(png, run.found[3].bytes);

  qx::UnpackLimits shallow;
  shallow.maxDepth = 2;
  EXPECT_EQ(3u, UnpackBytes(input, shallow).found.size());
}

TEST(UnpackContainers, GzipFourDeepIsDecodedThreeDeep) {
  const Unpacked run = UnpackAllWindows(ReadData("nested.gz"));
  ASSERT_EQ(3u, run.found.size());
  for (int k = 0; k < 3; ++k) {
    const Found& f = run.found[static_cast<std::size_t>(k)];
    EXPECT_EQ(k + 1, f.depth);
    EXPECT_EQ(0, f.offset);
    EXPECT_TRUE(f.complete);
    ASSERT_GE(f.length, 3);
    EXPECT_EQ(0x1F, f.bytes[0]) << "still a gzip member at depth " << f.depth;
  }
}

// Through 64- and 97-byte windows, a signature or header lands across the
// edge of a view at some shift; each must still be found.
TEST(UnpackContainers, HeadersAcrossViewEdges) {
  const Bytes png = ReadData("png_palette.png");
  const Bytes member = Gzip(png);
  const Bytes entry = ZipEntry("a.png", png);
  for (int shift = 0; shift < 100; ++shift) {
    Bytes input(static_cast<std::size_t>(shift), 'x');
    Append(input, member);
    Append(input, entry);
    const Unpacked run = UnpackAllWindows(input);
    ASSERT_EQ(2u, run.found.size()) << shift;
    EXPECT_EQ(shift, run.found[0].offset);
    EXPECT_EQ(png, run.found[1].bytes);
  }
}

// Through views shorter than a reader's minimum (a source of tiny windows),
// which the reader gathers, the same streams come out as through one span.
TEST(UnpackContainers, ViewsShorterThanTheReadersMinimum) {
  for (const char* name : {"mail.eml", "piped.zip", "nested.gz", "page.html"}) {
    const Bytes input = ReadData(name);
    const Unpacked whole = UnpackBytes(input);
    ASSERT_FALSE(whole.found.empty()) << name;
    for (const std::int64_t window : {1, 3, 15}) {
      const Unpacked windowed = UnpackBytes(input, {}, window);
      EXPECT_EQ(whole.found, windowed.found) << name << " through windows of " << window;
      EXPECT_EQ(whole.summary.examinedBytes, windowed.summary.examinedBytes) << name;
    }
  }
}

}  // namespace
