#pragma once
// A bare TCP server on 127.0.0.1 for the faults an HTTP server library will not make.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tovrin::test {

class RawTcpServer {
 public:
  enum class Behavior {
    silent,         // accepts and never reads or answers; connections stay open until stopped
    resetMidReply,  // reads a request, sends part of the reply head, then resets (SO_LINGER 0)
    canned,         // reads a request, sends `reply` verbatim, then closes
  };

  /// Listens on a free port and serves one connection at a time on its own thread.
  explicit RawTcpServer(Behavior behavior, std::string reply = {});
  /// Stops, joins, and closes every connection.
  ~RawTcpServer();
  RawTcpServer(const RawTcpServer&) = delete;
  RawTcpServer& operator=(const RawTcpServer&) = delete;

  int port() const { return port_; }
  /// "http://127.0.0.1:PORT".
  std::string url() const;
  /// Connections accepted so far.
  std::size_t acceptedCount() const;
  /// Waits until at least `count` connections were accepted; false when `timeout` passed first.
  bool waitForAccepted(std::size_t count, std::chrono::milliseconds timeout) const;
  /// Raw requests read so far (head and body bytes exactly as received).
  std::vector<std::string> requests() const;
  /// Waits until at least `count` requests were read; false when `timeout` passed first.
  bool waitForRequests(std::size_t count, std::chrono::milliseconds timeout) const;

 private:
  void serve();
  void handle(int connection);

  Behavior behavior_;
  std::string reply_;
  int listener_ = -1;
  int wakeRead_ = -1;
  int wakeWrite_ = -1;
  int port_ = 0;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::size_t accepted_ = 0;
  std::vector<std::string> requests_;
  std::vector<int> openConnections_;
  std::thread thread_;
};

}  // namespace tovrin::test
