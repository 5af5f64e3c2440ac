// Reports with odd names read back by real parsers: Python's json and its
// XML parser (expat), and xmllint where it is installed. They run as child
// processes of the POSIX build; where they are missing the tests say so and
// skip.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/testing.h"
#include "platform/testing_fs.h"
#include "report/Report.h"

namespace {

namespace fs = std::filesystem;
using namespace qx::report;

// The parsers are programs of the build machine, which a Windows build
// cannot start: the POSIX build runs these tests.
std::string SkipReason(const char* what) {
  return qx::plat::kHasDrives ? std::string("the POSIX build checks ") + what + " with python3"
                              : std::string("python3 not found: ") + what + " not checked by a parser";
}

std::string FindProgram(const char* name) {
  if (qx::plat::kHasDrives) return {};
  const char* path = std::getenv("PATH");
  std::stringstream dirs(path != nullptr ? path : "");
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    if (dir.empty()) continue;
    const fs::path candidate = fs::path(dir) / name;
    std::error_code error;
    if (fs::is_regular_file(candidate, error)) return candidate.string();
  }
  return {};
}

class Scratch {
 public:
  Scratch() : dir_(fs::temp_directory_path() / ("qx-report-" + std::to_string(std::rand()) + "-" +
                                                std::to_string(reinterpret_cast<std::uintptr_t>(this)))) {
    fs::create_directories(dir_);
  }
  ~Scratch() {
    std::error_code error;
    fs::remove_all(dir_, error);
  }
  std::string Write(const std::string& name, const std::string& bytes) const {
    const fs::path path = dir_ / name;
    std::ofstream(path, std::ios::binary) << bytes;
    return path.string();
  }

 private:
  fs::path dir_;
};

std::string Hex(const std::string& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (const char c : bytes) {
    out += kDigits[static_cast<unsigned char>(c) >> 4];
    out += kDigits[static_cast<unsigned char>(c) & 15];
  }
  return out;
}

// Names as the system holds them: bytes, many not UTF-8 at all.
const std::vector<std::string>& OddNames() {
  static const std::vector<std::string> names = {
      "plain.bin",
      "quote\"back\\slash'",
      std::string("ctl\x01\t\n\r\x1f\x7f\x1b[31m", 14) + "\xc2\x85\xc2\x9f",
      std::string("nul\0inside", 10),
      "caf\xc3\xa9 \xe6\x97\xa5\xe6\x9c\xac \xf0\x9f\x98\x80 \xe2\x80\xa8\xe2\x80\xa9 \xef\xbf\xbe\xef\xbf\xbf",
      "bad\xff\xfe\x80",
      "surrogate\xed\xa0\x80\xed\xb2\x80",
      "overlong\xc0\xaf truncated\xe2\x82",
      "100%25 & <tag> ]]> %",
      "%",
  };
  return names;
}

// Resource names are UTF-16 with lone surrogates allowed, and their bytes in
// the DFXML form are UTF-8 keeping each lone surrogate's three-byte form.
struct Utf16Name {
  std::u16string units;
  std::string json;      // as the JSON reader shows it (see kJsonReader)
  std::string bytesHex;  // the DFXML form's bytes
};

const std::vector<Utf16Name>& OddResourceNames() {
  static const std::vector<Utf16Name> names = {
      {u"LOGO", "b4c4f474f", "4c4f474f"},
      {std::u16string(u"A") + char16_t(0xD800) + u"B", "u410000d84200", "41eda08042"},
      {std::u16string(1, char16_t(0xDFFF)) + char16_t(0xD83D), "uffdf3dd8", "edbfbfeda0bd"},
      {std::u16string(1, char16_t(0xD83D)) + char16_t(0xDE00), "bf09f9880", "f09f9880"},
  };
  return names;
}

qx::plat::testing::ChildResult Python(const std::string& python, const std::string& script,
                                      const std::vector<std::string>& files) {
  std::vector<std::string> argv = {python, "-c", script};
  argv.insert(argv.end(), files.begin(), files.end());
  qx::plat::testing::RunOptions options;
  options.timeoutSeconds = 120;
  return qx::plat::testing::RunProgram(argv, "/", options);
}

// Prints every string of every record: "b" and the bytes os.fsencode makes
// of it, or "u" and its UTF-16 (lone surrogates kept) where it has none.
const char* kJsonReader = R"(
import json, os, sys
assert sys.getfilesystemencoding() == 'utf-8', sys.getfilesystemencoding()
data = open(sys.argv[1], 'rb').read()
assert data.endswith(b'\n')
def show(v):
    if isinstance(v, str):
        try:
            return 'b' + os.fsencode(v).hex()
        except UnicodeError:
            return 'u' + v.encode('utf-16-le', 'surrogatepass').hex()
    if isinstance(v, list):
        return '[' + ' '.join(show(x) for x in v) + ']'
    if isinstance(v, dict):
        return '{' + ' '.join(k + '=' + show(x) for k, x in v.items()) + '}'
    return json.dumps(v)
