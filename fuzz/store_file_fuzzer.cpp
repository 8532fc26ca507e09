// Writes arbitrary bytes as the identity store file, then reads and writes keys through
// TrackerPersister. Aborts when a usable store's value is not the one in the file, when a write
// is not read back, or when the store file is left holding anything but a JSON object.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "JsonInput.hpp"
#include "TovrinTracker/Log.hpp"
#include "TovrinTracker/TrackerPersister.hpp"

namespace {

namespace fs = std::filesystem;

void check(bool condition) {
  if (!condition)
    std::abort();
}

// One folder for the whole run, in memory when the system offers it (the store syncs writes).
const fs::path& folder() {
  static const fs::path path = [] {
    tovrin::setLogSink([](std::string_view) {});
    const fs::path base =
        fs::is_directory("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
    std::string pattern = (base / "tovrin-store-fuzz-XXXXXX").string();
    check(::mkdtemp(pattern.data()) != nullptr);
    std::atexit([] { fs::remove_all(folder()); });
    return fs::path(pattern);
  }();
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using nlohmann::json;
  const fs::path file = folder() / "defaults.json";
  for (const auto& entry : fs::directory_iterator(folder()))
    fs::remove_all(entry.path());
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::ofstream(file, std::ios::binary) << text;

  tovrin::TrackerPersister::setStoreDirectory(folder());  // forget what was loaded
  tovrin::TrackerPersister store;
  const auto value = store.objectForKey("k");
  const bool usable = !tovrin::detail::nestsDeeperThan(text, 1000) && json::accept(text) &&
                      json::parse(text).is_object();
  if (usable) {
    const json parsed = json::parse(text);
    check(value.has_value() == parsed.contains("k"));
    if (value)
      check(*value == parsed.at("k"));
  } else {
    check(!value);
  }

  store.setObject("written", "w");
  check(store.objectForKey("w") == json("written"));
  check(store.objectForKey("k") == value);
  std::ifstream in(file, std::ios::binary);
  const std::string stored((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  check(json::accept(stored) && json::parse(stored).is_object());
  return 0;
}
