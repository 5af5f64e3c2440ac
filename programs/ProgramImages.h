// The pictures inside Windows programs and libraries (PE files, 32- and
// 64-bit) found at any offset of a byte sequence and rebuilt as complete
// files: bitmap resources as .bmp files, icon groups as .ico files, cursor
// groups as .cur files.
//
// FindProgramImages(source, onImage, limits) reads `source` through its
// windows, front to back, and hands each rebuilt picture to onImage as one
// contiguous span, valid during the call. It writes nothing and knows no
// names: what the caller does with a picture is its own business.
//
// Programs. Every "MZ" whose e_lfanew (at 0x3C) leads, inside the bytes, to
// "PE\0\0", a file header with a known machine, at least one section, an
// optional header (PE32 or PE32+) long enough for the resource directory
// (index 2, which its directory count must cover), and a section table
// inside the bytes. Offsets in the program count from its "MZ". After a
// program the search moves on by one byte, not past the program: installers
// carry programs in their overlay and programs carry programs in their
// resources, and each is found at its own "MZ"; a program's pictures are
// reached only through its own resource table, so nothing is reported twice.
// Results come in the order of the programs' "MZ", each program's in its
// table's order.
//
// Sections. The table is read in its order up to the first section that
// starts below the previous one's virtual end or whose virtual range passes
// 4 GiB (the loader requires ascending, disjoint sections; such a table ends
// there). A section's virtual size is its VirtualSize, or its raw size when
// that is 0. An RVA maps to PointerToRawData + (rva - VirtualAddress) in the
// section whose virtual range holds it, and whatever is read there must lie
// inside the section's raw data and inside the bytes. The raw pointer is used
// as stored.
//
// The resource tree: three levels (type, name, language) under the root the
// resource directory's RVA maps to. Every directory, name string and data
// entry must lie inside the root's section (the directory's stated size is
// not used); a directory's entries are read in stored order, as many as its
// counts say and the section holds. A directory already walked for this
// program and type (a loop, or two entries sharing one directory) is not
// walked again. Of the root's entries the first of each id 1, 2, 3, 12 and 14 is taken;
// named types and repeated ids are passed over. Named entries at the
// language level, and entries of the wrong kind (a data entry where a
// directory belongs, or the other way round), are passed over.
//
// What is rebuilt:
//  - RT_BITMAP: a BITMAPFILEHEADER ("BM", 14 + the resource's size, reserved
//    0, the pixel offset) and the resource. The pixel offset is 14 + the
//    information header + its colour table + its masks. The header is a
//    12-byte core header (3-byte colour entries, 2^bits of them for 1 to 8
//    bits) or one of 16 bytes or more (4-byte entries; biClrUsed of them, or
//    2^bits for 1 to 8 bits when it is 0; fields past a short OS/2 header
//    read as 0). Masks follow only a 40-byte header: 12 bytes with
//    BI_BITFIELDS, 16 with BI_ALPHABITFIELDS. Not written: a resource shorter
//    than 4 bytes or than its header, a header of another size (1 to 11, 13
//    to 15 bytes), a colour table or masks that pass the resource's end.
//  - RT_GROUP_ICON: an icon file: the directory (0, 1, count), one 16-byte
//    entry per image (the group entry's fields, with the image's real size
//    and its offset from the file's start) and the images in the group's
//    order. An entry's image is the RT_ICON resource of its id (the first
//    stored with that id), in the group's language if it is stored in it,
//    else in the first language stored. Cursor groups take their RT_CURSOR
//    images alike.
//  - RT_GROUP_CURSOR: a cursor file (0, 2, count), each entry with width and
//    height from the image (a DIB's height halved, for its mask; a PNG's
//    IHDR; as bytes, 256 and more written as 0), the colour count of its
//    palette below 8 bits per pixel (2^bits) else 0, reserved 0, the hot spot
//    (the resource's first four bytes), the size (the resource less those
//    four bytes) and the offset; the images are the resources after their
//    first four bytes. An image that is neither a DIB nor a PNG with an IHDR
//    is taken as missing.
//  Group entries beyond the group's size, and entries whose image is missing
//  or empty, are left out; a group left empty is not written.
//
// Cost. Every byte read from a header or a table and every byte written into
// a rebuilt file counts as one unit of work. One call spends at most
// limits.workBudget units (by default DefaultProgramWork: 8 units a byte
// searched, plus 16 MiB); one program at most four units for each byte of
// its extent (its sections' raw data, inside the bytes) plus 64 KiB. A
// program whose share is spent ends there; when the call's budget is spent
// no further program is examined (ProgramSummary::budgetSpent). Ordinary
// programs cost less than one unit a byte; the budget is there for hostile
// bytes: many "MZ" leading to one PE header, or many PE headers sharing one
// large tree. A rebuilt file is at most limits.imageBytes long; a larger one
// is not written. Memory: the rebuilt file, one program's section table
// (at most 65,535 entries), the ids of its icon and cursor images (at most
// 131,070 each) and the offsets of the directories it walked. Allocations
// do not throw; a refused one leaves that picture (or directory) out. An
// exception thrown by onImage passes through.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "support/ByteSource.h"

namespace qx {

enum class ProgramImageKind { kBitmap, kIconGroup, kCursorGroup };

struct ProgramImage {
  ProgramImageKind kind;
  // The rebuilt file: valid during the callback only.
  const std::uint8_t* data;
  std::int64_t length;
  // Where the program's "MZ" lies in the searched bytes.
  std::int64_t programOffset;
  // Where the resource's data lies in the searched bytes (a group: the
  // group's own data, not its images').
  std::int64_t resourceOffset;
  std::int64_t resourceLength;
  std::uint32_t type;  // 2, 14 or 12
  // The resource's name: a string when `named`, else the id.
  bool named;
  std::uint32_t id;
  std::u16string name;
  std::uint32_t language;
  // Images written into a group's file (1 for a bitmap), and entries of the
  // group left out for a missing image.
  int images;
  int imagesMissing;
};

struct ProgramLimits {
  // The longest rebuilt file written.
  std::int64_t imageBytes = 100'000'000;
  // The most work units of one call; 0 or less: DefaultProgramWork(length).
  std::int64_t workBudget = 0;
};

// 8 units for each byte searched, plus 16 MiB.
std::int64_t DefaultProgramWork(std::int64_t length);

struct ProgramSummary {
  std::int64_t programs = 0;    // headers accepted
  std::int64_t images = 0;      // pictures handed to onImage
  std::int64_t notWritten = 0;  // resources found but not written (see above)
  std::int64_t work = 0;        // units spent
  bool budgetSpent = false;     // the search stopped for the call's budget
};

using ProgramImageCallback = std::function<void(const ProgramImage&)>;

ProgramSummary FindProgramImages(ByteSource& source, const ProgramImageCallback& onImage,
                                 const ProgramLimits& limits = {});

}  // namespace qx
