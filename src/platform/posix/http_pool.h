// The Linux port's connection pool for HTTP transfers (platform/http.h).
//
// libcurl keeps the connections a server left open in a multi handle. The
// multi handles live in one pool for the process, and a transfer borrows one
// for its length: consecutive transfers (the probe, the size check, the
// download) thus go out on the same kept-alive connection, each multi handle
// is only ever used by one thread at a time, and transfers on two threads at
// once simply get two. libcurl's share interface could hold the connections
// instead, but its shared connection cache is not safe for transfers on
// several threads (a known bug of the libcurl this port is built with); the
// share handle holds what it can share safely under our locks: the TLS
// sessions and the resolved names.
//
// The pool also sees every socket libcurl opens and closes, and every TLS
// record of application data that comes in, so that a transfer can tell
// whether a server began an answer on a kept-alive connection before it
// closed it.
#pragma once

#include <curl/curl.h>
#include <openssl/ssl.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace platform {

struct MultiDeleter {
  void operator()(CURLM* h) const { curl_multi_cleanup(h); }
};
using Multi = std::unique_ptr<CURLM, MultiDeleter>;

// How many segments with data the kernel has received on a TCP socket since
// it was opened, whether or not anybody has read them yet. Segments, not
// bytes: the kernel's byte count takes the peer's end of the stream (its FIN)
// for one more byte, and whether that came can no longer be told once a reset
// followed it. A segment that came again counts twice, which can only make a
// resend less likely.
bool ReceivedSoFar(curl_socket_t fd, std::uint64_t& segments);

// What every transfer of the process shares: the TLS sessions (a new
// connection to a server that was spoken to before resumes its session, one
// round trip less) and the resolved names, under the locks libcurl asks for,
// one per kind of data; and the pool of multi handles with their idle
// connections.
class ConnectionPool {
 public:
  // Made once and never destroyed: a transfer may still be running on some
  // thread while the process ends, and the operating system closes the
  // connections then anyway.
  static ConnectionPool& Get();

  CURLSH* share() const { return share_; }

  // A multi handle for one transfer, with the idle connections of the last
  // transfer that gave it back; null when libcurl cannot make one.
  Multi Borrow();

  // Takes a multi handle back once its transfer is over (the easy handle has
  // left it), keeping the connections the server left open for the next.
  void GiveBack(Multi multi);

  // What the kernel had received on socket `fd` when libcurl closed it
  // (ReceivedSoFar), as recorded by CloseSocket below; false when no close of
  // it was seen.
  bool ReceivedAtClose(curl_socket_t fd, std::uint64_t& bytes);

  // How many records of application data (the server's answers) OpenSSL has
  // taken in on the TLS connection `ssl` so far. Over TLS the kernel's byte
  // count would also see the server's session tickets and its goodbye.
  std::uint64_t TlsDataRecords(const void* ssl);

  // Set on every TLS connection libcurl makes: counts the application data
  // records OpenSSL takes in (OnTlsMessage).
  static CURLcode OnTlsContext(CURL*, void* ctx, void*);

  // The open socket whose local port is `port`, CURL_SOCKET_BAD when none.
  curl_socket_t SocketOnPort(int port);

  // libcurl opens and closes every socket of the process through these two,
  // so that the pool knows them. A connection keeps the callbacks of the
  // transfer that opened it, so they may not point into any one transfer.
  // The sockets are not inherited by the programs the loader starts.
  static curl_socket_t OpenSocket(void* user, curlsocktype, struct curl_sockaddr* address);
  static int CloseSocket(void* user, curl_socket_t fd);

  // Closes every idle connection. A transfer under way keeps its own and
  // gives it back when it ends.
  void CloseIdle();

 private:
  ConnectionPool();

  static void OnTlsMessage(int written, int, int type, const void* buf, std::size_t len, SSL* ssl,
                           void* user);
  static void Lock(CURL*, curl_lock_data data, curl_lock_access, void* user);
  static void Unlock(CURL*, curl_lock_data data, void* user);
  static std::size_t Slot(curl_lock_data data);

  // Two threads rarely transfer at once; more idle handles than this would
  // only hold connections nobody asks for.
  static constexpr std::size_t kMaxIdle = 4;
  static constexpr std::size_t kLockSlots = CURL_LOCK_DATA_LAST + 1;

  CURLSH* share_;
  // One lock per kind of shared data, as libcurl requires; the last slot
  // takes any kind a later libcurl might add.
  std::mutex locks_[kLockSlots];
  std::mutex mutex_;
  // guards: idle_, open_, receivedAtClose_, tlsData_
  std::vector<Multi> idle_;
  std::vector<curl_socket_t> open_;
  std::map<curl_socket_t, std::uint64_t> receivedAtClose_;
  // Per TLS connection (OpenSSL's handle; an entry outlives its connection,
  // which is all a comparison after the close needs, and a handle made later
  // at the same address just counts on).
  std::map<const void*, std::uint64_t> tlsData_;
};

// A multi handle borrowed from the pool for one transfer. A transfer that
// failed gives its handle back too: libcurl has already closed a connection
// that cannot be used again.
class BorrowedMulti {
 public:
  BorrowedMulti() : multi_(ConnectionPool::Get().Borrow()) {}
  ~BorrowedMulti() {
    if (multi_) ConnectionPool::Get().GiveBack(std::move(multi_));
  }
  BorrowedMulti(const BorrowedMulti&) = delete;
  BorrowedMulti& operator=(const BorrowedMulti&) = delete;
  CURLM* get() const { return multi_.get(); }

 private:
  Multi multi_;
};

}  // namespace platform
