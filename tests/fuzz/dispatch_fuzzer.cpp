// Arbitrary command lines through the launcher's front half: the shell's split, the option
// parser with every kind of option, the number readers, the payload records and the dispatch's
// choice of action (through its action table, with actions that do nothing but write the launch
// record as the start would). Nothing may crash, and the invariants below must hold.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "base/text_encoding.h"
#include "common/ipc/launch_payload_records.h"
#include "launcher/src/cmdline/cmdline.h"
#include "launcher/src/cmdline/option_sets.h"
#include "launcher/src/launcher.h"
#include "os/command_line.h"
#include "os/text.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

// The first byte chooses how the rest becomes wide text: as UTF-8 (so the dictionary's option
// names show up) or as raw UTF-16 code units (so lone surrogates do).
std::u16string WideText(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return {};
  if ((data[0] & 1) == 0) {
    return os::PortableUtf8ToUtf16(std::string(reinterpret_cast<const char*>(data + 1), size - 1));
  }
  std::u16string text;
  for (std::size_t i = 1; i + 1 < size; i += 2) {
    text.push_back(static_cast<char16_t>(data[i] | (data[i + 1] << 8)));
  }
  return text;
}

template <typename T>
std::optional<T> StreamReads(const std::string& text) {
  std::istringstream stream(text);
  T value{};
  if (!(stream >> value) || !stream.eof()) return std::nullopt;
  return value;
}

void CheckNumberReaders(const std::u16string& text) {
  const auto as_int = cmdline::read_int32(text);
  const auto as_bool = cmdline::read_bool(text);
  std::string ascii;
  for (const char16_t c : text) {
    if (c == 0 || c > 0x7F) return;
    ascii.push_back(static_cast<char>(c));
  }
  Check(as_int == StreamReads<int>(ascii));
  Check(as_bool == StreamReads<bool>(ascii));
}

void CheckParser(const std::vector<std::u16string>& arguments) {
  cmdline::parser p;
  p.declare_option<std::u16string>(u"alpha", u'a', false, u"", u"");
  p.declare_option<bool>(u"quit", u'q', true, u"", false);
  p.declare_option<std::int32_t>(u"from", u'f', false, u"", 0);
  p.declare_flag(u"silent", u"", u's');
  DeclareDispatchOptions(p);
  const bool ok = p.parse_arguments(arguments);
  Check(ok == p.problems().empty());
  Check(p.program_name() == arguments[0]);
  for (const auto* option : p.declaration_order()) {
    Check(option->is_satisfied() || !option->was_given());
  }
  // A second parse of the same arguments finds the same problems.
  const auto problems = p.problems();
  p.parse_arguments(arguments);
  Check(p.problems() == problems);
  ParseClientForwardOptions(arguments);
  ParseEmulatorRequestOptions(arguments);
}

void CheckPayload(const std::u16string& text) {
  try {
    const nlohmann::json j = ipc::ParsePayloadText(text);
    try {
      const auto launch = j.get<ipc::AppLaunchInfo>();
      (void)nlohmann::json(launch).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    } catch (const nlohmann::json::exception&) {
    }
    try {
      (void)nlohmann::json(j.get<ipc::InstallAppInfo>()).dump();
    } catch (const nlohmann::json::exception&) {
    }
  } catch (const nlohmann::json::exception&) {
  }
}

void CheckUrlParts(const std::u16string& text) {
  const std::u16string extension = FileNameExtension(text);
  Check(extension.empty() || extension[0] == u'.');
  Check(extension.find_first_of(u"\\/:") == std::u16string::npos);
  const std::string utf8 = WideToUtf8(text);
  const std::string encoded = UrlEncode(utf8);
  std::size_t expected_size = 0;
  for (const char c : utf8) {
    const bool kept = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
    const bool blank = c == ' ' || (c >= '\t' && c <= '\r');
    expected_size += kept || blank ? 1 : 3;
  }
  Check(encoded.size() == expected_size);
  Check(encoded.find_first_not_of(
            "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz+%") ==
        std::string::npos);
}

const LaunchActions kQuietActions{
    [](const std::u16string&) {},
    [] { return false; },
    [] { return false; },
    [] { return false; },
    [](const std::u16string&) { return false; },
    [](LaunchRequest& request) {
      (void)nlohmann::json(request.launch_record)
          .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
      return StartOutcome{};
    },
    [](const std::u16string&, std::int32_t) {},
    [](const std::u16string&, std::int32_t) {},
    [](const std::u16string&, std::int32_t, std::int32_t) {},
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::u16string line = u"VelmoraLauncher.exe " + WideText(data, size);
  std::vector<std::u16string> arguments = os::SplitWindowsCommandLine(line);
  Check(!arguments.empty());

  CheckParser(arguments);
  for (const auto& argument : arguments) {
    CheckNumberReaders(argument);
    CheckPayload(argument);
    CheckUrlParts(argument);
  }

  std::vector<const char16_t*> argv;
  for (const auto& argument : arguments) argv.push_back(argument.c_str());
  argv.push_back(nullptr);
  LaunchTarget(static_cast<int>(arguments.size()), argv.data(), kQuietActions);
  return 0;
}
