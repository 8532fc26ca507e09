#include "TovrinTracker/MockedTracker.hpp"

namespace tovrin {

namespace {

void mergeInto(Properties& target, const Properties& source) {
  if (!source.is_object())
    return;
  for (const auto& item : source.items())
    target[item.key()] = item.value();
}

}  // namespace

void MockedTracker::record(const std::string& name, const Properties& properties) {
  name_ = name;
  Properties merged = Properties::object();
  mergeInto(merged, globalProperties_);
  mergeInto(merged, properties);
  properties_ = std::move(merged);
}

void MockedTracker::track(const std::string& name, const Properties& properties) {
  record(name, properties);
}

void MockedTracker::setSuperProperties(const Properties& properties) {
  if (!globalProperties_.is_object())
    globalProperties_ = Properties::object();
  mergeInto(globalProperties_, properties);
}

void MockedTracker::timedTrackerEventStarted(const std::shared_ptr<TimedTracker>& /*sender*/,
                                             const std::string& eventStarted) {
  startedEvent_ = eventStarted;
}

void MockedTracker::timedTrackerEventFinished(const std::shared_ptr<TimedTracker>& /*sender*/,
                                              const std::shared_ptr<TimedEvent>& eventFinished) {
  if (!eventFinished)
    return;
  record(eventFinished->name(), eventFinished->properties());
  sessionLength_ = eventFinished->sessionLength();
}

}  // namespace tovrin
