#include "TovrinTracker/HttpClient.hpp"

#include <curl/curl.h>

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <exception>
#include <mutex>
#include <string_view>
#include <thread>
#include <unordered_map>

#include "TovrinTracker/Log.hpp"
#include "platform/LogInternal.hpp"

namespace tovrin {
namespace {

using Clock = std::chrono::steady_clock;

// After it last started or finished something, the worker looks for new requests every
// kNapMs for kLingerTime before it sleeps until woken: senders meanwhile need no system call.
constexpr int kNapMs = 1;
constexpr auto kLingerTime = std::chrono::milliseconds(20);

// One owner per libcurl handle.
struct EasyCleanup {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
struct MultiCleanup {
  void operator()(CURLM* handle) const { curl_multi_cleanup(handle); }
};
struct SlistCleanup {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using EasyHandle = std::unique_ptr<CURL, EasyCleanup>;
using MultiHandle = std::unique_ptr<CURLM, MultiCleanup>;
using HeaderList = std::unique_ptr<curl_slist, SlistCleanup>;

void initCurlOnce() {
  static std::once_flag once;
  std::call_once(once, [] {
    const CURLcode code = curl_global_init(CURL_GLOBAL_DEFAULT);
    if (code != CURLE_OK) {
      log(std::string("HttpClient: libcurl initialisation failed: ") + curl_easy_strerror(code));
    }
  });
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           const auto lower = [](char c) {
             return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
           };
           return lower(x) == lower(y);
         });
}

// An HTTP token (method or header name): visible ASCII without separators.
bool isToken(std::string_view text) {
  static constexpr std::string_view separators = "()<>@,;:\\\"/[]?={} \t";
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
    return c > 32 && c < 127 && separators.find(c) == std::string_view::npos;
  });
}

bool isHeaderValue(std::string_view text) {
  return text.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

long milliseconds(std::chrono::milliseconds duration) {
  // libcurl reads 0 as "no time-out"; every transfer here has one.
  return static_cast<long>(
      std::clamp<std::chrono::milliseconds::rep>(duration.count(), 1, 24L * 3600 * 1000));
}

// Parts of a request that must never appear in an error text or a log line: the URL's user
// information, query and fragment, and every header value.
bool mentionsSecret(std::string_view text, const HttpRequest& request) {
  const auto mentions = [text](std::string_view secret) {
    return !secret.empty() && text.find(secret) != std::string_view::npos;
  };
  const std::string_view url = request.url;
  const std::size_t scheme = url.find("://");
  const std::size_t hostStart = scheme == std::string_view::npos ? 0 : scheme + 3;
  const std::size_t hostEnd = std::min(url.find_first_of("/?#", hostStart), url.size());
  const std::size_t at = url.substr(0, hostEnd).rfind('@');
  if (at != std::string_view::npos && at >= hostStart &&
      mentions(url.substr(hostStart, at - hostStart))) {
    return true;
  }
  const std::size_t query = url.find_first_of("?#", hostEnd);
  if (query != std::string_view::npos && mentions(url.substr(query + 1)))
    return true;
  return std::any_of(request.headers.begin(), request.headers.end(),
                     [&](const auto& header) { return mentions(header.second); });
}

struct Transfer {
  HttpRequest request;
  HttpClient::Completion completion;
  HttpClientOptions options;  // as they were when the request was sent
  EasyHandle easy;
  HeaderList headers;
  std::string reply;
  bool replyTooLarge = false;
  char errorBuffer[CURL_ERROR_SIZE] = {};
};

std::size_t receiveReply(char* data, std::size_t size, std::size_t count, void* user) {
  auto& transfer = *static_cast<Transfer*>(user);
  const std::size_t bytes = size * count;
  if (transfer.reply.size() + bytes > transfer.options.maxReplyBytes) {
    transfer.replyTooLarge = true;
    return CURL_WRITEFUNC_ERROR;
  }
  transfer.reply.append(data, bytes);
  return bytes;
}

void callCompletion(const HttpClient::Completion& completion, const HttpResponse& response) {
  if (!completion)
    return;
  try {
    completion(response);
  } catch (const std::exception& e) {
    log(std::string("HttpClient: a completion threw an exception: ") + e.what());
  } catch (...) {
    log("HttpClient: a completion threw an exception of unknown type");
  }
}

// The client whose worker is running a job on this thread, while it runs: the job's first
// send() to that client takes the job's place.
thread_local const void* jobSlotOwner = nullptr;

void runJob(HttpClient::Job& job) {
  try {
    job.run();
  } catch (const std::exception& e) {
    log(std::string("HttpClient: a job threw an exception: ") + e.what());
  } catch (...) {
    log("HttpClient: a job threw an exception of unknown type");
  }
}

std::string abandonedLine(std::size_t count) {
  return "HttpClient: abandoned " + std::to_string(count) + " unfinished request" +
         (count == 1 ? "" : "s") + " at shutdown";
}

}  // namespace

