#include "companion/record_file.h"

#include "platform/files.h"

namespace companion {

namespace {

constexpr std::size_t kMaxRecordBytes = 4096;

}  // namespace

bool ReadRecord(const std::string& path, RecordFields& fields) {
  std::string text;
  if (platform::ReadSmallFile(path, kMaxRecordBytes, text) != platform::SmallFileFailure::None) {
    return false;
  }
  fields.clear();
  std::string::size_type at = 0;
  while (at < text.size()) {
    std::string::size_type end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::string::size_type eq = line.find('=');
    if (eq != std::string::npos) fields[line.substr(0, eq)] = line.substr(eq + 1);
    at = end + 1;
  }
  return true;
}

bool WriteRecord(const std::string& path,
                 const std::vector<std::pair<std::string, std::string>>& fields) {
  std::string text;
  for (const auto& field : fields) text += field.first + "=" + field.second + "\r\n";
  std::string temp;
  platform::File file;
  if (!platform::CreateFileWithRandomName(path + ".", ".tmp", file, temp)) return false;
  const bool written = file.Write(text.data(), text.size()) && file.Flush();
  file.Close();
  if (written && platform::ReplaceFileAtomically(temp, path)) return true;
  platform::FileDelete(temp);
  return false;
}

bool ParseCount(const std::string& digits, std::int64_t& value) {
  if (digits.empty() || digits.size() > 18 ||
      digits.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  value = std::stoll(digits);
  return true;
}

}  // namespace companion
