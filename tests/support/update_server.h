// The private update server that tests/run-test starts beside every test
// binary (tools/update-server): where it listens, what it serves, how it is
// told to misbehave, and which requests it saw.
#pragma once

#include <string>
#include <vector>

namespace testing_support {

struct TestServer {
  // KESTRO_UPDATE_SERVER, e.g. "http://127.0.0.1:40123"; fails the test when
  // the binary was not started through tests/run-test.
  static std::string Base();
  // The served folder, in this platform's path form.
  static std::string Root();
  // Base() + path ("/t/file.bin").
  static std::string Url(const std::string& path);
  // Serves `bytes` at the URL path `path`.
  static void PutFile(const std::string& path, const std::string& bytes);
  // Moves the modification time of the file at `path` some seconds on, so
  // that a file just put there is told apart from the one before it by the
  // server's validators, which count whole seconds (as nginx's do).
  static void MarkAsNewer(const std::string& path);
  // Replaces the server's rules (.rules.json) with `json`; written under
  // another name and moved into place, so the server never reads half of it.
  static void SetRules(const std::string& json);
  // The lines of .requests.log ("HEAD /software/versie.txt").
  static std::vector<std::string> Requests();
  // The lines of .ranges.log ("/a.bin range=bytes=100- if-range=\"5f-3e8\"").
  static std::vector<std::string> Ranges();
  // How often `line` occurs in Requests().
  static std::size_t CountRequests(const std::string& line);
  // A URL on loopback where nothing listens: connections are refused.
  static std::string RefusingUrl(const std::string& path);
};

// Escapes `text` as a JSON string literal, quotes included.
std::string JsonString(const std::string& text);

}  // namespace testing_support
