#include "report/Report.h"

#include <charconv>
#include <cmath>
#include <cstddef>
#include <string_view>
#include <utility>

#include "report/Text.h"

namespace qx::report {

using detail::Codes;

namespace {

const char* ContainerName(ContainerKind kind) {
  switch (kind) {
    case ContainerKind::kZip: return "zip";
    case ContainerKind::kGzip: return "gzip";
    case ContainerKind::kBase64: return "base64";
  }
  return "zip";
}

void AppendInt(std::string& out, std::int64_t value) {
  char digits[24];
  const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  out.append(digits, end);
}

// Fixed width with leading zeros; value is not negative.
void AppendPadded(std::string& out, std::int64_t value, int width) {
  char digits[24];
  const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  for (auto n = end - digits; n < width; ++n) out += '0';
  out.append(digits, end);
}

// Milliseconds as "S.mmm", by integer arithmetic: no locale, no binary
// fraction showing through.
void AppendSeconds(std::string& out, double seconds) {
  std::int64_t millis = 0;
  if (std::isfinite(seconds) && seconds > 0) {
    millis = seconds >= 9e15 ? std::int64_t{9'000'000'000'000'000'000}
                             : static_cast<std::int64_t>(std::llround(seconds * 1000));
  }
  AppendInt(out, millis / 1000);
  out += '.';
  AppendPadded(out, millis % 1000, 3);
}

std::string HexDigest(const std::array<std::uint8_t, 32>& digest) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (const std::uint8_t b : digest) {
    out += kHex[b >> 4];
    out += kHex[b & 15];
  }
  return out;
}

Codes Wide(std::wstring_view text) {
  Codes codes;
  detail::AppendWide(codes, text);
  return codes;
}

Codes Utf16(std::u16string_view text) {
  Codes codes;
  detail::AppendUtf16(codes, text);
  return codes;
}

Codes Bytes(std::string_view bytes) {
  Codes codes;
  detail::AppendBytes(codes, bytes);
  return codes;
}

// ---- JSON Lines ----------------------------------------------------------

class JsonObject {
 public:
  explicit JsonObject(const char* type) {
    out_ = "{\"type\":\"";
    out_ += type;
    out_ += '"';
  }
  JsonObject& Key(const char* key) {
    out_ += ",\"";
    out_ += key;
    out_ += "\":";
    return *this;
  }
  JsonObject& String(const Codes& text) {
    out_ += '"';
    detail::AppendJsonString(out_, text);
    out_ += '"';
    return *this;
  }
  JsonObject& Word(const char* word) {  // a fixed string that needs no escape
    out_ += '"';
    out_ += word;
    out_ += '"';
    return *this;
  }
  JsonObject& Number(std::int64_t value) {
    AppendInt(out_, value);
    return *this;
  }
  JsonObject& Raw(std::string_view text) {
    out_ += text;
    return *this;
  }
  std::string Line() {
    out_ += "}\n";
    return std::move(out_);
  }

