#include "TovrinTracker/TimedEvent.hpp"

#include <cstdint>
#include <cstdlib>
#include <optional>

#include "TovrinTracker/Log.hpp"

namespace tovrin {

namespace {

// Single-precision value of a property value or amount; nullopt when it has none (object, array).
std::optional<float> singlePrecisionValue(const Properties& value) {
  switch (value.type()) {
    case Properties::value_t::null:
    case Properties::value_t::discarded:
      return 0.0f;
    case Properties::value_t::boolean:
      return value.get<bool>() ? 1.0f : 0.0f;
    case Properties::value_t::number_integer:
      return static_cast<float>(value.get<std::int64_t>());
    case Properties::value_t::number_unsigned:
      return static_cast<float>(value.get<std::uint64_t>());
    case Properties::value_t::number_float:
      return static_cast<float>(value.get<double>());
    case Properties::value_t::string: {
      // The number the text begins with (after leading white space), else 0.
      const std::string& text = value.get_ref<const std::string&>();
      return std::strtof(text.c_str(), nullptr);
    }
    default:
      return std::nullopt;
  }
}

}  // namespace

std::shared_ptr<TimedEvent> TimedEvent::timedEventWithName(const std::string& name,
                                                           const Properties& properties,
                                                           double sessionLength) {
  return make<TimedEvent>(name, properties, sessionLength);
}

void TimedEvent::setName(const std::string& name) {
  name_ = name;
}

void TimedEvent::setProperties(const Properties& properties) {
  if (!properties.is_null() && !properties.is_object()) {
    log("TimedEvent: properties of \"" + name_ + "\" are not a JSON object; stored as absent");
    properties_ = nullptr;
    return;
  }
  properties_ = properties;
}

void TimedEvent::setSessionLength(double sessionLength) {
  sessionLength_ = sessionLength;
}

std::shared_ptr<MutableTimedEvent> MutableTimedEvent::timedEventWithName(
    const std::string& name, const Properties& properties, double sessionLength) {
  return make<MutableTimedEvent>(name, properties, sessionLength);
}

void MutableTimedEvent::setLastStartTime(double lastStartTime) {
  lastStartTime_ = lastStartTime;
}

void MutableTimedEvent::appendProperties(const Properties& properties) {
  Properties merged = properties_.is_object() ? properties_ : Properties::object();
  if (properties.is_object()) {
    for (const auto& item : properties.items())
      merged[item.key()] = item.value();
  } else if (!properties.is_null()) {
    log("TimedEvent: properties for \"" + name_ + "\" are not a JSON object; nothing merged");
  }
  properties_ = std::move(merged);
}

void MutableTimedEvent::incrementProperty(const std::string& key) {
  incrementProperty(key, Properties(1));
}

void MutableTimedEvent::incrementProperty(const std::string& key, const Properties& amount) {
  Properties merged = properties_.is_object() ? properties_ : Properties::object();
  const auto found = merged.find(key);
  const std::optional<float> current =
      found == merged.end() ? std::optional<float>(0.0f) : singlePrecisionValue(*found);
  const std::optional<float> by = singlePrecisionValue(amount);
  if (!current || !by) {
    log("TimedEvent: cannot increment \"" + key + "\" of \"" + name_ +
        "\": the value or the amount is not a number; left unchanged");
    properties_ = std::move(merged);
    return;
  }
  const float sum = *current + *by;
  merged[key] = static_cast<double>(sum);
  properties_ = std::move(merged);
}

void MutableTimedEvent::appendSessionLength(double seconds) {
  sessionLength_ += seconds;
}

}  // namespace tovrin
