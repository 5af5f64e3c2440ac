// The names of a list given with -files-from (one a line) or -files0-from
// (NUL-separated): read piece by piece and handed on one by one, each as
// soon as it is complete, so that a list of any length costs the same
// bounded memory and its first name is processed while its writer is still
// writing the rest.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace qx::app {

enum class NameSeparator { kLine, kNul };

// The most bytes a listed name may hold: the bytes of a name that fits a
// path are fewer (UTF-8 spends at most four bytes on a character, three on
// a UTF-16 unit).
inline constexpr std::size_t kMostNameBytes = 4 * static_cast<std::size_t>(plat::kPathCapacity);

// Cuts a list's bytes into names, whatever pieces they come in. A line
// loses one trailing carriage return (CR LF line ends). Empty names are
// skipped, and so is a name that no path could be: a line holding a NUL, or
// more than kMostNameBytes bytes (dropped as they come, never held).
class NameSplitter {
 public:
  using Take = std::function<void(std::string_view)>;

  explicit NameSplitter(NameSeparator separator) : separator_(separator) {}

  // Takes the next piece of the list; every name it completes goes to take.
  void Feed(std::string_view piece, const Take& take);
  // The list's end: a last name without a separator after it is taken too.
  void End(const Take& take);

 private:
  void Complete(const Take& take);

  NameSeparator separator_;
  std::string pending_;    // the name being read
  bool overlong_ = false;  // the name being read is past kMostNameBytes
};

// The bytes asked of the list at a time.
inline constexpr std::size_t kListPiece = 64 * 1024;

// Reads the list `path` names ("-": standard input) in pieces of
// kListPiece, and hands each name, decoded as the platform decodes listed
// names, to take as soon as its separator (or the list's end) is read. A
// name that does not decode, or whose text does not fit a path
// (kPathCapacity), is passed over. `waiting`, when given, is called before
// each read that may have to wait for the list's writer. False when the list
// could not be opened or a read failed; the names before the failure have
// been handed on, and the one it cut is not.
bool ReadNameList(const wchar_t* path, NameSeparator separator,
                  const std::function<void(const wchar_t*)>& take,
                  const std::function<void()>& waiting = {});

}  // namespace qx::app
