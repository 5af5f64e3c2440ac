// A program's headers as this module reads them: the section table, the
// resource directory's RVA, and RVAs mapped to positions in the searched
// bytes (the rules are stated in ProgramImages.h). Also the work budget the
// module charges its reads and writes to, and a growable block that never
// throws.
#pragma once

#include <cstdint>
#include <memory>
#include <new>

#include "support/SlotReader.h"

namespace qx::programs_detail {

using Reader = SlotReader;

class Budget {
 public:
  explicit Budget(std::int64_t units) : left_(units > 0 ? units : 0) {}

  // Charges `units`, or fails and stays spent from then on.
  bool Take(std::int64_t units) {
    if (spentOut_ || units > left_) {
      spentOut_ = true;
      return false;
    }
    left_ -= units;
    used_ += units;
    return true;
  }
  void SpendOut() { spentOut_ = true; }

  std::int64_t left() const { return spentOut_ ? 0 : left_; }
  std::int64_t used() const { return used_; }
  bool spentOut() const { return spentOut_; }

 private:
  std::int64_t left_;
  std::int64_t used_ = 0;
  bool spentOut_ = false;
};

// Room for n elements, kept between uses; its contents are not kept when it
// grows. Refused memory is reported, never thrown.
template <class T>
class Block {
 public:
  bool Reserve(std::int64_t n) {
    if (n <= capacity_) return true;
    std::unique_ptr<T[]> grown(new (std::nothrow) T[static_cast<std::size_t>(n)]);
    if (!grown) return false;
    data_ = std::move(grown);
    capacity_ = n;
    return true;
  }
  T* data() { return data_.get(); }
  const T* data() const { return data_.get(); }

 private:
  std::unique_ptr<T[]> data_;
  std::int64_t capacity_ = 0;
};

struct Section {
  std::uint32_t virtualAddress;
  std::uint32_t virtualSize;  // VirtualSize, or the raw size when that is 0
  std::uint32_t rawSize;
  std::uint32_t rawPointer;  // counted from the program's "MZ"
};

struct ProgramLayout {
  std::int64_t mz = 0;
  Block<Section> sections;
  std::int64_t sectionCount = 0;
  // From the "MZ" to the furthest end of the headers or of a section's raw
  // data, inside the bytes.
  std::int64_t extent = 0;
  std::uint32_t resourceRva = 0;  // 0: no resources
};

enum class HeaderResult { kNotProgram, kProgram, kBudgetSpent };

// The headers of the candidate at `mz` (its "MZ" already seen). What is read
// past the DOS header is charged to `budget`.
HeaderResult ReadProgram(Reader& reader, std::int64_t mz, Budget& budget, ProgramLayout* layout);

// Where [rva, rva + size) lies in the searched bytes (*pos), and where the
// raw data of its section ends inside them (*sectionEnd); false when no
// section holds it all in its raw data.
bool MapRva(const ProgramLayout& layout, std::int64_t length, std::uint32_t rva,
            std::uint32_t size, std::int64_t* pos, std::int64_t* sectionEnd);

}  // namespace qx::programs_detail
