// Path split and absolute paths. The split works on the wide text alone; the
// absolute form asks the file system only whether a component is a link.
#include <sys/stat.h>

#include <cwchar>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/native_text.h"

namespace qx::plat {

namespace {

// One output part: where it goes and what it should hold.
struct Part {
  wchar_t* buffer;
  std::size_t capacity;
  const wchar_t* begin;
  std::size_t length;
};

void Store(const Part& part) {
  std::wmemcpy(part.buffer, part.begin, part.length);
  part.buffer[part.length] = L'\0';
}

void Clear(const Part& part) {
  // A zero-capacity buffer cannot even take the terminator.
  if (part.buffer != nullptr && part.capacity > 0) part.buffer[0] = L'\0';
}

}  // namespace

int SplitPath(const wchar_t* path, wchar_t* drive, std::size_t driveCapacity,
              wchar_t* dir, std::size_t dirCapacity, wchar_t* name,
              std::size_t nameCapacity, wchar_t* ext, std::size_t extCapacity) {
  const wchar_t* const start = path != nullptr ? path : L"";
  const std::size_t length = std::wcslen(start);
  const wchar_t* const end = start + length;

  // POSIX has no drives: the drive part is always empty.
  const wchar_t* dirEnd = start;
  for (const wchar_t* p = start; p != end; ++p) {
    if (IsSeparator(*p)) dirEnd = p + 1;
  }
  const wchar_t* extBegin = end;
  for (const wchar_t* p = end; p != dirEnd;) {
    --p;
    if (*p == L'.') {
      extBegin = p;
      break;
    }
  }

  const Part parts[] = {
      {drive, driveCapacity, start, 0},
      {dir, dirCapacity, start, static_cast<std::size_t>(dirEnd - start)},
      {name, nameCapacity, dirEnd, static_cast<std::size_t>(extBegin - dirEnd)},
      {ext, extCapacity, extBegin, static_cast<std::size_t>(end - extBegin)},
  };

  bool fits = path != nullptr;
  for (const Part& part : parts) {
    if (part.buffer != nullptr && part.length >= part.capacity) fits = false;
  }
  // Nothing is stored until every wanted part is known to fit: a caller never
  // sees a directory from one path next to an empty name of another.
  for (const Part& part : parts) {
    if (part.buffer == nullptr) continue;
    if (fits) {
      Store(part);
    } else {
      Clear(part);
    }
  }
  return fits ? 0 : 1;
}

bool IsAbsolute(const wchar_t* path) { return path != nullptr && path[0] == L'/'; }

bool FullPath(const wchar_t* path, wchar_t* out, int capacity) {
  if (path == nullptr || path[0] == L'\0' || out == nullptr || capacity <= 0) {
    return false;
  }

  std::wstring joined;
  if (!IsSeparator(path[0])) {
    std::vector<wchar_t> cwd(static_cast<std::size_t>(kPathCapacity));
    if (GetCwd(cwd.data(), kPathCapacity) == nullptr) return false;
    joined = cwd.data();
    joined += kSeparator;
  }
  joined += path;

  // "." and empty components (repeated separators) vanish. ".." takes the
  // component before it away, as the system would, unless that component is
  // a link: the system then goes up from the link's target, which the text
  // does not show, so the ".." stays for the system to resolve. ".." at the
  // root stays at the root.
  std::vector<std::wstring_view> components;
  const std::wstring_view text(joined);
  std::wstring result;
  const auto prefix = [&] {
    result.clear();
    for (const std::wstring_view component : components) {
      result += kSeparator;
      result += component;
    }
  };
  std::size_t pos = 0;
  while (pos <= text.size()) {
    std::size_t next = pos;
    while (next < text.size() && !IsSeparator(text[next])) ++next;
    const std::wstring_view component = text.substr(pos, next - pos);
    if (component == L"..") {
      if (!components.empty()) {
        prefix();
        struct stat st {};
        const bool throughLink = components.back() == L".." ||
                                 (::lstat(posix::EncodeNative(result).c_str(), &st) == 0 &&
                                  S_ISLNK(st.st_mode));
        if (throughLink) {
          components.push_back(component);
        } else {
          components.pop_back();
        }
      }
    } else if (!component.empty() && component != L".") {
      components.push_back(component);
    }
    pos = next + 1;
  }
  prefix();
  // A path that ends in a separator names a directory; the separator is kept
  // so that a name can be appended to the result directly.
  const bool trailing = IsSeparator(text.back());
  if (result.empty() || trailing) result += kSeparator;

  if (result.size() >= static_cast<std::size_t>(capacity)) return false;
  std::wmemcpy(out, result.data(), result.size());
  out[result.size()] = L'\0';
  return true;
}

}  // namespace qx::plat
