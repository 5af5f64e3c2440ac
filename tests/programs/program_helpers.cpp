#include "program_helpers.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <map>
#include <sstream>

namespace qx::testprograms {

Searched Search(ByteSource& source, const ProgramLimits& limits) {
  Searched run;
  run.summary = FindProgramImages(
      source,
      [&](const ProgramImage& p) {
        run.found.push_back(Found{p.kind, Bytes(p.data, p.data + p.length), p.programOffset,
                                  p.resourceOffset, p.resourceLength, p.type, p.named, p.id,
                                  p.name, p.language, p.images, p.imagesMissing});
      },
      limits);
  return run;
}

Searched SearchSpan(const Bytes& bytes, const ProgramLimits& limits) {
  SpanSource source(bytes.data(), static_cast<std::int64_t>(bytes.size()));
  return Search(source, limits);
}

Bytes ReadData(const std::string& relative) {
  const std::string path = std::string(QX_TEST_DATA_DIR) + "/" + relative;
  std::ifstream in(path, std::ios::binary);
  EXPECT_TRUE(in.good()) << path;
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<Expected> Manifest() {
  const Bytes text = ReadData("programs/manifest.txt");
  std::istringstream lines(std::string(text.begin(), text.end()));
  std::vector<Expected> out;
  std::string line;
  while (std::getline(lines, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    Expected e{};
    std::string name;
    fields >> e.type >> name >> e.language >> e.file;
    e.named = name[0] != '#';
    if (e.named) {
      e.name.assign(name.begin(), name.end());
    } else {
      e.id = static_cast<std::uint32_t>(std::stoul(name.substr(1)));
    }
    out.push_back(e);
  }
  return out;
}

void PutLe16(Bytes& b, std::int64_t at, std::uint32_t v) {
  b[static_cast<std::size_t>(at)] = static_cast<std::uint8_t>(v);
  b[static_cast<std::size_t>(at + 1)] = static_cast<std::uint8_t>(v >> 8);
}
void PutLe32(Bytes& b, std::int64_t at, std::uint32_t v) {
  PutLe16(b, at, v);
  PutLe16(b, at + 2, v >> 16);
}
std::uint32_t GetLe32(const Bytes& b, std::int64_t at) {
  const auto k = static_cast<std::size_t>(at);
  return b[k] | (b[k + 1] << 8) | (b[k + 2] << 16) | (static_cast<std::uint32_t>(b[k + 3]) << 24);
}

namespace {

std::int64_t Align(std::int64_t v, std::int64_t a) { return (v + a - 1) / a * a; }

}  // namespace

Built BuildProgram(const std::vector<Resource>& resources, const BuildOptions& options) {
  Built built;
  // Types, then names within each type, in order of first appearance.
  std::vector<std::uint32_t> types;
  std::map<std::uint32_t, std::vector<std::pair<std::u16string, std::uint32_t>>> names;
  std::map<std::pair<std::uint32_t, std::pair<std::u16string, std::uint32_t>>, std::vector<std::size_t>> languages;
  for (std::size_t k = 0; k < resources.size(); ++k) {
    const Resource& r = resources[k];
    if (names.find(r.type) == names.end()) types.push_back(r.type);
    auto& list = names[r.type];
    const std::pair<std::u16string, std::uint32_t> key{r.name, r.name.empty() ? r.id : 0};
    auto& langs = languages[{r.type, key}];
    if (langs.empty()) list.push_back(key);
    langs.push_back(k);
  }
  // The tree's layout, as offsets from its root.
  std::int64_t at = 16 + 8 * static_cast<std::int64_t>(types.size());
  std::map<std::uint32_t, std::int64_t> typeDir;
  std::map<std::pair<std::uint32_t, std::pair<std::u16string, std::uint32_t>>, std::int64_t> nameDir;
  for (std::uint32_t t : types) {
    typeDir[t] = at;
    at += 16 + 8 * static_cast<std::int64_t>(names[t].size());
  }
  for (std::uint32_t t : types) {
    for (const auto& n : names[t]) {
      nameDir[{t, n}] = at;
      at += 16 + 8 * static_cast<std::int64_t>(languages[{t, n}].size());
    }
  }
  std::map<std::u16string, std::int64_t> strings;
  for (std::uint32_t t : types) {
    for (const auto& n : names[t]) {
      if (!n.first.empty() && strings.find(n.first) == strings.end()) {
        strings[n.first] = at;
        at += 2 + 2 * static_cast<std::int64_t>(n.first.size());
      }
    }
  }
  at = Align(at, 4);
  const std::int64_t dataEntries = at;
  at += 16 * static_cast<std::int64_t>(resources.size());
  std::vector<std::int64_t> dataAt;
  for (const Resource& r : resources) {
    at = Align(at, 8);
    dataAt.push_back(at);
    at += static_cast<std::int64_t>(r.data.size());
  }
  const std::int64_t treeSize = at;

  const bool plus = options.plus;
  const std::int64_t optionalSize = plus ? 240 : 224;
  built.pe = 0x80;
  built.optional = built.pe + 24;
  built.sectionTable = built.optional + optionalSize;
  const std::int64_t codeRaw = Align(options.codeBytes, 0x200);
  const std::int64_t codePointer = 0x200;
  const std::int64_t rsrcPointer = codePointer + codeRaw;
  const std::uint32_t codeRva = 0x1000;
  const auto rsrcRva = static_cast<std::uint32_t>(codeRva + Align(options.codeBytes + 1, 0x1000));
  const std::int64_t rsrcRaw = Align(treeSize, 0x200);
  Bytes& b = built.bytes;
  b.assign(static_cast<std::size_t>(rsrcPointer + rsrcRaw), 0);
  b[0] = 'M';
  b[1] = 'Z';
  PutLe32(b, 0x3C, static_cast<std::uint32_t>(built.pe));
  b[0x80] = 'P';
  b[0x81] = 'E';
  PutLe16(b, built.pe + 4, plus ? 0x8664 : 0x014C);
  PutLe16(b, built.pe + 6, 2);
  PutLe16(b, built.pe + 20, static_cast<std::uint32_t>(optionalSize));
  PutLe16(b, built.pe + 22, 0x2102);
  PutLe16(b, built.optional, plus ? 0x20B : 0x10B);
  const std::int64_t directories = built.optional + (plus ? 112 : 96);
  PutLe32(b, directories - 4, 16);
  PutLe32(b, directories + 16, rsrcRva);
  PutLe32(b, directories + 20, static_cast<std::uint32_t>(treeSize));
  const char* sectionNames[2] = {".text", ".rsrc"};
  const std::uint32_t sizes[2] = {options.codeBytes, static_cast<std::uint32_t>(treeSize)};
  const std::uint32_t rvas[2] = {codeRva, rsrcRva};
  const std::int64_t raws[2] = {codeRaw, rsrcRaw};
  const std::int64_t pointers[2] = {codePointer, rsrcPointer};
  for (int s = 0; s < 2; ++s) {
    const std::int64_t h = built.sectionTable + 40 * s;
    for (int c = 0; sectionNames[s][c] != 0; ++c) b[static_cast<std::size_t>(h + c)] = static_cast<std::uint8_t>(sectionNames[s][c]);
    PutLe32(b, h + 8, sizes[s]);
    PutLe32(b, h + 12, rvas[s]);
    PutLe32(b, h + 16, static_cast<std::uint32_t>(raws[s]));
    PutLe32(b, h + 20, static_cast<std::uint32_t>(pointers[s]));
  }
  for (std::int64_t k = 0; k < options.codeBytes; ++k) b[static_cast<std::size_t>(codePointer + k)] = 0xCC;

  const std::int64_t root = rsrcPointer;
  built.root = root;
  built.rootRva = rsrcRva;
  auto directory = [&](std::int64_t pos, std::size_t named, std::size_t ids) {
    PutLe16(b, pos + 12, static_cast<std::uint32_t>(named));
    PutLe16(b, pos + 14, static_cast<std::uint32_t>(ids));
  };
  directory(root, 0, types.size());
  for (std::size_t t = 0; t < types.size(); ++t) {
    const std::int64_t entry = root + 16 + 8 * static_cast<std::int64_t>(t);
    PutLe32(b, entry, types[t]);
    PutLe32(b, entry + 4, 0x80000000u | static_cast<std::uint32_t>(typeDir[types[t]]));
    built.typeEntries.push_back(entry);
    built.typeDirectories.push_back(root + typeDir[types[t]]);
    const auto& list = names[types[t]];
    std::size_t named = 0;
    for (const auto& n : list) named += n.first.empty() ? 0 : 1;
    directory(root + typeDir[types[t]], named, list.size() - named);
    for (std::size_t k = 0; k < list.size(); ++k) {
      const std::int64_t e = root + typeDir[types[t]] + 16 + 8 * static_cast<std::int64_t>(k);
      const auto& n = list[k];
      PutLe32(b, e, n.first.empty() ? n.second : 0x80000000u | static_cast<std::uint32_t>(strings[n.first]));
      PutLe32(b, e + 4, 0x80000000u | static_cast<std::uint32_t>(nameDir[{types[t], n}]));
      directory(root + nameDir[{types[t], n}], 0, languages[{types[t], n}].size());
    }
  }
  for (const auto& [s, offset] : strings) {
    PutLe16(b, root + offset, static_cast<std::uint32_t>(s.size()));
    for (std::size_t c = 0; c < s.size(); ++c) PutLe16(b, root + offset + 2 + 2 * static_cast<std::int64_t>(c), s[c]);
  }
  built.languageEntries.resize(resources.size());
  built.dataEntries.resize(resources.size());
  for (const auto& [key, list] : languages) {
    for (std::size_t j = 0; j < list.size(); ++j) {
      const std::size_t k = list[j];
      const std::int64_t e = root + nameDir[key] + 16 + 8 * static_cast<std::int64_t>(j);
      const std::int64_t d = dataEntries + 16 * static_cast<std::int64_t>(k);
      PutLe32(b, e, resources[k].language);
      PutLe32(b, e + 4, static_cast<std::uint32_t>(d));
      PutLe32(b, root + d, rsrcRva + static_cast<std::uint32_t>(dataAt[k]));
      PutLe32(b, root + d + 4, static_cast<std::uint32_t>(resources[k].data.size()));
      std::copy(resources[k].data.begin(), resources[k].data.end(), b.begin() + root + dataAt[k]);
      built.languageEntries[k] = e;
      built.dataEntries[k] = root + d;
    }
  }
  return built;
}

Bytes Dib(std::uint32_t headerSize, std::int32_t width, std::int32_t height, std::uint16_t bits,
          std::uint32_t compression, std::uint32_t used, std::int64_t tableAndMasks,
          std::int64_t pixels) {
  Bytes b(static_cast<std::size_t>(headerSize + tableAndMasks + pixels), 0);
  for (std::size_t k = headerSize; k < b.size(); ++k) b[k] = static_cast<std::uint8_t>(k * 7 + 1);
  PutLe32(b, 0, headerSize);
  if (headerSize == 12) {
    PutLe16(b, 4, static_cast<std::uint32_t>(width));
    PutLe16(b, 6, static_cast<std::uint32_t>(height));
    PutLe16(b, 8, 1);
    PutLe16(b, 10, bits);
    return b;
  }
  if (headerSize >= 16) {
    PutLe32(b, 4, static_cast<std::uint32_t>(width));
    PutLe32(b, 8, static_cast<std::uint32_t>(height));
    PutLe16(b, 12, 1);
    PutLe16(b, 14, bits);
  }
  if (headerSize >= 20) PutLe32(b, 16, compression);
  if (headerSize >= 36) PutLe32(b, 32, used);
  return b;
}

Bytes PngHead(std::uint32_t width, std::uint32_t height, std::int64_t more) {
  Bytes b = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A, 0, 0, 0, 13, 'I', 'H', 'D', 'R'};
  for (std::uint32_t v : {width, height}) {
    for (int s = 24; s >= 0; s -= 8) b.push_back(static_cast<std::uint8_t>(v >> s));
  }
  b.resize(b.size() + static_cast<std::size_t>(more), 0x5A);
  return b;
}

Bytes Group(std::uint16_t type, const std::vector<GroupEntry>& entries, int count) {
  Bytes b(6 + 14 * entries.size(), 0);
  PutLe16(b, 2, type);
  PutLe16(b, 4, count >= 0 ? static_cast<std::uint32_t>(count) : static_cast<std::uint32_t>(entries.size()));
  for (std::size_t k = 0; k < entries.size(); ++k) {
    const GroupEntry& e = entries[k];
    const std::int64_t at = 6 + 14 * static_cast<std::int64_t>(k);
    b[static_cast<std::size_t>(at)] = e.width;
    b[static_cast<std::size_t>(at + 1)] = e.height;
    b[static_cast<std::size_t>(at + 2)] = e.colours;
    b[static_cast<std::size_t>(at + 3)] = e.reserved;
    PutLe16(b, at + 4, e.planes);
    PutLe16(b, at + 6, e.bits);
    PutLe32(b, at + 8, e.bytes);
    PutLe16(b, at + 12, e.id);
  }
  return b;
}

}  // namespace qx::testprograms
