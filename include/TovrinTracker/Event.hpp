#pragma once
// The value record of one tracked call: an event name and its property dictionary.

#include <cstddef>
#include <memory>
#include <string>

#include "TovrinTracker/Properties.hpp"

namespace tovrin {

class Event {
 public:
  Event() = default;
  virtual ~Event() = default;

  /// A new record holding copies of `name` and `properties` (null: absent).
  static std::shared_ptr<Event> eventWithName(const std::string& name,
                                              const Properties& properties);

  /// Equal when the names are equal and both property dictionaries are present and equal by value
  /// (numbers by numeric value, so 1 equals 1.0); otherwise equal only to itself.
  virtual bool isEqual(const Event& other) const;
  /// Agrees with isEqual(): equal records have equal hashes.
  virtual std::size_t hash() const;
  /// "<Event: NAME, PROPERTIES>", with "(null)" for absent properties.
  virtual std::string description() const;

  const std::string& name() const { return name_; }
  void setName(const std::string& name) { name_ = name; }
  const Properties& properties() const { return properties_; }
  void setProperties(const Properties& properties) { properties_ = properties; }

  friend bool operator==(const Event& a, const Event& b) { return a.isEqual(b); }
  friend bool operator!=(const Event& a, const Event& b) { return !a.isEqual(b); }

 private:
  std::string name_;
  Properties properties_;
};

}  // namespace tovrin

template <>
struct std::hash<tovrin::Event> {
  std::size_t operator()(const tovrin::Event& event) const { return event.hash(); }
};
