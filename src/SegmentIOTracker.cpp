#include "TovrinTracker/SegmentIOTracker.hpp"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string_view>
#include <utility>

#include "JsonInput.hpp"
#include "TovrinTracker/Log.hpp"
#include "TovrinTracker/MF_Base64Codec.hpp"
#include "TovrinTracker/Version.hpp"
#include "platform/SystemInfo.hpp"

namespace tovrin {

namespace {

using Clock = std::chrono::system_clock;
using nlohmann::json;

constexpr const char* kNotAvailable = "MSDocument not available";

// Whether a URL's authority names this machine: localhost, [::1] or 127.0.0.0/8 in dotted
// form, with an optional port. User information is refused: in "http://127.0.0.1@host" the
// host is the part after the "@".
bool isLoopbackAuthority(const std::string& authority) {
  if (authority.find_first_of("@\\") != std::string::npos)
    return false;
  std::string host, port;
  if (!authority.empty() && authority[0] == '[') {
    const auto close = authority.find(']');
    if (close == std::string::npos)
      return false;
    host = authority.substr(0, close + 1);
    port = authority.substr(close + 1);
  } else {
    const auto colon = authority.find(':');
    host = authority.substr(0, colon);
    port = colon == std::string::npos ? "" : authority.substr(colon);
  }
  if (!port.empty() &&
      (port[0] != ':' || port.find_first_not_of("0123456789", 1) != std::string::npos))
    return false;
  if (host == "localhost" || host == "[::1]")
    return true;
  in_addr address{};
  return ::inet_pton(AF_INET, host.c_str(), &address) == 1 && (ntohl(address.s_addr) >> 24) == 127;
}

// A base URL without its trailing slashes, or none when it is neither https nor http to a
// loopback address.
std::optional<std::string> checkedBaseUrl(std::string url, const char* service) {
  while (!url.empty() && url.back() == '/')
    url.pop_back();
  const auto schemeEnd = url.find("://");
  const std::string scheme = schemeEnd == std::string::npos ? "" : url.substr(0, schemeEnd);
  if (scheme == "https" && url.size() > 8)
    return url;
  if (scheme == "http") {
    const std::string rest = url.substr(schemeEnd + 3);
    if (isLoopbackAuthority(rest.substr(0, rest.find_first_of("/?#"))))
      return url;
  }
  log(std::string("SegmentIOTracker: the ") + service +
      " URL is refused: only https, or http to a loopback address, is allowed");
  return std::nullopt;
}

std::string percentEncoded(const std::string& text) {
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out;
}

bool validUtf8(const std::string& text) {
  std::size_t i = 0;
  const std::size_t n = text.size();
  while (i < n) {
    const auto c = static_cast<unsigned char>(text[i]);
    std::size_t extra;
    std::uint32_t code;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c & 0xE0) == 0xC0) {
      extra = 1, code = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      extra = 2, code = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      extra = 3, code = c & 0x07;
    } else {
      return false;
    }
    if (i + extra >= n)
      return false;  // truncated sequence
    for (std::size_t k = 1; k <= extra; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80)
        return false;
      code = (code << 6) | (next & 0x3F);
    }
    // Overlong forms, surrogates and values beyond Unicode are not UTF-8.
    if ((extra == 1 && code < 0x80) || (extra == 2 && code < 0x800) ||
        (extra == 3 && code < 0x10000) || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
      return false;
    }
    i += extra + 1;
  }
  return true;
}

// Why a value cannot go over the wire as JSON, or none when it can.
std::optional<std::string> unsupportedValue(const json& value, std::size_t depth,
                                            std::size_t maxDepth) {
  if (depth > maxDepth)
    return "nesting deeper than " + std::to_string(maxDepth) + " levels";
  switch (value.type()) {
    case json::value_t::object:
      for (const auto& item : value.items()) {
        if (!validUtf8(item.key()))
          return std::string("a key that is not valid UTF-8");
        if (auto why = unsupportedValue(item.value(), depth + 1, maxDepth))
          return why;
      }
      return std::nullopt;
    case json::value_t::array:
      for (const auto& element : value) {
        if (auto why = unsupportedValue(element, depth + 1, maxDepth))
          return why;
      }
      return std::nullopt;
    case json::value_t::string:
      if (!validUtf8(value.get_ref<const std::string&>()))
        return "text that is not valid UTF-8";
      return std::nullopt;
    case json::value_t::number_float:
      if (!std::isfinite(value.get<double>()))
        return "a number that is NaN or infinite";
      return std::nullopt;
    case json::value_t::binary:
      return std::string("binary data");
    default:
      return std::nullopt;
  }
}

