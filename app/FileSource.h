// A file far larger than memory as a ByteSource: each slot maps a window of
// the file at a time, and moves it when a view outside it is asked for.
//
// Memory stays bounded by the slots' windows whatever the file's size. The
// file's length is taken when the scan starts; views past the end of a file
// that has shrunk since read as zeros (see InputFile::MapView), and the
// source remembers the lowest offset from which its views were not the
// file's. Progress is the furthest position asked for on slot 0, which the
// searches use for their scan position.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/platform.h"
#include "support/ByteSource.h"

namespace qx::app {

class FileSource final : public ByteSource {
 public:
  // `window`: about the bytes mapped per slot (at most 16 MiB); every view
  // covers at least half of it. `progress` (if given) follows the furthest
  // position asked for on slot 0.
  FileSource(plat::InputFile& file, std::int64_t length, std::int64_t window,
             std::atomic<std::int64_t>* progress = nullptr);
  ~FileSource() override;
  FileSource(const FileSource&) = delete;
  FileSource& operator=(const FileSource&) = delete;

  std::int64_t Length() const override { return length_; }
  std::int64_t MinView() const override { return window_ / 2; }
  const std::uint8_t* View(int slot, std::int64_t pos, std::int64_t* end) override;

  // Where views stopped being the file's, or -1.
  std::int64_t DamagedFrom() const;

 private:
  void Release(int slot);

  plat::InputFile& file_;
  std::int64_t length_;
  std::int64_t window_;
  plat::InputFile::View views_[kByteSourceSlots];
  std::atomic<std::int64_t>* progress_;
  std::int64_t furthest_ = 0;
  std::int64_t damagedFrom_ = -1;
};

}  // namespace qx::app
