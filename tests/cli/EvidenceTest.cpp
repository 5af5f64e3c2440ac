// Working on evidence: outputs under a directory of the user's choosing
// (nothing written in the scanned tree, no link below the directory
// followed), a report checked field by field against the outputs and the
// sources by a real parser, a killed run's report still whole,
// de-duplication across files and kinds, and a run that only lists.
#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "CliFixture.h"
#include "platform/testing.h"

namespace qx::cli {
namespace {

std::string Data(const char* name) {
  std::ifstream in(fs::path(QX_TEST_DATA_DIR) / name, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Checks a JSON Lines report with Python's own parser: every line a JSON
// object; every image written has the SHA-256 of its output file, and a
// file's own image the source's bytes at its offset; the file records count
// the images written. Prints "images N duplicates N".
constexpr const char* kCheckJsonLines = R"(
import hashlib, json, os, sys
lines = open(sys.argv[1], 'rb').read().split(b'\n')
assert lines[-1] == b'', 'the last line is not whole'
records = [json.loads(line) for line in lines[:-1]]
assert records[0]['type'] == 'run' and records[0]['program'] == 'quarrix'
assert records[0]['started'].endswith('Z')
images = duplicates = 0
written = {}
for r in records:
    if r['type'] == 'image':
        source = os.fsencode(r['source'])
        if r['output'] is None:
            assert 'duplicate_of' in r or len(sys.argv) > 2, r
            if 'duplicate_of' in r:
                duplicates += 1
                assert r['sha256'] == hashlib.sha256(open(os.fsencode(r['duplicate_of']), 'rb').read()).hexdigest()
            continue
        out = open(os.fsencode(r['output']), 'rb').read()
        assert len(out) == r['length'], r
        assert hashlib.sha256(out).hexdigest() == r['sha256'], r
        if 'within' not in r and 'resource' not in r:
            with open(source, 'rb') as f:
                f.seek(r['offset'])
                assert f.read(r['length']) == out, r
        else:
            assert all(c['kind'] in ('zip', 'gzip', 'base64') for c in r['within'])
        images += 1
        written[r['source']] = written.get(r['source'], 0) + 1
    elif r['type'] == 'file':
        assert r['images'] == written.get(r['source'], 0), r
        assert r['scanned'] <= r['size']
assert records[-1]['type'] == 'summary', 'no summary'
assert records[-1]['images'] == images and records[-1]['duplicates'] == duplicates
print('images', images, 'duplicates', duplicates)
)";

constexpr const char* kCheckDfxml = R"(
import sys, xml.dom.minidom
doc = xml.dom.minidom.parse(sys.argv[1])
objects = doc.getElementsByTagName('fileobject')
for o in objects:
    runs = o.getElementsByTagName('byte_run')
    assert len(runs) == 1 and runs[0].getAttribute('offset') == '0'
    assert len(o.getElementsByTagName('hashdigest')[0].firstChild.data) == 64
print('fileobjects', len(objects))
)";

class EvidenceTest : public CliTest {
 protected:
  void SetUp() override {
    CliTest::SetUp();
    jpeg_ = Data("baseline_420.jpg");
    png_ = Data("png_palette.png");
  }

  // Under Wine the Unix interpreter would be handed the report's Windows
  // paths, which name nothing on its side: there the report is checked by
  // its text alone.
  static bool HavePython() {
    return !plat::kHasDrives && fs::exists("/usr/bin/python3");
  }
  plat::testing::ChildResult Python(const char* script, const std::vector<std::string>& args) const {
    std::vector<std::string> argv{"/usr/bin/python3", "-c", script};
    argv.insert(argv.end(), args.begin(), args.end());
    return plat::testing::RunProgram(argv, Root().string());
  }
  // The mirrored form of a directory under `out`: out/<dir without its />,
  // or out\<drive letter>\<dir> where there are drives.
  std::string Under(const std::string& out, const std::string& relative) const {
    const std::string absolute = At(relative);
    if (plat::kHasDrives) return out + Sep() + absolute.substr(0, 1) + absolute.substr(2);
    return out + Sep() + absolute.substr(1);
  }