// Events cross to the HTTP client's thread packed into one buffer: one allocation on the
// caller's thread instead of one per node of a property tree, and the walk that packs also
// checks that JSON can carry every value (with the same verdicts as unsupportedValue).
// unpack() gives back a value equal to the original, with the same types.
template <class T>
void appendRaw(std::string& out, T value) {
  char bytes[sizeof(T)];
  std::memcpy(bytes, &value, sizeof(T));
  out.append(bytes, sizeof(T));
}

template <class T>
T readRaw(const char*& at) {
  T value;
  std::memcpy(&value, at, sizeof(T));
  at += sizeof(T);
  return value;
}

void appendText(std::string& out, std::string_view text) {
  appendRaw<std::uint64_t>(out, text.size());
  out.append(text);
}

std::string_view readText(const char*& at) {
  const auto size = static_cast<std::size_t>(readRaw<std::uint64_t>(at));
  const std::string_view text(at, size);
  at += size;
  return text;
}

std::optional<std::string> packChecked(const json& value, std::size_t depth, std::size_t maxDepth,
                                       std::string& out) {
  if (depth > maxDepth)
    return "nesting deeper than " + std::to_string(maxDepth) + " levels";
  switch (value.type()) {
    case json::value_t::object: {
      const auto& object = value.get_ref<const json::object_t&>();
      out += 'o';
      appendRaw<std::uint64_t>(out, object.size());
      for (const auto& [key, element] : object) {
        if (!validUtf8(key))
          return std::string("a key that is not valid UTF-8");
        appendText(out, key);
        if (auto why = packChecked(element, depth + 1, maxDepth, out))
          return why;
      }
      return std::nullopt;
    }
    case json::value_t::array: {
      const auto& array = value.get_ref<const json::array_t&>();
      out += 'a';
      appendRaw<std::uint64_t>(out, array.size());
      for (const auto& element : array) {
        if (auto why = packChecked(element, depth + 1, maxDepth, out))
          return why;
      }
      return std::nullopt;
    }
    case json::value_t::string: {
      const auto& text = value.get_ref<const std::string&>();
      if (!validUtf8(text))
        return "text that is not valid UTF-8";
      out += 's';
      appendText(out, text);
      return std::nullopt;
    }
    case json::value_t::number_float: {
      const double number = value.get<double>();
      if (!std::isfinite(number))
        return "a number that is NaN or infinite";
      out += 'd';
      appendRaw(out, number);
      return std::nullopt;
    }
    case json::value_t::number_integer:
      out += 'i';
      appendRaw(out, value.get<std::int64_t>());
      return std::nullopt;
    case json::value_t::number_unsigned:
      out += 'u';
      appendRaw(out, value.get<std::uint64_t>());
      return std::nullopt;
    case json::value_t::boolean:
      out += value.get<bool>() ? 't' : 'f';
      return std::nullopt;
    case json::value_t::binary:
      return std::string("binary data");
    case json::value_t::discarded:
      out += 'x';
      return std::nullopt;
    case json::value_t::null:
    default:
      out += 'n';
      return std::nullopt;
  }
}

