// The Windows build's connection pool for HTTP transfers (platform/http.h):
// one WinHTTP session for the process, which keeps the connections that
// servers leave open and hands them to the next request for the same server,
// so that a start goes out on one connection where the server allows it.
// Only files in this folder include it.
#pragma once

#include <windows.h>
#include <winhttp.h>

#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "platform/win32/win_handles.h"

namespace platform {
namespace win32 {

// One WinHTTP session and the servers whose connections it may be keeping
// open. A transfer holds the session it uses until it ends, so a session that
// is given up (closed idle connections, a stale connection) closes only once
// nobody uses it any more; closing it closes the connections it kept.
class Session {
 public:
  InternetHandle handle;

  // Whether the session may hold a connection to `server` that it kept after
  // an earlier answer; a request to it then goes out on that connection. The
  // mark is taken away, for MarkKept to put back once the next answer leaves
  // the connection open.
  bool TakeKeptMark(const std::wstring& server);
  // The server left the connection open after a complete answer, and the
  // session keeps it for the next request.
  void MarkKept(const std::wstring& server);

 private:
  std::mutex mutex_;
  // guards: keptAlive_
  std::set<std::wstring> keptAlive_;
};

class SessionPool {
 public:
  // Never destroyed: a transfer left behind by its deadline may still run
  // when the process ends.
  static SessionPool& Get();

  // The process's session, opened when there is none; null when WinHTTP
  // refuses (GetLastError tells why).
  std::shared_ptr<Session> Current();

  // Gives up `session` (when it is still the current one): the next transfer
  // opens a new session, so its request cannot go out on a connection that
  // the old one kept.
  void Retire(const std::shared_ptr<Session>& session);

  // Gives up the current session, and with it every idle connection, once
  // the transfers that hold it have ended.
  void CloseIdle();

 private:
  std::mutex mutex_;
  // guards: current_
  std::shared_ptr<Session> current_;
};

}  // namespace win32
}  // namespace platform
