#include "TovrinTracker/Event.hpp"

#include <functional>

namespace tovrin {

namespace {

void combine(std::size_t& seed, std::size_t value) {
  seed ^= value + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2);
}

// A hash under which values that compare equal hash equally: every number is hashed by its value
// as a double, since JSON equality compares an integer and a float by numeric value.
std::size_t hashValue(const Properties& value) {
  std::size_t seed = 0;
  switch (value.type()) {
    case Properties::value_t::object:
      combine(seed, 1);
      for (const auto& item : value.items()) {
        combine(seed, std::hash<std::string>()(item.key()));
        combine(seed, hashValue(item.value()));
      }
      return seed;
    case Properties::value_t::array:
      combine(seed, 2);
      for (const auto& element : value)
        combine(seed, hashValue(element));
      return seed;
    case Properties::value_t::string:
      return std::hash<std::string>()(value.get_ref<const std::string&>());
    case Properties::value_t::boolean:
      return value.get<bool>() ? 3 : 4;
    case Properties::value_t::number_integer:
    case Properties::value_t::number_unsigned:
    case Properties::value_t::number_float:
      return std::hash<double>()(value.get<double>() + 0.0);  // + 0.0 folds -0.0 into 0.0
    default:
      return 5;
  }
}

}  // namespace

std::shared_ptr<Event> Event::eventWithName(const std::string& name, const Properties& properties) {
  auto event = std::make_shared<Event>();
  event->setName(name);
  event->setProperties(properties);
  return event;
}

bool Event::isEqual(const Event& other) const {
  if (this == &other)
    return true;
  const bool sameName = name_ == other.name_;
  const bool sameProperties =
      !properties_.is_null() && !other.properties_.is_null() && properties_ == other.properties_;
  return sameName && sameProperties;
}

std::size_t Event::hash() const {
  std::size_t seed = std::hash<std::string>()(name_);
  if (!properties_.is_null())
    combine(seed, hashValue(properties_));
  return seed;
}

std::string Event::description() const {
  // Text that is not UTF-8 is shown replaced rather than making the description throw.
  const std::string properties =
      properties_.is_null()
          ? "(null)"
          : properties_.dump(-1, ' ', false, Properties::error_handler_t::replace);
  return "<Event: " + name_ + ", " + properties + ">";
}

}  // namespace tovrin