json unpack(const char*& at) {
  switch (*at++) {
    case 'o': {
      const auto size = readRaw<std::uint64_t>(at);
      json value = json::object();
      auto& object = value.get_ref<json::object_t&>();
      for (std::uint64_t i = 0; i < size; ++i) {
        std::string key(readText(at));
        object.emplace_hint(object.end(), std::move(key), unpack(at));  // keys come in order
      }
      return value;
    }
    case 'a': {
      const auto size = readRaw<std::uint64_t>(at);
      json value = json::array();
      auto& array = value.get_ref<json::array_t&>();
      array.reserve(static_cast<std::size_t>(size));
      for (std::uint64_t i = 0; i < size; ++i)
        array.push_back(unpack(at));
      return value;
    }
    case 's':
      return json(std::string(readText(at)));
    case 'd':
      return json(readRaw<double>(at));
    case 'i':
      return json(readRaw<std::int64_t>(at));
    case 'u':
      return json(readRaw<std::uint64_t>(at));
    case 't':
      return json(true);
    case 'f':
      return json(false);
    case 'x':
      return json(json::value_t::discarded);
    default:
      return json();
  }
}

// Packs an event's name and properties into `packed`, or says why the properties cannot go
// over the wire. Packing happens in a per-thread buffer so that `packed` is allocated once, at
// its final size.
std::optional<std::string> packEvent(const std::string& name, const json& properties,
                                     std::size_t maxDepth, std::string& packed) {
  thread_local std::string scratch;
  scratch.clear();
  appendText(scratch, name);
  auto why = packChecked(properties, 0, maxDepth, scratch);
  if (!why)
    packed.assign(scratch);
  if (scratch.capacity() > 65536)
    std::string().swap(scratch);  // an exceptionally large event does not stay resident
  return why;
}

// An event name fit for a log line: quoted, escaped and shortened.
std::string quotedName(const std::string& name) {
  std::string shown = name.size() > 80 ? name.substr(0, 80) + "..." : name;
  return json(shown).dump(-1, ' ', false, json::error_handler_t::replace);
}

// `text` with every occurrence of each non-empty secret replaced.
std::string redacted(std::string text, const std::vector<std::string>& secrets) {
  static const std::string mark = "[redacted]";
  for (const auto& secret : secrets) {
    if (secret.empty())
      continue;
    for (auto at = text.find(secret); at != std::string::npos;
         at = text.find(secret, at + mark.size())) {
      text.replace(at, secret.size(), mark);
    }
  }
  return text;
}

void mergeInto(json& target, const json& source) {
  if (!source.is_object())
    return;
  for (const auto& item : source.items())
    target[item.key()] = item.value();
}

// An event's own properties (an object or null) with the super properties merged under them:
// the same result as merging both into an empty object, super properties first, but without
// copying the event's properties again.
json mergedUnder(const json& superProperties, json own) {
  if (own.is_null())
    own = json::object();
  if (superProperties.is_object()) {
    for (const auto& item : superProperties.items()) {
      if (own.find(item.key()) == own.end())  // an event's own value wins
        own[item.key()] = item.value();
    }
  }
  return own;
}

// Appends `text` as a JSON string, exactly as nlohmann::json dumps it (and throwing as it does
// for text that is not UTF-8). Plain printable ASCII, the usual case, is copied as it is.
void appendJsonString(std::string& out, const std::string& text) {
  const bool plain = std::all_of(text.begin(), text.end(), [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte >= 0x20 && byte < 0x80 && c != '"' && c != '\\';
  });
  if (plain) {
    out += '"';
    out += text;
    out += '"';
  } else {
    out += json(text).dump();
  }
}

// Whether two values would be written identically: same types and values throughout, numbers
// included (unlike ==, which finds 1 equal to 1.0 and 0.0 equal to -0.0).
bool sameJson(const json& a, const json& b) {
  if (a.type() != b.type())
    return false;
  switch (a.type()) {
    case json::value_t::object: {
      const auto& x = a.get_ref<const json::object_t&>();
      const auto& y = b.get_ref<const json::object_t&>();
      return x.size() == y.size() &&
             std::equal(x.begin(), x.end(), y.begin(), [](const auto& p, const auto& q) {
               return p.first == q.first && sameJson(p.second, q.second);
             });
    }
    case json::value_t::array: {
      const auto& x = a.get_ref<const json::array_t&>();
      const auto& y = b.get_ref<const json::array_t&>();
      return x.size() == y.size() && std::equal(x.begin(), x.end(), y.begin(), sameJson);
    }
    case json::value_t::number_float: {
      const double x = a.get<double>(), y = b.get<double>();
      return x == y && std::signbit(x) == std::signbit(y);
    }
    default:
      return a == b;
  }
}

