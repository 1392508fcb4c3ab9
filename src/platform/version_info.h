// Version resources of executable files.
//
// Contract: any thread; reads the file; never processes GUI messages; never
// throws.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

class File;

// Looks up a string of a file's version resource by its query path, for
// example "\\StringFileInfo\\041304E4\\FileVersion". The value is returned as
// stored, up to its first NUL. False when the file has no version resource or
// no such string. On the Linux port the files are Windows executables too and
// are read with a small PE resource reader; the running program itself answers
// from the version compiled into it.
bool QueryVersionString(const std::string& file, const std::string& queryPath, std::string& out);

// The binary file version of a file's version resource (VS_FIXEDFILEINFO's
// dwFileVersionMS and dwFileVersionLS), which every version resource has,
// whatever its string blocks say. False when the file has no version resource
// or its fixed part is missing or damaged. The running program on the Linux
// port answers from the version compiled into it.
bool QueryFixedFileVersion(const std::string& file, std::uint32_t& mostSignificant,
                           std::uint32_t& leastSignificant);

// The same two for a file the caller holds open, read through its handle
// with the PE resource reader of the Linux port, in both builds.
bool QueryVersionString(File& file, const std::string& queryPath, std::string& out);
bool QueryFixedFileVersion(File& file, std::uint32_t& mostSignificant,
                           std::uint32_t& leastSignificant);

}  // namespace platform
