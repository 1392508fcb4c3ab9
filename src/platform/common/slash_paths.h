// Paths with '/' separators taken apart on the text alone, without asking the
// file system: the Linux port's ExpandFileName and CanonicalizePath.
#pragma once

#include <string>

namespace platform {

// Lexical clean-up of an absolute path, as GetFullPathName does it: empty and
// "." segments go, ".." takes the segment before it along (none above the
// root); a trailing separator stays.
std::string NormalizeAbsolutePath(const std::string& path);

// As PathCanonicalize does it: "." segments go, ".." takes the segment before
// it along, and a ".." with nothing before it is dropped. Empty segments (a
// doubled or trailing separator) stay as written. False, with `out`
// untouched, when the input or the result does not fit 260 characters (NUL
// included).
bool CanonicalizePathText(const std::string& path, std::string& out);

}  // namespace platform