json locationFrom(const json& context) {
  json location = json::object();
  const std::pair<const char*, const char*> fields[] = {{"city", "city"},
                                                        {"country", "country"},
                                                        {"latitude", "lat"},
                                                        {"longitude", "lon"},
                                                        {"region", "regionName"}};
  for (const auto& [key, source] : fields) {
    const auto found = context.find(source);
    location[key] = found == context.end() ? json("") : *found;
  }
  return location;
}

}  // namespace

std::string TimestampFormatter::stringFromDate(Clock::time_point date) const {
  const auto sinceEpoch = date.time_since_epoch();
  auto seconds = std::chrono::duration_cast<std::chrono::seconds>(sinceEpoch);
  auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(sinceEpoch - seconds).count();
  if (millis < 0) {  // dates before 1970: keep the milliseconds positive
    millis += 1000;
    seconds -= std::chrono::seconds(1);
  }
  const std::time_t time = static_cast<std::time_t>(seconds.count());
  std::tm local{};
  ::localtime_r(&time, &local);
  const long offsetMinutes = local.tm_gmtoff / 60;
  const long absolute = offsetMinutes < 0 ? -offsetMinutes : offsetMinutes;
  char text[64];
  std::snprintf(text, sizeof(text), "%04d-%02d-%02dT%02d:%02d:%02d.%03d%c%02ld%02ld",
                local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
                local.tm_sec, static_cast<int>(millis), offsetMinutes < 0 ? '-' : '+',
                absolute / 60, absolute % 60);
  return text;
}

SegmentIOTracker::SegmentIOTracker(const std::string& writeKey, SegmentIOTrackerOptions options)
    : options_(std::move(options)), writeKey_(writeKey) {
  if (!options_.collectorUrl)
    options_.collectorUrl = TOVRIN_DEFAULT_COLLECTOR_URL;
  if (!options_.geolocationUrl)
    options_.geolocationUrl = TOVRIN_DEFAULT_GEOLOCATION_URL;
  if (!options_.geolocationKey)
    options_.geolocationKey = TOVRIN_DEFAULT_GEOLOCATION_KEY;
  if (auto base = checkedBaseUrl(*options_.collectorUrl, "collector")) {
    collectorEndpoint_ = *base + "/v1/track";
  }
  if (!options_.geolocationUrl->empty()) {
    if (auto base = checkedBaseUrl(*options_.geolocationUrl, "geolocation")) {
      geolocationEndpoint_ = *base + "/json/?key=" + percentEncoded(*options_.geolocationKey);
    }
  }
  // Without a usable geolocation service the lookup has failed before it began.
  lookupFailed_ = geolocationEndpoint_.empty();
}

HttpClient& SegmentIOTracker::client() const {
  return options_.client ? *options_.client : HttpClient::shared();
}

SegmentIOTracker::Snapshot SegmentIOTracker::snapshotLocked() const {
  return Snapshot{writeKey_, Tracker::uuid(), context_, superProperties_};
}

std::shared_ptr<const SegmentIOTracker::Snapshot> SegmentIOTracker::sharedSnapshotLocked() {
  if (!sharedSnapshot_)
    sharedSnapshot_ = std::make_shared<const Snapshot>(snapshotLocked());
  return sharedSnapshot_;
}

// A located event on its way to the HTTP client's thread, which builds and sends its request.
struct SegmentIOTracker::TrackJob : HttpClient::Job {
  TrackJob(std::shared_ptr<SegmentIOTracker> tracker, std::string event,
           Clock::time_point eventDate, std::shared_ptr<const Snapshot> values)
      : self(std::move(tracker)),
        packed(std::move(event)),
        date(eventDate),
        snapshot(std::move(values)) {}