for raw in data[:-1].split(b'\n'):
    print(show(json.loads(raw.decode('utf-8'))))
)";

std::string B(const std::string& bytes) { return "b" + Hex(bytes); }

TEST(ParserRoundTrip, JsonLinesGiveBackEveryNameExactly) {
  const std::string python = FindProgram("python3");
  if (python.empty()) GTEST_SKIP() << SkipReason("JSON Lines");

  std::string report;
  std::vector<std::string> expected;
  RunRecord run{L"quarrix", L"1.02", 1796705285, {}};
  std::string arguments;
  for (const std::string& name : OddNames()) {
    run.arguments.push_back(qx::plat::testing::WidePath(name));
    arguments += (arguments.empty() ? "" : " ") + B(name);
  }
  report += Begin(Form::kJsonLines, run);
  expected.push_back("{type=" + B("run") + " program=" + B("quarrix") + " version=" + B("1.02") +
                     " started=" + B("2026-12-08T04:48:05Z") + " arguments=[" + arguments + "]}");
  for (const std::string& name : OddNames()) {
    const std::wstring wide = qx::plat::testing::WidePath(name);
    ImageRecord image;
    image.source = wide;
    image.offset = 1;
    image.length = 2;
    image.output = wide + L"_000.png";
    image.kind = "png";
    image.within = {{ContainerKind::kZip, 3, name}};
    image.duplicateOf = wide;
    report += Record(Form::kJsonLines, image);
    expected.push_back("{type=" + B("image") + " source=" + B(name) + " offset=1 length=2 kind=" + B("png") +
                       " output=" + B(name + "_000.png") + " sha256=null within=[{kind=" + B("zip") +
                       " offset=3 name=" + B(name) + "}] duplicate_of=" + B(name) + "}");
    report += Record(Form::kJsonLines, ErrorRecord{wide, wide});
    expected.push_back("{type=" + B("error") + " path=" + B(name) + " error=" + B(name) + "}");
  }
  for (const Utf16Name& name : OddResourceNames()) {
    ImageRecord image;
    image.source = L"p.exe";
    image.resource = Resource{{true, 0, name.units}, {true, 0, name.units}, 1033};
    report += Record(Form::kJsonLines, image);
    expected.push_back("{type=" + B("image") + " source=" + B("p.exe") + " offset=0 length=0 kind=" +
                       B("bmp") + " output=null sha256=null resource={type=" + name.json +
                       " name=" + name.json + " language=1033}}");
  }
  report += Record(Form::kJsonLines, SummaryRecord{1, 2, 3, 4, 5, 6.5});
  expected.push_back("{type=" + B("summary") + " files=1 bytes=2 images=3 duplicates=4 errors=5 seconds=6.5}");

  Scratch scratch;
  const auto result = Python(python, kJsonReader, {scratch.Write("report.jsonl", report)});
  ASSERT_EQ(0, result.exitCode) << result.err;
  std::stringstream lines(result.out);
  std::string line;
  for (const std::string& want : expected) {
    ASSERT_TRUE(std::getline(lines, line)) << "missing: " << want;
    EXPECT_EQ(want, line);
  }
  EXPECT_FALSE(std::getline(lines, line)) << "extra: " << line;
}

// Parses each document given; for the last one prints, for every element
// that holds text, its name and the bytes it stands for (percent-decoded when
// it says so).
const char* kXmlReader = R"(
import sys, xml.dom.minidom
DFXML = 'http://www.forensicswiki.org/wiki/Category:Digital_Forensics_XML'
QX = 'urn:quarrix:report:1'
docs = [xml.dom.minidom.parse(path) for path in sys.argv[1:]]
for doc in docs:
    root = doc.documentElement
    assert root.namespaceURI == DFXML and root.localName == 'dfxml', root.tagName
def decode(e):
    text = ''.join(n.data for n in e.childNodes if n.nodeType == n.TEXT_NODE)
    raw = text.encode('utf-8')
    if e.getAttribute('encoding') == 'percent':
        out, i = bytearray(), 0
        while i < len(raw):
            if raw[i] == 0x25:
                out.append(int(raw[i + 1:i + 3], 16))
                i += 3
            else:
                out.append(raw[i])
                i += 1
        raw = bytes(out)
    else:
        assert not e.hasAttribute('encoding')
    return raw.hex()
def walk(e):
    for child in e.childNodes:
        if child.nodeType != child.ELEMENT_NODE:
            continue
        if any(n.nodeType == n.ELEMENT_NODE for n in child.childNodes):
            walk(child)
        else:
            ns = {DFXML: '', QX: 'quarrix:'}.get(child.namespaceURI, '?')
            print(ns + child.localName, decode(child))
walk(docs[-1].documentElement)
)";

