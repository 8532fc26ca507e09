// Ends the process while the shared HTTP client has 1,000 requests in flight to a server that
// never answers: `tovrin-test-http_exit URL return|exit`. The exit must be clean and prompt.

#include <cstdio>
#include <cstdlib>
#include <string>

#include "TovrinTracker/HttpClient.hpp"

namespace {

// Constructed before the shared client, so destroyed after its exit handler stopped it: sending
// then must fail cleanly instead of touching a stopped client.
struct SendsWhenDestroyed {
  std::string url;
  ~SendsWhenDestroyed() {
    if (url.empty())
      return;
    tovrin::HttpRequest request;
    request.url = url;
    tovrin::HttpClient::shared().send(std::move(request), [](const tovrin::HttpResponse& r) {
      std::fprintf(stderr, "late send: %s\n", r.error.c_str());
    });
  }
} lateSender;

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s URL return|exit\n", argv[0]);
    return 2;
  }
  const std::string url = argv[1];
  const std::string how = argv[2];
  lateSender.url = url + "/late";
  auto& client = tovrin::HttpClient::shared();
  for (int i = 0; i < 1000; ++i) {
    tovrin::HttpRequest request;
    request.method = "POST";
    request.url = url + "/v1/batch?token=query-secret-" + std::to_string(i);
    request.headers = {{"Authorization", "Basic header-secret"}, {"Content-Type", "text/plain"}};
    request.body = "event " + std::to_string(i);
    client.send(std::move(request), [](const tovrin::HttpResponse& response) {
      std::fprintf(stderr, "completed: %ld %s\n", response.status, response.error.c_str());
    });
  }
  if (how == "exit")
    std::exit(0);
  return 0;
}