  void run() override {
    const char* at = packed.data();
    const std::string name(readText(at));
    json properties = unpack(at);
    self->deliverTracked(name, std::move(properties), date, *snapshot);
  }

  std::shared_ptr<SegmentIOTracker> self;
  std::string packed;  // name, then properties
  Clock::time_point date;
  std::shared_ptr<const Snapshot> snapshot;
};

void SegmentIOTracker::track(const std::string& name, const Properties& properties) {
  if (collectorEndpoint_.empty()) {
    log("SegmentIOTracker: event " + quotedName(name) + " dropped: no usable collector URL");
    return;
  }
  // Owned by a shared_ptr, the tracker hands located events to the HTTP client's thread.
  auto self = std::static_pointer_cast<SegmentIOTracker>(weak_from_this().lock());
  std::string packed;
  std::optional<std::string> why;
  if (!properties.is_null() && !properties.is_object()) {
    why = "the properties are not a JSON object";
  } else if (!validUtf8(name)) {
    why = "the name is not valid UTF-8";
  } else if (self) {
    why = packEvent(name, properties, options_.maxPropertyDepth, packed);
  } else {
    why = unsupportedValue(properties, 0, options_.maxPropertyDepth);
  }
  if (why) {
    log("SegmentIOTracker: event " + quotedName(name) + " dropped: its properties hold " + *why);
    return;
  }

  const auto now = Clock::now();
  std::vector<PendingEvent> queued;
  std::optional<PendingEvent> dropped;
  std::shared_ptr<const Snapshot> snapshot;
  bool lookup = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (context_ || lookupFailed_) {
      queued.swap(pendingEvents_);
      snapshot = sharedSnapshotLocked();
    } else {
      if (!isObtainingLocation_) {
        isObtainingLocation_ = true;
        lookup = true;
      }
      if (options_.maxQueuedEvents == 0) {
        dropped = PendingEvent{name, properties, now};
      } else {
        if (pendingEvents_.size() >= options_.maxQueuedEvents) {
          dropped = std::move(pendingEvents_.front());
          pendingEvents_.erase(pendingEvents_.begin());
        }
        pendingEvents_.push_back(
            PendingEvent{name, properties.is_null() ? Properties::object() : properties, now});
      }
    }
  }
  if (dropped) {
    log("SegmentIOTracker: queue full (" + std::to_string(options_.maxQueuedEvents) +
        " events) while the location lookup is outstanding; dropped the oldest event " +
        quotedName(dropped->event));
  }
  if (!queued.empty())
    sendPrepared(std::move(queued), *snapshot);
  if (snapshot) {
    if (self) {
      // Building and encoding the request is most of what an event costs; the HTTP client's
      // thread does it, so this thread pays for one packed copy of the event and a queue
      // entry. The job keeps the tracker alive until it has run, so that subclass overrides of
      // the builder apply.
      client().post(
          std::make_unique<TrackJob>(std::move(self), std::move(packed), now, std::move(snapshot)));
    } else {
      // Not owned by a shared_ptr: nothing could keep the tracker alive for a job.
      deliverTracked(name, properties, now, *snapshot);
    }
  }
  if (lookup)
    startLookup();
}

void SegmentIOTracker::deliverTracked(const std::string& name, Properties properties,
                                      Clock::time_point date, const Snapshot& snapshot) {
  const json merged = mergedUnder(snapshot.superProperties, std::move(properties));
  if (auto request = buildChecked(name, date, merged, snapshot))
    sendRequest(*request, nullptr);
}

std::optional<HttpRequest> SegmentIOTracker::buildChecked(const std::string& event,
                                                          Clock::time_point date,
                                                          const Properties& properties,
                                                          const Snapshot& snapshot) {
  try {
    return trackingRequestWithEvent(event, date, snapshot.writeKey, snapshot.uuid, snapshot.context,
                                    properties);
  } catch (const std::exception& error) {
    log("SegmentIOTracker: event " + quotedName(event) +
        " dropped: its request cannot be encoded: " + error.what());
    return std::nullopt;
  }
}

