#include "support/LoopbackServer.hpp"

#include <httplib.h>

#include <algorithm>
#include <cctype>
#include <condition_variable>
#include <mutex>
#include <set>
#include <stdexcept>

#include "support/TestCertificates.hpp"

namespace tovrin::test {
namespace {

constexpr std::chrono::seconds kLongestHold{60};

std::string gzipped(const std::string& data) {
  httplib::detail::gzip_compressor compressor;
  std::string out;
  const bool ok = compressor.compress(data.data(), data.size(), true,
                                      [&out](const char* bytes, std::size_t size) {
                                        out.append(bytes, size);
                                        return true;
                                      });
  if (!ok)
    throw std::runtime_error("gzip compression failed");
  return out;
}

}  // namespace

bool CaseInsensitiveLess::operator()(const std::string& a, const std::string& b) const {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return std::tolower(static_cast<unsigned char>(x)) <
           std::tolower(static_cast<unsigned char>(y));
  });
}

std::string RecordedRequest::header(const std::string& name) const {
  const auto found = headers.find(name);
  return found == headers.end() ? std::string() : found->second;
}

struct LoopbackServer::State {
  mutable std::mutex mutex;
  mutable std::condition_variable changed;
  std::map<std::string, Handler> handlers;
  std::vector<RecordedRequest> requests;
  std::set<int> remotePorts;
  std::size_t held = 0;
  bool released = false;
  bool stopping = false;

  void serve(const httplib::Request& request, httplib::Response& response) {
    RecordedRequest record;
    record.method = request.method;
    record.path = request.path;
    record.params.insert(request.params.begin(), request.params.end());
    record.headers.insert(request.headers.begin(), request.headers.end());
    record.body = request.body;
    record.remotePort = request.remote_port;

    Handler handler;
    {
      std::lock_guard<std::mutex> lock(mutex);
      requests.push_back(record);
      remotePorts.insert(request.remote_port);
      const auto found = handlers.find(request.path);
      if (found != handlers.end())
        handler = found->second;
      changed.notify_all();
    }
    const Reply reply = handler ? handler(record) : Reply{};

    std::unique_lock<std::mutex> lock(mutex);
    if (reply.delay.count() > 0)
      changed.wait_for(lock, reply.delay, [this] { return stopping; });
    if (reply.hold) {
      ++held;
      changed.notify_all();
      changed.wait_for(lock, kLongestHold, [this] { return released || stopping; });
      --held;
    }
    lock.unlock();

    response.status = reply.status;
    for (const auto& [name, value] : reply.headers)
      response.set_header(name, value);
    if (reply.chunked) {
      response.set_chunked_content_provider(
          reply.contentType, [body = reply.body](std::size_t, httplib::DataSink& sink) {
            if (!body.empty())
              sink.write(body.data(), body.size());
            sink.done();
            return true;
          });
      return;
    }
    // A body with a known length goes out as is: httplib compresses only the other kinds.
    auto body = std::make_shared<std::string>(reply.gzip ? gzipped(reply.body) : reply.body);
    if (reply.gzip)
      response.set_header("Content-Encoding", "gzip");
    if (body->empty()) {
      response.set_header("Content-Type", reply.contentType);
      return;
    }
    response.set_content_provider(
        body->size(), reply.contentType,
        [body](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
          sink.write(body->data() + offset, length);
          return true;
        });
  }
};

LoopbackServer::LoopbackServer(const TestCertificates* tls, std::size_t threads, int port)
    : state_(std::make_shared<State>()), https_(tls != nullptr) {
  if (tls != nullptr) {
    auto server = std::make_unique<httplib::SSLServer>(tls->serverCertPath().c_str(),
                                                       tls->serverKeyPath().c_str());
    if (!server->is_valid())
      throw std::runtime_error("LoopbackServer: bad TLS certificate");
    server_ = std::move(server);
  } else {
    server_ = std::make_unique<httplib::Server>();
  }
  server_->new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
  // Keep-alive for many requests, but idle connections close soon so stopping never waits long.
  server_->set_keep_alive_max_count(1000);
  server_->set_keep_alive_timeout(
      1);  // seconds; an idle client connection delays stop() by this much
  auto serve = [state = state_](const httplib::Request& request, httplib::Response& response) {
    state->serve(request, response);
  };
  server_->Get(".*", serve);
  server_->Post(".*", serve);
  server_->Put(".*", serve);
  server_->Patch(".*", serve);
  server_->Delete(".*", serve);
  server_->Options(".*", serve);

  if (port > 0) {
    port_ = server_->bind_to_port("127.0.0.1", port) ? port : -1;
  } else {
    port_ = server_->bind_to_any_port("127.0.0.1");
  }
  if (port_ <= 0)
    throw std::runtime_error("LoopbackServer: cannot bind to 127.0.0.1");
  thread_ = std::thread([this] { server_->listen_after_bind(); });
  // stop() only works once the accept loop runs.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!server_->is_running() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  if (!server_->is_running())
    throw std::runtime_error("LoopbackServer: did not start");
}

LoopbackServer::~LoopbackServer() {
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->stopping = true;
    state_->changed.notify_all();
  }
  server_->stop();
  if (thread_.joinable())
    thread_.join();
}

std::string LoopbackServer::url() const {
  return std::string(https_ ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_);
}

void LoopbackServer::setReply(const std::string& path, Reply reply) {
  setHandler(path, [reply = std::move(reply)](const RecordedRequest&) { return reply; });
}

void LoopbackServer::setHandler(const std::string& path, Handler handler) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->handlers[path] = std::move(handler);
}

std::vector<RecordedRequest> LoopbackServer::requests() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->requests;
}

std::size_t LoopbackServer::requestCount() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->requests.size();
}

bool LoopbackServer::waitForRequests(std::size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(state_->mutex);
  return state_->changed.wait_for(lock, timeout, [&] { return state_->requests.size() >= count; });
}

std::size_t LoopbackServer::connectionCount() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->remotePorts.size();
}

std::size_t LoopbackServer::heldCount() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->held;
}

bool LoopbackServer::waitForHeld(std::size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(state_->mutex);
  return state_->changed.wait_for(lock, timeout, [&] { return state_->held >= count; });
}

void LoopbackServer::release() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->released = true;
  state_->changed.notify_all();
}

}  // namespace tovrin::test