struct HttpClient::Impl {
  // A request, or a job that stands for one, waiting for its turn.
  struct Waiting {
    std::unique_ptr<Transfer> transfer;
    std::unique_ptr<HttpClient::Job> job;
  };
  // How the worker waits for news: senders wake it only when it is asleep.
  enum class Rest { awake, napping, asleep };

  explicit Impl(const HttpClientOptions& initial);

  void run();
  void runWaitingJob(std::unique_ptr<HttpClient::Job> job);
  void startOrFail(std::unique_ptr<Transfer> transfer);
  void settle(std::size_t count);
  bool start(Transfer& transfer, std::string& error);
  void collectFinished(std::vector<std::pair<std::unique_ptr<Transfer>, HttpResponse>>& done);
  void finish(std::unique_ptr<Transfer> transfer, const HttpResponse& response);
  void applyConnectionLimits(std::size_t limit);
  void shutdown();
  void releaseCurl();
  bool onWorkerThread() const;
  void abandonFromWorker();
  // Under `mutex`, after something was queued: whether the sender must wake the worker.
  bool wakeNeeded() {
    if (rest != Rest::asleep || wakePending)
      return false;
    wakePending = true;
    return true;
  }

  // Shared between the callers and the worker, under `mutex`.
  mutable std::mutex mutex;
  std::condition_variable settled;
  HttpClientOptions options;
  std::uint64_t optionsVersion = 1;
  std::deque<Waiting> waiting;
  std::size_t running = 0;     // taken from `waiting`, completion (or job) not yet returned
  std::size_t unfinished = 0;  // requests and jobs handed over whose completion has not returned
  Rest rest = Rest::awake;
  bool wakePending = false;
  bool stopping = false;
  bool stopped = false;
  bool ownedByWorker = false;
  Clock::time_point deadline;
  std::thread::id workerId;
  MultiHandle multi;  // created in the constructor, released after the worker has stopped

  // The worker's own.
  std::unordered_map<CURL*, std::unique_ptr<Transfer>> active;
  std::vector<EasyHandle> idleHandles;
  std::uint64_t appliedOptionsVersion = 0;
  HttpClientOptions workerOptions;  // `options` as of appliedOptionsVersion
  // What the running job sent: it inherits the job's counts and transfer slot.
  std::unique_ptr<Transfer> jobTransfer;
  Clock::time_point lastBusy;
  std::thread worker;
};

HttpClient::Impl::Impl(const HttpClientOptions& initial) : options(initial) {
  initCurlOnce();
  multi.reset(curl_multi_init());
  if (!multi) {
    log("HttpClient: libcurl could not create a multi handle; every request will fail");
    stopping = stopped = true;
    return;
  }
  curl_multi_setopt(multi.get(), CURLMOPT_PIPELINING, CURLPIPE_MULTIPLEX);
  worker = std::thread([this] { run(); });
  std::lock_guard<std::mutex> lock(mutex);
  workerId = worker.get_id();
}

bool HttpClient::Impl::onWorkerThread() const {
  std::lock_guard<std::mutex> lock(mutex);
  return workerId == std::this_thread::get_id();
}

void HttpClient::Impl::applyConnectionLimits(std::size_t limit) {
  // Never more connections than transfers may run, and an idle connection for each of them.
  const long connections = static_cast<long>(limit);
  curl_multi_setopt(multi.get(), CURLMOPT_MAX_TOTAL_CONNECTIONS, connections);
  curl_multi_setopt(multi.get(), CURLMOPT_MAX_HOST_CONNECTIONS, connections);
  curl_multi_setopt(multi.get(), CURLMOPT_MAXCONNECTS, connections);
}

