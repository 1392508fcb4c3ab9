// The order of companion releases by their file version, for refusing a
// signed download that is older than the companion it would replace.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "support/Exceptions.h"

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

// With both files' versions known, raises EUpdateDowngrade when `download`
// is older than `installed`.
void RefuseDowngrade(const std::string& download, const std::string& installed);
