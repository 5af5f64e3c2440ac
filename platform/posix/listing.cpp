// Directory listings with wildcard patterns.
//
// A listing reads its directory's names whole when it starts and sorts them,
// so that the order does not depend on the file system and entries created
// while the tool works (its own outputs among them) never join a listing
// already under way. Each entry is looked at (stat) only when it is
// delivered: a file rewritten in the meantime shows its new write time.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cwchar>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/failure.h"
#include "platform/platform.h"
#include "platform/posix/native_text.h"

namespace qx::plat {

namespace {

struct Entry {
  std::string native;  // the name as the file system holds it
  std::wstring wide;   // the same name decoded
};

struct Listing {
  // Entries are described only when they are delivered, so a file written
  // meanwhile shows its new time. They must be found again even after the
  // caller has changed the current directory (the walker does, between one
  // entry and the next): through the directory's absolute path, or, where
  // that is unknown or too long, through the directory kept open. A path is
  // preferred because a walk nests one listing per level and open
  // descriptors are a scarce resource (1024 by default).
  std::string dirPath;  // absolute, ending in '/', when known
  int dirFd = -1;
  std::vector<Entry> entries;
  std::size_t next = 0;
  // A pattern without wildcards yields its single record at once.
  bool single = false;

  ~Listing() {
    if (dirFd >= 0) ::close(dirFd);
  }
};

// Handles are numbers drawn from a counter rather than addresses, so a stale
// or made-up handle is recognised instead of touching freed memory, even if
// a new listing reuses the old one's memory.
struct Registry {
  std::mutex lock;
  std::unordered_map<FindHandle, std::unique_ptr<Listing>> live;
  FindHandle lastHandle = 0;
};

Registry& TheRegistry() {
  static Registry registry;
  return registry;
}

Listing* Lookup(FindHandle handle) {
  Registry& registry = TheRegistry();
  std::lock_guard<std::mutex> guard(registry.lock);
  const auto it = registry.live.find(handle);
  return it == registry.live.end() ? nullptr : it->second.get();
}

FindHandle Register(std::unique_ptr<Listing> listing) {
  Registry& registry = TheRegistry();
  std::lock_guard<std::mutex> guard(registry.lock);
  const FindHandle handle = ++registry.lastHandle;
  registry.live.emplace(handle, std::move(listing));
  return handle;
}

// Simple one-to-one lower-case folding for the scripts whose names commonly
// differ by case only: ASCII, Latin-1, Latin Extended-A, Greek and Cyrillic.
// Characters with no single-character counterpart (dotted capital I, dotless
// small i, long s...) are left alone. No locale is consulted.
wchar_t FoldCase(wchar_t c) {
  if (c < 0x80) return (c >= L'A' && c <= L'Z') ? c + 0x20 : c;
  if (c < 0xC0) return c;
  if (c <= 0xDE) return c == 0xD7 ? c : c + 0x20;  // U+00D7 is the multiplication sign
  if (c < 0x100) return c;
  if (c < 0x180) {
    if (c == 0x178) return 0xFF;
    const bool pairedEvenUpper =
        (c < 0x130) || (c >= 0x132 && c <= 0x137) || (c >= 0x14A && c <= 0x177);
    const bool pairedOddUpper = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
    if (pairedEvenUpper && c % 2 == 0) return c + 1;
    if (pairedOddUpper && c % 2 == 1) return c + 1;
    return c;
  }
  if (c < 0x386) return c;
  if (c < 0x400) {
    if (c == 0x386) return 0x3AC;
    if (c >= 0x388 && c <= 0x38A) return c + 37;
    if (c == 0x38C) return 0x3CC;
    if (c == 0x38E || c == 0x38F) return c + 63;
    if (c >= 0x391 && c <= 0x3AB && c != 0x3A2) return c + 0x20;
    if (c == 0x3C2) return 0x3C3;  // final sigma
    return c;
  }
  if (c < 0x530) {
    if (c < 0x410) return c + 0x50;
    if (c < 0x430) return c + 0x20;
    if (c == 0x4C0) return 0x4CF;
    const bool pairedEvenUpper =
        (c >= 0x460 && c <= 0x481) || (c >= 0x48A && c <= 0x4BF) || (c >= 0x4D0);
    const bool pairedOddUpper = c >= 0x4C1 && c <= 0x4CE;
    if (pairedEvenUpper && c % 2 == 0) return c + 1;
    if (pairedOddUpper && c % 2 == 1) return c + 1;
    return c;
  }
  return c;
}

// '*' matches any run of characters, also an empty one; '?' exactly one.
// A '*' that fails to match further on resumes one character later, so the
// work is bounded by pattern length times name length.
bool MatchWildcards(std::wstring_view pattern, std::wstring_view name) {
  std::size_t p = 0;
  std::size_t n = 0;
  std::size_t star = std::wstring_view::npos;
  std::size_t resume = 0;
  while (n < name.size()) {
    if (p < pattern.size() && pattern[p] == L'*') {
      star = p++;
      resume = n;
    } else if (p < pattern.size() &&
               (pattern[p] == L'?' || FoldCase(pattern[p]) == FoldCase(name[n]))) {
      ++p;
      ++n;
    } else if (star != std::wstring_view::npos) {
      p = star + 1;
      n = ++resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == L'*') ++p;
  return p == pattern.size();
}

// A trailing ".*" may also match the end of a name without any dot, so
// "*.*" matches every name and "notes.*" matches "notes" as well.
bool MatchPattern(std::wstring_view pattern, std::wstring_view name) {
  if (MatchWildcards(pattern, name)) return true;
  return pattern.size() >= 2 && pattern.substr(pattern.size() - 2) == L".*" &&
         MatchWildcards(pattern.substr(0, pattern.size() - 2), name);
}

int DotRank(std::wstring_view name) {
  if (name == L".") return 0;
  if (name == L"..") return 1;
  return 2;
}

std::uint32_t FoldAsciiOnly(wchar_t c) {
  const auto u = static_cast<std::uint32_t>(c);
  return (u >= 'A' && u <= 'Z') ? u + 0x20 : u;
}

// "." and ".." first, then by name with A-Z folded, ties broken by the exact
// name; characters compare as unsigned values.
bool ListedBefore(const Entry& a, const Entry& b) {
  const int rankA = DotRank(a.wide);
  const int rankB = DotRank(b.wide);
  if (rankA != rankB) return rankA < rankB;
  const std::size_t common = std::min(a.wide.size(), b.wide.size());
  for (std::size_t i = 0; i < common; ++i) {
    const std::uint32_t x = FoldAsciiOnly(a.wide[i]);
    const std::uint32_t y = FoldAsciiOnly(b.wide[i]);
    if (x != y) return x < y;
  }
  if (a.wide.size() != b.wide.size()) return a.wide.size() < b.wide.size();
  for (std::size_t i = 0; i < common; ++i) {
    const auto x = static_cast<std::uint32_t>(a.wide[i]);
    const auto y = static_cast<std::uint32_t>(b.wide[i]);
    if (x != y) return x < y;
  }
  return false;
}

bool FitsName(const std::wstring& wide) {
  return wide.size() < static_cast<std::size_t>(kNameCapacity);
}

// Fills the record from what stat says of the link's target; a link whose
// target is missing is described by the link itself, as a file.
bool Describe(int dirFd, const char* path, const std::wstring& wide, FindData* record) {
  struct stat st {};
  std::uint32_t attrib = 0;
  if (::fstatat(dirFd, path, &st, 0) == 0) {
    if (S_ISDIR(st.st_mode)) attrib = kAttribSubdir;
  } else if (::fstatat(dirFd, path, &st, AT_SYMLINK_NOFOLLOW) != 0) {
    return false;
  }
  record->attrib = attrib;
  record->time_write = static_cast<std::int64_t>(st.st_mtime);
  std::wmemcpy(record->name, wide.data(), wide.size());
  record->name[wide.size()] = L'\0';
  return true;
}

// Delivers the next entry that can still be described; entries that have
// vanished since the listing was read are passed over.
bool DeliverNext(Listing& listing, FindData* record) {
  while (listing.next < listing.entries.size()) {
    const Entry& entry = listing.entries[listing.next++];
    const bool described =
        listing.dirFd >= 0
            ? Describe(listing.dirFd, entry.native.c_str(), entry.wide, record)
            : Describe(AT_FDCWD, (listing.dirPath + entry.native).c_str(), entry.wide, record);
    if (described) return true;
  }
  return false;
}

bool ReadDirectory(int dirFd, std::wstring_view pattern, std::vector<Entry>& entries) {
  // fdopendir owns the descriptor it is given; the listing keeps its own.
  const int readFd = ::fcntl(dirFd, F_DUPFD_CLOEXEC, 0);
  if (readFd < 0) return false;
  DIR* dir = ::fdopendir(readFd);
  if (dir == nullptr) {
    const int error = errno;
    ::close(readFd);
    errno = error;
    return false;
  }
  for (;;) {
    errno = 0;
    const dirent* item = ::readdir(dir);
    if (item == nullptr) break;
    Entry entry{item->d_name, posix::DecodeNative(item->d_name)};
    if (FitsName(entry.wide) && MatchPattern(pattern, entry.wide)) {
      entries.push_back(std::move(entry));
    }
  }
  // A read error part-way leaves the names read so far: what could be
  // listed is listed, as with any other entry that cannot be reached.
  ::closedir(dir);
  return true;
}

// The absolute form of a directory part, ending in '/', or empty when the
// current directory is unknown or the path with a name would be too long.
std::string AbsoluteDirectory(const std::string& nativeDir) {
  std::string path;
  if (!nativeDir.empty() && nativeDir[0] == '/') {
    path = nativeDir;
  } else {
    char cwd[PATH_MAX];
    if (::getcwd(cwd, sizeof cwd) == nullptr) return {};
    path = cwd;
    if (path.back() != '/') path += '/';
    path += nativeDir;
  }
  if (path.back() != '/') path += '/';
  if (path.size() + NAME_MAX >= PATH_MAX) return {};
  return path;
}

}  // namespace

namespace {

// A pattern that names nothing (a missing name or directory) is no failure:
// LastError() is 0 then, and the system's reason otherwise.
FindHandle NotFound(int error) {
  detail::Failed(error == ENOENT || error == ENOTDIR ? 0 : error);
  return kInvalidFind;
}

}  // namespace

FindHandle FindFirst(const wchar_t* pattern, FindData* record) {
  if (pattern == nullptr || record == nullptr) return NotFound(0);
  // The pattern goes through the same mapping as the names it is compared
  // with, so both sides spell a name the same way.
  const std::string nativePattern = posix::EncodeNative(pattern);
  const std::size_t slash = nativePattern.rfind('/');
  const std::size_t lastBegin = slash == std::string::npos ? 0 : slash + 1;
  const std::string nativeLast = nativePattern.substr(lastBegin);
  if (nativeLast.empty()) return NotFound(0);
  const std::string nativeDir =
      lastBegin == 0 ? std::string(".") : nativePattern.substr(0, lastBegin);
  const std::wstring last = posix::DecodeNative(nativeLast);

  auto listing = std::make_unique<Listing>();
  if (last.find_first_of(L"*?") == std::wstring::npos) {
    // One name, taken exactly as the file system spells it; looking it up
    // needs no read permission on its directory.
    if (!FitsName(last)) return NotFound(0);
    if (!Describe(AT_FDCWD, nativePattern.c_str(), last, record)) return NotFound(errno);
    listing->single = true;
    return Register(std::move(listing));
  }

  listing->dirFd = ::open(nativeDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (listing->dirFd < 0) return NotFound(errno);
  if (!ReadDirectory(listing->dirFd, last, listing->entries)) return NotFound(errno);
  listing->dirPath = AbsoluteDirectory(nativeDir);
  if (!listing->dirPath.empty()) {
    ::close(listing->dirFd);
    listing->dirFd = -1;
  }
  std::sort(listing->entries.begin(), listing->entries.end(), ListedBefore);
  if (!DeliverNext(*listing, record)) return NotFound(0);
  return Register(std::move(listing));
}

int FindNext(FindHandle handle, FindData* record) {
  Listing* listing = Lookup(handle);
  if (listing == nullptr || record == nullptr || listing->single) return -1;
  return DeliverNext(*listing, record) ? 0 : -1;
}

int FindClose(FindHandle handle) {
  Registry& registry = TheRegistry();
  std::unique_ptr<Listing> closing;
  {
    std::lock_guard<std::mutex> guard(registry.lock);
    const auto it = registry.live.find(handle);
    if (it == registry.live.end()) return -1;
    closing = std::move(it->second);
    registry.live.erase(it);
  }
  return 0;
}

bool DescribeEntry(const wchar_t* path, FindData* record) {
  if (path == nullptr || record == nullptr) return false;
  const std::string native = posix::EncodeNative(path);
  const std::size_t slash = native.rfind('/');
  const std::wstring name =
      posix::DecodeNative(slash == std::string::npos ? native : native.substr(slash + 1));
  if (name.empty() || !FitsName(name)) return false;
  return Describe(AT_FDCWD, native.c_str(), name, record);
}

bool GetDirIdentity(const wchar_t* path, DirIdentity* identity) {
  if (path == nullptr || identity == nullptr) return false;
  struct stat st {};
  if (::stat(posix::EncodeNative(path).c_str(), &st) != 0) return detail::Failed(errno);
  if (!S_ISDIR(st.st_mode)) return detail::Failed(ENOTDIR);
  identity->device = static_cast<std::uint64_t>(st.st_dev);
  identity->inode = static_cast<std::uint64_t>(st.st_ino);
  return true;
}

}  // namespace qx::plat