bool HttpClient::Impl::start(Transfer& transfer, std::string& error) {
  const HttpRequest& request = transfer.request;
  if (!isToken(request.method)) {
    error = "invalid request method";
    return false;
  }
  std::string acceptEncoding;  // empty: every encoding libcurl can decode
  bool hasContentType = false;
  bool hasExpect = false;
  HeaderList headers;
  const auto append = [&headers](const std::string& line) {
    curl_slist* list = curl_slist_append(headers.get(), line.c_str());
    if (list == nullptr)
      return false;
    (void)headers.release();  // the same list, now one longer
    headers.reset(list);
    return true;
  };
  for (const auto& [name, value] : request.headers) {
    if (!isToken(name) || !isHeaderValue(value)) {
      error = "invalid header field \"" + (isToken(name) ? name : std::string("?")) + "\"";
      return false;
    }
    if (equalsIgnoringCase(name, "Accept-Encoding")) {
      // Handed to libcurl instead, which then both sends it and decodes the reply.
      acceptEncoding = value;
      continue;
    }
    hasContentType = hasContentType || equalsIgnoringCase(name, "Content-Type");
    hasExpect = hasExpect || equalsIgnoringCase(name, "Expect");
    // "Name;" is how libcurl is told to send a header with an empty value.
    std::string line = name;
    line += value.empty() ? ";" : ": ";
    line += value;
    if (!append(line)) {
      error = "out of memory";
      return false;
    }
  }
  const bool hasBody = !request.body.empty() || request.method == "POST";
  // No "Expect: 100-continue" round trip, and no made-up form content type.
  if ((hasBody && !hasExpect && !append("Expect:")) ||
      (hasBody && !hasContentType && !append("Content-Type:"))) {
    error = "out of memory";
    return false;
  }

  if (!idleHandles.empty()) {
    transfer.easy = std::move(idleHandles.back());
    idleHandles.pop_back();
  } else {
    transfer.easy.reset(curl_easy_init());
  }
  CURL* easy = transfer.easy.get();
  if (easy == nullptr) {
    error = "libcurl could not create a transfer";
    return false;
  }
  transfer.headers = std::move(headers);
  transfer.errorBuffer[0] = '\0';
  const HttpClientOptions& opts = transfer.options;

  curl_easy_setopt(easy, CURLOPT_PRIVATE, &transfer);
  curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, transfer.errorBuffer);
  curl_easy_setopt(easy, CURLOPT_URL, request.url.c_str());
#if LIBCURL_VERSION_NUM >= 0x075500
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
#else
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS, long(CURLPROTO_HTTP | CURLPROTO_HTTPS));
#endif
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, long(CURL_HTTP_VERSION_2TLS));
  curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
  // A request's own CA bundle and time-out take precedence over the client's.
  const std::string& caBundle =
      request.caBundlePath.empty() ? opts.caBundlePath : request.caBundlePath;
  if (!caBundle.empty()) {
    curl_easy_setopt(easy, CURLOPT_CAINFO, caBundle.c_str());
  }
  curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, milliseconds(opts.connectTimeout));
  curl_easy_setopt(
      easy, CURLOPT_TIMEOUT_MS,
      milliseconds(request.timeout.count() > 0 ? request.timeout : opts.requestTimeout));
  // Refuses a reply whose announced length is already too large, before any of it is read.
  curl_easy_setopt(easy, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(opts.maxReplyBytes));
  curl_easy_setopt(easy, CURLOPT_ACCEPT_ENCODING, acceptEncoding.c_str());
  curl_easy_setopt(easy, CURLOPT_HTTPHEADER, transfer.headers.get());
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &receiveReply);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, &transfer);

  if (request.method == "HEAD") {
    curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
  } else if (request.method == "GET" && request.body.empty()) {
    curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
  } else {
    curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE,
                     static_cast<curl_off_t>(request.body.size()));
    curl_easy_setopt(easy, CURLOPT_POSTFIELDS, request.body.data());
    if (request.method != "POST") {
      curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, request.method.c_str());
    }
  }

  if (curl_multi_add_handle(multi.get(), easy) != CURLM_OK) {
    error = "libcurl could not start the transfer";
    return false;
  }
  return true;
}

