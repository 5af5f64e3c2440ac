#include "app/FileSource.h"

#include <cstdlib>

namespace qx::app {
namespace {

// What a view reads when the file can be neither mapped nor read there (no
// memory left): never written, so its pages stay the system's shared zero
// page and cost nothing.
constexpr std::int64_t kMaxWindow = 16 << 20;
std::uint8_t gZeros[kMaxWindow + kMaxWindow / 2];

}  // namespace

FileSource::FileSource(plat::InputFile& file, std::int64_t length, std::int64_t window,
                       std::atomic<std::int64_t>* progress)
    : file_(file),
      length_(length),
      window_(window < 2 ? 2 : window > kMaxWindow ? kMaxWindow : window),
      progress_(progress) {}

FileSource::~FileSource() {
  for (int slot = 0; slot < kByteSourceSlots; ++slot) Release(slot);
}

void FileSource::Release(int slot) {
  plat::InputFile::View& view = views_[slot];
  if (view.base == nullptr) return;
  const std::int64_t damaged = file_.ViewDamagedFrom(view);
  if (damaged >= 0 && (damagedFrom_ < 0 || damaged < damagedFrom_)) damagedFrom_ = damaged;
  file_.ReleaseView(&view);
}

std::int64_t FileSource::DamagedFrom() const {
  std::int64_t lowest = damagedFrom_;
  for (const auto& view : views_) {
    if (view.base == nullptr) continue;
    const std::int64_t damaged = file_.ViewDamagedFrom(view);
    if (damaged >= 0 && (lowest < 0 || damaged < lowest)) lowest = damaged;
  }
  return lowest;
}

const std::uint8_t* FileSource::View(int slot, std::int64_t pos, std::int64_t* end) {
  if (slot < 0 || slot >= kByteSourceSlots) slot = 0;
  if (slot == 0 && pos > furthest_) {
    furthest_ = pos;
    if (progress_ != nullptr) progress_->store(pos, std::memory_order_relaxed);
  }
  plat::InputFile::View& view = views_[slot];
  const std::int64_t wanted = length_ - pos < window_ / 2 ? length_ : pos + window_ / 2;
  if (view.base != nullptr && pos >= view.offset && wanted <= view.offset + view.length) {
    *end = view.offset + view.length < length_ ? view.offset + view.length : length_;
    return view.data + (pos - view.offset);
  }
  Release(slot);
  // Windows start on multiples of the window and reach half a window
  // further, so that a scan moving forward maps each byte about 1.5 times
  // and every view still covers MinView() bytes.
  const std::int64_t start = pos - pos % window_;
  const std::int64_t reach = window_ + window_ / 2;
  const std::int64_t length = length_ - start < reach ? length_ - start : reach;
  *end = start + length;
  if (file_.MapView(start, length, &view)) return view.data + (pos - start);
  // Neither mapped nor read: zeros, counted as damage from here.
  if (damagedFrom_ < 0 || pos < damagedFrom_) damagedFrom_ = pos;
  return gZeros + (pos - start);
}

}  // namespace qx::app
