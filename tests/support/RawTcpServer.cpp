#include "support/RawTcpServer.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <stdexcept>

namespace tovrin::test {
namespace {

constexpr int kReadTimeoutMs = 5000;
constexpr std::size_t kLongestRequest = std::size_t{1024} * 1024;

// The request's declared body length, from a head that ends with the blank line.
std::size_t contentLength(std::string head) {
  std::transform(head.begin(), head.end(), head.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  const std::size_t at = head.find("\r\ncontent-length:");
  if (at == std::string::npos)
    return 0;
  try {
    return std::stoul(head.substr(at + 17));
  } catch (const std::exception&) {
    return 0;
  }
}

// Reads one request (head, then as many body bytes as it declares); stops early on a time-out,
// end of stream or an oversized request.
std::string readRequest(int connection) {
  std::string data;
  std::size_t wanted = std::string::npos;
  char buffer[4096];
  while (data.size() < std::min(wanted, kLongestRequest)) {
    pollfd ready{connection, POLLIN, 0};
    if (poll(&ready, 1, kReadTimeoutMs) <= 0)
      break;
    const ssize_t got = recv(connection, buffer, sizeof buffer, 0);
    if (got <= 0)
      break;
    data.append(buffer, static_cast<std::size_t>(got));
    const std::size_t headEnd = data.find("\r\n\r\n");
    if (wanted == std::string::npos && headEnd != std::string::npos) {
      wanted = headEnd + 4 + contentLength(data.substr(0, headEnd + 2));
    }
  }
  return data;
}

void sendAll(int connection, const std::string& data) {
  std::size_t sent = 0;
  while (sent < data.size()) {
    const ssize_t n = send(connection, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
    if (n <= 0)
      return;
    sent += static_cast<std::size_t>(n);
  }
}

}  // namespace

RawTcpServer::RawTcpServer(Behavior behavior, std::string reply)
    : behavior_(behavior), reply_(std::move(reply)) {
  int wake[2];
  if (pipe2(wake, O_CLOEXEC) != 0)
    throw std::runtime_error("RawTcpServer: pipe failed");
  wakeRead_ = wake[0];
  wakeWrite_ = wake[1];
  listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (listener_ < 0 || bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      listen(listener_, SOMAXCONN) != 0 ||
      getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    if (listener_ >= 0)
      close(listener_);
    close(wakeRead_);
    close(wakeWrite_);
    throw std::runtime_error("RawTcpServer: cannot listen on 127.0.0.1");
  }
  port_ = ntohs(address.sin_port);
  thread_ = std::thread([this] { serve(); });
}

RawTcpServer::~RawTcpServer() {
  const char stop = 1;
  (void)write(wakeWrite_, &stop, 1);
  thread_.join();
  for (int connection : openConnections_)
    close(connection);
  close(listener_);
  close(wakeRead_);
  close(wakeWrite_);
}

std::string RawTcpServer::url() const {
  return "http://127.0.0.1:" + std::to_string(port_);
}

void RawTcpServer::serve() {
  for (;;) {
    pollfd ready[2] = {{listener_, POLLIN, 0}, {wakeRead_, POLLIN, 0}};
    if (poll(ready, 2, -1) < 0)
      continue;
    if (ready[1].revents != 0)
      return;
    if ((ready[0].revents & POLLIN) == 0)
      continue;
    const int connection = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (connection < 0)
      continue;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ++accepted_;
      changed_.notify_all();
    }
    if (behavior_ == Behavior::silent) {
      openConnections_.push_back(connection);  // only this thread and the destructor touch it
      continue;
    }
    handle(connection);
  }
}

void RawTcpServer::handle(int connection) {
  std::string request = readRequest(connection);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back(std::move(request));
    changed_.notify_all();
  }
  if (behavior_ == Behavior::resetMidReply) {
    sendAll(connection, "HTTP/1.1 200 OK\r\nContent-Length: 100\r\nContent-Ty");
    // Closing with a zero linger time sends a reset instead of an orderly end of stream.
    linger abort{1, 0};
    setsockopt(connection, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
  } else {
    sendAll(connection, reply_);
    shutdown(connection, SHUT_WR);
  }
  close(connection);
}

std::size_t RawTcpServer::acceptedCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return accepted_;
}

bool RawTcpServer::waitForAccepted(std::size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return accepted_ >= count; });
}

std::vector<std::string> RawTcpServer::requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

bool RawTcpServer::waitForRequests(std::size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return requests_.size() >= count; });
}

}  // namespace tovrin::test
