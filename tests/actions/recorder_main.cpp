// Stands in for a product program that the launcher starts: writes the arguments it got, one a
// line, to the file named by VELMORA_RECORD_FILE, then sets the event named by
// VELMORA_RECORD_EVENT so that the test reads the file without polling.
#include <cstdlib>
#include <string>

#include "os/append_file.h"
#include "os/named_objects.h"
#include "os/text.h"

int main(int argc, char** argv) {
  const char* file_name = std::getenv("VELMORA_RECORD_FILE");
  const char* event_name = std::getenv("VELMORA_RECORD_EVENT");
  if (file_name == nullptr || event_name == nullptr) return 2;
  std::string text;
  for (int i = 1; i < argc; ++i) text += std::string(argv[i]) + "\n";
  os::AppendFile file;
  if (!file.Open(os::Utf8ToUtf16(file_name), os::AppendFile::Mode::kTruncate) ||
      !file.Write(text)) {
    return 1;
  }
  file.Close();
  auto event = os::NamedEvent::Open(os::Utf8ToUtf16(event_name));
  return event.ok() && event.object.Set() == 0 ? 0 : 1;
}
