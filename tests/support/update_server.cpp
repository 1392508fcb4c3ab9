#include "support/update_server.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>

#include "platform/files.h"
#include "platform/sysinfo.h"
#include "support/testing.h"
#include "support/u_Utility.h"

namespace testing_support {

namespace {

std::string Env(const char* name) {
  std::string value;
  if (!platform::GetEnv(name, value) || value.empty()) {
    ADD_FAILURE() << name << " is not set: run the test through tests/run-test";
  }
  return value;
}

// "/a/b.txt" as a path under the served folder.
std::string LocalPath(const std::string& urlPath) {
  std::string rel = urlPath;
  while (!rel.empty() && rel.front() == '/') rel.erase(0, 1);
  for (char& c : rel) {
    if (c == '/') c = platform::kPathDelim;
  }
  return JoinPath({TestServer::Root(), rel});
}

// The lines of one of the server's logs; none before its first request.
std::vector<std::string> FileLines(const std::string& urlPath) {
  std::vector<std::string> lines;
  if (!platform::FileExists(LocalPath(urlPath))) return lines;
  const std::string text = ReadFile(LocalPath(urlPath));
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

}  // namespace

std::string TestServer::Base() { return Env("KESTRO_UPDATE_SERVER"); }

std::string TestServer::Root() { return Env("KESTRO_TEST_SERVER_ROOT"); }

std::string TestServer::Url(const std::string& path) { return Base() + path; }

void TestServer::PutFile(const std::string& path, const std::string& bytes) {
  const std::string local = LocalPath(path);
  MakeDirs(ExtractFilePath(local));
  WriteFile(local, bytes);
}

void TestServer::MarkAsNewer(const std::string& path) {
  const std::filesystem::path local = LocalPath(path);
  std::error_code ec;
  const auto now = std::filesystem::last_write_time(local, ec);
  ASSERT_FALSE(ec) << local.string() << ": " << ec.message();
  std::filesystem::last_write_time(local, now + std::chrono::seconds(5), ec);
  ASSERT_FALSE(ec) << local.string() << ": " << ec.message();
}

void TestServer::SetRules(const std::string& json) {
  const std::string target = LocalPath("/.rules.json");
  const std::string temp = LocalPath("/.rules.json.new");
  WriteFile(temp, json);
  // std::rename does not replace an existing file on Windows; the platform's
  // delete and move leave a moment without rules, which the server reads as
  // "no rules" and the tests never send a request in.
  platform::FileDelete(target);
  ASSERT_TRUE(platform::FileMove(temp, target)) << "cannot put " << target << " in place";
}

std::vector<std::string> TestServer::Requests() { return FileLines("/.requests.log"); }

std::vector<std::string> TestServer::Ranges() { return FileLines("/.ranges.log"); }

std::size_t TestServer::CountRequests(const std::string& line) {
  std::size_t n = 0;
  for (const std::string& l : Requests()) {
    if (l == line) ++n;
  }
  return n;
}

std::string TestServer::RefusingUrl(const std::string& path) {
  // Port 1 (tcpmux) has no listener on any machine these tests run on.
  return "http://127.0.0.1:1" + path;
}

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

}  // namespace testing_support
