#pragma once
// The process-wide asynchronous HTTP client the trackers send through (libcurl underneath).
//
// Defaults (HttpClientOptions):
//   maxTransfersInFlight 32: transfers running at once, also the connection-pool limit.
//   maxWaitingRequests 10000: queued requests and jobs; the 10033rd pending one is dropped.
//   connectTimeout 10 s: TCP + TLS set-up of one connection.
//   requestTimeout 60 s: one whole transfer, from start to the last reply byte.
//   maxReplyBytes 1 MiB: a larger (decompressed) reply body fails its transfer.
//   exitBudget 2 s: how long destruction or process exit waits for unfinished requests.
// TLS peer and host-name verification are always on. Proxy environment variables (http_proxy,
// https_proxy, no_proxy) apply as libcurl reads them. Only http and https URLs are accepted.

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace tovrin {

struct HttpRequest {
  std::string method = "GET";
  std::string url;
  /// Header fields in the order they are sent.
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  /// Time-out of this transfer; zero: the client's requestTimeout.
  std::chrono::milliseconds timeout{0};
  /// A CA bundle for this request; empty: the client's caBundlePath (or the system's).
  std::string caBundlePath;
};

struct HttpResponse {
  /// The HTTP status, or 0 when no reply arrived.
  long status = 0;
  /// The reply body, already decompressed when the server used gzip or deflate.
  std::string body;
  /// Empty on success; otherwise why the transfer failed (connection, time-out, reply too large,
  /// request dropped, client shut down). Never contains credentials.
  std::string error;
  bool ok() const { return error.empty(); }
};

struct HttpClientOptions {
  /// Transfers running at once; further requests wait. At least one runs whatever this says.
  std::size_t maxTransfersInFlight = 32;
  /// Requests waiting to start. A request sent while maxTransfersInFlight + maxWaitingRequests
  /// are already pending is dropped with one log line.
  std::size_t maxWaitingRequests = 10000;
  std::chrono::milliseconds connectTimeout{10000};
  /// Time-out of a whole transfer, as the platform's default request time-out.
  std::chrono::milliseconds requestTimeout{60000};
  /// A reply body larger than this ends its transfer with an error.
  std::size_t maxReplyBytes = std::size_t{1024} * 1024;
  /// A CA bundle to verify servers against instead of the system's. Verification is always on.
  std::string caBundlePath;
  /// At destruction or process exit, how long unfinished requests may still take (waiting ones
  /// keep starting meanwhile) before the rest are abandoned without calling their completions.
  std::chrono::milliseconds exitBudget{2000};
};

/// Sending returns at once; each completion runs later on the client's own background thread.
/// Connections are reused (keep-alive; HTTP/2 over TLS when offered). Thread-safe.
///
/// A sender wakes the client's thread (a system call) only when that thread is asleep: while it
/// works, and for 20 ms after it last started or finished a transfer, it looks for new requests
/// by itself (at least every millisecond), so a burst of sends costs the senders no system call.
class HttpClient {
 public:
  using Completion = std::function<void(const HttpResponse&)>;

  /// Work for the client's own thread (see post()).
  class Job {
   public:
    virtual ~Job() = default;
    /// Runs once, on the client's thread; an exception it throws is logged.
    virtual void run() = 0;
  };

  /// The process-wide client, created on first use with the options of configureShared().
  /// It is never destroyed: an std::atexit handler gives its unfinished requests the exit
  /// budget, then stops its thread, so it is safe to use until exit and while exiting.
  static HttpClient& shared();
  /// Sets the shared client's options; takes effect for requests sent afterwards.
  static void configureShared(const HttpClientOptions& options);

  explicit HttpClient(const HttpClientOptions& options = {});
  /// Waits up to options().exitBudget for unfinished requests, then abandons the rest with one
  /// log line; their completions are destroyed without being called. Destroyed from one of its
  /// own completions, it abandons every unfinished request at once instead of waiting.
  ~HttpClient();
  HttpClient(const HttpClient&) = delete;
  HttpClient& operator=(const HttpClient&) = delete;

  /// Queues the request and returns at once. Returns false when it was dropped because the
  /// waiting queue is full (or the client has shut down at exit); the completion has then
  /// already been called, inside this call, with an error saying so. A request libcurl cannot
  /// make (bad URL, method or header) completes on the client's thread with an error.
  bool send(HttpRequest request, Completion completion);

  /// Queues `job` to run on the client's own thread, in line with the requests sent before and
  /// after it, and returns at once: work a request needs that the sender's thread should not
  /// pay for, such as building it. A job counts as one pending request until it has returned;
  /// the first send() it makes to this client takes its place in line and its transfer slot at
  /// once, whatever the waiting queue holds. Returns false, with one log line, when the job was
  /// dropped: the waiting queue is full or the client has shut down. Jobs still waiting when
  /// the exit budget runs out are destroyed without being run. flush() waits for jobs too.
  bool post(std::unique_ptr<Job> job);

  /// Waits until no request is left: every request handed to the client, including those sent
  /// meanwhile by completions, has completed (its completion has returned), or `timeout` has
  /// passed. Returns true when none is left. Called from one of the
  /// client's own completions it returns false at once, since it would wait for itself.
  bool flush(std::chrono::milliseconds timeout);

  /// Requests waiting plus transfers running.
  std::size_t pendingCount() const;

  HttpClientOptions options() const;
  void setOptions(const HttpClientOptions& options);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace tovrin
