#include "app/NameList.h"

#include <cstdint>
#include <memory>

namespace qx::app {

void NameSplitter::Feed(std::string_view piece, const Take& take) {
  const char separator = separator_ == NameSeparator::kLine ? '\n' : '\0';
  while (!piece.empty()) {
    const std::size_t end = piece.find(separator);
    const std::string_view part = piece.substr(0, end);
    if (!overlong_) {
      if (part.size() > kMostNameBytes - pending_.size()) {
        overlong_ = true;
        pending_.clear();
      } else {
        pending_.append(part);
      }
    }
    if (end == std::string_view::npos) return;
    Complete(take);
    piece.remove_prefix(end + 1);
  }
}

void NameSplitter::End(const Take& take) { Complete(take); }

void NameSplitter::Complete(const Take& take) {
  std::string_view name = pending_;
  if (separator_ == NameSeparator::kLine) {
    if (!name.empty() && name.back() == '\r') name.remove_suffix(1);
    // A NUL ends every path the system is given: such a name would be cut.
    if (name.find('\0') != std::string_view::npos) name = {};
  }
  if (!overlong_ && !name.empty()) take(name);
  pending_.clear();
  overlong_ = false;
}

bool ReadNameList(const wchar_t* path, NameSeparator separator,
                  const std::function<void(const wchar_t*)>& take,
                  const std::function<void()>& waiting) {
  plat::ListFile list;
  if (!list.Open(path)) return false;
  const auto buffer = std::make_unique<std::uint8_t[]>(kListPiece);
  std::wstring name;
  const NameSplitter::Take hand = [&](std::string_view bytes) {
    if (!plat::DecodeListedName(bytes, &name)) return;
    if (name.size() >= static_cast<std::size_t>(plat::kPathCapacity)) return;
    take(name.c_str());
  };
  NameSplitter splitter(separator);
  for (;;) {
    if (waiting && !list.Ready()) waiting();
    const std::ptrdiff_t count = list.Read(buffer.get(), kListPiece);
    if (count < 0) return false;
    if (count == 0) break;
    splitter.Feed(std::string_view(reinterpret_cast<const char*>(buffer.get()),
                                   static_cast<std::size_t>(count)),
                  hand);
  }
  splitter.End(hand);
  return true;
}

}  // namespace qx::app