void SegmentIOTracker::sendPrepared(std::vector<PendingEvent> events, const Snapshot& snapshot) {
  // A collector may quote the credentials back in an error reply; the log line never shows them.
  std::vector<std::string> secrets{options_.geolocationKey.value_or("")};
  if (snapshot.writeKey && !snapshot.writeKey->empty()) {
    secrets.push_back(*snapshot.writeKey);
    secrets.push_back(basicAuthValueForUsername(snapshot.writeKey, std::nullopt));
  }
  for (auto& record : events) {
    json merged = json::object();
    mergeInto(merged, snapshot.superProperties);
    mergeInto(merged, record.properties);
    if (auto request = buildChecked(record.event, record.date, merged, snapshot)) {
      sendRequest(*request, [secrets](const Reply& reply, const std::optional<std::string>& error) {
        log(redacted("Segment: response " + (reply ? reply->dump() : std::string("(null)")) +
                         " error " + error.value_or("(null)"),
                     secrets));
      });
    }
  }
}

std::vector<HttpRequest> SegmentIOTracker::preparedRequests() {
  std::vector<PendingEvent> events;
  Snapshot snapshot;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    events = pendingEvents_;
    snapshot = snapshotLocked();
  }
  std::vector<HttpRequest> requests;
  for (const auto& record : events) {
    json merged = json::object();
    mergeInto(merged, snapshot.superProperties);
    mergeInto(merged, record.properties);
    if (auto request = buildChecked(record.event, record.date, merged, snapshot)) {
      requests.push_back(std::move(*request));
    }
  }
  return requests;
}

void SegmentIOTracker::handlePendingRequests() {
  std::vector<PendingEvent> events;
  Snapshot snapshot;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    events.swap(pendingEvents_);
    snapshot = snapshotLocked();
  }
  sendPrepared(std::move(events), snapshot);
}

void SegmentIOTracker::startLookup() {
  auto self = std::static_pointer_cast<SegmentIOTracker>(weak_from_this().lock());
  if (!self) {
    log("SegmentIOTracker: location lookup skipped: the tracker is not owned by a shared_ptr");
    finishLookup(HttpResponse{0, "", "not owned by a shared_ptr"});
    return;
  }
  HttpRequest request;
  request.method = "GET";
  request.url = geolocationEndpoint_;
  request.timeout = options_.lookupTimeout;
  request.caBundlePath = options_.caBundlePath;
  // The completion keeps the tracker alive until the lookup has completed.
  client().send(std::move(request),
                [self](const HttpResponse& response) { self->finishLookup(response); });
}

void SegmentIOTracker::finishLookup(const HttpResponse& response) {
  std::optional<json> location;
  if (response.ok())
    location = detail::locationFromReply(response.body);
  std::vector<PendingEvent> events;
  Snapshot snapshot;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (location) {
      context_ = std::move(location);
      sharedSnapshot_.reset();
    } else {
      lookupFailed_ = true;
    }
    events.swap(pendingEvents_);
    snapshot = snapshotLocked();
  }
  sendPrepared(std::move(events), snapshot);
}

void SegmentIOTracker::sendRequest(const HttpRequest& request, Completion completion) const {
  if (!completion) {
    client().send(request, nullptr);
    return;
  }
  client().send(request, [completion = std::move(completion)](const HttpResponse& response) {
    std::string parseError;
    const Reply reply = detail::parseReply(response.body, parseError);
    std::optional<std::string> error;
    if (!parseError.empty())
      error = parseError;
    if (!error && !response.ok())
      error = response.error;
    completion(reply, error);
  });
}

// The context parts that are the same for every event until the host changes its application
// or screen info (or a subclass reports other device strings), JSON-encoded once.
struct SegmentIOTracker::ContextParts {
  std::uint64_t hostGeneration = 0;
  std::string model, machine;  // the device strings they were made with
  std::string head;            // {"app":{...},"device":{...}
  std::string library;         // ,"library":{...}
  std::string tail;            // ,"mixpanelLibrary":"","network":{...},"os":{...},"screen":{...}
};

