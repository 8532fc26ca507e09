#include "JsonInput.hpp"

namespace tovrin::detail {

bool nestsDeeperThan(std::string_view text, std::size_t limit) {
  std::size_t depth = 0;
  bool inString = false;
  bool escaped = false;
  for (const char c : text) {
    if (inString) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        inString = false;
      }
      continue;
    }
    if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      if (++depth > limit)
        return true;
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
  return false;
}

std::optional<nlohmann::json> parseReply(const std::string& body, std::string& error) {
  if (body.empty())
    return std::nullopt;
  if (nestsDeeperThan(body, kMaxReplyDepth)) {
    error = "reply nested deeper than " + std::to_string(kMaxReplyDepth) + " levels";
    return std::nullopt;
  }
  try {
    return nlohmann::json::parse(body);
  } catch (const nlohmann::json::exception& parseError) {
    error = std::string("reply is not JSON: ") + parseError.what();
    return std::nullopt;
  }
}

std::optional<nlohmann::json> locationFromReply(const std::string& body) {
  if (body.empty() || nestsDeeperThan(body, kMaxReplyDepth))
    return std::nullopt;
  nlohmann::json parsed = nlohmann::json::parse(body, nullptr, /*allow_exceptions=*/false);
  // Only an object describes a location; anything else counts as a failed lookup.
  if (!parsed.is_object())
    return std::nullopt;
  return parsed;
}

}  // namespace tovrin::detail
