// Arbitrary command lines through the splitter, the quoter and the UTF converters: nothing may
// crash, and quoting what was split must split back to the same arguments.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "os/command_line.h"
#include "os/text.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  const std::u16string line = os::PortableUtf8ToUtf16(bytes);
  (void)os::PortableUtf16ToUtf8(line);
  const auto arguments = os::SplitWindowsCommandLine(line);
  if (arguments.empty()) return 0;
  // The program name takes no escapes, so only the rest is expected to round-trip.
  std::vector<std::u16string> rest{u"p"};
  rest.insert(rest.end(), arguments.begin() + 1, arguments.end());
  if (os::SplitWindowsCommandLine(os::JoinWindowsCommandLine(rest)) != rest) std::abort();
  return 0;
}
