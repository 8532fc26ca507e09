// Leaks one block on purpose, so that a test can see LeakSanitizer report it: proof that leak
// checking really runs in the address-sanitizer build (it cannot where ptrace is denied).
#include <cstdlib>

void* volatile leaked = nullptr;

int main() {
  leaked = std::malloc(4096);
  leaked = nullptr;
  return 0;
}
