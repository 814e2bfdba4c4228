// Stands in for a product program that the launcher starts: writes the arguments it got, one a
// line, to the file named by VELMORA_RECORD_FILE, then sets the event named by
// VELMORA_RECORD_EVENT so that the test reads the file without polling.
// With VELMORA_RECORD_ANNOUNCE it first takes that named mutex, as a started product process
// announces itself, and keeps it until the event named by VELMORA_RECORD_HOLD is set (a minute
// at most); then it closes the mutex and sets the recording event once more.
#include <cstdlib>
#include <string>

#include "os/append_file.h"
#include "os/named_objects.h"
#include "os/text.h"

namespace {

std::u16string Variable(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::u16string() : os::Utf8ToUtf16(value);
}

}  // namespace

int main(int argc, char** argv) {
  const std::u16string file_name = Variable("VELMORA_RECORD_FILE");
  const std::u16string event_name = Variable("VELMORA_RECORD_EVENT");
  if (file_name.empty() || event_name.empty()) return 2;
  os::NamedMutex announce;
  if (const std::u16string name = Variable("VELMORA_RECORD_ANNOUNCE"); !name.empty()) {
    auto created = os::NamedMutex::Create(name, true, os::ObjectSecurity::kOpenToAll);
    if (!created.ok()) return 3;
    announce = std::move(created.object);
  }
  std::string text;
  for (int i = 1; i < argc; ++i) text += std::string(argv[i]) + "\n";
  os::AppendFile file;
  if (!file.Open(file_name, os::AppendFile::Mode::kTruncate) || !file.Write(text)) return 1;
  file.Close();
  auto event = os::NamedEvent::Open(event_name);
  if (!event.ok() || event.object.Set() != 0) return 1;
  if (announce.valid()) {
    if (auto hold = os::NamedEvent::Open(Variable("VELMORA_RECORD_HOLD")); hold.ok()) {
      hold.object.Wait(60'000);
    }
    // Then it lets the mutex go and says so with the same event.
    announce.Release();
    announce.Close();
    if (event.object.Set() != 0) return 1;
  }
  return 0;
}
