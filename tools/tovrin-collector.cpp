// tovrin-collector: a local collector to point an application at, to see what it sends.
#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "common/LocalCollector.hpp"

namespace {

const char* kUsage = R"(usage: tovrin-collector [--port N] [--write-key KEY] [--location JSON|@FILE]
                        [--log FILE] [--quiet]

Listens on 127.0.0.1 and answers like the services TovrinTracker talks to:
  POST /v1/track  checks the Basic credential against --write-key when given (401 otherwise),
                  checks that the body is a JSON object with "event", "context" and
                  "timestamp" (400 otherwise), and answers 200 {"success":true}.
  GET  /json/     answers the location object (--location, or a built-in example).
Prints one line per received event; --log appends every request as a JSON line to FILE.
Point a tracker at it with SegmentIOTrackerOptions{collectorUrl, geolocationUrl} set to the
printed URL. Stops on SIGINT or SIGTERM.

  --port N          port to listen on (default: any free port, printed at start)
  --write-key KEY   the write key requests must carry
  --location JSON   the geolocation answer, inline or @FILE
  --log FILE        append every request as a JSON line
  --quiet           print nothing per event
)";

}  // namespace

int main(int argc, char** argv) {
  tovrin::tools::CollectorOptions options;
  options.out = &std::cout;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) {
        std::cerr << "tovrin-collector: " << arg << " needs a value\n" << kUsage;
        std::exit(2);
      }
      return argv[++i];
    };
    if (arg == "--help" || arg == "-h") {
      std::cout << kUsage;
      return 0;
    } else if (arg == "--port") {
      const std::string text = value();
      char* end = nullptr;
      const long port = std::strtol(text.c_str(), &end, 10);
      if (!end || *end || port < 0 || port > 65535) {
        std::cerr << "tovrin-collector: invalid port \"" << text << "\"\n";
        return 2;
      }
      options.port = static_cast<int>(port);
    } else if (arg == "--write-key") {
      options.expectedWriteKey = value();
    } else if (arg == "--location") {
      std::string text = value();
      if (!text.empty() && text[0] == '@') {
        std::ifstream in(text.substr(1));
        std::stringstream content;
        content << in.rdbuf();
        text = content.str();
      }
      options.location = nlohmann::json::parse(text, nullptr, false);
      if (!options.location.is_object()) {
        std::cerr << "tovrin-collector: --location is not a JSON object\n";
        return 2;
      }
    } else if (arg == "--log") {
      options.jsonLinesPath = value();
    } else if (arg == "--quiet") {
      options.out = nullptr;
    } else {
      std::cerr << "tovrin-collector: unknown argument \"" << arg << "\"\n" << kUsage;
      return 2;
    }
  }
  // SIGINT and SIGTERM are blocked in every thread (the server's threads inherit the mask) and
  // taken synchronously here, so stopping runs as ordinary code rather than in a handler.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  tovrin::tools::LocalCollector collector(options);
  std::string error;
  if (!collector.start(&error)) {
    std::cerr << "tovrin-collector: " << error << "\n";
    return 1;
  }
  std::cout << "tovrin-collector listening on " << collector.url() << std::endl;
  int signal = 0;
  sigwait(&stopSignals, &signal);
  collector.stop();
  std::cout << "tovrin-collector: " << collector.events().size() << " events received, "
            << collector.rejected() << " rejected" << std::endl;
  return 0;
}