  std::string jpeg_;
  std::string png_;
};

TEST_F(EvidenceTest, AReadOnlyTreeGetsItsOutputsUnderTheDirectoryAndNothingElse) {
  if (plat::kHasDrives) GTEST_SKIP() << "the mirrored form is checked on POSIX";
  WriteOld(Root() / "Tree/x.bin", Filler(7) + Bitmap(60, 'x') + jpeg_);
  // Two arguments, two sources of one name: their outputs never meet.
  WriteOld(Root() / "Tree/Other/x.bin", png_);
  fs::create_directories(Root() / "Out");
  if (!PrepareUnprivilegedRun()) GTEST_SKIP() << "the tool cannot run as an unprivileged user here";
  fs::permissions(Root() / "Tree", fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                  fs::perm_options::remove);
  fs::permissions(Root() / "Tree/Other", fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                  fs::perm_options::remove);
  const FileMap before = Snapshot();
  const auto result = Run({"-extract=ALL", "-out=Out/carved", "Tree/x.bin", At("Tree/Other/x.bin")}, {}, true);
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(result.err, "");
  const std::string first = Under("Out/carved", "Tree") + Sep();
  const std::string second = Under("Out/carved", "Tree/Other") + Sep();
  EXPECT_EQ(result.out, "Tree/x.bin\n  " + first + "x_000.bmp\n  " + first + "x_000.jpg\n" + At("Tree/Other/x.bin") +
                            "\n  " + second + "x_000.png\n");
  const std::string mirror = "Out/carved/" + At("Tree").substr(1) + "/";
  EXPECT_EQ(Written(before, Snapshot()), (FileMap{{mirror + "x_000.bmp", Bitmap(60, 'x')},
                                                  {mirror + "x_000.jpg", jpeg_},
                                                  {mirror + "Other/x_000.png", png_}}));
}

TEST_F(EvidenceTest, TwoSourcesOfOneNameAreMirroredApart) {
  WriteOld(Root() / "Tree/x.bin", Bitmap(60, 'x'));
  WriteOld(Root() / "Tree/Other/x.bin", Filler(3) + Bitmap(61, 'y'));
  const FileMap before = Snapshot();
  const auto result = Run({"-extract=BMP", "-out=Out", "Tree/x.bin", At("Tree/Other/x.bin")});
  EXPECT_EQ(result.exitCode, 0) << result.err;
  const std::string first = Under("Out", "Tree") + Sep() + "x_000.bmp";
  const std::string second = Under("Out", "Tree/Other") + Sep() + "x_000.bmp";
  EXPECT_EQ(result.out, "Tree/x.bin\n  " + first + "\n" + At("Tree/Other/x.bin") + "\n  " + second + "\n");
  auto key = [](std::string path) {
    std::replace(path.begin(), path.end(), '\\', '/');
    return path;
  };
  EXPECT_EQ(Written(before, Snapshot()), (FileMap{{key(first), Bitmap(60, 'x')}, {key(second), Bitmap(61, 'y')}}));
}

TEST_F(EvidenceTest, ALinkPlantedBelowTheDirectoryIsNeverFollowed) {
  if (plat::kHasDrives) GTEST_SKIP() << "links are made on POSIX";
  WriteOld(Root() / "Tree/x.bin", Bitmap(60, 'x'));
  // Someone has made the mirrored path's first directory a link elsewhere.
  const std::string top = At("Tree").substr(1, At("Tree").find('/', 1) - 1);
  fs::create_directories(Root() / "Out");
  fs::create_directories(Root() / "Elsewhere");
  fs::create_directory_symlink(Root() / "Elsewhere", Root() / "Out" / top);
  const FileMap before = Snapshot();
  const auto result = Run({"-extract=BMP", "-verbosity=1", "-out=Out", "Tree/x.bin"});
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err.rfind("quarrix: " + Under("Out", "Tree") + "/x_000.bmp: ", 0), 0u) << result.err;
  EXPECT_EQ(Written(before, Snapshot()), FileMap{});
  // The user's own link at the directory itself is followed.
  fs::create_directory_symlink(Root() / "Elsewhere", Root() / "Mine");
  EXPECT_EQ(Run({"-extract=BMP", "-verbosity=1", "-out=Mine", "Tree/x.bin"}).exitCode, 0);
  EXPECT_EQ(ReadAll(Root() / ("Elsewhere" + Under("", "Tree")) / "x_000.bmp"), Bitmap(60, 'x'));
}

TEST_F(EvidenceTest, TheReportTellsEachImageAsItsOutputAndItsSourceHoldIt) {
  WriteOld(Root() / "Tree/a.bin", Filler(11) + jpeg_ + Filler(5) + Bitmap(70, 'a') + png_);
  WriteOld(Root() / "Tree/doc.docx", Data("document.docx"));
  WriteOld(Root() / "Tree/images.tar.gz", Data("images.tar.gz"));
  WriteOld(Root() / "Tree/mail.eml", Data("mail.eml"));
  WriteOld(Root() / "Tree/piped.zip", Data("piped.zip"));
  // A name that is not UTF-8 must still give valid JSON and lose nothing.
  if (!plat::kHasDrives) WriteOld(Root() / "Tree/caf\xE9 \"q\"\\.bin", png_ + Bitmap(64, 'c'));
  for (const char* threads : {"-threads=1", "-threads=3"}) {
    const auto result = Run({"-extract=ALL", "-unpack", "-subdirs", threads, "-report=r.jsonl", "Tree"});
    EXPECT_EQ(result.exitCode, 0);
    if (!HavePython()) continue;
    const auto checked = Python(kCheckJsonLines, {"r.jsonl"});
    EXPECT_EQ(checked.exitCode, 0) << checked.err;
    EXPECT_EQ(checked.out.rfind("images ", 0), 0u) << checked.out;
    EXPECT_NE(checked.out, "images 0 duplicates 0\n");
  }
  const std::string report = ReadAll(Root() / "r.jsonl");
  EXPECT_NE(report.find("\"within\":[{\"kind\":\"gzip\",\"offset\":0}]"), std::string::npos);
  EXPECT_NE(report.find("\"within\":[{\"kind\":\"base64\",\"offset\":587}]"), std::string::npos);
  EXPECT_NE(report.find("\"within\":[{\"kind\":\"zip\",\"offset\":0,\"name\":\"photo.jpg\"}]"), std::string::npos);
  if (!plat::kHasDrives) {
    EXPECT_NE(report.find("caf\\udce9 \\\"q\\\"\\\\.bin"), std::string::npos);
  }
  // The DFXML form, parsed by a real XML parser.
  EXPECT_EQ(Run({"-extract=ALL", "-unpack", "-subdirs", "-report=r.xml", "Tree"}).exitCode, 0);
  if (!HavePython()) return;
  const auto xml = Python(kCheckDfxml, {"r.xml"});
  EXPECT_EQ(xml.exitCode, 0) << xml.err;
  EXPECT_EQ(xml.out.rfind("fileobjects ", 0), 0u);
}

TEST_F(EvidenceTest, AKilledRunLeavesAWholeReportOfWhatItDid) {
  if (plat::kHasDrives || !HavePython()) GTEST_SKIP() << "sends POSIX signals; python3 checks the report";
  for (int i = 0; i < 8000; ++i) {
    WriteOld(Root() / "Data" / ("f" + std::to_string(10000 + i) + ".bin"), Bitmap(2000 + static_cast<std::uint32_t>(i % 7), 'k'));
  }
  for (const char* report : {"r.jsonl", "r.xml"}) {
    SCOPED_TRACE(report);
    plat::testing::RunOptions options;
    options.signal = plat::testing::kSignalKill;
    options.signalWhen = (Root() / "Data" / "f10030_000.bmp").string();
    options.timeoutSeconds = 120;
    const auto result = RunWith({"-extract=BMP", "-verbosity=1", std::string("-report=") + report, "Data"}, options);
    ASSERT_EQ(result.signal, plat::testing::kSignalKill) << "the run ended before it was killed";
    const std::string text = ReadAll(Root() / report);
    if (std::string(report) == "r.jsonl") {
      // Whole lines only; each image reported was written (and the
      // summary is missing: the run never got there).
      const auto checked = Python(kCheckJsonLines, {report});
      EXPECT_NE(checked.exitCode, 0);
      EXPECT_NE(checked.err.find("no summary"), std::string::npos) << checked.err;
      EXPECT_EQ(text.back(), '\n');
    } else {
      const auto xml = Python(kCheckDfxml, {report});
      EXPECT_EQ(xml.exitCode, 0) << xml.err;
      EXPECT_GE(std::stoi(xml.out.substr(12)), 30);
    }
    for (const auto& entry : fs::directory_iterator(Root() / "Data")) {
      if (entry.path().extension() == ".bmp") fs::remove(entry.path());
    }
  }
}

TEST_F(EvidenceTest, AnImageSeenBeforeIsNotWrittenAgainAcrossFilesAndKinds) {
  // The same bitmap twice in one file and once in another, beside a JPEG
  // found again inside a gzip member.
  const std::string bitmap = Bitmap(90, 'd');
  WriteOld(Root() / "a.bin", bitmap + Filler(3) + jpeg_ + bitmap);
  WriteOld(Root() / "b.bin", Bitmap(91, 'e') + bitmap);
  const FileMap before = Snapshot();
  const auto result = Run({"-extract=ALL", "-dedup", "-report=r.jsonl", "a.bin", "b.bin"});
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(result.out, At("a.bin") + "\n  " + At("a_000.bmp") + "\n  " + At("a_000.jpg") + "\n" + At("b.bin") +
                            "\n  " + At("b_000.bmp") + "\n");
  FileMap written = Written(before, Snapshot());
  written.erase("r.jsonl");
  EXPECT_EQ(written, (FileMap{{"a_000.bmp", bitmap}, {"a_000.jpg", jpeg_}, {"b_000.bmp", Bitmap(91, 'e')}}));
  const std::string report = ReadAll(Root() / "r.jsonl");
  EXPECT_NE(report.find("\"output\":null"), std::string::npos);
  EXPECT_NE(report.find("\"duplicate_of\":\"" + JsonAt("a_000.bmp") + "\""), std::string::npos);
  EXPECT_NE(report.find("\"duplicates\":2,"), std::string::npos);
  if (HavePython()) {
    const auto checked = Python(kCheckJsonLines, {"r.jsonl"});
    EXPECT_EQ(checked.out, "images 3 duplicates 2\n") << checked.err;
  }
}

TEST_F(EvidenceTest, AListOnlyRunWritesNothingAndTellsWhatItFound) {
  WriteOld(Root() / "Tree/a.bin", Filler(11) + jpeg_ + Bitmap(70, 'a'));
  WriteOld(Root() / "Tree/images.tar.gz", Data("images.tar.gz"));
  const FileMap before = Snapshot();
  const auto result = Run({"-extract=ALL", "-unpack", "-list", "-out=Out", "Tree/a.bin", "Tree/images.tar.gz"});
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(result.out, "Tree/a.bin\n  bmp 70 bytes at " + std::to_string(11 + jpeg_.size()) + "\n  jpg " +
                            std::to_string(jpeg_.size()) +
                            " bytes at 11\nTree/images.tar.gz\n  bmp 1998 bytes at 512 in gzip at 0\n"
                            "  jpg 581 bytes at 3072 in gzip at 0\n  png 1189 bytes at 4608 in gzip at 0\n");
  EXPECT_EQ(Written(before, Snapshot()), FileMap{});
  EXPECT_FALSE(fs::exists(Root() / "Out"));
  // With a report, the report a writing run would give, outputs null.
  const auto reported = Run({"-extract=ALL", "-unpack", "-list", "-report=list.jsonl", "Tree/a.bin"});
  EXPECT_EQ(reported.exitCode, 0);
  const std::string report = ReadAll(Root() / "list.jsonl");
  EXPECT_NE(report.find("\"kind\":\"bmp\",\"output\":null,\"sha256\":\""), std::string::npos) << report;
  EXPECT_NE(report.find("\"images\":2}"), std::string::npos) << report;
}

TEST_F(EvidenceTest, AReportThatCannotBeWrittenIsSaidAndTheRunGoesOn) {
  WriteOld(Root() / "a.bin", Bitmap(60, 'a'));
  const auto result = Run({"-extract=BMP", "-report=" + At("Missing/r.jsonl"), "a.bin"});
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_EQ(result.out, At("a.bin") + "\n  " + At("a_000.bmp") + "\n");
  EXPECT_EQ(ReasonsHidden(result.err), Failures({{At("Missing/r.jsonl"), "No such file or directory"}}));
}

}  // namespace
}  // namespace qx::cli
