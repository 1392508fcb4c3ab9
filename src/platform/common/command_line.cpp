#include "platform/common/command_line.h"

namespace platform {

std::vector<std::string> SplitParameters(const std::string& params) {
  std::vector<std::string> args;
  std::string cur;
  bool inArg = false;
  bool quoted = false;
  std::size_t i = 0;
  while (i < params.size()) {
    char c = params[i];
    if (!quoted && (c == ' ' || c == '\t')) {
      if (inArg) args.push_back(cur);
      cur.clear();
      inArg = false;
      ++i;
      continue;
    }
    inArg = true;
    if (c == '\\') {
      std::size_t n = 0;
      while (i < params.size() && params[i] == '\\') {
        ++n;
        ++i;
      }
      if (i < params.size() && params[i] == '"') {
        cur.append(n / 2, '\\');
        if (n % 2 == 1) {
          cur += '"';
          ++i;
        }
      } else {
        cur.append(n, '\\');
      }
      continue;
    }
    if (c == '"') {
      if (quoted && i + 1 < params.size() && params[i + 1] == '"') {
        cur += '"';
        i += 2;
        continue;
      }
      quoted = !quoted;
      ++i;
      continue;
    }
    cur += c;
    ++i;
  }
  if (inArg) args.push_back(cur);
  return args;
}

}  // namespace platform
