#pragma once
// Reading JSON that comes from outside the process: the bodies of collector and geolocation
// replies, and the store file.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace tovrin::detail {

/// Replies nested deeper than this are refused: copying or printing such a value recurses once
/// per level, and a reply of up to 1 MiB could otherwise nest half a million levels deep.
constexpr std::size_t kMaxReplyDepth = 100;

/// Whether the JSON text `text` opens more than `limit` arrays or objects inside each other
/// (brackets within strings do not count). Linear, without recursion.
bool nestsDeeperThan(std::string_view text, std::size_t limit);

/// The JSON value of a reply body: none for an empty body; none with `error` set when the body is
/// not JSON or nests deeper than kMaxReplyDepth.
std::optional<nlohmann::json> parseReply(const std::string& body, std::string& error);

/// The location context a geolocation reply gives: the body's JSON object, or none when the
/// body is anything else (empty, not JSON, not an object, or nested too deeply).
std::optional<nlohmann::json> locationFromReply(const std::string& body);

}  // namespace tovrin::detail