 private:
  std::string out_;
};

void AppendJsonKey(std::string& out, const ResourceKey& key, const char* nameKey,
                   const char* idKey) {
  out += '"';
  out += key.named ? nameKey : idKey;
  out += "\":";
  if (key.named) {
    out += '"';
    detail::AppendJsonString(out, Utf16(key.name));
    out += '"';
  } else {
    AppendInt(out, key.id);
  }
}

std::string JsonWithin(const std::vector<Container>& within) {
  std::string out = "[";
  for (std::size_t i = 0; i < within.size(); ++i) {
    const Container& c = within[i];
    if (i > 0) out += ',';
    out += "{\"kind\":\"";
    out += ContainerName(c.kind);
    out += "\",\"offset\":";
    AppendInt(out, c.offset);
    if (c.kind == ContainerKind::kZip) {
      out += ",\"name\":\"";
      detail::AppendJsonString(out, Bytes(c.name));
      out += '"';
    }
    out += '}';
  }
  out += ']';
  return out;
}

std::string JsonResource(const Resource& resource) {
  std::string out = "{";
  AppendJsonKey(out, resource.type, "type", "type");
  out += ',';
  AppendJsonKey(out, resource.name, "name", "id");
  out += ",\"language\":";
  AppendInt(out, resource.language);
  out += '}';
  return out;
}

std::string JsonRun(const RunRecord& run) {
  JsonObject line("run");
  line.Key("program").String(Wide(run.program));
  line.Key("version").String(Wide(run.version));
  line.Key("started").Word(IsoUtc(run.started).c_str());
  line.Key("arguments").Raw("[");
  for (std::size_t i = 0; i < run.arguments.size(); ++i) {
    if (i > 0) line.Raw(",");
    line.String(Wide(run.arguments[i]));
  }
  line.Raw("]");
  return line.Line();
}

std::string JsonImage(const ImageRecord& image) {
  JsonObject line("image");
  line.Key("source").String(Wide(image.source));
  line.Key("offset").Number(image.offset);
  line.Key("length").Number(image.length);
  line.Key("kind").Word(image.kind.c_str());
  line.Key("output");
  if (image.output) {
    line.String(Wide(*image.output));
  } else {
    line.Raw("null");
  }
  line.Key("sha256");
  if (image.sha256) {
    line.Word(HexDigest(*image.sha256).c_str());
  } else {
    line.Raw("null");
  }
  if (image.width) line.Key("width").Number(*image.width);
  if (image.height) line.Key("height").Number(*image.height);
  if (!image.within.empty()) line.Key("within").Raw(JsonWithin(image.within));
  if (image.resource) line.Key("resource").Raw(JsonResource(*image.resource));
  if (image.duplicateOf) line.Key("duplicate_of").String(Wide(*image.duplicateOf));
  return line.Line();
}

// ---- DFXML ---------------------------------------------------------------

constexpr const char* kDfxmlNamespace = "http://www.forensicswiki.org/wiki/Category:Digital_Forensics_XML";
constexpr const char* kDublinCore = "http://purl.org/dc/elements/1.1/";

// <name[ encoding="percent"]>text</name> on a line of its own.
void XmlTextElement(std::string& out, int depth, const char* name, const Codes& text) {
  out.append(static_cast<std::size_t>(depth) * 2, ' ');
  out += '<';
  out += name;
  const bool percent = detail::NeedsPercent(text);
  if (percent) out += " encoding=\"percent\"";
  out += '>';
  detail::AppendXmlText(out, text, percent);
  out += "</";
  out += name;
  out += ">\n";
}

void XmlAttribute(std::string& out, const char* name, std::int64_t value) {
  out += ' ';
  out += name;
  out += "=\"";
  AppendInt(out, value);
  out += '"';
}

void XmlAttribute(std::string& out, const char* name, const char* value) {
  out += ' ';
  out += name;
  out += "=\"";
  out += value;
  out += '"';
}

void Indent(std::string& out, int depth) { out.append(static_cast<std::size_t>(depth) * 2, ' '); }

// For reading only: the exact arguments follow as elements of their own.
Codes CommandLine(const RunRecord& run) {
  Codes line = Wide(run.program);
  for (const std::wstring& argument : run.arguments) {
    line += U' ';
    const Codes codes = Wide(argument);
    const bool quote = codes.empty() || codes.find_first_of(U" \t\"") != Codes::npos;
    if (!quote) {
      line += codes;
      continue;
    }
    line += U'"';
    for (const char32_t c : codes) {
      if (c == U'"' || c == U'\\') line += U'\\';
      line += c;
    }
    line += U'"';
  }
  return line;
}

std::string DfxmlBegin(const RunRecord& run) {
  std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<dfxml";
  XmlAttribute(out, "xmlns", kDfxmlNamespace);
  XmlAttribute(out, "xmlns:dc", kDublinCore);
  XmlAttribute(out, "xmlns:quarrix", kNamespace);
  XmlAttribute(out, "version", "1.0");
  out += ">\n  <metadata>\n    <dc:type>Image Report</dc:type>\n  </metadata>\n";
  out += "  <creator version=\"1.0\">\n";
  XmlTextElement(out, 2, "program", Wide(run.program));
  XmlTextElement(out, 2, "version", Wide(run.version));
  out += "    <execution_environment>\n";
  XmlTextElement(out, 3, "command_line", CommandLine(run));
  out += "      <start_time>" + IsoUtc(run.started) + "</start_time>\n";
  for (const std::wstring& argument : run.arguments) {
    XmlTextElement(out, 3, "quarrix:argument", Wide(argument));
  }
  out += "    </execution_environment>\n  </creator>\n";
  return out;
}

Codes Description(const ImageRecord& image) {
  Codes text = Wide(image.source);
  for (const Container& c : image.within) {
    text += U'@';
    detail::AppendNumber(text, c.offset);
    text += U':';
    detail::AppendAscii(text, ContainerName(c.kind));
    if (c.kind == ContainerKind::kZip) {
      text += U':';
      detail::AppendBytes(text, c.name);
    }
  }
  text += U'@';
  detail::AppendNumber(text, image.offset);
  text += U'.';
  detail::AppendAscii(text, image.kind.c_str());
  return text;
}

void DfxmlResource(std::string& out, const Resource& resource) {
  Indent(out, 3);
  out += "<quarrix:resource";
  if (!resource.type.named) XmlAttribute(out, "type", resource.type.id);
  if (!resource.name.named) XmlAttribute(out, "id", resource.name.id);
  XmlAttribute(out, "language", resource.language);
  if (!resource.type.named && !resource.name.named) {
    out += "/>\n";
    return;
  }
  out += ">\n";
  if (resource.type.named) XmlTextElement(out, 4, "quarrix:type", Utf16(resource.type.name));
  if (resource.name.named) XmlTextElement(out, 4, "quarrix:name", Utf16(resource.name.name));
  Indent(out, 3);
  out += "</quarrix:resource>\n";
}

std::string DfxmlImage(const ImageRecord& image) {
  std::string out = "  <fileobject>\n";
  XmlTextElement(out, 2, "filename", image.output ? Wide(*image.output) : Description(image));
  out += "    <filesize>";
  AppendInt(out, image.length);
  out += "</filesize>\n    <byte_runs>\n      <byte_run offset=\"0\"";
  if (image.within.empty()) XmlAttribute(out, "img_offset", image.offset);
  XmlAttribute(out, "len", image.length);
  out += "/>\n    </byte_runs>\n";
  if (image.sha256) {
    out += "    <hashdigest type=\"sha256\">" + HexDigest(*image.sha256) + "</hashdigest>\n";
  }
  out += "    <quarrix:image";
  XmlAttribute(out, "kind", image.kind.c_str());
  XmlAttribute(out, "offset", image.offset);
  XmlAttribute(out, "written", image.output ? "true" : "false");
  if (image.width) XmlAttribute(out, "width", *image.width);
  if (image.height) XmlAttribute(out, "height", *image.height);
  out += "/>\n    <quarrix:source>\n";
  XmlTextElement(out, 3, "quarrix:path", Wide(image.source));
  for (const Container& c : image.within) {
    Indent(out, 3);
    out += "<quarrix:container";
    XmlAttribute(out, "kind", ContainerName(c.kind));
    XmlAttribute(out, "offset", c.offset);
    if (c.kind != ContainerKind::kZip) {
      out += "/>\n";
      continue;
    }
    out += ">\n";
    XmlTextElement(out, 4, "quarrix:name", Bytes(c.name));
    Indent(out, 3);
    out += "</quarrix:container>\n";
  }
  if (image.resource) DfxmlResource(out, *image.resource);
  out += "    </quarrix:source>\n";
  if (image.duplicateOf) XmlTextElement(out, 2, "quarrix:duplicate_of", Wide(*image.duplicateOf));
  out += "  </fileobject>\n";
  return out;
}

}  // namespace

