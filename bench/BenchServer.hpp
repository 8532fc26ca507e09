#pragma once
// A small HTTP/1.1 responder on 127.0.0.1 for the benchmarks: one thread, poll(), keep-alive.
// In `reply` mode it answers every request with 200 and {"success":true}; in `silent` mode it
// accepts connections and never reads or answers (a collector that hangs).

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace tovrin::bench {

class BenchServer {
 public:
  enum class Mode { reply, silent };

  explicit BenchServer(Mode mode = Mode::reply) : mode_(mode) {
    int wake[2];
    if (pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0)
      throw std::runtime_error("BenchServer: pipe failed");
    wakeRead_ = wake[0];
    wakeWrite_ = wake[1];
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener_ < 0 || bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        listen(listener_, 512) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      throw std::runtime_error("BenchServer: cannot listen on 127.0.0.1");
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { serve(); });
  }

  ~BenchServer() {
    const char byte = 1;
    (void)!write(wakeWrite_, &byte, 1);
    thread_.join();
    for (const auto& connection : connections_)
      close(connection.fd);
    close(listener_);
    close(wakeRead_);
    close(wakeWrite_);
  }

  BenchServer(const BenchServer&) = delete;
  BenchServer& operator=(const BenchServer&) = delete;

  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }
  int port() const { return port_; }
  std::uint64_t requestCount() const { return requests_.load(); }
  std::uint64_t acceptedCount() const { return accepted_.load(); }
  /// The body of the most recent request.
  std::string lastBody() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lastBody_;
  }

 private:
  struct Connection {
    int fd;
    std::string input;
  };

  static std::size_t contentLength(const std::string& data, std::size_t headEnd) {
    std::string head = data.substr(0, headEnd + 2);
    std::transform(head.begin(), head.end(), head.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    const std::size_t at = head.find("\r\ncontent-length:");
    return at == std::string::npos ? 0 : std::strtoul(head.c_str() + at + 17, nullptr, 10);
  }

  // Answers every complete request in the connection's input; false when the peer is gone.
  bool serveInput(Connection& connection) {
    static const std::string kReply =
        "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 16\r\n\r\n"
        "{\"success\":true}";
    char buffer[65536];
    for (;;) {
      const ssize_t got = recv(connection.fd, buffer, sizeof buffer, 0);
      if (got == 0)
        return false;
      if (got < 0)
        break;  // EAGAIN: nothing more for now
      connection.input.append(buffer, static_cast<std::size_t>(got));
    }
    std::string output;
    for (;;) {
      const std::size_t headEnd = connection.input.find("\r\n\r\n");
      if (headEnd == std::string::npos)
        break;
      const std::size_t total = headEnd + 4 + contentLength(connection.input, headEnd);
      if (connection.input.size() < total)
        break;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        lastBody_.assign(connection.input, headEnd + 4, total - headEnd - 4);
      }
      connection.input.erase(0, total);
      output += kReply;
      ++requests_;
    }
    std::size_t sent = 0;
    while (sent < output.size()) {
      const ssize_t n =
          send(connection.fd, output.data() + sent, output.size() - sent, MSG_NOSIGNAL);
      if (n > 0) {
        sent += static_cast<std::size_t>(n);
      } else {
        pollfd writable{connection.fd, POLLOUT, 0};
        if (poll(&writable, 1, 1000) <= 0)
          return false;
      }
    }
    return true;
  }

  void serve() {
    std::vector<pollfd> fds;
    for (;;) {
      fds.clear();
      fds.push_back({wakeRead_, POLLIN, 0});
      fds.push_back({listener_, POLLIN, 0});
      if (mode_ == Mode::reply) {
        for (const auto& connection : connections_)
          fds.push_back({connection.fd, POLLIN, 0});
      }
      if (poll(fds.data(), fds.size(), -1) < 0)
        continue;
      if (fds[0].revents != 0)
        return;
      if (fds[1].revents != 0) {
        for (;;) {
          const int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
          if (fd < 0)
            break;
          ++accepted_;
          connections_.push_back({fd, {}});
        }
      }
      if (mode_ == Mode::silent)
        continue;
      // Connections accepted just now have no entry in `fds` yet; they are polled next round.
      for (std::size_t i = 2; i < fds.size(); ++i) {
        if (fds[i].revents == 0)
          continue;
        auto found = std::find_if(connections_.begin(), connections_.end(),
                                  [&](const Connection& c) { return c.fd == fds[i].fd; });
        if (found != connections_.end() && !serveInput(*found)) {
          close(found->fd);
          connections_.erase(found);
        }
      }
    }
  }

  Mode mode_;
  int listener_ = -1;
  int wakeRead_ = -1;
  int wakeWrite_ = -1;
  int port_ = 0;
  std::vector<Connection> connections_;  // the serving thread's own
  std::atomic<std::uint64_t> requests_{0};
  std::atomic<std::uint64_t> accepted_{0};
  mutable std::mutex mutex_;
  std::string lastBody_;
  std::thread thread_;
};

}  // namespace tovrin::bench
