// The names of a source's outputs, owned in one place: composing them,
// counting them, and recognising a name that has their form.
//
// An image found in `source` is named <drive><dir><name>_NNN.<ext>: the
// source's path without its extension, the running number of the image's
// kind for that source (at least three digits, from 000) and the kind's
// extension. A name that does not fit a path (plat::kPathCapacity) is no
// name: a cut one could create or replace a file nobody asked for.
#pragma once

#include <string>
#include <utility>

#include "output/Image.h"

namespace qx {

// A path split by the platform's rule: <drive><dir>, the name, and the
// extension (from the name's last dot).
struct PathParts {
  std::wstring directory;
  std::wstring name;
  std::wstring extension;
};
PathParts SplitParts(const wchar_t* path);

class OutputNames {
 public:
  explicit OutputNames(const wchar_t* source);

  // Where the outputs go: <drive><dir> of the source (empty: the current
  // directory), unless put elsewhere.
  const std::wstring& Directory() const { return parts_.directory; }
  void SetDirectory(std::wstring directory) { parts_.directory = std::move(directory); }

  // The next name for an image of `kind`: the whole path into *path and its
  // last component into *leaf. False when it does not fit.
  bool Next(ImageKind kind, std::wstring* path, std::wstring* leaf) const;

  // An output of `kind` was written whole under the name Next gave: the
  // next one gets the next number.
  void Taken(ImageKind kind) { ++counters_[static_cast<int>(kind)]; }

 private:
  PathParts parts_;
  int counters_[kKindCount] = {};
};

// True when `name` (an entry's own name) has the form of an output name:
// <stem>_<three or more digits>.<the extension of a kind>, A-Z folded.
// *stem, when given, receives the stem folded as FoldedStem folds.
bool NamedLikeOutput(const wchar_t* name, std::wstring* stem);

// The name part of `path` (without directory and extension), folded so that
// it compares with the stems NamedLikeOutput gives: A-Z as the tool folds
// them, and every other character beyond ASCII as one, so that a file
// system folding more than ASCII cannot hide a match (a false one costs a
// wait at most).
std::wstring FoldedStem(const wchar_t* path);

}  // namespace qx