// The location parts made from one geolocation reply, JSON-encoded once.
struct SegmentIOTracker::LocationParts {
  json source;           // the reply they were made from
  std::string ip;        // ,"ip":...
  std::string location;  // ,"location":{...}
};

std::shared_ptr<const SegmentIOTracker::ContextParts> SegmentIOTracker::contextParts() const {
  const std::uint64_t generation = detail::hostInfoGeneration();
  // The device strings come from an overridable method: asked for every request.
  std::string model = getSystemStringForKey("hw.model");
  std::string machine = getSystemStringForKey("hw.machine");
  {
    std::lock_guard<std::mutex> lock(partsMutex_);
    if (contextParts_ && contextParts_->hostGeneration == generation &&
        contextParts_->model == model && contextParts_->machine == machine) {
      return contextParts_;
    }
  }
  const detail::HostInfo host = detail::hostInfo();
  const auto& app = host.application;
  const json appObject = {{"version", app ? app->version : kNotAvailable},
                          {"build", app ? app->build : kNotAvailable},
                          {"name", app ? app->name : kNotAvailable}};
  const json device = {{"manufacturer", ""}, {"name", model}, {"model", machine}};
  const json library = {{"name", "TovrinTracker"}, {"version", TOVRIN_VERSION_STRING_NUMBER}};
  const json network = {{"wifi", ""}, {"cellular", ""}, {"carrier", ""}, {"bluetooth", ""}};
  const json os = {{"name", ""}, {"version", detail::operatingSystemVersionString()}};
  const json screen = {{"width", host.screen.width},
                       {"height", host.screen.height},
                       {"density", host.screen.density}};
  auto parts = std::make_shared<ContextParts>();
  parts->hostGeneration = host.generation;
  parts->head = "{\"app\":" + appObject.dump() + ",\"device\":" + device.dump();
  parts->library = ",\"library\":" + library.dump();
  parts->tail = ",\"mixpanelLibrary\":\"\",\"network\":" + network.dump() + ",\"os\":" + os.dump() +
                ",\"screen\":" + screen.dump();
  parts->model = std::move(model);
  parts->machine = std::move(machine);
  std::lock_guard<std::mutex> lock(partsMutex_);
  contextParts_ = parts;
  return parts;
}

std::shared_ptr<const SegmentIOTracker::LocationParts> SegmentIOTracker::locationParts(
    const json& context) const {
  {
    std::lock_guard<std::mutex> lock(partsMutex_);
    if (locationParts_ && sameJson(locationParts_->source, context))
      return locationParts_;
  }
  auto parts = std::make_shared<LocationParts>();
  const json location = context.is_object() ? locationFrom(context) : locationFrom({});
  const auto query = context.is_object() ? context.find("query") : context.end();
  const json ip = context.is_object() && query != context.end() ? *query : json("");
  parts->ip = ",\"ip\":" + ip.dump();
  parts->location = ",\"location\":" + location.dump();
  parts->source = context;
  std::lock_guard<std::mutex> lock(partsMutex_);
  locationParts_ = parts;
  return parts;
}

