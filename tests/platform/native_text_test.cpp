#include "platform/posix/native_text.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace {

using qx::plat::posix::DecodeNative;
using qx::plat::posix::EncodeNative;

std::string Bytes(std::initializer_list<int> values) {
  std::string out;
  for (const int v : values) out.push_back(static_cast<char>(v));
  return out;
}

std::wstring Escaped(const std::string& bytes) {
  std::wstring out;
  for (const char b : bytes) out.push_back(static_cast<wchar_t>(0xDC00 + static_cast<unsigned char>(b)));
  return out;
}

TEST(NativeText, DecodesValidUtf8AtEveryLengthBoundary) {
  struct Case {
    std::string bytes;
    wchar_t expected;
  };
  const std::vector<Case> cases = {
      {Bytes({0x00}), 0x00},
      {Bytes({0x7F}), 0x7F},
      {Bytes({0xC2, 0x80}), 0x80},
      {Bytes({0xC3, 0xA9}), 0xE9},
      {Bytes({0xDF, 0xBF}), 0x7FF},
      {Bytes({0xE0, 0xA0, 0x80}), 0x800},
      {Bytes({0xE2, 0x82, 0xAC}), 0x20AC},
      {Bytes({0xED, 0x9F, 0xBF}), 0xD7FF},
      {Bytes({0xEE, 0x80, 0x80}), 0xE000},
      {Bytes({0xEF, 0xBF, 0xBF}), 0xFFFF},
      {Bytes({0xF0, 0x90, 0x80, 0x80}), 0x10000},
      {Bytes({0xF0, 0x9F, 0x98, 0x80}), 0x1F600},
      {Bytes({0xF4, 0x8F, 0xBF, 0xBF}), 0x10FFFF},
  };
  for (const Case& c : cases) {
    const std::wstring decoded = DecodeNative(c.bytes);
    ASSERT_EQ(decoded.size(), 1u) << "lead byte " << int(static_cast<unsigned char>(c.bytes[0]));
    EXPECT_EQ(static_cast<std::uint32_t>(decoded[0]), static_cast<std::uint32_t>(c.expected));
    EXPECT_EQ(EncodeNative(decoded), c.bytes);
  }
  EXPECT_EQ(DecodeNative("plain/ascii name.txt"), L"plain/ascii name.txt");
}

TEST(NativeText, EscapesEveryByteOfAnInvalidSequence) {
  const std::vector<std::string> invalid = {
      Bytes({0x80}),                    // continuation without a lead
      Bytes({0xBF, 0x80}),
      Bytes({0xC0, 0x80}),              // overlong NUL
      Bytes({0xC1, 0xBF}),              // overlong
      Bytes({0xE0, 0x80, 0x80}),        // overlong three-byte
      Bytes({0xE0, 0x9F, 0xBF}),
      Bytes({0xF0, 0x80, 0x80, 0x80}),  // overlong four-byte
      Bytes({0xF0, 0x8F, 0xBF, 0xBF}),
      Bytes({0xED, 0xA0, 0x80}),        // encoded high surrogate
      Bytes({0xED, 0xB2, 0x80}),        // encoded low surrogate U+DC80 itself
      Bytes({0xED, 0xBF, 0xBF}),
      Bytes({0xF4, 0x90, 0x80, 0x80}),  // U+110000
      Bytes({0xF5, 0x80, 0x80, 0x80}),
      Bytes({0xF8, 0x88, 0x80, 0x80, 0x80}),
      Bytes({0xFE}),
      Bytes({0xFF}),
      Bytes({0xC3}),                    // truncated at the end
      Bytes({0xE2, 0x82}),
      Bytes({0xF0, 0x9F, 0x98}),
  };
  for (const std::string& bytes : invalid) {
    EXPECT_EQ(DecodeNative(bytes), Escaped(bytes)) << "first byte " << int(static_cast<unsigned char>(bytes[0]));
    EXPECT_EQ(EncodeNative(DecodeNative(bytes)), bytes);
  }
}

TEST(NativeText, RecognisesValidTextRightAfterABrokenSequence) {
  // Truncated euro sign, then ASCII; a stray byte, then a valid two-byte form.
  EXPECT_EQ(DecodeNative(Bytes({0xE2, 0x82, 'A'})), std::wstring(L"\xDCE2\xDC82") + L"A");
  EXPECT_EQ(DecodeNative(Bytes({0xFF, 0xC3, 0xA9, 'x'})), std::wstring(L"\xDCFF\x00E9x"));
  EXPECT_EQ(DecodeNative(Bytes({'a', 0xC3, 0xC3, 0xA9})), std::wstring(L"a\xDCC3\x00E9"));
}

TEST(NativeText, EncodesValuesThatDecodingNeverProducesAsReplacement) {
  const std::string replacement = Bytes({0xEF, 0xBF, 0xBD});
  EXPECT_EQ(EncodeNative(std::wstring(1, static_cast<wchar_t>(0xD800))), replacement);
  EXPECT_EQ(EncodeNative(std::wstring(1, static_cast<wchar_t>(0xDBFF))), replacement);
  EXPECT_EQ(EncodeNative(std::wstring(1, static_cast<wchar_t>(0xDC41))), replacement);  // would be an escaped ASCII byte
  EXPECT_EQ(EncodeNative(std::wstring(1, static_cast<wchar_t>(0xDD00))), replacement);
  EXPECT_EQ(EncodeNative(std::wstring(1, static_cast<wchar_t>(0x110000))), replacement);
  EXPECT_EQ(EncodeNative(std::wstring(1, static_cast<wchar_t>(-1))), replacement);
  // The edges of the escape range are single bytes again.
  EXPECT_EQ(EncodeNative(std::wstring(L"\xDC80\xDCFF")), Bytes({0x80, 0xFF}));
}

TEST(NativeText, EveryByteStringSurvivesTheRoundTrip) {
  // All strings of two bytes, exhaustively.
  std::string pair(2, '\0');
  for (int a = 0; a < 256; ++a) {
    for (int b = 0; b < 256; ++b) {
      pair[0] = static_cast<char>(a);
      pair[1] = static_cast<char>(b);
      ASSERT_EQ(EncodeNative(DecodeNative(pair)), pair) << a << "," << b;
    }
  }
  // Random longer strings, drawn mostly from the bytes that make up and
  // break multi-byte sequences.
  std::mt19937 random(20140101);
  std::uniform_int_distribution<int> length(0, 40);
  std::uniform_int_distribution<int> anyByte(0, 255);
  std::uniform_int_distribution<int> highByte(0x80, 0xF5);
  for (int round = 0; round < 20000; ++round) {
    std::string bytes;
    const int n = length(random);
    for (int i = 0; i < n; ++i) {
      bytes.push_back(static_cast<char>(random() % 4 == 0 ? anyByte(random) : highByte(random)));
    }
    ASSERT_EQ(EncodeNative(DecodeNative(bytes)), bytes) << "round " << round;
  }
}

TEST(NativeText, WideTextOfScalarValuesSurvivesTheRoundTrip) {
  std::mt19937 random(7);
  std::uniform_int_distribution<std::uint32_t> scalar(1, 0x10FFFF - 0x800);
  for (int round = 0; round < 2000; ++round) {
    std::wstring text;
    for (int i = 0; i < 16; ++i) {
      std::uint32_t c = scalar(random);
      if (c >= 0xD800) c += 0x800;  // skip the surrogates
      text.push_back(static_cast<wchar_t>(c));
    }
    ASSERT_EQ(DecodeNative(EncodeNative(text)), text) << "round " << round;
  }
}

}  // namespace
