#pragma once
// The process-wide asynchronous HTTP client the trackers send through (libcurl underneath).

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
  /// Transfers running at once; further requests wait.
  std::size_t maxTransfersInFlight = 32;
  /// Requests waiting to start; a request beyond this is dropped with one log line.
  std::size_t maxWaitingRequests = 10000;
  std::chrono::milliseconds connectTimeout{10000};
  /// Time-out of a whole transfer, as the platform's default request time-out.
  std::chrono::milliseconds requestTimeout{60000};
  /// A reply body larger than this ends its transfer with an error.
  std::size_t maxReplyBytes = 1024 * 1024;
  /// A CA bundle to verify servers against instead of the system's. Verification is always on.
  std::string caBundlePath;
  /// At process exit, how long transfers still running may take before they are abandoned.
  std::chrono::milliseconds exitBudget{2000};
};

/// Sending returns at once; each completion runs later on the client's own background thread.
/// Connections are reused (keep-alive; HTTP/2 over TLS when offered). Thread-safe.
class HttpClient {
 public:
  using Completion = std::function<void(const HttpResponse&)>;

  /// The process-wide client, created on first use with the options of configureShared().
  static HttpClient& shared();
  /// Sets the shared client's options; takes effect for requests sent afterwards.
  static void configureShared(const HttpClientOptions& options);

  explicit HttpClient(const HttpClientOptions& options = {});
  /// Waits up to options().exitBudget for running transfers, then abandons the rest.
  ~HttpClient();
  HttpClient(const HttpClient&) = delete;
  HttpClient& operator=(const HttpClient&) = delete;

  /// Queues the request and returns at once. Returns false when it was dropped because the
  /// waiting queue is full; the completion has then already been called, inside this call,
  /// with an error saying so.
  bool send(HttpRequest request, Completion completion);

  /// Waits until every request handed to the client so far has completed (its completion has
  /// returned) or `timeout` has passed. Returns true when all completed.
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