HttpRequest SegmentIOTracker::trackingRequestWithEvent(
    const std::string& event, Clock::time_point date, const std::optional<std::string>& writeKey,
    const std::optional<std::string>& userID, const std::optional<Properties>& context,
    const std::optional<Properties>& properties) const {
  HttpRequest request;
  request.method = "POST";
  request.url = collectorEndpoint_;
  request.caBundlePath = options_.caBundlePath;
  request.headers = {
      {"Authorization", "Basic " + basicAuthValueForUsername(writeKey, std::nullopt)},
      {"Content-Type", "application/json"},
      {"Accept-Encoding", "gzip"}};

  // The body is the compact JSON dump of
  //   {"context": {"app", "device", ["ip"], "library", "locale", ["location"],
  //                "mixpanelLibrary", "network", "os", "screen", "timezone"},
  //    "event", ["properties"], "timestamp", ["userId"]}
  // with every object's keys in sorted order, as nlohmann::json writes it. It is written here
  // part by part: the parts that rarely change come JSON-encoded from the caches above, every
  // other value is encoded as nlohmann::json encodes it.
  const auto parts = contextParts();
  const auto place = context ? locationParts(*context) : nullptr;
  const std::string propertiesText = properties ? properties->dump() : std::string();
  std::string& body = request.body;
  body.reserve(parts->head.size() + parts->library.size() + parts->tail.size() +
               (place ? place->ip.size() + place->location.size() : 0) + propertiesText.size() +
               event.size() + 256);
  body += "{\"context\":";
  body += parts->head;
  if (place)
    body += place->ip;
  body += parts->library;
  body += ",\"locale\":";
  appendJsonString(body, detail::localeIdentifier());
  if (place)
    body += place->location;
  body += parts->tail;
  body += ",\"timezone\":";
  appendJsonString(body, detail::timeZoneName());
  body += "},\"event\":";
  appendJsonString(body, event);
  if (properties) {
    body += ",\"properties\":";
    body += propertiesText;
  }
  body += ",\"timestamp\":";
  appendJsonString(body, dateFormatter().stringFromDate(date));
  if (userID) {
    body += ",\"userId\":";
    appendJsonString(body, *userID);
  }
  body += '}';
  return request;
}

std::string SegmentIOTracker::basicAuthValueForUsername(
    const std::optional<std::string>& username, const std::optional<std::string>& password) const {
  return base64String(username.value_or("") + ":" + password.value_or(""));
}

std::string SegmentIOTracker::getSystemStringForKey(const char* key) const {
  return key ? detail::systemString(key) : std::string();
}

const TimestampFormatter& SegmentIOTracker::dateFormatter() const {
  static const TimestampFormatter formatter;
  return formatter;
}

std::optional<nlohmann::json> SegmentIOTracker::bodyForRequest(const HttpRequest& request) {
  if (request.body.empty())
    return std::nullopt;
  json parsed = json::parse(request.body, nullptr, /*allow_exceptions=*/false);
  if (parsed.is_discarded())
    return std::nullopt;
  return parsed;
}

void SegmentIOTracker::setSuperProperties(const Properties& properties) {
  // They are merged into every event, so values JSON cannot carry are refused here, once,
  // instead of reaching the collector as null or making every event fail to encode.
  if (auto why = unsupportedValue(properties, 0, options_.maxPropertyDepth)) {
    log("SegmentIOTracker: super properties ignored: they hold " + *why +
        "; the previous ones stay in force");
    return;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  superProperties_ = properties;
  sharedSnapshot_.reset();
}

Properties SegmentIOTracker::superProperties() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return superProperties_;
}

std::optional<std::string> SegmentIOTracker::uuid() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return Tracker::uuid();
}

void SegmentIOTracker::setUuid(const std::optional<std::string>& uuid) {
  std::lock_guard<std::mutex> lock(mutex_);
  Tracker::setUuid(uuid);
  sharedSnapshot_.reset();
}

std::optional<std::string> SegmentIOTracker::writeKey() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return writeKey_;
}

void SegmentIOTracker::setWriteKey(const std::optional<std::string>& writeKey) {
  std::lock_guard<std::mutex> lock(mutex_);
  writeKey_ = writeKey;
  sharedSnapshot_.reset();
}

std::vector<PendingEvent> SegmentIOTracker::pendingEvents() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return pendingEvents_;
}

void SegmentIOTracker::setPendingEvents(std::vector<PendingEvent> events) {
  std::lock_guard<std::mutex> lock(mutex_);
  pendingEvents_ = std::move(events);
}

bool SegmentIOTracker::isObtainingLocation() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return isObtainingLocation_;
}

void SegmentIOTracker::setIsObtainingLocation(bool obtaining) {
  std::lock_guard<std::mutex> lock(mutex_);
  isObtainingLocation_ = obtaining;
}

std::optional<Properties> SegmentIOTracker::context() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return context_;
}

void SegmentIOTracker::setContext(const std::optional<Properties>& context) {
  std::lock_guard<std::mutex> lock(mutex_);
  context_ = context;
  sharedSnapshot_.reset();
}

}  // namespace tovrin
