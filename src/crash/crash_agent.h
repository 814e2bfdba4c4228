#pragma once

// The calling interface of the external crash agent library: the configuration block it is
// started with and the table of operations of the agent object its factory returns. Both are
// fixed byte layouts shared with a library built elsewhere, so every offset is asserted.

#include <cstddef>
#include <cstdint>

static_assert(sizeof(void*) == 8, "the agent's interface is the 64-bit one");

// Little-endian, 128 bytes, zero-filled before use. The strings are NUL-terminated UTF-16.
struct CrashAgentConfig {
  std::uint32_t size;               // 128
  std::uint32_t reserved0;          // 0
  const char16_t* handler_path;     // crash handler executable beside the launcher
  const char16_t* data_directory;   // crash data folder, with its trailing separator
  const char16_t* data_directory2;  // the same text again
  const char16_t* application_id;   // crash-reporting service credentials
  const char16_t* application_key;
  const char16_t* version;  // product version
  const char16_t* package_name;
  const char16_t* process_name;   // must stay valid for the life of the process
  const char16_t* process_name2;  // the same pointer
  const char16_t* report_version;
  const char16_t* machine_identity;
  const char16_t* pipe_name;
  std::uint64_t reserved1;     // 0
  std::uint32_t upload_delay;  // 5,000
  std::uint8_t flag116;        // 1
  std::uint8_t second_flag;    // the record's second flag
  std::uint8_t flag118;        // 1
  std::uint8_t flag119;        // 1
  std::uint8_t flag120;        // 0
  std::uint8_t first_flag;     // the record's first flag
  std::uint8_t flag122;        // 0
  std::uint8_t reserved2;      // 0
  std::uint32_t mode;          // 2
};

static_assert(sizeof(CrashAgentConfig) == 128);
static_assert(offsetof(CrashAgentConfig, size) == 0);
static_assert(offsetof(CrashAgentConfig, reserved0) == 4);
static_assert(offsetof(CrashAgentConfig, handler_path) == 8);
static_assert(offsetof(CrashAgentConfig, data_directory) == 16);
static_assert(offsetof(CrashAgentConfig, data_directory2) == 24);
static_assert(offsetof(CrashAgentConfig, application_id) == 32);
static_assert(offsetof(CrashAgentConfig, application_key) == 40);
static_assert(offsetof(CrashAgentConfig, version) == 48);
static_assert(offsetof(CrashAgentConfig, package_name) == 56);
static_assert(offsetof(CrashAgentConfig, process_name) == 64);
static_assert(offsetof(CrashAgentConfig, process_name2) == 72);
static_assert(offsetof(CrashAgentConfig, report_version) == 80);
static_assert(offsetof(CrashAgentConfig, machine_identity) == 88);
static_assert(offsetof(CrashAgentConfig, pipe_name) == 96);
static_assert(offsetof(CrashAgentConfig, reserved1) == 104);
static_assert(offsetof(CrashAgentConfig, upload_delay) == 112);
static_assert(offsetof(CrashAgentConfig, flag116) == 116);
static_assert(offsetof(CrashAgentConfig, second_flag) == 117);
static_assert(offsetof(CrashAgentConfig, flag118) == 118);
static_assert(offsetof(CrashAgentConfig, flag119) == 119);
static_assert(offsetof(CrashAgentConfig, flag120) == 120);
static_assert(offsetof(CrashAgentConfig, first_flag) == 121);
static_assert(offsetof(CrashAgentConfig, flag122) == 122);
static_assert(offsetof(CrashAgentConfig, reserved2) == 123);
static_assert(offsetof(CrashAgentConfig, mode) == 124);

struct CrashAgent;

using CrashCallback = void (*)();

// The agent's table of operations. Every entry takes the agent as its first argument; entries
// the launcher never calls are kept as opaque slots so the used ones sit at their indexes.
struct CrashAgentOperations {
  void* slot0;
  void* slot1;
  std::int32_t (*Start)(CrashAgent* agent, const CrashAgentConfig* config);
  void* slot3;
  void* slot4;
  void (*AttachProcess)(CrashAgent* agent, std::uint32_t process_id, const char16_t* process_name,
                        std::uint32_t process_name_length, const char16_t* data_directory,
                        std::uint32_t data_directory_length);
  void* slot6;
  void (*SetKeyValue)(CrashAgent* agent, const char* key, const char* value);
  void* slot8;
  void (*SetChannelValue)(CrashAgent* agent, const char16_t* pipe_name, const char16_t* key,
                          std::uint32_t key_length, const char16_t* value,
                          std::uint32_t value_length);
  void (*SetCrashCallback)(CrashAgent* agent, CrashCallback callback, void* context);
  void* slot11;
  void* slot12;
  void (*EnableWithLimit)(CrashAgent* agent, bool enable, std::uint32_t size);
};

static_assert(offsetof(CrashAgentOperations, Start) == 2 * 8);
static_assert(offsetof(CrashAgentOperations, AttachProcess) == 5 * 8);
static_assert(offsetof(CrashAgentOperations, SetKeyValue) == 7 * 8);
static_assert(offsetof(CrashAgentOperations, SetChannelValue) == 9 * 8);
static_assert(offsetof(CrashAgentOperations, SetCrashCallback) == 10 * 8);
static_assert(offsetof(CrashAgentOperations, EnableWithLimit) == 13 * 8);

// The agent object: its first field is the table of operations.
struct CrashAgent {
  const CrashAgentOperations* operations;
};

// The factory the library exports: no arguments, the agent or null.
using CreateCrashAgentFunction = CrashAgent* (*)();
inline constexpr const char kCrashAgentFactoryName[] = "CreateFreltAgent";
