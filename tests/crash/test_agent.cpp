// A stand-in for the crash agent library. It writes every call it receives, with its arguments,
// to the file named by VELMORA_TEST_AGENT_LOG, one line per item, so a test can compare the whole
// conversation. VELMORA_TEST_AGENT_START_RESULT sets what Start returns, VELMORA_TEST_AGENT_NULL
// makes the factory return no agent, VELMORA_TEST_AGENT_RUN_CALLBACK makes it call the crash
// callback as soon as it is registered. Built without the factory export when
// VELMORA_AGENT_WITHOUT_FACTORY is defined.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "crash/crash_agent.h"

namespace {

std::string Ascii(const char16_t* text, std::size_t length) {
  std::string out;
  for (std::size_t i = 0; i < length; ++i) {
    out.push_back(text[i] < 0x80 ? static_cast<char>(text[i]) : '?');
  }
  return out;
}

std::string Ascii(const char16_t* text) {
  if (text == nullptr) return "<null>";
  std::size_t length = 0;
  while (text[length] != 0) ++length;
  return Ascii(text, length);
}

void Log(const std::string& line) {
  const char* path = std::getenv("VELMORA_TEST_AGENT_LOG");
  if (path == nullptr) return;
  if (std::FILE* file = std::fopen(path, "ab")) {
    std::fputs((line + "\n").c_str(), file);
    std::fclose(file);
  }
}

struct TestAgent {
  CrashAgent base;
  const char16_t* configured_process_name = nullptr;
};

TestAgent& Agent(CrashAgent* agent) {
  return *reinterpret_cast<TestAgent*>(agent);
}

std::int32_t Start(CrashAgent* agent, const CrashAgentConfig* config) {
  if (config == nullptr) {
    Log("Start config=<null>");
    return -1;
  }
  unsigned char bytes[128];
  std::memcpy(bytes, config, sizeof bytes);
  // Pointers differ from run to run: they are reported as the strings they point to.
  std::string problems;
  for (std::size_t offset = 8; offset <= 96; offset += 8) {
    std::uint64_t pointer = 0;
    std::memcpy(&pointer, bytes + offset, 8);
    if (pointer == 0) problems += " null@" + std::to_string(offset);
    std::memset(bytes + offset, 0, 8);
  }
  if (config->size != 128) problems += " size";
  if (config->process_name != config->process_name2) problems += " name-pointers";
  std::string hex;
  for (unsigned char b : bytes) {
    static const char digits[] = "0123456789abcdef";
    hex.push_back(digits[b >> 4]);
    hex.push_back(digits[b & 15]);
  }
  Log("Start bytes=" + hex);
  Log("Start check=" + (problems.empty() ? std::string("ok") : problems));
  const char16_t* const* strings = &config->handler_path;
  for (int i = 0; i < 12; ++i) Log("Start @" + std::to_string(8 + 8 * i) + "=" + Ascii(strings[i]));
  Agent(agent).configured_process_name = config->process_name;
  const char* result = std::getenv("VELMORA_TEST_AGENT_START_RESULT");
  return result != nullptr ? std::atoi(result) : 0;
}

void AttachProcess(CrashAgent*, std::uint32_t process_id, const char16_t* name,
                   std::uint32_t name_length, const char16_t* directory,
                   std::uint32_t directory_length) {
  Log("AttachProcess " + std::to_string(process_id) + " " + Ascii(name, name_length) + " " +
      std::to_string(name_length) + " " + Ascii(directory, directory_length) + " " +
      std::to_string(directory_length));
}

void SetKeyValue(CrashAgent*, const char* key, const char* value) {
  Log(std::string("SetKeyValue ") + key + " " + value);
}

void SetChannelValue(CrashAgent*, const char16_t* pipe, const char16_t* key,
                     std::uint32_t key_length, const char16_t* value, std::uint32_t value_length) {
  Log("SetChannelValue " + Ascii(pipe) + " " + Ascii(key, key_length) + " " +
      std::to_string(key_length) + " " + Ascii(value, value_length) + " " +
      std::to_string(value_length));
}

void SetCrashCallback(CrashAgent* agent, CrashCallback callback, void* context) {
  // The configuration's process name must outlive the start call.
  Log(std::string("SetCrashCallback ") + (callback != nullptr ? "callback" : "<null>") + " " +
      (context == nullptr ? "<null>" : "context") + " " +
      Ascii(Agent(agent).configured_process_name));
  if (callback != nullptr && std::getenv("VELMORA_TEST_AGENT_RUN_CALLBACK") != nullptr) {
    callback();
    Log("CallbackReturned");
  }
}

void EnableWithLimit(CrashAgent*, bool enable, std::uint32_t size) {
  Log("EnableWithLimit " + std::to_string(enable ? 1 : 0) + " " + std::to_string(size));
}

const CrashAgentOperations kOperations = {
    nullptr,           nullptr, &Start,       nullptr,          nullptr,
    &AttachProcess,    nullptr, &SetKeyValue, nullptr,          &SetChannelValue,
    &SetCrashCallback, nullptr, nullptr,      &EnableWithLimit,
};

TestAgent g_agent{{&kOperations}};

}  // namespace

#ifndef VELMORA_AGENT_WITHOUT_FACTORY
extern "C" CrashAgent* CreateFreltAgent() {
  if (std::getenv("VELMORA_TEST_AGENT_NULL") != nullptr) {
    Log("Create <null>");
    return nullptr;
  }
  Log("Create");
  return &g_agent.base;
}
#else
// Exports a factory under another name only.
extern "C" CrashAgent* CreateSomethingElse() {
  return &g_agent.base;
}
#endif