TEST(ParserRoundTrip, DfxmlIsWellFormedAfterEveryRecordAndGivesBackEveryName) {
  const std::string python = FindProgram("python3");
  if (python.empty()) GTEST_SKIP() << SkipReason("DFXML");

  auto text = [](const std::string& element, const std::string& bytes) {
    return element + " " + Hex(bytes);
  };
  RunRecord run{L"quarrix", L"1.02", 1796705285, {}};
  std::vector<std::string> expected = {text("dc:type", "Image Report"), text("program", "quarrix"),
                                       text("version", "1.02")};
  std::string commandLine = "quarrix";
  std::vector<std::string> argumentLines;
  for (const std::string& name : OddNames()) {
    run.arguments.push_back(qx::plat::testing::WidePath(name));
    argumentLines.push_back(text("quarrix:argument", name));
    std::string quoted;
    bool quote = name.find_first_of(" \t\"") != std::string::npos;
    for (const char c : name) {
      if (c == '"' || c == '\\') quoted += '\\';
      quoted += c;
    }
    commandLine += " " + (quote ? "\"" + quoted + "\"" : name);
  }
  // dc:type sits in metadata, a namespace of its own.
  expected[0] = "?type " + Hex("Image Report");
  expected.push_back(text("command_line", commandLine));
  expected.push_back(text("start_time", "2026-12-08T04:48:05Z"));
  expected.insert(expected.end(), argumentLines.begin(), argumentLines.end());

  std::vector<std::string> records;
  for (const std::string& name : OddNames()) {
    const std::wstring wide = qx::plat::testing::WidePath(name);
    ImageRecord image;
    image.source = wide;
    image.offset = 1;
    image.length = 2;
    image.output = wide + L"_000.png";
    image.kind = "png";
    image.within = {{ContainerKind::kZip, 3, name}};
    image.duplicateOf = wide;
    image.sha256 = std::array<std::uint8_t, 32>{};
    records.push_back(Record(Form::kDfxml, image));
    expected.insert(expected.end(),
                    {text("filename", name + "_000.png"), text("filesize", "2"), text("byte_run", ""),
                     text("hashdigest", std::string(64, '0')), text("quarrix:image", ""),
                     text("quarrix:path", name), text("quarrix:name", name),
                     text("quarrix:duplicate_of", name)});
    image.output.reset();  // described instead
    records.push_back(Record(Form::kDfxml, image));
    expected.insert(expected.end(),
                    {text("filename", name + "@3:zip:" + name + "@1.png"), text("filesize", "2"),
                     text("byte_run", ""),
                     text("hashdigest", std::string(64, '0')), text("quarrix:image", ""),
                     text("quarrix:path", name), text("quarrix:name", name),
                     text("quarrix:duplicate_of", name)});
    records.push_back(Record(Form::kDfxml, ErrorRecord{wide, wide}));
    expected.insert(expected.end(), {text("quarrix:path", name), text("quarrix:message", name)});
    records.push_back(Record(Form::kDfxml, FileRecord{wide, 10, 10, 2}));
    expected.push_back(text("quarrix:path", name));
  }
  for (const Utf16Name& name : OddResourceNames()) {
    ImageRecord image;
    image.source = L"p.exe";
    image.resource = Resource{{true, 0, name.units}, {true, 0, name.units}, 1033};
    records.push_back(Record(Form::kDfxml, image));
    expected.insert(expected.end(),
                    {text("filename", "p.exe@0.bmp"), text("filesize", "0"), text("byte_run", ""),
                     text("quarrix:image", ""),
                     text("quarrix:path", "p.exe"), "quarrix:type " + name.bytesHex,
                     "quarrix:name " + name.bytesHex});
  }
  records.push_back(Record(Form::kDfxml, SummaryRecord{1, 2, 3, 4, 5, 6.5}));
  expected.push_back(text("quarrix:summary", ""));

  // The document as a killed run leaves it: cut after each record, with the
  // epilogue that was written after it.
  Scratch scratch;
  std::vector<std::string> files;
  std::string document = Begin(Form::kDfxml, run);
  files.push_back(scratch.Write("cut-0.xml", document + End(Form::kDfxml)));
  for (std::size_t i = 0; i < records.size(); ++i) {
    document += records[i];
    files.push_back(scratch.Write("cut-" + std::to_string(i + 1) + ".xml", document + End(Form::kDfxml)));
  }
  const auto result = Python(python, kXmlReader, files);
  ASSERT_EQ(0, result.exitCode) << result.err;
  std::stringstream lines(result.out);
  std::string line;
  for (const std::string& want : expected) {
    ASSERT_TRUE(std::getline(lines, line)) << "missing: " << want;
    EXPECT_EQ(want, line);
  }
  EXPECT_FALSE(std::getline(lines, line)) << "extra: " << line;

  const std::string xmllint = FindProgram("xmllint");
  if (xmllint.empty()) {
    std::printf("xmllint not found: the documents were checked by Python's parser only\n");
    return;
  }
  std::vector<std::string> argv = {xmllint, "--noout"};
  argv.insert(argv.end(), files.begin(), files.end());
  const auto lint = qx::plat::testing::RunProgram(argv, "/");
  EXPECT_EQ(0, lint.exitCode) << lint.err;
  EXPECT_EQ("", lint.err);
}

}  // namespace
