#include "output/OutputNames.h"

#include <cwchar>

#include "output/Kinds.h"
#include "platform/platform.h"

namespace qx {
namespace {

wchar_t FoldForMatch(wchar_t c) {
  if (c >= L'A' && c <= L'Z') return static_cast<wchar_t>(c + 0x20);
  return c < 0x80 ? c : static_cast<wchar_t>(0x80);
}

std::wstring Folded(std::wstring text) {
  for (wchar_t& c : text) c = FoldForMatch(c);
  return text;
}

}  // namespace

PathParts SplitParts(const wchar_t* path) {
  // Each part is at most as long as the path.
  const std::size_t capacity = (path != nullptr ? std::wcslen(path) : 0) + 1;
  std::wstring drive(capacity, L'\0');
  std::wstring dir(capacity, L'\0');
  PathParts parts{std::wstring(capacity, L'\0'), std::wstring(capacity, L'\0'), {}};
  parts.extension.assign(capacity, L'\0');
  plat::SplitPath(path, drive.data(), capacity, dir.data(), capacity, parts.name.data(), capacity,
                  parts.extension.data(), capacity);
  for (std::wstring* part : {&drive, &dir, &parts.name, &parts.extension}) {
    part->resize(std::wcslen(part->c_str()));
  }
  parts.directory = drive + dir;
  return parts;
}

OutputNames::OutputNames(const wchar_t* source) : parts_(SplitParts(source)) {}

bool OutputNames::Next(ImageKind kind, std::wstring* path, std::wstring* leaf) const {
  std::wstring number = std::to_wstring(counters_[static_cast<int>(kind)]);
  if (number.size() < 3) number.insert(0, 3 - number.size(), L'0');
  *leaf = parts_.name + L'_' + number + L'.' + RowOf(kind).extension;
  *path = parts_.directory + *leaf;
  return path->size() < static_cast<std::size_t>(plat::kPathCapacity);
}

bool NamedLikeOutput(const wchar_t* name, std::wstring* stem) {
  if (name == nullptr) return false;
  const std::wstring folded = Folded(name);
  const std::size_t dot = folded.rfind(L'.');
  if (dot == std::wstring::npos) return false;
  bool known = false;
  for (const KindRow& row : Kinds()) known = known || folded.compare(dot + 1, std::wstring::npos, row.extension) == 0;
  if (!known) return false;
  std::size_t digits = dot;
  while (digits > 0 && folded[digits - 1] >= L'0' && folded[digits - 1] <= L'9') --digits;
  if (dot - digits < 3 || digits == 0 || folded[digits - 1] != L'_') return false;
  if (stem != nullptr) *stem = folded.substr(0, digits - 1);
  return true;
}

std::wstring FoldedStem(const wchar_t* path) { return Folded(SplitParts(path).name); }

}  // namespace qx