void HttpClient::Impl::collectFinished(
    std::vector<std::pair<std::unique_ptr<Transfer>, HttpResponse>>& done) {
  int queued = 0;
  while (CURLMsg* message = curl_multi_info_read(multi.get(), &queued)) {
    if (message->msg != CURLMSG_DONE)
      continue;
    CURL* easy = message->easy_handle;
    const CURLcode result = message->data.result;
    curl_multi_remove_handle(multi.get(), easy);
    auto found = active.find(easy);
    if (found == active.end())
      continue;
    std::unique_ptr<Transfer> transfer = std::move(found->second);
    active.erase(found);

    HttpResponse response;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &response.status);
    if (result == CURLE_OK) {
      response.body = std::move(transfer->reply);
    } else if (transfer->replyTooLarge || result == CURLE_FILESIZE_EXCEEDED) {
      response.error =
          "reply larger than " + std::to_string(transfer->options.maxReplyBytes) + " bytes";
    } else {
      // libcurl's detail names host and port and what went wrong; it is left out whenever it
      // might echo a credential.
      response.error = curl_easy_strerror(result);
      const std::string_view detail = transfer->errorBuffer;
      if (!detail.empty() && !mentionsSecret(detail, transfer->request)) {
        response.error += " (" + std::string(detail) + ")";
      }
    }
    done.emplace_back(std::move(transfer), std::move(response));
  }
}

void HttpClient::Impl::finish(std::unique_ptr<Transfer> transfer, const HttpResponse& response) {
  const HttpClient::Completion completion = std::move(transfer->completion);
  if (transfer->easy && idleHandles.size() < transfer->options.maxTransfersInFlight) {
    curl_easy_reset(transfer->easy.get());
    idleHandles.push_back(std::move(transfer->easy));
  }
  transfer.reset();
  callCompletion(completion, response);
}

void HttpClient::Impl::settle(std::size_t count) {
  std::lock_guard<std::mutex> lock(mutex);
  unfinished -= count;
  running -= count;
  if (unfinished == 0)
    settled.notify_all();  // flush() waits for nothing else
}

void HttpClient::Impl::startOrFail(std::unique_ptr<Transfer> transfer) {
  std::string error;
  if (start(*transfer, error)) {
    CURL* easy = transfer->easy.get();
    active.emplace(easy, std::move(transfer));
  } else {
    log("HttpClient: request not sent: " + error);
    HttpResponse response;
    response.error = error;
    finish(std::move(transfer), response);
    settle(1);
  }
}

void HttpClient::Impl::runWaitingJob(std::unique_ptr<HttpClient::Job> job) {
  jobSlotOwner = this;
  runJob(*job);
  jobSlotOwner = nullptr;
  job.reset();  // what it holds goes before flush() can see it finished
  if (jobTransfer) {
    startOrFail(std::move(jobTransfer));
  } else {
    settle(1);  // nothing took over the job's place
  }
}

