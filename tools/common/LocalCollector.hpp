#pragma once
// A local stand-in for the services the library talks to: the Segment collector's /v1/track and
// the geolocation service's /json/, on a loopback address.

#include <chrono>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

namespace httplib {
class Server;
}

namespace tovrin::tools {

struct CollectorOptions {
  std::string host = "127.0.0.1";
  /// 0: any free port.
  int port = 0;
  /// When set, track requests must carry this write key (else 401).
  std::optional<std::string> expectedWriteKey;
  /// What GET /json/ answers.
  nlohmann::json location = {
      {"query", "198.51.100.23"}, {"city", "Zurich"}, {"country", "Switzerland"},
      {"lat", 47.3769},           {"lon", 8.5417},    {"regionName", "Zurich"}};
  /// When not empty, every request is appended to this file as one JSON line.
  std::string jsonLinesPath;
  /// Where the one-line summary of each received event goes (null: nowhere).
  std::ostream* out = nullptr;
};

class LocalCollector {
 public:
  explicit LocalCollector(CollectorOptions options);
  ~LocalCollector();
  LocalCollector(const LocalCollector&) = delete;
  LocalCollector& operator=(const LocalCollector&) = delete;

  /// Binds and starts serving on a background thread; false (with a reason) if it cannot bind.
  bool start(std::string* error = nullptr);
  /// Stops serving and joins the thread.
  void stop();

  int port() const { return port_; }
  /// "http://HOST:PORT".
  std::string url() const;
  /// Bodies of the accepted track requests, in arrival order.
  std::vector<nlohmann::json> events() const;
  std::size_t lookups() const;
  std::size_t rejected() const;
  /// Waits until `count` events were accepted; false at time-out.
  bool waitForEvents(std::size_t count, std::chrono::milliseconds timeout) const;

 private:
  void record(const std::string& method, const std::string& path, int status,
              const std::string& body);

  CollectorOptions options_;
  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;
  int port_ = 0;
  mutable std::mutex mutex_;
  std::vector<nlohmann::json> events_;
  std::size_t lookups_ = 0;
  std::size_t rejected_ = 0;
};

/// One readable line for a track body: event, user, properties and location.
std::string describeEvent(const nlohmann::json& body);

}  // namespace tovrin::tools
