#pragma once
// Broadcast proxy: address every element of a list of shared pointers as if it were one object.

#include <cstddef>
#include <memory>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

namespace tovrin {

/// A proxy over a live list: `call<Interface>(fn)` calls `fn(Interface&)` on every element that
/// implements `Interface`, in list order, on the calling thread, and skips the others. An
/// exception from an element ends the walk and reaches the caller. The list is shared, not
/// copied: elements appended after the proxy was made receive later calls.
template <class T>
class Each {
 public:
  using List = std::vector<std::shared_ptr<T>>;

  explicit Each(std::shared_ptr<const List> array) : array_(std::move(array)) {}

  const std::shared_ptr<const List>& array() const { return array_; }
  void setArray(std::shared_ptr<const List> array) { array_ = std::move(array); }

  /// Broadcasts `fn`. For a `fn` with a result, returns the result of the last element that
  /// handled the call, or none when no element did (or the list is empty or absent).
  template <class Interface = T, class Fn>
  auto call(Fn&& fn) const {
    using Result = std::invoke_result_t<Fn&, Interface&>;
    if constexpr (std::is_void_v<Result>) {
      forEach<Interface>([&](Interface& element) { fn(element); });
    } else {
      std::optional<Result> last;
      forEach<Interface>([&](Interface& element) { last.emplace(fn(element)); });
      return last;
    }
  }

  /// Whether at least one element implements `Interface`.
  template <class Interface>
  bool respondsTo() const {
    if (!array_)
      return false;
    for (const auto& element : *array_) {
      if (dynamic_cast<Interface*>(element.get()) != nullptr)
        return true;
    }
    return false;
  }

 private:
  template <class Interface, class Visit>
  void forEach(Visit&& visit) const {
    if (!array_)
      return;
    const List& list = *array_;
    // Indexing (not iterators) keeps the walk defined even if an element appends to the list.
    for (std::size_t i = 0; i < list.size(); ++i) {
      // Hold the element for the duration of its call.
      const std::shared_ptr<T> element = list[i];
      if (auto* target = dynamic_cast<Interface*>(element.get()))
        visit(*target);
    }
  }

  std::shared_ptr<const List> array_;
};

/// A new proxy over `list` (nothing is cached; two calls give two proxies over the same list).
template <class T>
Each<T> each(const std::shared_ptr<std::vector<std::shared_ptr<T>>>& list) {
  return Each<T>(list);
}

}  // namespace tovrin
