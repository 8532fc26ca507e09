#include "common/LocalCollector.hpp"

#include <httplib.h>

#include <fstream>

#include "TovrinTracker/MF_Base64Codec.hpp"

namespace tovrin::tools {

using nlohmann::json;

namespace {

// The write key of a "Basic base64(key:)" credential, or none.
std::optional<std::string> writeKeyOf(const std::string& authorization) {
  const std::string prefix = "Basic ";
  if (authorization.rfind(prefix, 0) != 0)
    return std::nullopt;
  auto decoded = stringFromBase64String(authorization.substr(prefix.size()));
  if (!decoded || decoded->empty() || decoded->back() != ':')
    return std::nullopt;
  decoded->pop_back();
  return decoded;
}

// Why a track body is unacceptable, or none.
std::optional<std::string> problemWith(const json& body) {
  if (!body.is_object())
    return "the body is not a JSON object";
  if (!body.contains("event") || !body["event"].is_string())
    return "\"event\" is missing";
  if (!body.contains("context") || !body["context"].is_object())
    return "\"context\" is missing";
  if (!body.contains("timestamp") || !body["timestamp"].is_string()) {
    return "\"timestamp\" is missing";
  }
  return std::nullopt;
}

}  // namespace

std::string describeEvent(const json& body) {
  std::string line = body.value("event", std::string("?"));
  line += "  user=" + (body.contains("userId") ? body["userId"].dump() : std::string("-"));
  line += "  properties=" + (body.contains("properties") ? body["properties"].dump() : "{}");
  const auto context = body.value("context", json::object());
  if (context.contains("location")) {
    const auto& location = context["location"];
    line += "  location=" + location.value("city", std::string()) + ", " +
            location.value("country", std::string()) + " (ip " +
            context.value("ip", std::string()) + ")";
  } else {
    line += "  location=-";
  }
  return line;
}

LocalCollector::LocalCollector(CollectorOptions options)
    : options_(std::move(options)), server_(std::make_unique<httplib::Server>()) {
  server_->Post("/v1/track", [this](const httplib::Request& request, httplib::Response& response) {
    if (options_.expectedWriteKey &&
        writeKeyOf(request.get_header_value("Authorization")) != options_.expectedWriteKey) {
      response.status = 401;
      response.set_content(R"({"error":"unknown write key"})", "application/json");
      record("POST", request.path, response.status, request.body);
      return;
    }
    json body = json::parse(request.body, nullptr, /*allow_exceptions=*/false);
    if (auto problem = problemWith(body)) {
      response.status = 400;
      response.set_content(json{{"error", *problem}}.dump(), "application/json");
      record("POST", request.path, response.status, request.body);
      return;
    }
    response.set_content(R"({"success":true})", "application/json");
    record("POST", request.path, 200, request.body);
    std::lock_guard<std::mutex> lock(mutex_);
    if (options_.out)
      *options_.out << "received  " << describeEvent(body) << std::endl;
    events_.push_back(std::move(body));
  });
  server_->Get("/json/", [this](const httplib::Request& request, httplib::Response& response) {
    response.set_content(options_.location.dump(), "application/json");
    record("GET", request.path, 200, "");
    std::lock_guard<std::mutex> lock(mutex_);
    ++lookups_;
  });
}

LocalCollector::~LocalCollector() {
  stop();
}

bool LocalCollector::start(std::string* error) {
  port_ = options_.port == 0
              ? server_->bind_to_any_port(options_.host)
              : (server_->bind_to_port(options_.host, options_.port) ? options_.port : -1);
  if (port_ <= 0) {
    if (error)
      *error = "cannot listen on " + options_.host + ":" + std::to_string(options_.port);
    return false;
  }
  thread_ = std::thread([this] { server_->listen_after_bind(); });
  // stop() only takes effect once the accept loop runs: wait for it (bounded).
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!server_->is_running() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

void LocalCollector::stop() {
  server_->stop();
  if (thread_.joinable())
    thread_.join();
}

std::string LocalCollector::url() const {
  return "http://" + options_.host + ":" + std::to_string(port_);
}

std::vector<json> LocalCollector::events() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return events_;
}

std::size_t LocalCollector::lookups() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lookups_;
}

std::size_t LocalCollector::rejected() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return rejected_;
}

bool LocalCollector::waitForEvents(std::size_t count, std::chrono::milliseconds timeout) const {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (events_.size() >= count)
        return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

void LocalCollector::record(const std::string& method, const std::string& path, int status,
                            const std::string& body) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (status >= 400)
    ++rejected_;
  if (options_.jsonLinesPath.empty())
    return;
  json parsed = json::parse(body, nullptr, /*allow_exceptions=*/false);
  json line = {{"method", method}, {"path", path}, {"status", status}};
  line["body"] = parsed.is_discarded() ? json(body) : parsed;
  std::ofstream(options_.jsonLinesPath, std::ios::app)
      << line.dump(-1, ' ', false, json::error_handler_t::replace) << "\n";
}

}  // namespace tovrin::tools
