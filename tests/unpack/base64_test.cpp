// Which base64 text is decoded: the shapes mail, PEM, data: URLs and JSON
// give it, decoded exactly; text that only looks like it, passed over.
#include <gtest/gtest.h>

#include <string>

#include "unpack_helpers.h"

namespace {

using namespace qx::testunpack;

std::string Base64(const Bytes& data) {
  static const char* kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (std::size_t k = 0; k < data.size(); k += 3) {
    std::uint32_t group = static_cast<std::uint32_t>(data[k]) << 16;
    if (k + 1 < data.size()) group |= static_cast<std::uint32_t>(data[k + 1]) << 8;
    if (k + 2 < data.size()) group |= data[k + 2];
    for (std::size_t c = 0; c < 4; ++c) {
      out += k + c <= data.size() ? kAlphabet[(group >> (18 - 6 * c)) & 63] : '=';
    }
  }
  return out;
}

// Lines of `width` characters, each line break followed by `indent`.
std::string Wrap(const std::string& text, std::size_t width, const std::string& lineBreak,
                 const std::string& indent) {
  std::string out;
  for (std::size_t k = 0; k < text.size(); k += width) {
    if (k > 0) out += lineBreak + indent;
    out += text.substr(k, width);
  }
  return out;
}

Bytes Image(std::size_t size) {
  Bytes png = ReadData("png_rgba_text.png");
  png.resize(size);
  return png;
}

TEST(UnpackBase64, MailAndPemBodiesDecodeExactly) {
  for (const std::size_t width : {76, 64}) {
    for (const std::string lineBreak : {"\r\n", "\n", "\r"}) {
      for (const std::string indent : {"", "  ", "\t"}) {
        for (const std::size_t size : {999, 998, 997}) {  // padded with none, one, two '='
          const Bytes data = Image(size);
          const std::string head = "Content-Transfer-Encoding: base64" + lineBreak + lineBreak + indent;
          const std::string text =
              head + Wrap(Base64(data), width, lineBreak, indent) + lineBreak + "--end" + lineBreak;
          const Unpacked run = UnpackAllWindows(ToBytes(text));
          ASSERT_EQ(1u, run.found.size()) << width << " " << size << " [" << indent << "]";
          EXPECT_EQ(static_cast<std::int64_t>(head.size()), run.found[0].offset);
          EXPECT_EQ(data, run.found[0].bytes);
          EXPECT_TRUE(run.found[0].complete);
        }
      }
    }
  }
}

TEST(UnpackBase64, SingleLinesEndAtTheirDelimiters) {
  // Longer than any wrapped line: what follows a line break is not its tail.
  const Bytes data = Image(999);
  for (const std::string end : {"\"", "'", ")", "\\n\"", "<", "\n", ""}) {
    const std::string text = "{\"icon\": \"data:image/png;base64," + Base64(data) + end + " more";
    const Unpacked run = UnpackAllWindows(ToBytes(text));
    ASSERT_EQ(1u, run.found.size()) << end;
    EXPECT_EQ(data, run.found[0].bytes);
  }
  // The shortest line decoded: 64 characters, 48 bytes.
  const std::string shortest = Base64(Image(48));
  EXPECT_EQ(1u, UnpackBytes(ToBytes("(" + shortest + ")")).found.size());
  EXPECT_TRUE(UnpackBytes(ToBytes("(" + shortest.substr(1) + ")")).found.empty());
}

TEST(UnpackBase64, ALongerLineStartsAnotherBlock) {
  const Bytes first = Image(300);
  const Bytes second = Image(900);
  const std::string text =
      Wrap(Base64(first), 64, "\n", "") + "\n" + Wrap(Base64(second), 76, "\n", "") + "\n";
  const Unpacked run = UnpackAllWindows(ToBytes(text));
  ASSERT_EQ(2u, run.found.size());
  EXPECT_EQ(first, run.found[0].bytes);
  EXPECT_EQ(second, run.found[1].bytes);
}

TEST(UnpackBase64, TextThatOnlyLooksLikeBase64IsPassedOver) {
  std::vector<std::string> texts;
  // Prose, with its longest words, and identifiers of code.
  texts.push_back(
      "Antidisestablishmentarianism and floccinaucinihilipilification are long words;\n"
      "pneumonoultramicroscopicsilicovolcanoconiosis is longer still, but none is 64.\n");
  texts.push_back("static_cast<std::uint8_t>(AbstractSingletonProxyFactoryBeanDefinitionRegistryPostProcessor);\n");
  // Hex: a dump of 60-digit lines and a list of digests.
  std::string hex;
  std::string digests;
  std::string dna;
  for (int line = 0; line < 200; ++line) {
    std::string h;
    std::string d;
    for (int c = 0; c < 64; ++c) h += "0123456789abcdef"[(line * 31 + c * 7 + c * c) % 16];
    for (int c = 0; c < 60; ++c) d += "ACGT"[(line * 13 + c * 5 + c * c / 3) % 4];
    hex += h.substr(0, 60) + "\n";
    digests += "sha256:" + h + "\n";
    dna += d + "\n";
  }
  texts.push_back(hex);
  texts.push_back(digests);
  texts.push_back(dna);
  texts.push_back(std::string(5000, 'A'));
  // The project's own sources.
  for (const std::string name : {"../../scanners/FindPngs.cpp", "../../support/StringHelper.cpp", "README.md"}) {
    const Bytes source = ReadData(name);
    ASSERT_GT(source.size(), 1000u) << name;
    texts.emplace_back(source.begin(), source.end());
  }
  for (const std::string& text : texts) {
    EXPECT_TRUE(UnpackAllWindows(ToBytes(text)).found.empty()) << text.substr(0, 80);
  }
}

}  // namespace
