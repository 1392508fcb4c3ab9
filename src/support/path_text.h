// Small text helpers on paths, names and the command line, shared by every
// layer from support up. Pure text: none of them looks at the file system.
#pragma once

#include <string>
#include <vector>

// Trims characters of code 0 to 32 from both ends (Delphi's Trim).
std::string TrimControl(const std::string& s);
// Upper-cases the ASCII letters a to z only.
std::string UpperAscii(const std::string& s);
// Everything up to and including the last folder separator (or ':' on
// Windows); empty when there is none.
std::string ExtractFilePath(const std::string& path);
// The part after the folder.
std::string ExtractFileName(const std::string& path);
// Replaces the extension (from the last '.' after the folder) or appends it.
std::string ChangeFileExt(const std::string& path, const std::string& ext);
std::string IncludeTrailingPathDelimiter(const std::string& path);
// The switch test of TUtility::ParamExists over a given argument list.
bool ParamExistsIn(const std::vector<std::string>& args, const std::string& name);