std::string Begin(Form form, const RunRecord& run) {
  return form == Form::kJsonLines ? JsonRun(run) : DfxmlBegin(run);
}

std::string Record(Form form, const ImageRecord& image) {
  return form == Form::kJsonLines ? JsonImage(image) : DfxmlImage(image);
}

std::string Record(Form form, const FileRecord& file) {
  if (form == Form::kJsonLines) {
    JsonObject line("file");
    line.Key("source").String(Wide(file.source));
    line.Key("size").Number(file.size);
    line.Key("scanned").Number(file.scanned);
    line.Key("images").Number(file.images);
    return line.Line();
  }
  std::string out = "  <quarrix:file";
  XmlAttribute(out, "size", file.size);
  XmlAttribute(out, "scanned", file.scanned);
  XmlAttribute(out, "images", file.images);
  out += ">\n";
  XmlTextElement(out, 2, "quarrix:path", Wide(file.source));
  out += "  </quarrix:file>\n";
  return out;
}

std::string Record(Form form, const ErrorRecord& error) {
  if (form == Form::kJsonLines) {
    JsonObject line("error");
    line.Key("path").String(Wide(error.path));
    line.Key("error").String(Wide(error.error));
    return line.Line();
  }
  std::string out = "  <quarrix:error>\n";
  XmlTextElement(out, 2, "quarrix:path", Wide(error.path));
  XmlTextElement(out, 2, "quarrix:message", Wide(error.error));
  out += "  </quarrix:error>\n";
  return out;
}

