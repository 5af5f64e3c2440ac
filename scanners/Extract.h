// The scanners as the run driver calls them, and the common output step.
//
// Each Extract function runs its search over the file buffer and hands every
// hit to WriteResource, which writes it beside the source file as
// <drive><dir><name>_NNN.<ext> (NNN the scanner's running number from 000).
#pragma once

#include <cstdint>

enum class ResourceKind { Bmp, Jpeg, Png };

void ExtractBmp(const std::uint8_t* buffer, const wchar_t* path, std::int64_t length,
                int verbosity);
void ExtractJpg(const std::uint8_t* buffer, const wchar_t* path, std::int64_t length,
                int verbosity);
void ExtractPng(const std::uint8_t* buffer, const wchar_t* path, std::int64_t length,
                int verbosity);

// Names, writes and counts one carved resource. The counter is incremented,
// and at verbosity 3 "  <output path>" printed, only after a whole write.
void WriteResource(const wchar_t* path, ResourceKind kind, const std::uint8_t* start,
                   std::int64_t length, int verbosity, int& counter);
