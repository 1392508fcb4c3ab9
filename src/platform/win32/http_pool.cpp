#include "platform/win32/http_pool.h"

namespace platform {
namespace win32 {

bool Session::TakeKeptMark(const std::wstring& server) {
  std::lock_guard<std::mutex> lock(mutex_);
  return keptAlive_.erase(server) > 0;
}

void Session::MarkKept(const std::wstring& server) {
  std::lock_guard<std::mutex> lock(mutex_);
  keptAlive_.insert(server);
}

SessionPool& SessionPool::Get() {
  static SessionPool* pool = new SessionPool();
  return *pool;
}

std::shared_ptr<Session> SessionPool::Current() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (current_) return current_;
  auto session = std::make_shared<Session>();
  // No user agent of our own (null: WinHTTP sends none). The proxy is the
  // one the administrator set for WinHTTP on this machine, and direct when
  // none is set; the program names none of its own.
  session->handle.reset(::WinHttpOpen(nullptr, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                                      WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
  if (!session->handle) return nullptr;
  current_ = session;
  return current_;
}

void SessionPool::Retire(const std::shared_ptr<Session>& session) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (current_ == session) current_.reset();
}

void SessionPool::CloseIdle() {
  std::shared_ptr<Session> closing;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closing.swap(current_);
  }
}

}  // namespace win32
}  // namespace platform
