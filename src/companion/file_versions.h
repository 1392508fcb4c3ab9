// The order of companion releases by their file version, for refusing a
// signed download that is older than the companion it would replace.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "support/Exceptions.h"

namespace platform {
class File;
}

// A signed download whose file version is lower than the installed one's.
KESTRO_DECLARE_EXCEPTION(EUpdateDowngrade, Exception);

using FileVersion = std::array<std::uint32_t, 4>;

// The four numbers of a version text as the version resource holds it
// ("5.1.5.203"; "5, 1, 5, 203" too, and fewer parts count as zeros); nothing
// for an empty text or one that is not such numbers.
std::optional<FileVersion> ParseFileVersion(const std::string& text);

// True only when both texts are versions and `candidate` is the lower one:
// number by number, so "1.10" is newer than "1.9". A text that is no version
// never counts as older.
bool IsOlderVersion(const std::string& candidate, const std::string& installed);

// The binary file version of a file's version resource (VS_FIXEDFILEINFO),
// which every version resource has whatever its language blocks; nothing
// when the file has none.
std::optional<FileVersion> FixedFileVersion(const std::string& file);

// When the installed companion has a version, raises EUpdateDowngrade when
// `download` has a lower one or none that can be read. The binary versions
// decide, so no language block, missing string or suffix in the text can
// dodge the comparison; the log names the versions by the Dutch block's
// strings where the files have them.
void RefuseDowngrade(const std::string& download, const std::string& installed);
// The same for a download held open, read through its handle.
void RefuseDowngrade(platform::File& download, const std::string& installed);
