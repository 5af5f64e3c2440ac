// The text of a run's report: every image the run finds, with its SHA-256,
// and what the run read, failed on and did in all, as JSON Lines or as a
// DFXML document. Pure functions from plain values to the exact UTF-8 bytes
// of the report; no file is touched here.
//
// A report is Begin(form, run), then any number of Record(form, ...), then
// End(form). Each piece is whole lines ending in "\n". End is text of its
// own so that a writer can put it after every file's records and write the
// next records over it: the report is then complete after any record, even
// when the run is killed.
//
// JSON Lines: one object per line, members in the order shown.
//   {"type":"run","program":P,"version":V,"started":"2026-12-08T04:48:05Z","arguments":[A,...]}
//   {"type":"image","source":S,"offset":N,"length":N,"kind":K (the kind's extension),
//    "output":S|null,"sha256":"<64 lower-case hex>"|null}, and when given, in
//    this order: "width":N, "height":N,
//    "within":[{"kind":"zip","offset":N,"name":S},{"kind":"gzip"|"base64","offset":N},...],
//    "resource":{"type":N|S,"id":N|"name":S,"language":N}, "duplicate_of":S
//   {"type":"file","source":S,"size":N,"scanned":N,"images":N}
//   {"type":"error","path":S,"error":S}
//   {"type":"summary","files":N,"bytes":N,"images":N,"duplicates":N,"errors":N,"seconds":1.234}
// End is empty. Strings are JSON strings of UTF-8 text: '"' and '\' are
// escaped, and so is every control character (C0, DEL, C1: \b \t \n \f \r or
// \u00XX) and U+2028 and U+2029, so that no reader that splits lines on
// them breaks a record. What is not text is written in JSON's own grammar
// and loses nothing:
//  - on POSIX a name's byte that is not part of valid UTF-8 (which reaches
//    the tool as U+DC80 + byte) is \udcXX, as Python's surrogateescape
//    decodes it: os.fsencode(json.loads(line)["source"]) is the name's bytes;
//  - a lone surrogate of UTF-16 text (a Windows name, a resource name) is
//    \uXXXX.
//  On POSIX, where no name can hold another surrogate or a value past
//  U+10FFFF, such a wide character is U+FFFD, as the platform layer names the
//  file. Hex digits of escapes are lower case.
//
// DFXML: an XML 1.0 document in the DFXML namespace (default), with Dublin
// Core (dc:) and this tool's own namespace (quarrix:, kNamespace) declared
// on the root:
//   Begin: the XML declaration, <dfxml version="1.0">, <metadata> with
//     <dc:type>, and <creator version="1.0"> holding <program>, <version> and
//     <execution_environment> with <command_line> (the program and the
//     arguments joined by spaces, each one holding a space, a tab, '"' or
//     nothing put in double quotes with '"' and '\' escaped by '\': for
//     reading), <start_time> (as "started" above) and one
//     <quarrix:argument> per argument, exactly.
//   an image: <fileobject> with <filename> (the output, or when there is
//     none the image's description, below), <filesize> (its length),
//     <byte_runs> with one <byte_run offset="0" img_offset="OFFSET"
//     len="LENGTH"/> (img_offset only when the image lies in the source's
//     own bytes; an image decoded from a container is not in the source as
//     it is), <hashdigest type="sha256"> (when there is a digest), then
//       <quarrix:image kind="bmp" offset="N" written="true|false"
//                      [width="N"] [height="N"]/>
//       <quarrix:source>
//         <quarrix:path>source</quarrix:path>
//         <quarrix:container kind="zip|gzip|base64" offset="N">
//           [<quarrix:name>zip entry</quarrix:name>]</quarrix:container>...
//         [<quarrix:resource [type="N"] [id="N"] language="N">
//            [<quarrix:type>name</quarrix:type>] [<quarrix:name>name</quarrix:name>]
//          </quarrix:resource>]
//       </quarrix:source>
//       [<quarrix:duplicate_of>path</quarrix:duplicate_of>]
//   a file: <quarrix:file size="N" scanned="N" images="N"><quarrix:path>
//   an error: <quarrix:error><quarrix:path>…</quarrix:path>
//     <quarrix:message>…</quarrix:message></quarrix:error>
//   the summary: <quarrix:summary files="N" bytes="N" images="N"
//     duplicates="N" errors="N" seconds="1.234"/>
//   End: </dfxml>.
// Numbers and fixed words go in attributes, text only in elements. XML 1.0
// cannot hold lone surrogates, bytes that are not UTF-8 or most control
// characters, not even as character references, so text that needs it is
// percent-encoded, losslessly: the element gets encoding="percent", and its
// text, encoded as UTF-8 with each %XX (upper-case hex) then taken as that
// one byte, gives the name's bytes as the system holds them: on POSIX the
// exact bytes of the name, on Windows (and for resource names, which are
// UTF-16 everywhere) the UTF-16 as UTF-8 whose lone surrogates keep their
// three-byte form (Python: .decode("utf-8", "surrogatepass")). Written as
// %XX are '%' itself, every control character (C0 including tab, line feed
// and carriage return, which parsers would change; DEL; C1), U+FFFE and
// U+FFFF, and every byte not part of valid UTF-8 (surrogates' three-byte
// forms among them). Text needing none of that has no attribute. '&', '<'
// and '>' are written as entities.
//
// An image's description, its <filename> when it has no output:
//   SOURCE[@OFFSET:KIND[:NAME]]...@OFFSET.KIND
// the source, each container outermost first (":NAME" for a zip entry),
// then where the image starts in the innermost bytes and its kind, e.g.
// "/data/a.docx@1234:zip:word/media/image1.png@0.png".
//
// Allocation failures throw std::bad_alloc; nothing else is thrown.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qx::report {

