#pragma once
// The property dictionary that every event carries.

#include <nlohmann/json.hpp>

namespace tovrin {

/// A property dictionary: a JSON object. A null value stands for an absent dictionary, which
/// counts as empty wherever dictionaries are merged.
using Properties = nlohmann::json;

}  // namespace tovrin
