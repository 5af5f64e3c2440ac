// The output step: names, writes, counts and reports each carved resource.
//
// An image found in a source file is written beside it as
// <drive><dir><name>_NNN.<ext>, NNN being the running number of its kind for
// that source (at least three digits, from 000). The file appears under that
// name only once complete, replacing whatever the name held (a link there is
// replaced, never followed), with the source's read and write permission
// bits. Only then is it counted and, at verbosity 3, reported on standard
// output as "  <output path>"; a failed write leaves nothing, prints nothing
// and keeps the number for the next image of the kind.
//
// The step is not a search: the searches only find (scanners/); the driver
// (app/) sequences the writes, so that a run gives the same files and the
// same standard output whatever number of threads scanned.
#pragma once

#include <cstdint>

#include "platform/platform.h"

enum class ResourceKind { Bmp, Jpeg, Png };

// Where the outputs of one source go.
struct OutputPlace {
  // The source as the run names it; printed output names derive from it.
  const wchar_t* path = nullptr;
  // The same file as the system should find it when the current directory
  // may have changed since the run reached it (an absolute form of a
  // relative path), or null when `path` serves.
  const wchar_t* systemPath = nullptr;
  // The source's permission bits, which its outputs get.
  std::uint32_t permissions = 0666u;
  // Asked once a resource's bytes are written and before they are renamed
  // into place: false when the source's bytes under [start, start + length)
  // may no longer be the file's (a mapped file cut short while it was
  // read); the output is then abandoned. Null: always intact.
  bool (*intact)(const void* context, std::int64_t start, std::int64_t length) = nullptr;
  const void* intactContext = nullptr;
  // Where `start` pointers given with this place count from, for `intact`.
  const std::uint8_t* base = nullptr;
};

// Writes one resource of `length` bytes from `start`. The counter is
// incremented, and at verbosity 3 the line printed, only after a complete
// write.
void WriteResource(const OutputPlace& place, ResourceKind kind, const std::uint8_t* start,
                   std::int64_t length, int verbosity, int& counter);

// The same for a resource of `length` bytes at `offset` of `file`, copied from
// the file piece by piece: a file scanned through windows is not in memory,
// and its images may be gigabytes long. A file that has become shorter than
// the resource fails the write.
void WriteResourceFrom(const OutputPlace& place, ResourceKind kind, qx::plat::InputFile& file,
                       std::int64_t offset, std::int64_t length, int verbosity, int& counter);

// The same for a source known by its path alone (outputs get 0666, limited
// by the umask).
void WriteResource(const wchar_t* path, ResourceKind kind, const std::uint8_t* start,
                   std::int64_t length, int verbosity, int& counter);

// A whole scan of one kind over a buffer and the output of every hit, in
// buffer order, numbered from 000: what one thread does per kind and file.
void ExtractBmp(const std::uint8_t* buffer, const wchar_t* path, std::int64_t length,
                int verbosity);
void ExtractJpg(const std::uint8_t* buffer, const wchar_t* path, std::int64_t length,
                int verbosity);
void ExtractPng(const std::uint8_t* buffer, const wchar_t* path, std::int64_t length,
                int verbosity);
