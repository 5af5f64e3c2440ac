#include "checksum/CCrc.h"

#include "checksum/Crc32Tables.h"
#include "support/ExceptionReporter.h"

namespace {

constexpr std::uint16_t kCrc16Polynomial = 0xA001u;
constexpr std::uint32_t kCrc32Polynomial = qx::kCrc32Polynomial;
constexpr std::uint64_t kCrc64Polynomial = 0xD800000000000000ull;

// Entries 0-255 of a reflected table for polynomial P. The marker (entry 256)
// is left as it is: only the constructor sets it, to a value other than P.
template <class Entry>
void BuildReflectedTable(Entry* table, Entry polynomial) {
  if (table[256] == polynomial) return;
  for (unsigned n = 0; n < 256; ++n) {
    Entry v = static_cast<Entry>(n);
    for (int bit = 0; bit < 8; ++bit) {
      v = (v & 1u) != 0 ? static_cast<Entry>((v >> 1) ^ polynomial) : static_cast<Entry>(v >> 1);
    }
    table[n] = v;
  }
}

std::uint32_t RunBytes(std::uint32_t crc, const std::uint32_t* table, const std::uint8_t* p,
                       std::uint32_t count) {
  for (const std::uint8_t* const end = p + count; p != end; ++p) {
    crc = (crc >> 8) ^ table[(crc ^ *p) & 0xFFu];
  }
  return crc;
}

constexpr std::uint32_t ReverseBytes(std::uint32_t v) {
  return (v >> 24) | ((v >> 8) & 0x0000FF00u) | ((v << 8) & 0x00FF0000u) | (v << 24);
}

}  // namespace

CCrc::CCrc() {
  if (!qx::RunGuarded([this] {
        // Markers start unequal to every polynomial, so each build runs.
        Crc16_Table[256] = 0;
        Crc32_Table[256] = 0;
        Crc64_Table[256] = 0;
        Crc16_InitTable(kCrc16Polynomial);
        Crc32_InitTable(kCrc32Polynomial);
        Crc64_InitTable(kCrc64Polynomial);
      })) {
    QX_REPORT_FAILURE();
  }
}

CCrc::~CCrc() {
  // Nothing of its own to release; the guard still covers the body so that
  // every member follows the same convention.
  if (!qx::RunGuarded([] {})) {
    QX_REPORT_FAILURE();
  }
}

void CCrc::Crc16_InitTable(std::uint16_t /*polynomial*/) {
  if (!qx::RunGuarded([this] { BuildReflectedTable(Crc16_Table, kCrc16Polynomial); })) {
    QX_REPORT_FAILURE();
  }
}

void CCrc::Crc32_InitTable(std::uint32_t /*polynomial*/) {
  if (!qx::RunGuarded([this] { BuildReflectedTable(Crc32_Table, kCrc32Polynomial); })) {
    QX_REPORT_FAILURE();
  }
}

void CCrc::Crc64_InitTable(std::uint64_t /*polynomial*/) {
  if (!qx::RunGuarded([this] { BuildReflectedTable(Crc64_Table, kCrc64Polynomial); })) {
    QX_REPORT_FAILURE();
  }
}

bool CCrc::Crc32_GetFromBuffer(const std::uint8_t* data, std::uint32_t length,
                               std::uint32_t* result) {
  bool stored = false;
  if (!qx::RunGuarded([&] {
        if (data == nullptr || result == nullptr) return;
        const bool salted = Salt_Length != 0;
        std::uint32_t crc = 0xFFFFFFFFu;
        if (salted && (Salt_Mode == 1 || Salt_Mode == 3)) {
          crc = RunBytes(crc, Crc32_Table, Salt_Data, Salt_Length);
        }
        // The data may be large: it goes through the shared slicing tables,
        // which give the same register as Crc32_Table byte by byte.
        crc = qx::Crc32UpdateSliced(crc, data, length);
        if (salted && (Salt_Mode == 2 || Salt_Mode == 3)) {
          crc = RunBytes(crc, Crc32_Table, Salt_Data, Salt_Length);
        }
        *result = ReverseBytes(~crc);
        stored = true;
      })) {
    QX_REPORT_FAILURE();
    return false;
  }
  return stored;
}
