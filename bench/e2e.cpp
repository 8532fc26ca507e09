// tovrin-e2e: end-to-end delivery of tracked events, one request per event.
//
//   tovrin-e2e --url URL [--events N] [--connections C] [--status-url URL]
//       Tracks N events (10 properties, super properties, located) through a TrackerManager and
//       a SegmentIOTracker whose HTTP client runs C transfers at once, until all are delivered.
//       Prints events per second, CPU time of the whole process per delivered event, and peak
//       RSS. With --status-url (an nginx stub_status page) the collector's request count is
//       read before and after, proving every event arrived.
//   tovrin-e2e --silent [--events N]
//       The collector accepts connections and never answers. Prints the RSS growth after N
//       events and again after 2N: the HTTP client's caps bound it.
//   tovrin-e2e --wrk-script FILE --url URL
//       Writes a wrk Lua script that posts the request the library builds for one event (same
//       headers and body bytes).
//   tovrin-e2e --free-port
//       Prints a TCP port on 127.0.0.1 that is free now.
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <thread>

#include "BenchEvent.hpp"
#include "BenchServer.hpp"
#include "TovrinTracker/TovrinTracker.hpp"

namespace {

using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

struct Arguments {
  std::string url, statusUrl, wrkScript;
  long events = 100000;
  long connections = 16;
  bool silent = false;
  bool freePort = false;
};

double cpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}

double peakRssMiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024.0;  // ru_maxrss is in KiB
}

double currentRssMiB() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0, resident = 0;
  statm >> pages >> resident;
  return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) /
         (1024.0 * 1024.0);
}

// Log lines are counted, not printed: a silent collector makes the client drop (and log) most
// events.
std::atomic<long> logLines{0};
std::atomic<long> dropLines{0};

struct Setup {
  std::shared_ptr<tovrin::SegmentIOTracker> segment;
  std::shared_ptr<tovrin::TrackerManager> manager;
};

Setup makeTrackers(const std::string& url) {
  tovrin::SegmentIOTrackerOptions options;
  options.collectorUrl = url;
  options.geolocationUrl = "";
  Setup setup;
  setup.segment = std::make_shared<tovrin::SegmentIOTracker>("BENCHWRITEKEY", options);
  setup.manager = std::make_shared<tovrin::TrackerManager>(
      tovrin::TrackerManager::TrackerList{setup.segment}, nullptr, "e2e");
  setup.segment->setContext(tovrin::bench::locationContext());
  setup.manager->setSuperProperties(tovrin::bench::superProperties());
  tovrin::setApplicationInfo("Sketcher", "2.1", "2100");
  tovrin::setScreenInfo(1440, 900, 2);
  return setup;
}

// The "requests" number of an nginx stub_status page, or -1.
long statusRequests(const std::string& statusUrl) {
  tovrin::HttpRequest request;
  request.url = statusUrl;
  auto reply = std::make_shared<std::string>();
  tovrin::HttpClient::shared().send(
      request, [reply](const tovrin::HttpResponse& response) { *reply = response.body; });
  if (!tovrin::HttpClient::shared().flush(10s))
    return -1;
  const std::string body = *reply;
  // "Active connections: 1 \nserver accepts handled requests\n 7 7 9 \n..."
  const auto at = body.find("requests\n");
  if (at == std::string::npos)
    return -1;
  long accepts = 0, handled = 0, requests = -1;
  if (std::sscanf(body.c_str() + at + 9, "%ld %ld %ld", &accepts, &handled, &requests) != 3)
    return -1;
  return requests;
}

int deliver(const Arguments& args) {
  tovrin::HttpClientOptions clientOptions;
  clientOptions.maxTransfersInFlight = static_cast<std::size_t>(args.connections);
  tovrin::HttpClient::configureShared(clientOptions);
  auto& client = tovrin::HttpClient::shared();
  Setup setup = makeTrackers(args.url);
  const tovrin::Properties properties = tovrin::bench::eventProperties();
  const std::string name = tovrin::bench::kEventName;

  // Connections open and caches warm before the clock starts.
  for (int i = 0; i < 2 * args.connections; ++i)
    setup.manager->track(name, properties);
  if (!client.flush(30s)) {
    std::cerr << "tovrin-e2e: warm-up not delivered\n";
    return 1;
  }
  const long before = args.statusUrl.empty() ? -1 : statusRequests(args.statusUrl);

  const double cpuStart = cpuSeconds();
  const auto start = SteadyClock::now();
  for (long i = 0; i < args.events; ++i) {
    // Keep the queue well below the client's cap: the host here produces faster than any
    // collector accepts, which a real host does not. Past 4000 pending events it pauses until
    // fewer than 1000 are left, in steps of 2 ms (few wake-ups of its own).
    if (i % 64 == 0 && client.pendingCount() > 4000) {
      while (client.pendingCount() > 1000)
        std::this_thread::sleep_for(2ms);
    }
    setup.manager->track(name, properties);
  }
  const bool flushed = client.flush(120s);
  const auto end = SteadyClock::now();
  const double cpu = cpuSeconds() - cpuStart;
  const double seconds = std::chrono::duration<double>(end - start).count();

  long delivered = args.events;
  if (!args.statusUrl.empty()) {
    const long after = statusRequests(args.statusUrl);
    delivered = (before < 0 || after < 0) ? -1 : after - before - 1;  // less the second query
  }
  std::printf(
      "e2e events=%ld connections=%ld delivered=%ld seconds=%.3f events_per_s=%.0f "
      "cpu_us_per_event=%.2f peak_rss_mib=%.2f log_lines=%ld flushed=%d\n",
      args.events, args.connections, delivered, seconds, static_cast<double>(args.events) / seconds,
      cpu * 1e6 / static_cast<double>(args.events), peakRssMiB(), logLines.load(), flushed ? 1 : 0);
  return flushed && (args.statusUrl.empty() || delivered == args.events) ? 0 : 1;
}