void HttpClient::Impl::run() {
  std::vector<Waiting> starting;
  std::vector<std::pair<std::unique_ptr<Transfer>, HttpResponse>> done;
  for (;;) {
    int waitMs = 1000;
    std::size_t limit = 0;
    {
      std::lock_guard<std::mutex> lock(mutex);
      rest = Rest::awake;
      wakePending = false;
      if (stopping) {
        const auto now = Clock::now();
        if ((waiting.empty() && running == 0) || now >= deadline)
          break;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
        waitMs = static_cast<int>(std::min<long long>(left, waitMs));
      }
      const std::size_t cap = std::max<std::size_t>(1, options.maxTransfersInFlight);
      if (appliedOptionsVersion != optionsVersion) {
        appliedOptionsVersion = optionsVersion;
        workerOptions = options;
        limit = cap;
      }
      while (!waiting.empty() && running < cap) {
        starting.push_back(std::move(waiting.front()));
        waiting.pop_front();
        ++running;
      }
    }
    if (limit != 0)
      applyConnectionLimits(limit);
    if (!starting.empty())
      lastBusy = Clock::now();
    for (auto& item : starting) {
      if (item.job) {
        runWaitingJob(std::move(item.job));
      } else {
        startOrFail(std::move(item.transfer));
      }
    }
    starting.clear();

    int stillRunning = 0;
    curl_multi_perform(multi.get(), &stillRunning);
    collectFinished(done);
    if (!done.empty()) {
      for (auto& [transfer, response] : done)
        finish(std::move(transfer), response);
      settle(done.size());
      done.clear();
      lastBusy = Clock::now();
      continue;  // their slots go to waiting requests at once
    }

    {
      std::lock_guard<std::mutex> lock(mutex);
      const std::size_t cap = std::max<std::size_t>(1, options.maxTransfersInFlight);
      if (!waiting.empty() && running < cap)
        continue;  // queued while this round ran
      if (!stopping && Clock::now() - lastBusy < kLingerTime) {
        rest = Rest::napping;
        waitMs = std::min(waitMs, kNapMs);
      } else {
        rest = Rest::asleep;
      }
    }
    // Returns early when a socket is ready, libcurl has a time-out due, or a sender wakes it.
    curl_multi_poll(multi.get(), nullptr, 0, waitMs, nullptr);
  }

  std::size_t abandoned = 0;
  bool selfOwned = false;
  {
    std::lock_guard<std::mutex> lock(mutex);
    abandoned = waiting.size() + running;
    stopped = true;
    selfOwned = ownedByWorker;
    settled.notify_all();
  }
  if (abandoned > 0)
    log(abandonedLine(abandoned));
  if (selfOwned) {
    releaseCurl();
    delete this;  // the client was destroyed from one of its completions and left this to us
  }
}

void HttpClient::Impl::shutdown() {
  std::size_t abandonedHere = 0;
  bool fromWorker = false;
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (!stopping) {
      stopping = true;
      deadline = Clock::now() + std::max(options.exitBudget, std::chrono::milliseconds(0));
    }
    if (multi)
      curl_multi_wakeup(multi.get());
    fromWorker = workerId == std::this_thread::get_id();
    if (fromWorker) {
      // The process exits from one of this client's completions: nobody is left to wait.
      abandonedHere = stopped ? 0 : waiting.size() + running;
      stopped = true;
    }
  }
  if (fromWorker) {
    if (abandonedHere > 0)
      log(abandonedLine(abandonedHere));
    return;
  }
  if (worker.joinable())
    worker.join();
}

void HttpClient::Impl::abandonFromWorker() {
  std::lock_guard<std::mutex> lock(mutex);
  stopping = true;
  deadline = Clock::now();
  ownedByWorker = true;
  worker.detach();
  curl_multi_wakeup(multi.get());  // so the loop ends without polling once more
}

void HttpClient::Impl::releaseCurl() {
  // Only once the worker has stopped: abandoned transfers are removed and freed, their
  // completions destroyed without being called.
  for (auto& [easy, transfer] : active)
    curl_multi_remove_handle(multi.get(), easy);
  active.clear();
  idleHandles.clear();
  std::deque<Waiting> abandoned;  // destroyed outside the lock: captures may run destructors
  std::unique_ptr<Transfer> fromJob;
  fromJob = std::move(jobTransfer);
  std::lock_guard<std::mutex> lock(mutex);
  abandoned.swap(waiting);
  multi.reset();
}

HttpClient::HttpClient(const HttpClientOptions& options) : impl_(std::make_unique<Impl>(options)) {}

HttpClient::~HttpClient() {
  if (impl_->onWorkerThread()) {
    impl_->abandonFromWorker();
    (void)impl_.release();  // the worker frees it once the current completion returns
    return;
  }
  impl_->shutdown();
  impl_->releaseCurl();
}

