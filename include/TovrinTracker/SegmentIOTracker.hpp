#pragma once
// Delivers every tracked event to the Segment tracking API, enriched with a context that
// includes, once known, the machine's IP geolocation.

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "TovrinTracker/HttpClient.hpp"
#include "TovrinTracker/Tracker.hpp"

namespace tovrin {

struct SegmentIOTrackerOptions {
  /// Collector base URL; "/v1/track" is appended. None: the build's default
  /// (TOVRIN_DEFAULT_COLLECTOR_URL, normally https://api.segment.io).
  std::optional<std::string> collectorUrl;
  /// Geolocation service base URL; "/json/?key=KEY" is appended. None: the build's default
  /// (TOVRIN_DEFAULT_GEOLOCATION_URL). Empty (or an empty default): no lookup is made and events
  /// go out at once without location.
  std::optional<std::string> geolocationUrl;
  /// Geolocation access key. None: the build's default (TOVRIN_DEFAULT_GEOLOCATION_KEY).
  std::optional<std::string> geolocationKey;
  /// CA bundle to verify both services against instead of the system's.
  std::string caBundlePath;
  /// Events kept while the lookup is outstanding; beyond it the oldest is dropped (logged).
  std::size_t maxQueuedEvents = 1000;
  /// Time-out of the geolocation lookup; the queue is then sent without location.
  std::chrono::milliseconds lookupTimeout{10000};
  /// Nesting deeper than this in a property value drops the event (logged).
  std::size_t maxPropertyDepth = 100;
  /// The HTTP client to send through; null: HttpClient::shared().
  HttpClient* client = nullptr;
};

/// One event queued while the geolocation lookup is outstanding.
struct PendingEvent {
  std::string event;
  Properties properties;
  std::chrono::system_clock::time_point date;
};

/// Formats request timestamps as "yyyy-MM-dd'T'HH:mm:ss.SSSZ" in the local time zone, e.g.
/// 2026-12-08T19:45:13.123+0100. Stateless: safe from any number of threads.
class TimestampFormatter {
 public:
  std::string stringFromDate(std::chrono::system_clock::time_point date) const;
};

/// Sends each track() as one POST to <collector>/v1/track. The first track() starts one
/// geolocation lookup; events tracked before it answers are queued (bounded) and sent when it
/// answers, with the location, or when it fails, without. After a failed lookup events go out at
/// once without location. Super properties are merged under each event's own properties.
/// Timed-event reports are not sent. An event whose properties JSON cannot carry (invalid UTF-8,
/// NaN or infinity, binary data, nesting deeper than the limit) is dropped with one log line.
/// Neither key is ever logged. Own it with std::make_shared; thread-safe.
///
/// Once located, track() checks the event on the caller's thread and hands it, packed with the
/// super properties, uuid, write key and location in force at the call, to the HTTP client's
/// thread, which builds the request with trackingRequestWithEvent() and sends it through
/// sendRequest(): the caller pays neither for the build nor for the encoding. The host
/// information in the context (application, screen, locale, time zone) is read when the
/// request is built. A tracker not owned by a std::shared_ptr builds on the caller's thread.
class SegmentIOTracker : public Tracker {
 public:
  using Reply = std::optional<nlohmann::json>;
  using Completion =
      std::function<void(const Reply& reply, const std::optional<std::string>& error)>;

  explicit SegmentIOTracker(const std::string& writeKey, SegmentIOTrackerOptions options = {});

  void track(const std::string& name, const Properties& properties) override;
  /// Stores a copy; it is merged under every later event's properties.
  void setSuperProperties(const Properties& properties) override;
  std::optional<std::string> uuid() const override;
  void setUuid(const std::optional<std::string>& uuid) override;

  /// One request per queued event, in queue order, built with the current super properties,
  /// uuid and context; the queue is not changed.
  std::vector<HttpRequest> preparedRequests();
  /// Sends every queued event (replies are logged) and empties the queue.
  void handlePendingRequests();

  /// Builds the track request for one event. Overridable; stateless. Located events are built
  /// on the HTTP client's thread, so an override must be safe to call from there.
  virtual HttpRequest trackingRequestWithEvent(const std::string& event,
                                               std::chrono::system_clock::time_point date,
                                               const std::optional<std::string>& writeKey,
                                               const std::optional<std::string>& userID,
                                               const std::optional<Properties>& context,
                                               const std::optional<Properties>& properties) const;
  /// The Base64 text of "username:password" (absent parts count as empty).
  virtual std::string basicAuthValueForUsername(const std::optional<std::string>& username,
                                                const std::optional<std::string>& password) const;
  /// A named system string ("hw.model", "hw.machine"), or "".
  virtual std::string getSystemStringForKey(const char* key) const;
  /// The one timestamp formatter of the process.
  virtual const TimestampFormatter& dateFormatter() const;
  /// Starts the request and returns at once; the completion runs on the HTTP client's thread
  /// with the parsed reply (if the body is JSON) and an error (transport or parse).
  virtual void sendRequest(const HttpRequest& request, Completion completion) const;
  /// The JSON value of a request's body, or none.
  static std::optional<nlohmann::json> bodyForRequest(const HttpRequest& request);

  std::optional<std::string> writeKey() const;
  void setWriteKey(const std::optional<std::string>& writeKey);
  std::vector<PendingEvent> pendingEvents() const;
  void setPendingEvents(std::vector<PendingEvent> events);
  bool isObtainingLocation() const;
  void setIsObtainingLocation(bool obtaining);
  Properties superProperties() const;
  /// The geolocation reply in use, or none.
  std::optional<Properties> context() const;
  /// Sets the location context; queued events go out with the next track().
  void setContext(const std::optional<Properties>& context);

  const SegmentIOTrackerOptions& options() const { return options_; }

 private:
  struct Snapshot {
    std::optional<std::string> writeKey, uuid;
    std::optional<Properties> context;
    Properties superProperties;
  };
  Snapshot snapshotLocked() const;
  struct TrackJob;
  struct ContextParts;
  struct LocationParts;
  std::shared_ptr<const ContextParts> contextParts() const;
  std::shared_ptr<const LocationParts> locationParts(const Properties& context) const;
  // The same values, shared: made again only after one of them has changed.
  std::shared_ptr<const Snapshot> sharedSnapshotLocked();
  void deliverTracked(const std::string& name, Properties properties,
                      std::chrono::system_clock::time_point date, const Snapshot& snapshot);
  std::optional<HttpRequest> buildChecked(const std::string& event,
                                          std::chrono::system_clock::time_point date,
                                          const Properties& properties, const Snapshot& snapshot);
  void sendPrepared(std::vector<PendingEvent> events, const Snapshot& snapshot);
  void startLookup();
  void finishLookup(const HttpResponse& response);
  HttpClient& client() const;

  SegmentIOTrackerOptions options_;
  std::string collectorEndpoint_;  // empty when the configured URL was refused
  std::string geolocationEndpoint_;
  mutable std::mutex mutex_;
  std::optional<std::string> writeKey_;
  std::vector<PendingEvent> pendingEvents_;
  bool isObtainingLocation_ = false;
  bool lookupFailed_ = false;
  Properties superProperties_;
  std::optional<Properties> context_;
  std::shared_ptr<const Snapshot> sharedSnapshot_;  // reset whenever a value in it changes
  // The request parts encoded for the last host info and location seen.
  mutable std::mutex partsMutex_;
  mutable std::shared_ptr<const ContextParts> contextParts_;
  mutable std::shared_ptr<const LocationParts> locationParts_;
};

}  // namespace tovrin
