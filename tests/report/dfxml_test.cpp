#include <gtest/gtest.h>

#include <string>

#include "report/Report.h"

namespace {

using namespace qx::report;

constexpr Form kXml = Form::kDfxml;

std::array<std::uint8_t, 32> CountingDigest() {
  std::array<std::uint8_t, 32> digest{};
  for (std::size_t i = 0; i < digest.size(); ++i) digest[i] = static_cast<std::uint8_t>(i);
  return digest;
}

// The error record's path element as written.
std::string PathElement(const std::wstring& path) {
  const std::string record = Record(kXml, ErrorRecord{path, L"e"});
  const auto from = record.find("<quarrix:path");
  const auto to = record.find("</quarrix:path>");
  if (from == std::string::npos || to == std::string::npos) return "<no path in: " + record + ">";
  return record.substr(from, to + 15 - from);
}

TEST(Dfxml, PrologueNamesTheProgramTheCommandLineAndTheStart) {
  const RunRecord run{L"quarrix", L"1.02", 1796705285,
                      {L"-extract=ALL", L"my file.bin", L"", L"say \"hi\"", L"a\\b"}};
  EXPECT_EQ(
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<dfxml xmlns=\"http://www.forensicswiki.org/wiki/Category:Digital_Forensics_XML\" "
      "xmlns:dc=\"http://purl.org/dc/elements/1.1/\" xmlns:quarrix=\"urn:quarrix:report:1\" "
      "version=\"1.0\">\n"
      "  <metadata>\n"
      "    <dc:type>Image Report</dc:type>\n"
      "  </metadata>\n"
      "  <creator version=\"1.0\">\n"
      "    <program>quarrix</program>\n"
      "    <version>1.02</version>\n"
      "    <execution_environment>\n"
      "      <command_line>quarrix -extract=ALL \"my file.bin\" \"\" \"say \\\"hi\\\"\" a\\b</command_line>\n"
      "      <start_time>2026-12-08T04:48:05Z</start_time>\n"
      "      <quarrix:argument>-extract=ALL</quarrix:argument>\n"
      "      <quarrix:argument>my file.bin</quarrix:argument>\n"
      "      <quarrix:argument></quarrix:argument>\n"
      "      <quarrix:argument>say \"hi\"</quarrix:argument>\n"
      "      <quarrix:argument>a\\b</quarrix:argument>\n"
      "    </execution_environment>\n"
      "  </creator>\n",
      Begin(kXml, run));
  EXPECT_EQ("</dfxml>\n", End(kXml));
}

TEST(Dfxml, ImageWrittenFromTheSourcesOwnBytes) {
  ImageRecord image;
  image.source = L"/data/x.bin";
  image.offset = 16;
  image.length = 58;
  image.output = L"/data/x_000.bmp";
  image.sha256 = CountingDigest();
  image.width = 2;
  image.height = -2;
  image.duplicateOf = L"/data/y_000.bmp";
  EXPECT_EQ(
      "  <fileobject>\n"
      "    <filename>/data/x_000.bmp</filename>\n"
      "    <filesize>58</filesize>\n"
      "    <byte_runs>\n"
      "      <byte_run offset=\"0\" img_offset=\"16\" len=\"58\"/>\n"
      "    </byte_runs>\n"
      "    <hashdigest type=\"sha256\">000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f</hashdigest>\n"
      "    <quarrix:image kind=\"bmp\" offset=\"16\" written=\"true\" width=\"2\" height=\"-2\"/>\n"
      "    <quarrix:source>\n"
      "      <quarrix:path>/data/x.bin</quarrix:path>\n"
      "    </quarrix:source>\n"
      "    <quarrix:duplicate_of>/data/y_000.bmp</quarrix:duplicate_of>\n"
      "  </fileobject>\n",
      Record(kXml, image));
}

TEST(Dfxml, ImageDecodedFromContainersAndNotWritten) {
  ImageRecord image;
  image.source = L"/data/a.docx";
  image.offset = 0;
  image.length = 300;
  image.kind = "png";
  image.within = {{ContainerKind::kZip, 1234, "word/media/image1.png"},
                  {ContainerKind::kGzip, 5, "not written"},
                  {ContainerKind::kBase64, 77, ""}};
  image.resource = Resource{{true, 0, u"PNG"}, {true, 0, u"LOGO"}, 1033};
  EXPECT_EQ(
      "  <fileobject>\n"
      "    <filename>/data/a.docx@1234:zip:word/media/image1.png@5:gzip@77:base64@0.png</filename>\n"
      "    <filesize>300</filesize>\n"
      "    <byte_runs>\n"
      "      <byte_run offset=\"0\" len=\"300\"/>\n"
      "    </byte_runs>\n"
      "    <quarrix:image kind=\"png\" offset=\"0\" written=\"false\"/>\n"
      "    <quarrix:source>\n"
      "      <quarrix:path>/data/a.docx</quarrix:path>\n"
      "      <quarrix:container kind=\"zip\" offset=\"1234\">\n"
      "        <quarrix:name>word/media/image1.png</quarrix:name>\n"
      "      </quarrix:container>\n"
      "      <quarrix:container kind=\"gzip\" offset=\"5\"/>\n"
      "      <quarrix:container kind=\"base64\" offset=\"77\"/>\n"
      "      <quarrix:resource language=\"1033\">\n"
      "        <quarrix:type>PNG</quarrix:type>\n"
      "        <quarrix:name>LOGO</quarrix:name>\n"
      "      </quarrix:resource>\n"
      "    </quarrix:source>\n"
      "  </fileobject>\n",
      Record(kXml, image));

  ImageRecord numbered;
  numbered.source = L"p.exe";
  numbered.offset = 4096;
  numbered.length = 40;
  numbered.kind = "jpg";
  numbered.resource = Resource{{false, 10, u""}, {false, 101, u""}, 0};
  const std::string record = Record(kXml, numbered);
  EXPECT_NE(std::string::npos, record.find("    <filename>p.exe@4096.jpg</filename>\n")) << record;
  EXPECT_NE(std::string::npos, record.find("      <quarrix:resource type=\"10\" id=\"101\" language=\"0\"/>\n"))
      << record;
}

TEST(Dfxml, FileErrorAndSummaryRecords) {
  EXPECT_EQ(
      "  <quarrix:file size=\"200000000\" scanned=\"100000000\" images=\"3\">\n"
      "    <quarrix:path>x.bin</quarrix:path>\n"
      "  </quarrix:file>\n",
      Record(kXml, FileRecord{L"x.bin", 200'000'000, 100'000'000, 3}));
  EXPECT_EQ(
      "  <quarrix:error>\n"
      "    <quarrix:path>y.bin</quarrix:path>\n"
      "    <quarrix:message>Permission denied</quarrix:message>\n"
      "  </quarrix:error>\n",
      Record(kXml, ErrorRecord{L"y.bin", L"Permission denied"}));
  EXPECT_EQ(
      "  <quarrix:summary files=\"2\" bytes=\"300000000\" images=\"3\" duplicates=\"1\" errors=\"1\" "
      "seconds=\"0.250\"/>\n",
      Record(kXml, SummaryRecord{2, 300'000'000, 3, 1, 1, 0.25}));
}

TEST(Dfxml, TextXmlCanHoldIsWrittenAsItIs) {
  EXPECT_EQ("<quarrix:path>a&amp;b&lt;c&gt;d%41 \"e' \xc3\xa9\xe2\x80\xa8</quarrix:path>",
            PathElement(L"a&b<c>d%41 \"e' \u00e9\u2028"));
}

TEST(Dfxml, OtherTextIsPercentEncoded) {
  EXPECT_EQ("<quarrix:path encoding=\"percent\">a%25b%09%0A%0D%01%7F%C2%85%EF%BF%BE%EF%BF%BF&amp;\xc3\xa9</quarrix:path>",
            PathElement(std::wstring(L"a%b\t\n\r") + L'\x01' + L'\x7f' + L'\x85' + L'\xfffe' +
                        L'\xffff' + L"&\u00e9"));
  // A POSIX name's undecodable byte is that byte; a Windows name's lone
  // surrogate is its three-byte form.
  const std::wstring odd = std::wstring(L"n") + L'\xDCFF';
  EXPECT_EQ(sizeof(wchar_t) == 2 ? "<quarrix:path encoding=\"percent\">n%ED%B3%BF</quarrix:path>"
                                 : "<quarrix:path encoding=\"percent\">n%FF</quarrix:path>",
            PathElement(odd));

  ImageRecord image;
  image.source = L"s";
  image.within = {{ContainerKind::kZip, 0, "\xff%\xc3\xa9"}};
  image.resource = Resource{{true, 0, std::u16string(u"T") + char16_t(0xD800)}, {false, 1, u""}, 0};
  const std::string record = Record(kXml, image);
  EXPECT_NE(std::string::npos,
            record.find("<filename encoding=\"percent\">s@0:zip:%FF%25\xc3\xa9@0.bmp</filename>"))
      << record;
  EXPECT_NE(std::string::npos, record.find("<quarrix:name encoding=\"percent\">%FF%25\xc3\xa9</quarrix:name>"))
      << record;
  EXPECT_NE(std::string::npos, record.find("<quarrix:type encoding=\"percent\">T%ED%A0%80</quarrix:type>"))
      << record;
}

}  // namespace
