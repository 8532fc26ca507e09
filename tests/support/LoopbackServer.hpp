#pragma once
// A real HTTP or HTTPS server on 127.0.0.1 for tests, built on cpp-httplib: scripted replies per
// path, and a record of every request it received.

#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace httplib {
class Server;
}

namespace tovrin::test {

class TestCertificates;

struct CaseInsensitiveLess {
  bool operator()(const std::string& a, const std::string& b) const;
};
using HeaderMap = std::multimap<std::string, std::string, CaseInsensitiveLess>;

struct RecordedRequest {
  std::string method;
  std::string path;
  std::multimap<std::string, std::string> params;  // decoded query parameters
  HeaderMap headers;
  std::string body;    // as it arrived
  int remotePort = 0;  // the client's port: tells its connections apart
  /// The first value of header `name` (any case), or "" when absent.
  std::string header(const std::string& name) const;
};

/// What the server answers.
struct Reply {
  Reply() = default;
  Reply(int status, std::string body, std::string contentType = "text/plain")
      : status(status), body(std::move(body)), contentType(std::move(contentType)) {}

  int status = 200;
  std::string body;
  std::string contentType = "text/plain";
  std::vector<std::pair<std::string, std::string>> headers;  // extra reply headers
  std::chrono::milliseconds delay{0};  // waits this long first (cut short when the server stops)
  bool hold = false;                   // waits until release() or the server stops (at most 60 s)
  bool gzip = false;     // sends the body gzip-compressed, with "Content-Encoding: gzip"
  bool chunked = false;  // streams the body without Content-Length (httplib then compresses a
                         // textual body itself when the client accepts it; `gzip` is ignored)
};

class LoopbackServer {
 public:
  using Handler = std::function<Reply(const RecordedRequest&)>;

  /// Starts serving HTTP, or HTTPS with `tls`'s server certificate, on `port` (0: a free one);
  /// `threads` connections are served at once (keep-alive connections hold one each). A given
  /// port lets a healthy server take over the address of a failed one.
  explicit LoopbackServer(const TestCertificates* tls = nullptr, std::size_t threads = 32,
                          int port = 0);
  /// Releases held requests, stops and joins the server.
  ~LoopbackServer();
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;

  /// "http://127.0.0.1:PORT" or "https://127.0.0.1:PORT", without a trailing slash.
  std::string url() const;
  int port() const { return port_; }

  /// Answers requests to exactly `path` (any method) with `reply`; other paths get Reply{}.
  void setReply(const std::string& path, Reply reply);
  /// Answers requests to exactly `path` with what `handler` returns (called on server threads).
  void setHandler(const std::string& path, Handler handler);

  /// Every request received so far, in arrival order (recorded before any delay or hold).
  std::vector<RecordedRequest> requests() const;
  std::size_t requestCount() const;
  /// Waits until at least `count` requests arrived; false when `timeout` passed first.
  bool waitForRequests(std::size_t count, std::chrono::milliseconds timeout) const;
  /// Distinct client connections that carried requests.
  std::size_t connectionCount() const;

  /// Requests currently held by a Reply with `hold`.
  std::size_t heldCount() const;
  /// Waits until at least `count` requests are held at once; false when `timeout` passed first.
  bool waitForHeld(std::size_t count, std::chrono::milliseconds timeout) const;
  /// Lets every held request reply, and every later one too (holding is over for good).
  void release();

 private:
  struct State;
  std::shared_ptr<State> state_;
  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;
  int port_ = -1;
  bool https_ = false;
};

}  // namespace tovrin::test
