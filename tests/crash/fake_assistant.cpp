// Stands in for the product's assistant: writes its arguments, one per line, to the file named by
// VELMORA_TEST_ASSISTANT_OUT, then sets the event named by VELMORA_TEST_ASSISTANT_DONE.
#include <cstdlib>
#include <fstream>

#include "os/named_objects.h"
#include "os/text.h"

int main(int argc, char** argv) {
  if (const char* out = std::getenv("VELMORA_TEST_ASSISTANT_OUT")) {
    std::ofstream file(out, std::ios::binary | std::ios::trunc);
    for (int i = 1; i < argc; ++i) file << argv[i] << "\n";
  }
  if (const char* done = std::getenv("VELMORA_TEST_ASSISTANT_DONE")) {
    const auto event =
        os::NamedEvent::Create(os::Utf8ToUtf16(done), true, false, os::ObjectSecurity::kDefault);
    if (event.ok()) event.object.Set();
  }
  return 0;
}