enum class Form { kJsonLines, kDfxml };

enum class ContainerKind { kZip, kGzip, kBase64 };

// The namespace of the tool's own DFXML elements.
inline constexpr const char* kNamespace = "urn:quarrix:report:1";

struct RunRecord {
  std::wstring program;
  std::wstring version;
  std::int64_t started = 0;  // whole seconds since 1970-01-01 00:00:00 UTC
  std::vector<std::wstring> arguments;
};

// One container an image was decoded from.
struct Container {
  ContainerKind kind = ContainerKind::kZip;
  // Where the container starts in the bytes it was found in: the source's,
  // or the decoded bytes of the container before it in the list.
  std::int64_t offset = 0;
  // A zip entry's name as the zip holds it: bytes, written as UTF-8 where
  // they are and each other byte escaped as a POSIX name's are. Not written
  // for other kinds.
  std::string name;
};

// A Windows resource's type or name: a number or a name of its own (UTF-16,
// as the program file holds it).
struct ResourceKey {
  bool named = false;
  std::uint32_t id = 0;
  std::u16string name;
};

struct Resource {
  ResourceKey type;
  ResourceKey name;
  std::uint32_t language = 0;
};

struct ImageRecord {
  std::wstring source;
  // Where the image starts: in the source's bytes, or, when `within` is not
  // empty, in the innermost container's decoded bytes.
  std::int64_t offset = 0;
  std::int64_t length = 0;
  // The kind's name, as the extension of its outputs: "bmp", "jpg", "png"...
  std::string kind = "bmp";
  // The file written; none when the run only lists, or for a duplicate not
  // written.
  std::optional<std::wstring> output;
  // None when the digest could not be computed (plat::Sha256::Final failed).
  std::optional<std::array<std::uint8_t, 32>> sha256;
  std::optional<std::int64_t> width;
  std::optional<std::int64_t> height;
  std::vector<Container> within;  // outermost first; empty: the source's own bytes
  std::optional<Resource> resource;
  // The output (or description) of the earlier image this one repeats.
  std::optional<std::wstring> duplicateOf;
};

struct FileRecord {
  std::wstring source;
  std::int64_t size = 0;
  std::int64_t scanned = 0;
  std::int64_t images = 0;
};

struct ErrorRecord {
  std::wstring path;
  std::wstring error;
};

struct SummaryRecord {
  std::int64_t files = 0;
  std::int64_t bytes = 0;
  std::int64_t images = 0;
  std::int64_t duplicates = 0;
  std::int64_t errors = 0;
  // Written rounded to milliseconds; a negative or not finite value as 0.
  double seconds = 0;
};

std::string Begin(Form form, const RunRecord& run);
std::string Record(Form form, const ImageRecord& image);
std::string Record(Form form, const FileRecord& file);
std::string Record(Form form, const ErrorRecord& error);
std::string Record(Form form, const SummaryRecord& summary);
std::string End(Form form);

// Whole seconds since 1970-01-01 00:00:00 UTC as ISO 8601 in UTC,
// "YYYY-MM-DDTHH:MM:SSZ", in the proleptic Gregorian calendar, for every
// 64-bit value: years before 0 get a '-' and years past 9999 more digits,
// as XML Schema's dateTime writes them.
std::string IsoUtc(std::int64_t seconds);

}  // namespace qx::report