std::string Record(Form form, const SummaryRecord& summary) {
  std::string seconds;
  AppendSeconds(seconds, summary.seconds);
  if (form == Form::kJsonLines) {
    JsonObject line("summary");
    line.Key("files").Number(summary.files);
    line.Key("bytes").Number(summary.bytes);
    line.Key("images").Number(summary.images);
    line.Key("duplicates").Number(summary.duplicates);
    line.Key("errors").Number(summary.errors);
    line.Key("seconds").Raw(seconds);
    return line.Line();
  }
  std::string out = "  <quarrix:summary";
  XmlAttribute(out, "files", summary.files);
  XmlAttribute(out, "bytes", summary.bytes);
  XmlAttribute(out, "images", summary.images);
  XmlAttribute(out, "duplicates", summary.duplicates);
  XmlAttribute(out, "errors", summary.errors);
  XmlAttribute(out, "seconds", seconds.c_str());
  out += "/>\n";
  return out;
}

std::string End(Form form) { return form == Form::kJsonLines ? std::string() : "</dfxml>\n"; }

// Civil date from a day count: the proleptic Gregorian calendar counted in
// eras of 400 years (146097 days), each era laid out from 1 March so that the
// leap day falls at its end.
std::string IsoUtc(std::int64_t seconds) {
  std::int64_t days = seconds / 86400;
  std::int64_t secondOfDay = seconds % 86400;
  if (secondOfDay < 0) {  // no multiplication: INT64_MIN must not overflow
    secondOfDay += 86400;
    --days;
  }
  const std::int64_t z = days + 719468;  // days since 0000-03-01
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const std::int64_t dayOfEra = z - era * 146097;  // 0..146096
  const std::int64_t yearOfEra =
      (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;  // 0..399
  const std::int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const std::int64_t shiftedMonth = (5 * dayOfYear + 2) / 153;  // 0 = March
  const std::int64_t day = dayOfYear - (153 * shiftedMonth + 2) / 5 + 1;
  const std::int64_t month = shiftedMonth < 10 ? shiftedMonth + 3 : shiftedMonth - 9;
  const std::int64_t year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);

  std::string out;
  if (year < 0) out += '-';
  AppendPadded(out, year < 0 ? -year : year, 4);
  out += '-';
  AppendPadded(out, month, 2);
  out += '-';
  AppendPadded(out, day, 2);
  out += 'T';
  AppendPadded(out, secondOfDay / 3600, 2);
  out += ':';
  AppendPadded(out, secondOfDay / 60 % 60, 2);
  out += ':';
  AppendPadded(out, secondOfDay % 60, 2);
  out += 'Z';
  return out;
}

}  // namespace qx::report
