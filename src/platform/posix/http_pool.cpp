#include "platform/posix/http_pool.h"

#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

namespace platform {

bool ReceivedSoFar(curl_socket_t fd, std::uint64_t& segments) {
  struct tcp_info info = {};
  socklen_t size = sizeof info;
  if (::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &size) != 0) return false;
  if (size < offsetof(struct tcp_info, tcpi_data_segs_in) + sizeof info.tcpi_data_segs_in) {
    return false;
  }
  segments = info.tcpi_data_segs_in;
  return true;
}

ConnectionPool& ConnectionPool::Get() {
  static ConnectionPool* pool = new ConnectionPool();
  return *pool;
}

Multi ConnectionPool::Borrow() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!idle_.empty()) {
      Multi m = std::move(idle_.back());
      idle_.pop_back();
      return m;
    }
  }
  return Multi(curl_multi_init());
}

void ConnectionPool::GiveBack(Multi multi) {
  std::lock_guard<std::mutex> lock(mutex_);
  // A surplus handle closes its connections as it goes, after the lock.
  if (idle_.size() < kMaxIdle) idle_.push_back(std::move(multi));
}

bool ConnectionPool::ReceivedAtClose(curl_socket_t fd, std::uint64_t& bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto found = receivedAtClose_.find(fd);
  if (found == receivedAtClose_.end()) return false;
  bytes = found->second;
  receivedAtClose_.erase(found);
  return true;
}

std::uint64_t ConnectionPool::TlsDataRecords(const void* ssl) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto found = tlsData_.find(ssl);
  return found == tlsData_.end() ? 0 : found->second;
}

CURLcode ConnectionPool::OnTlsContext(CURL*, void* ctx, void*) {
  ::SSL_CTX_set_msg_callback(static_cast<SSL_CTX*>(ctx), &OnTlsMessage);
  ::SSL_CTX_set_msg_callback_arg(static_cast<SSL_CTX*>(ctx), &Get());
  return CURLE_OK;
}

// TLS 1.3 hides every record's type behind "application data" and tells the
// real one once it is decrypted; older versions show it in the record's
// header.
void ConnectionPool::OnTlsMessage(int written, int, int type, const void* buf, std::size_t len,
                                  SSL* ssl, void* user) {
  if (written != 0 || ssl == nullptr || len < 1) return;
  const int recordType = *static_cast<const unsigned char*>(buf);
  const bool data = recordType == SSL3_RT_APPLICATION_DATA &&
                    (type == SSL3_RT_INNER_CONTENT_TYPE ||
                     (type == SSL3_RT_HEADER && ::SSL_version(ssl) != TLS1_3_VERSION));
  if (!data) return;
  ConnectionPool& pool = *static_cast<ConnectionPool*>(user);
  std::lock_guard<std::mutex> lock(pool.mutex_);
  ++pool.tlsData_[ssl];
}

curl_socket_t ConnectionPool::SocketOnPort(int port) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (curl_socket_t fd : open_) {
    struct sockaddr_storage a = {};
    socklen_t size = sizeof a;
    if (::getsockname(fd, reinterpret_cast<struct sockaddr*>(&a), &size) != 0) continue;
    int local = -1;
    if (a.ss_family == AF_INET) {
      local = ntohs(reinterpret_cast<const struct sockaddr_in*>(&a)->sin_port);
    } else if (a.ss_family == AF_INET6) {
      local = ntohs(reinterpret_cast<const struct sockaddr_in6*>(&a)->sin6_port);
    }
    if (local == port) return fd;
  }
  return CURL_SOCKET_BAD;
}

curl_socket_t ConnectionPool::OpenSocket(void* user, curlsocktype, struct curl_sockaddr* address) {
  const curl_socket_t fd =
      ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
  if (fd == CURL_SOCKET_BAD) return fd;
  ConnectionPool& pool = *static_cast<ConnectionPool*>(user);
  std::lock_guard<std::mutex> lock(pool.mutex_);
  pool.open_.push_back(fd);
  return fd;
}

int ConnectionPool::CloseSocket(void* user, curl_socket_t fd) {
  ConnectionPool& pool = *static_cast<ConnectionPool*>(user);
  std::uint64_t bytes = 0;
  const bool known = ReceivedSoFar(fd, bytes);
  {
    std::lock_guard<std::mutex> lock(pool.mutex_);
    pool.open_.erase(std::remove(pool.open_.begin(), pool.open_.end(), fd), pool.open_.end());
    if (known) pool.receivedAtClose_[fd] = bytes;
  }
  return ::close(fd);
}

void ConnectionPool::CloseIdle() {
  std::vector<Multi> closing;
  std::lock_guard<std::mutex> lock(mutex_);
  closing.swap(idle_);
}

ConnectionPool::ConnectionPool() : share_(curl_share_init()) {
  if (share_ == nullptr) return;
  curl_share_setopt(share_, CURLSHOPT_LOCKFUNC, &Lock);
  curl_share_setopt(share_, CURLSHOPT_UNLOCKFUNC, &Unlock);
  curl_share_setopt(share_, CURLSHOPT_USERDATA, this);
  curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
  curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
}

void ConnectionPool::Lock(CURL*, curl_lock_data data, curl_lock_access, void* user) {
  static_cast<ConnectionPool*>(user)->locks_[Slot(data)].lock();
}

void ConnectionPool::Unlock(CURL*, curl_lock_data data, void* user) {
  static_cast<ConnectionPool*>(user)->locks_[Slot(data)].unlock();
}

std::size_t ConnectionPool::Slot(curl_lock_data data) {
  const auto i = static_cast<std::size_t>(data);
  return i < kLockSlots ? i : kLockSlots - 1;
}

}  // namespace platform
