#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "report/Report.h"

namespace {

using namespace qx::report;

constexpr Form kJson = Form::kJsonLines;

std::array<std::uint8_t, 32> CountingDigest() {
  std::array<std::uint8_t, 32> digest{};
  for (std::size_t i = 0; i < digest.size(); ++i) digest[i] = static_cast<std::uint8_t>(i);
  return digest;
}

ErrorRecord ErrorAt(std::wstring path) { return ErrorRecord{std::move(path), L"no such file"}; }

// The JSON string the error record above writes for `path`.
std::string PathInErrorLine(const std::string& line) {
  const std::string head = "{\"type\":\"error\",\"path\":\"";
  const std::string tail = "\",\"error\":\"no such file\"}\n";
  if (line.compare(0, head.size(), head) != 0 || line.size() < head.size() + tail.size() ||
      line.compare(line.size() - tail.size(), tail.size(), tail) != 0) {
    return "<not an error line: " + line + ">";
  }
  return line.substr(head.size(), line.size() - head.size() - tail.size());
}

TEST(JsonLines, RunRecord) {
  const RunRecord run{L"quarrix", L"1.02", 1796705285, {L"-extract=ALL", L"x.bin"}};
  EXPECT_EQ(
      "{\"type\":\"run\",\"program\":\"quarrix\",\"version\":\"1.02\","
      "\"started\":\"2026-12-08T04:48:05Z\",\"arguments\":[\"-extract=ALL\",\"x.bin\"]}\n",
      Begin(kJson, run));
  const RunRecord bare{L"quarrix", L"1.02", 0, {}};
  EXPECT_EQ(
      "{\"type\":\"run\",\"program\":\"quarrix\",\"version\":\"1.02\","
      "\"started\":\"1970-01-01T00:00:00Z\",\"arguments\":[]}\n",
      Begin(kJson, bare));
  EXPECT_EQ("", End(kJson));
}

TEST(JsonLines, ImageRecordWithNothingOptional) {
  ImageRecord image;
  image.source = L"x.bin";
  image.offset = 16;
  image.length = 58;
  EXPECT_EQ(
      "{\"type\":\"image\",\"source\":\"x.bin\",\"offset\":16,\"length\":58,\"kind\":\"bmp\","
      "\"output\":null,\"sha256\":null}\n",
      Record(kJson, image));
  image.kind = "jpg";
  image.output = L"x_000.jpg";
  image.sha256 = CountingDigest();
  image.offset = 9'000'000'000;  // past 32 bits
  EXPECT_EQ(
      "{\"type\":\"image\",\"source\":\"x.bin\",\"offset\":9000000000,\"length\":58,\"kind\":\"jpg\","
      "\"output\":\"x_000.jpg\","
      "\"sha256\":\"000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f\"}\n",
      Record(kJson, image));
}

TEST(JsonLines, ImageRecordWithEveryMemberInOrder) {
  ImageRecord image;
  image.source = L"/data/a.docx";
  image.offset = 77;
  image.length = 1234;
  image.kind = "png";
  image.output = L"/data/a_000.png";
  image.sha256 = CountingDigest();
  image.width = 640;
  image.height = -480;  // a bitmap stored top-down
  image.within = {{ContainerKind::kZip, 123, "word/media/image1.png"},
                  {ContainerKind::kGzip, 0, "a gzip member's name is not written"},
                  {ContainerKind::kBase64, 77, ""}};
  image.resource = Resource{{false, 2, u""}, {true, 0, u"LOGO"}, 1033};
  image.duplicateOf = L"/data/a_001.png";
  EXPECT_EQ(
      "{\"type\":\"image\",\"source\":\"/data/a.docx\",\"offset\":77,\"length\":1234,\"kind\":\"png\","
      "\"output\":\"/data/a_000.png\","
      "\"sha256\":\"000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f\","
      "\"width\":640,\"height\":-480,"
      "\"within\":[{\"kind\":\"zip\",\"offset\":123,\"name\":\"word/media/image1.png\"},"
      "{\"kind\":\"gzip\",\"offset\":0},{\"kind\":\"base64\",\"offset\":77}],"
      "\"resource\":{\"type\":2,\"name\":\"LOGO\",\"language\":1033},"
      "\"duplicate_of\":\"/data/a_001.png\"}\n",
      Record(kJson, image));

  // Each optional member alone; a resource of a named type and a number.
  ImageRecord some;
  some.source = L"p.exe";
  some.length = 8;
  some.kind = "png";
  some.height = 3;
  some.resource = Resource{{true, 0, u"PNG"}, {false, 101, u"unused"}, 0};
  EXPECT_EQ(
      "{\"type\":\"image\",\"source\":\"p.exe\",\"offset\":0,\"length\":8,\"kind\":\"png\","
      "\"output\":null,\"sha256\":null,\"height\":3,"
      "\"resource\":{\"type\":\"PNG\",\"id\":101,\"language\":0}}\n",
      Record(kJson, some));
  ImageRecord zipOnly;
  zipOnly.source = L"z";
  zipOnly.within = {{ContainerKind::kZip, 0, ""}};  // a zip entry's name, even empty
  EXPECT_EQ(
      "{\"type\":\"image\",\"source\":\"z\",\"offset\":0,\"length\":0,\"kind\":\"bmp\","
      "\"output\":null,\"sha256\":null,\"within\":[{\"kind\":\"zip\",\"offset\":0,\"name\":\"\"}]}\n",
      Record(kJson, zipOnly));
}

TEST(JsonLines, FileErrorAndSummaryRecords) {
  EXPECT_EQ("{\"type\":\"file\",\"source\":\"x.bin\",\"size\":200000000,\"scanned\":100000000,\"images\":3}\n",
            Record(kJson, FileRecord{L"x.bin", 200'000'000, 100'000'000, 3}));
  EXPECT_EQ("{\"type\":\"error\",\"path\":\"y.bin\",\"error\":\"Permission denied\"}\n",
            Record(kJson, ErrorRecord{L"y.bin", L"Permission denied"}));
  EXPECT_EQ(
      "{\"type\":\"summary\",\"files\":2,\"bytes\":300000000,\"images\":3,\"duplicates\":1,"
      "\"errors\":1,\"seconds\":12.345}\n",
      Record(kJson, SummaryRecord{2, 300'000'000, 3, 1, 1, 12.345}));
}

TEST(JsonLines, SecondsHaveThreePlaces) {
  struct Case {
    double seconds;
    const char* text;
  };
  const Case cases[] = {
      {0, "0.000"},         {0.125, "0.125"},          {12, "12.000"},
      {1.9996, "2.000"},    {0.0004, "0.000"},         {3600.5, "3600.500"},
      {-1, "0.000"},        {std::nan(""), "0.000"},   {HUGE_VAL, "0.000"},
      {1e300, "9000000000000000.000"},
  };
  for (const Case& c : cases) {
    const std::string line = Record(kJson, SummaryRecord{0, 0, 0, 0, 0, c.seconds});
    EXPECT_EQ(std::string("\"seconds\":") + c.text + "}\n", line.substr(line.find("\"seconds\""))) << c.seconds;
  }
}

TEST(JsonLines, EscapesQuotesBackslashesAndEveryControlCharacter) {
  const std::wstring path = std::wstring(L"q\"b\\s") + L'\x01' + L"\b\t\n\f\r" + L'\x1f' + L'\x7f' +
                            L'\x80' + L'\x9f' + L'\xa0' + L"\u00e9\u2028\u2029\u20ac\U0001F600";
  EXPECT_EQ(
      "q\\\"b\\\\s\\u0001\\b\\t\\n\\f\\r\\u001f\\u007f\\u0080\\u009f"
      "\xc2\xa0\xc3\xa9\\u2028\\u2029\xe2\x82\xac\xf0\x9f\x98\x80",
      PathInErrorLine(Record(kJson, ErrorAt(path))));
}

TEST(JsonLines, WritesWhatIsNotTextInJsonsOwnEscapes) {
  // A POSIX name's undecodable bytes (U+DC80 + byte) and a Windows name's lone
  // low surrogates are the same escapes.
  const std::wstring path = std::wstring(L"a") + L'\xDC80' + L'\xDCFF' + L"b";
  EXPECT_EQ("a\\udc80\\udcffb", PathInErrorLine(Record(kJson, ErrorAt(path))));

  // A zip entry's name is bytes: valid UTF-8 as it is, every other byte as
  // surrogateescape writes it (a truncated sequence, an encoded surrogate, an
  // overlong form, a value past U+10FFFF).
  ImageRecord image;
  image.source = L"s";
  image.within = {{ContainerKind::kZip, 0, "ok\xff\xc3\xa9\xe2\x82\xed\xa0\x80\xc0\xaf\xf4\x90\x80\x80!"}};
  const std::string line = Record(kJson, image);
  EXPECT_NE(std::string::npos,
            line.find("\"name\":\"ok\\udcff\xc3\xa9\\udce2\\udc82\\udced\\udca0\\udc80"
                      "\\udcc0\\udcaf\\udcf4\\udc90\\udc80\\udc80!\"")) << line;

  // Resource names are UTF-16 everywhere: pairs join, lone surrogates stay.
  image.within.clear();
  image.resource = Resource{{true, 0, std::u16string(u"T") + char16_t(0xDBFF)},
                            {true, 0, std::u16string(u"A") + char16_t(0xDFFF) + char16_t(0xD800) +
                                          u"B" + char16_t(0xD83D) + char16_t(0xDE00)},
                            7};
  const std::string resourceLine = Record(kJson, image);
  EXPECT_NE(std::string::npos, resourceLine.find("\"resource\":{\"type\":\"T\\udbff\",\"name\":"
                                                 "\"A\\udfff\\ud800B\xf0\x9f\x98\x80\",\"language\":7}"))
      << resourceLine;
}

TEST(JsonLines, WideTextThatNoNameCanHold) {
  if (sizeof(wchar_t) == 2) {
    // UTF-16: a high surrogate without its low half is lone; a pair is one character.
    const std::wstring path = std::wstring(1, wchar_t(0xD800)) + L"x" + wchar_t(0xD83D) + wchar_t(0xDE00);
    EXPECT_EQ("\\ud800x\xf0\x9f\x98\x80", PathInErrorLine(Record(kJson, ErrorAt(path))));
  } else {
    // UTF-32: surrogates other than U+DC80..U+DCFF, and values past
    // U+10FFFF, are U+FFFD, the name the platform layer gives the file.
    const std::wstring path = std::wstring(1, wchar_t(0xD800)) + wchar_t(0xDC7F) +
                              wchar_t(0xDD00) + wchar_t(0x110000) + wchar_t(0x10FFFF);
    EXPECT_EQ("\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xf4\x8f\xbf\xbf",
              PathInErrorLine(Record(kJson, ErrorAt(path))));
  }
}

}  // namespace