bool HttpClient::send(HttpRequest request, Completion completion) {
  auto transfer = std::make_unique<Transfer>();
  transfer->request = std::move(request);
  transfer->completion = std::move(completion);
  if (jobSlotOwner == impl_.get()) {
    // Sent by the job this client's worker is running (this thread): it takes the job's place,
    // counts and transfer slot at once. Only the worker touches what is used here.
    jobSlotOwner = nullptr;
    transfer->options = impl_->workerOptions;
    impl_->jobTransfer = std::move(transfer);
    return true;
  }
  std::string dropped;
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    Impl& d = *impl_;
    const std::size_t pending = d.waiting.size() + d.running;
    const std::size_t cap =
        std::max<std::size_t>(1, d.options.maxTransfersInFlight) + d.options.maxWaitingRequests;
    if (d.stopping) {
      dropped = "request dropped: the HTTP client has shut down";
    } else if (pending >= cap) {
      dropped =
          "request dropped: " + std::to_string(pending) + " requests already waiting or running";
    } else {
      transfer->options = d.options;
      ++d.unfinished;
      d.waiting.push_back(Impl::Waiting{std::move(transfer), nullptr});
      if (d.wakeNeeded())
        curl_multi_wakeup(d.multi.get());
      return true;
    }
  }
  log("HttpClient: " + dropped);
  HttpResponse response;
  response.error = dropped;
  callCompletion(transfer->completion, response);
  return false;
}

bool HttpClient::post(std::unique_ptr<Job> job) {
  if (!job)
    return false;
  std::string dropped;
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    Impl& d = *impl_;
    const std::size_t pending = d.waiting.size() + d.running;
    const std::size_t cap =
        std::max<std::size_t>(1, d.options.maxTransfersInFlight) + d.options.maxWaitingRequests;
    if (d.stopping) {
      dropped = "request dropped: the HTTP client has shut down";
    } else if (pending >= cap) {
      dropped =
          "request dropped: " + std::to_string(pending) + " requests already waiting or running";
    } else {
      ++d.unfinished;
      d.waiting.push_back(Impl::Waiting{nullptr, std::move(job)});
      if (d.wakeNeeded())
        curl_multi_wakeup(d.multi.get());
      return true;
    }
  }
  log("HttpClient: " + dropped);
  return false;
}

bool HttpClient::flush(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(impl_->mutex);
  Impl& d = *impl_;
  if (d.unfinished == 0)
    return true;
  if (d.stopped || d.workerId == std::this_thread::get_id())
    return false;
  // Requests that completions send meanwhile (such as the events queued behind a location
  // lookup) are waited for too: flush means nothing is left.
  return d.settled.wait_for(lock, timeout, [&d] { return d.unfinished == 0 || d.stopped; }) &&
         d.unfinished == 0;
}

std::size_t HttpClient::pendingCount() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->waiting.size() + impl_->running;
}

HttpClientOptions HttpClient::options() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->options;
}

void HttpClient::setOptions(const HttpClientOptions& options) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->options = options;
  ++impl_->optionsVersion;
  if (impl_->multi)
    curl_multi_wakeup(impl_->multi.get());
}

namespace {

// Never destroyed: the exit handler and late senders may still reach it during exit.
struct SharedClient {
  std::mutex mutex;
  HttpClientOptions options;
  HttpClient* client = nullptr;
};

SharedClient& sharedClient() {
  static auto* state = new SharedClient;
  return *state;
}

}  // namespace

HttpClient& HttpClient::shared() {
  SharedClient& state = sharedClient();
  std::lock_guard<std::mutex> lock(state.mutex);
  if (state.client == nullptr) {
    // Everything the exit handler touches is constructed before it is registered, so it runs
    // before their destructors (and before OpenSSL's own exit handler, which libcurl's global
    // initialisation registers).
    detail::constructLogStatics();
    initCurlOnce();
    state.client = new HttpClient(state.options);
    std::atexit([] {
      HttpClient* client = nullptr;
      {
        std::lock_guard<std::mutex> lock(sharedClient().mutex);
        client = sharedClient().client;
      }
      // Unfinished transfers stay allocated: completions that reference objects already
      // destroyed by now are neither called nor destroyed.
      if (client != nullptr)
        client->impl_->shutdown();
    });
  }
  return *state.client;
}

void HttpClient::configureShared(const HttpClientOptions& options) {
  SharedClient& state = sharedClient();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.options = options;
  if (state.client != nullptr)
    state.client->setOptions(options);
}

}  // namespace tovrin
