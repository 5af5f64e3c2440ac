#include "reference_jpeg.h"

namespace qx::testref {

namespace {

bool IsFrameHeader(std::uint8_t code) {
  for (int sof : {0xC0, 0xC1, 0xC2, 0xC3, 0xC5, 0xC6, 0xC7, 0xC9, 0xCA, 0xCB, 0xCD, 0xCE, 0xCF}) {
    if (code == sof) return true;
  }
  return false;
}

}  // namespace

JpegHits FindJpegsReference(const std::uint8_t* data, std::int64_t length, bool strict) {
  JpegHits hits;
  if (length <= 100) return hits;
  std::int64_t i = 0;
  while (i < length - 100) {
    if (!(data[i] == 0xFF && data[i + 1] == 0xD8 && data[i + 2] == 0xFF)) {
      ++i;
      continue;
    }
    std::int64_t j = i + 2;
    std::uint32_t segments = 0;
    bool frame = false;
    bool scan = false;
    bool rejected = false;
    while (data[j] == 0xFF) {
      if (j + 1 > length - 1) {
        rejected = true;
        break;
      }
      const std::uint8_t code = data[j + 1];
      if (code == 0x01 || (code >= 0xD0 && code <= 0xD7)) {
        j += 2;
      } else {
        if (j + 3 > length - 1) {
          rejected = true;
          break;
        }
        j += 2 + data[j + 2] * 256 + data[j + 3];
        ++segments;
        frame = frame || IsFrameHeader(code);
        scan = scan || code == 0xDA;
      }
      if (j >= length) {
        rejected = true;
        break;
      }
    }
    if (rejected || segments < 3 || (strict && !(frame && scan))) {
      ++i;
      continue;
    }
    std::int64_t p = j;
    while (p <= length - 2 && !(data[p] == 0xFF && data[p + 1] == 0xD9)) ++p;
    if (p > length - 2) {
      ++i;
      continue;
    }
    hits.emplace_back(i, p + 2 - i);
    i = p + 2;
  }
  return hits;
}

}  // namespace qx::testref