int silent(const Arguments& args) {
  tovrin::bench::BenchServer server(tovrin::bench::BenchServer::Mode::silent);
  tovrin::HttpClientOptions clientOptions;
  clientOptions.exitBudget = 200ms;
  tovrin::HttpClient::configureShared(clientOptions);
  auto& client = tovrin::HttpClient::shared();
  Setup setup = makeTrackers(server.url());
  const tovrin::Properties properties = tovrin::bench::eventProperties();
  const std::string name = tovrin::bench::kEventName;

  const double rssStart = currentRssMiB();
  double rss[2] = {0, 0};
  std::size_t pending[2] = {0, 0};
  long drops[2] = {0, 0};
  for (int round = 0; round < 2; ++round) {
    for (long i = 0; i < args.events; ++i)
      setup.manager->track(name, properties);
    std::this_thread::sleep_for(500ms);  // the client's thread catches up
    rss[round] = currentRssMiB();
    pending[round] = client.pendingCount();
    drops[round] = dropLines.load();
  }
  const auto cap = clientOptions.maxTransfersInFlight + clientOptions.maxWaitingRequests;
  std::printf(
      "silent events_per_round=%ld rss_start_mib=%.2f growth_after_1_mib=%.2f "
      "growth_after_2_mib=%.2f pending_1=%zu pending_2=%zu cap=%zu dropped_1=%ld dropped_2=%ld "
      "accepted_connections=%llu peak_rss_mib=%.2f\n",
      args.events, rssStart, rss[0] - rssStart, rss[1] - rssStart, pending[0], pending[1], cap,
      drops[0], drops[1], static_cast<unsigned long long>(server.acceptedCount()), peakRssMiB());
  return pending[1] <= cap ? 0 : 1;
}

std::string luaLongString(const std::string& text) {
  std::string level = "=";
  while (text.find("]" + level + "]") != std::string::npos)
    level += "=";
  return "[" + level + "[" + text + "]" + level + "]";
}

int wrkScript(const Arguments& args) {
  Setup setup = makeTrackers(args.url);
  tovrin::Properties merged = tovrin::bench::superProperties();
  const tovrin::Properties own = tovrin::bench::eventProperties();
  for (const auto& item : own.items())
    merged[item.key()] = item.value();
  const auto request = setup.segment->trackingRequestWithEvent(
      tovrin::bench::kEventName, std::chrono::system_clock::now(), "BENCHWRITEKEY",
      setup.manager->uuid(), setup.segment->context(), merged);
  std::ofstream out(args.wrkScript);
  out << "-- Generated by tovrin-e2e: the request the library builds for one event.\n";
  out << "wrk.method = \"POST\"\n";
  for (const auto& [header, value] : request.headers)
    out << "wrk.headers[\"" << header << "\"] = \"" << value << "\"\n";
  out << "wrk.body = " << luaLongString(request.body) << "\n";
  std::printf("wrk-script body_bytes=%zu\n", request.body.size());
  return out ? 0 : 1;
}

int freePort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return 1;
  }
  std::printf("%d\n", ntohs(address.sin_port));
  close(fd);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Arguments args;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const auto value = [&]() -> std::string {
      if (i + 1 >= argc) {
        std::cerr << "tovrin-e2e: " << arg << " needs a value\n";
        std::exit(2);
      }
      return argv[++i];
    };
    if (arg == "--url") {
      args.url = value();
    } else if (arg == "--status-url") {
      args.statusUrl = value();
    } else if (arg == "--events") {
      args.events = std::atol(value().c_str());
    } else if (arg == "--connections") {
      args.connections = std::atol(value().c_str());
    } else if (arg == "--wrk-script") {
      args.wrkScript = value();
    } else if (arg == "--silent") {
      args.silent = true;
    } else if (arg == "--free-port") {
      args.freePort = true;
    } else {
      std::cerr << "tovrin-e2e: unknown argument " << arg << "\n";
      return 2;
    }
  }
  tovrin::setLogSink([](std::string_view line) {
    ++logLines;
    if (line.find("dropped") != std::string_view::npos)
      ++dropLines;
  });
  if (args.freePort)
    return freePort();
  if (args.silent)
    return silent(args);
  if (args.events <= 0 || args.connections <= 0) {
    std::cerr << "tovrin-e2e: --events and --connections must be positive\n";
    return 2;
  }
  if (args.url.empty()) {
    std::cerr << "tovrin-e2e: --url is required\n";
    return 2;
  }
  if (!args.wrkScript.empty())
    return wrkScript(args);
  return deliver(args);
}
