// Works on the application store from a separate process, for the durability tests.
//   store_tool FOLDER set KEY VALUE [--hang]   prints "written" once durable; --hang then waits
//   store_tool FOLDER get KEY                  prints the value, or "<none>"
//   store_tool FOLDER fill PREFIX COUNT        sets PREFIX0 .. PREFIX<COUNT-1>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "TovrinTracker/TrackerPersister.hpp"

int main(int argc, char** argv) {
  if (argc < 4)
    return 2;
  tovrin::TrackerPersister::setStoreDirectory(argv[1]);
  tovrin::TrackerPersister store;
  const std::string command = argv[2];
  if (command == "set" && argc >= 5) {
    store.setObject(argv[4], argv[3]);
    std::printf("written\n");
    std::fflush(stdout);
    if (argc >= 6 && std::string(argv[5]) == "--hang") {
      for (;;)
        ::pause();
    }
    return 0;
  }
  if (command == "get") {
    auto value = store.objectForKey(argv[3]);
    std::printf("%s\n", value ? value->get<std::string>().c_str() : "<none>");
    return 0;
  }
  if (command == "fill" && argc >= 5) {
    const int count = std::stoi(argv[4]);
    for (int i = 0; i < count; ++i) {
      store.setObject(std::to_string(i), std::string(argv[3]) + std::to_string(i));
    }
    std::printf("filled\n");
    return 0;
  }
  return 2;
}
