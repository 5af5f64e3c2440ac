#include "unpack_helpers.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <fstream>
#include <iterator>

namespace qx::testunpack {

Unpacked UnpackBytes(const Bytes& input, const UnpackLimits& limits, std::int64_t window) {
  Unpacked run;
  SpanSource source(input.data(), static_cast<std::int64_t>(input.size()), window);
  run.summary = Unpack(source, limits, [&](const DecodedStream& s) {
    Found f{s.kind, s.depth, s.offset, s.end, s.length, 0, s.complete, s.cut, {}};
    f.crc = static_cast<std::uint32_t>(
        crc32(0, s.data, static_cast<unsigned>(s.length)));
    if (s.length <= 1 << 20) f.bytes.assign(s.data, s.data + s.length);
    run.found.push_back(std::move(f));
  });
  return run;
}

Unpacked UnpackAllWindows(const Bytes& input, const UnpackLimits& limits) {
  Unpacked whole = UnpackBytes(input, limits);
  for (std::int64_t window : {64, 97}) {
    const Unpacked windowed = UnpackBytes(input, limits, window);
    EXPECT_EQ(whole.found, windowed.found) << "through windows of " << window << " bytes";
    EXPECT_EQ(whole.summary.decodedBytes, windowed.summary.decodedBytes);
  }
  return whole;
}

Bytes ReadData(const std::string& name) {
  std::ifstream in(std::string(QX_TEST_DATA_DIR) + "/" + name, std::ios::binary);
  EXPECT_TRUE(in.good()) << name;
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

Bytes ToBytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

std::uint32_t Crc(const Bytes& bytes) {
  return static_cast<std::uint32_t>(crc32(0, bytes.data(), static_cast<unsigned>(bytes.size())));
}

void Append(Bytes& to, const Bytes& more) {
  // Byte by byte: g++ 12 misreads the bounds of a range insert at -O3.
  for (std::uint8_t b : more) to.push_back(b);
}

namespace {

void AppendLe32(Bytes& b, std::uint32_t v) {
  for (int k = 0; k < 4; ++k) b.push_back(static_cast<std::uint8_t>(v >> (8 * k)));
}
void AppendLe16(Bytes& b, std::uint16_t v) {
  b.push_back(static_cast<std::uint8_t>(v));
  b.push_back(static_cast<std::uint8_t>(v >> 8));
}

// Deflates `data` with the given flush, appending to `out`.
void DeflateInto(z_stream& z, const Bytes& data, int flush, Bytes& out) {
  z.next_in = const_cast<Bytef*>(data.data());
  z.avail_in = static_cast<uInt>(data.size());
  std::uint8_t chunk[65536];
  do {
    z.next_out = chunk;
    z.avail_out = sizeof chunk;
    deflate(&z, flush);
    out.insert(out.end(), chunk, chunk + (sizeof chunk - z.avail_out));
  } while (z.avail_out == 0);
}

}  // namespace

Bytes Deflate(const Bytes& data) {
  z_stream z{};
  deflateInit2(&z, 9, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
  Bytes out;
  DeflateInto(z, data, Z_FINISH, out);
  deflateEnd(&z);
  return out;
}

Bytes ZeroBomb(std::int64_t megabytes, const Bytes& prefix) {
  z_stream z{};
  deflateInit2(&z, 9, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
  // A full flush leaves the compressed MiB byte-aligned and referring to
  // nothing before it, so copies of it can follow one another.
  Bytes mebibyte;
  DeflateInto(z, Bytes(1 << 20, 0), Z_FULL_FLUSH, mebibyte);
  Bytes last;
  DeflateInto(z, Bytes(), Z_FINISH, last);
  deflateEnd(&z);
  Bytes out;
  if (!prefix.empty()) {
    z_stream p{};
    deflateInit2(&p, 1, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    DeflateInto(p, prefix, Z_FULL_FLUSH, out);
    deflateEnd(&p);
  }
  out.reserve(out.size() + mebibyte.size() * static_cast<std::size_t>(megabytes) + last.size());
  for (std::int64_t k = 0; k < megabytes; ++k) Append(out, mebibyte);
  Append(out, last);
  return out;
}

std::uint32_t ZerosCrc(std::int64_t count) {
  const Bytes zeros(1 << 20, 0);
  uLong crc = crc32(0, nullptr, 0);
  for (std::int64_t left = count; left > 0; left -= static_cast<std::int64_t>(zeros.size())) {
    const auto n = static_cast<uInt>(left < static_cast<std::int64_t>(zeros.size()) ? left : zeros.size());
    crc = crc32(crc, zeros.data(), n);
  }
  return static_cast<std::uint32_t>(crc);
}

Bytes GzipAround(const Bytes& deflated, const Bytes& data) {
  Bytes out = {0x1F, 0x8B, 8, 0, 0, 0, 0, 0, 0, 255};
  Append(out, deflated);
  AppendLe32(out, Crc(data));
  AppendLe32(out, static_cast<std::uint32_t>(data.size()));
  return out;
}

Bytes Gzip(const Bytes& data) { return GzipAround(Deflate(data), data); }

Bytes ZipEntry(const std::string& name, const Bytes& data, bool descriptor) {
  const Bytes deflated = Deflate(data);
  Bytes out = {'P', 'K', 3, 4};
  AppendLe16(out, 20);
  AppendLe16(out, descriptor ? 8 : 0);
  AppendLe16(out, 8);
  AppendLe32(out, 0);  // time and date
  AppendLe32(out, descriptor ? 0 : Crc(data));
  AppendLe32(out, descriptor ? 0 : static_cast<std::uint32_t>(deflated.size()));
  AppendLe32(out, descriptor ? 0 : static_cast<std::uint32_t>(data.size()));
  AppendLe16(out, static_cast<std::uint16_t>(name.size()));
  AppendLe16(out, 0);
  Append(out, ToBytes(name));
  Append(out, deflated);
  if (descriptor) {
    Append(out, {'P', 'K', 7, 8});
    AppendLe32(out, Crc(data));
    AppendLe32(out, static_cast<std::uint32_t>(deflated.size()));
    AppendLe32(out, static_cast<std::uint32_t>(data.size()));
  }
  return out;
}

}  // namespace qx::testunpack
