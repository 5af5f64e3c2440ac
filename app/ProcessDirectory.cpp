// The directory walker: depth-first, in listing order, one directory current
// at a time.
#include <cstddef>
#include <cwchar>
#include <memory>
#include <unordered_set>
#include <vector>

#include "app/Driver.h"
#include "app/Road.h"
#include "app/Run.h"
#include "platform/platform.h"
#include "support/ComposePath.h"
#include "support/StringHelper.h"

namespace {

using qx::plat::kPathCapacity;

struct IdentityHash {
  std::size_t operator()(const qx::plat::DirIdentity& id) const {
    return std::hash<std::uint64_t>()(id.inode * 0x9E3779B97F4A7C15ull ^ id.device);
  }
};

struct Walk {
  qx::app::Run& run;
  // Every directory this walk has entered, its ancestors among them. A link
  // back to an ancestor would make the walk go round for ever; links that
  // form no cycle but share targets (each level linking twice to the next)
  // would make it walk the same directories 2^n times. Each directory is
  // therefore walked once, by the first path that reaches it.
  std::unordered_set<qx::plat::DirIdentity, IdentityHash> walked;
};

// What one level of the walk holds while it lists its directory. It lives on
// the heap: a deep tree nests one level per directory, and paths hold
// thousands of characters.
struct Level {
  qx::plat::FindData record;
  wchar_t entryPath[kPathCapacity];
};

bool IsDotEntry(const wchar_t* name) {
  return Safe_wcscmp(name, L".") == 0 || Safe_wcscmp(name, L"..") == 0;
}

// Lists the directory `path` (absolute) from inside it, and makes
// `returnTo` current again before it returns.
void WalkDirectory(const wchar_t* path, const wchar_t* returnTo, Walk& walk) {
  qx::plat::DirIdentity identity{};
  if (!qx::plat::GetDirIdentity(path, &identity) || (walk.walked.count(identity) == 0 && qx::plat::ChangeDir(path) != 0)) {
    walk.run.road.Tell(path, qx::plat::LastError());
    return;
  }
  if (walk.walked.count(identity) != 0) return;
  walk.walked.insert(identity);

  // Only a root ends in a separator; its entries need no second one.
  const std::size_t pathLength = std::wcslen(path);
  const bool endsInSeparator = pathLength > 0 && qx::plat::IsSeparator(path[pathLength - 1]);

  auto level = std::make_unique<Level>();
  const qx::plat::FindHandle handle = qx::plat::FindFirst(L"*.*", &level->record);
  if (handle == qx::plat::kInvalidFind && qx::plat::LastError() != 0) {
    walk.run.road.Tell(path, qx::plat::LastError());
  }
  if (handle != qx::plat::kInvalidFind) {
    do {
      qx::plat::FindData& entry = level->record;
      const bool isDirectory = (entry.attrib & qx::plat::kAttribSubdir) != 0;
      if (isDirectory && (!walk.run.settings.subdirs || IsDotEntry(entry.name))) continue;
      if (!qx::ComposePath(level->entryPath, endsInSeparator ? L"%s%s" : L"%s" QX_PATH_SEP L"%s",
                           path, entry.name)) {
        continue;
      }
      if (!isDirectory &&
          (!qx::app::SettleEntry(walk.run, level->entryPath, &entry) || entry.time_write >= StartTime)) {
        continue;
      }
      if (isDirectory) {
        WalkDirectory(level->entryPath, path, walk);
      } else {
        qx::app::ProcessFile(walk.run, level->entryPath);
      }
    } while (qx::plat::FindNext(handle, &level->record) == 0);
    qx::plat::FindClose(handle);
  }

  qx::plat::ChangeDir(returnTo);
}

}  // namespace

void qx::app::ProcessDirectory(Run& run, const wchar_t* path) {
  auto saved = std::make_unique<wchar_t[]>(kPathCapacity);
  // Without the current directory the walk could not put it back.
  if (qx::plat::GetCwd(saved.get(), kPathCapacity) == nullptr) return;
  // The walk lists each directory from inside it, so the entry paths must not
  // depend on the current directory.
  auto absolute = std::make_unique<wchar_t[]>(kPathCapacity);
  if (!qx::plat::FullPath(path, absolute.get(), kPathCapacity)) return;

  Walk walk{run, {}};
  WalkDirectory(absolute.get(), saved.get(), walk);
}
