#include <windows.h>
// clang-format off
#include <iptypes.h>
#include <nb30.h>
// clang-format on

#include <array>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "os/hardware.h"

namespace os {
namespace {

constexpr DWORD kSmartGetVersion = 0x74080;
constexpr DWORD kSmartRcvDriveData = 0x7C088;
constexpr DWORD kScsiMiniport = 0x4D008;
constexpr DWORD kStorageQueryProperty = 0x2D1400;
constexpr int kDevicesPerMethod = 16;
constexpr std::uint32_t kMinimumAnswerSize = 46;

class ScopedHandle {
 public:
  explicit ScopedHandle(HANDLE handle) : handle_(handle) {}
  ~ScopedHandle() {
    if (valid()) ::CloseHandle(handle_);
  }
  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;
  bool valid() const { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_;
};

class ScopedKey {
 public:
  ScopedKey() = default;
  ~ScopedKey() {
    if (key_ != nullptr) ::RegCloseKey(key_);
  }
  ScopedKey(const ScopedKey&) = delete;
  ScopedKey& operator=(const ScopedKey&) = delete;
  HKEY* out() { return &key_; }
  HKEY get() const { return key_; }

 private:
  HKEY key_ = nullptr;
};

int AdapterPriority(const char* adapter_name) {
  ScopedKey network;
  if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE,
                      "System\\CurrentControlSet\\Control\\Network\\"
                      "{4D36E972-E325-11CE-BFC1-08002BE10318}",
                      0, KEY_READ, network.out()) != ERROR_SUCCESS) {
    return kAdapterUndetermined;
  }
  char sub_key[MAX_ADAPTER_NAME_LENGTH + 32] = {};
  std::snprintf(sub_key, sizeof sub_key, "%s\\Connection", adapter_name);
  ScopedKey connection;
  if (::RegOpenKeyExA(network.get(), sub_key, 0, KEY_READ, connection.out()) != ERROR_SUCCESS) {
    return kAdapterUndetermined;
  }
  DWORD media_subtype = 0;
  DWORD size = sizeof media_subtype;
  if (::RegQueryValueExA(connection.get(), "MediaSubType", nullptr, nullptr,
                         reinterpret_cast<BYTE*>(&media_subtype), &size) != ERROR_SUCCESS) {
    return kAdapterUndetermined;
  }
  char instance_id[260] = {};
  size = 259;
  if (::RegQueryValueExA(connection.get(), "PnpInstanceID", nullptr, nullptr,
                         reinterpret_cast<BYTE*>(instance_id), &size) != ERROR_SUCCESS) {
    return kAdapterUndetermined;
  }
  return ConnectionPriority(media_subtype, instance_id);
}

ScopedHandle OpenDevice(const std::wstring& path, DWORD access, DWORD share) {
  return ScopedHandle(
      ::CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING, 0, nullptr));
}

std::wstring DevicePath(const wchar_t* format, int number) {
  wchar_t path[64] = {};
  std::swprintf(path, 64, format, number);
  return path;
}

bool Control(HANDLE device, DWORD code, void* in, DWORD in_size, void* out, DWORD out_size) {
  DWORD returned = 0;
  return ::DeviceIoControl(device, code, in, in_size, out, out_size, &returned, nullptr) != 0;
}

// SMART_GET_VERSION: 24 bytes, the IDE device map at offset 3.
std::optional<std::array<std::uint8_t, 24>> SmartVersion(HANDLE device) {
  std::array<std::uint8_t, 24> version{};
  if (!Control(device, kSmartGetVersion, nullptr, 0, version.data(), version.size())) {
    return std::nullopt;
  }
  return version;
}

// The SMART answer: a 16-byte header whose first field is the buffer size, then the identify
// data.
std::optional<DiskStrings> FromSmartAnswer(std::span<const std::uint8_t> answer) {
  if (LeadingWord(answer) <= kMinimumAnswerSize) return std::nullopt;
  return DecodeIdentifyStrings(answer.subspan(16, kIdentifySize));
}

std::optional<DiskStrings> SmartByDeviceMap(int drive) {
  const auto device = OpenDevice(DevicePath(L"\\\\.\\PhysicalDrive%d", drive),
                                 GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE);
  if (!device.valid()) return std::nullopt;
  const auto version = SmartVersion(device.get());
  if (!version || (*version)[3] == 0) return std::nullopt;
  auto command = SmartIdentifyCommand(drive, (*version)[3]);
  std::array<std::uint8_t, 16 + kIdentifySize> answer{};
  if (!Control(device.get(), kSmartRcvDriveData, command.data(), command.size(), answer.data(),
               answer.size())) {
    return std::nullopt;
  }
  return FromSmartAnswer(answer);
}

std::optional<DiskStrings> ScsiMiniport(int port) {
  const auto device = OpenDevice(DevicePath(L"\\\\.\\Scsi%d:", port), GENERIC_READ | GENERIC_WRITE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE);
  if (!device.valid()) return std::nullopt;
  std::optional<DiskStrings> found;
  for (std::uint8_t target = 0; target < 2; ++target) {
    auto block = MiniportIdentifyRequest(target);
    if (!Control(device.get(), kScsiMiniport, block.data(), kMiniportSendSize, block.data(),
                 block.size())) {
      continue;
    }
    const auto identify =
        std::span<const std::uint8_t>(block).subspan(kMiniportIdentifyOffset, kIdentifySize);
    // Byte 54 is the first byte of the model: a drive that answered has one.
    if (identify[54] == 0) continue;
    found = DecodeIdentifyStrings(identify);  // when both targets answer, the second one wins
  }
  return found;
}

std::optional<DiskStrings> StorageDescriptor(int drive) {
  const auto device = OpenDevice(DevicePath(L"\\\\.\\PhysicalDrive%d", drive), 0,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE);
  if (!device.valid()) return std::nullopt;
  // STORAGE_PROPERTY_QUERY: StorageDeviceProperty (0), PropertyStandardQuery (0).
  std::array<std::uint8_t, 12> query{};
  std::vector<std::uint8_t> descriptor(2048);
  if (!Control(device.get(), kStorageQueryProperty, query.data(), query.size(), descriptor.data(),
               static_cast<DWORD>(descriptor.size()))) {
    return std::nullopt;
  }
  return DecodeDeviceDescriptor(descriptor);
}

std::optional<DiskStrings> SmartPlainIdentify(int drive) {
  const auto device =
      OpenDevice(DevicePath(L"\\\\.\\PhysicalDrive%d", drive), GENERIC_READ | GENERIC_WRITE,
                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
  if (!device.valid()) return std::nullopt;
  if (!SmartVersion(device.get())) return std::nullopt;
  std::array<std::uint8_t, 545> block{};
  block[10] = 0xEC;  // the command register of the IDE registers at offset 4
  if (!Control(device.get(), kSmartRcvDriveData, block.data(), 33, block.data(), block.size())) {
    return std::nullopt;
  }
  return FromSmartAnswer(block);
}

UCHAR RunNetbios(NCB& ncb) {
  return ::Netbios(&ncb);
}

}  // namespace

std::optional<std::vector<NetworkAdapter>> ReadNetworkAdapters() {
  wchar_t system_folder[MAX_PATH] = {};
  const UINT length = ::GetSystemDirectoryW(system_folder, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return std::nullopt;
  const std::wstring library_path = std::wstring(system_folder, length) + L"\\iphlpapi.dll";
  HMODULE library = ::LoadLibraryW(library_path.c_str());
  if (library == nullptr) return std::nullopt;

  using GetAdaptersInfoFn = ULONG(WINAPI*)(PIP_ADAPTER_INFO, PULONG);
  // FARPROC is a placeholder type; going through void* says the real type is known.
  const auto get_adapters_info = reinterpret_cast<GetAdaptersInfoFn>(
      reinterpret_cast<void*>(::GetProcAddress(library, "GetAdaptersInfo")));
  std::optional<std::vector<NetworkAdapter>> adapters;
  if (get_adapters_info != nullptr) {
    // 11,264 bytes, aligned for the records inside.
    std::vector<std::uint64_t> buffer(11264 / sizeof(std::uint64_t));
    ULONG size = 11264;
    auto* first = reinterpret_cast<IP_ADAPTER_INFO*>(buffer.data());
    if (get_adapters_info(first, &size) == ERROR_SUCCESS) {
      adapters.emplace();
      for (const IP_ADAPTER_INFO* info = first; info != nullptr; info = info->Next) {
        NetworkAdapter adapter;
        adapter.name = info->AdapterName;
        adapter.type = info->Type;
        std::memcpy(adapter.address.data(), info->Address, adapter.address.size());
        adapter.priority = AdapterPriority(info->AdapterName);
        adapters->push_back(std::move(adapter));
      }
    }
  }
  ::FreeLibrary(library);
  return adapters;
}

MacAddress ReadNetbiosAddress() {
  LANA_ENUM lanas{};
  static_assert(sizeof lanas == 256);
  NCB ncb{};
  ncb.ncb_command = NCBENUM;
  ncb.ncb_buffer = reinterpret_cast<PUCHAR>(&lanas);
  ncb.ncb_length = sizeof lanas;
  if (RunNetbios(ncb) != NRC_GOODRET) return {};

  for (int i = static_cast<int>(lanas.length) - 1; i >= 0; --i) {
    NCB reset{};
    reset.ncb_command = NCBRESET;
    reset.ncb_lana_num = lanas.lana[i];
    if (RunNetbios(reset) != NRC_GOODRET) continue;

    std::array<std::uint8_t, 600> status{};
    NCB query{};
    query.ncb_command = NCBASTAT;
    query.ncb_lana_num = lanas.lana[i];
    std::memset(query.ncb_callname, 0, sizeof query.ncb_callname);
    query.ncb_callname[0] = '*';
    query.ncb_buffer = status.data();
    query.ncb_length = static_cast<WORD>(status.size());
    if (RunNetbios(query) != NRC_GOODRET) continue;

    MacAddress mac{};
    std::memcpy(mac.data(), reinterpret_cast<const ADAPTER_STATUS*>(status.data())->adapter_address,
                mac.size());
    if (!IsAllZero(mac)) return mac;
  }
  return {};
}

bool IsNtPlatform() {
  OSVERSIONINFOW info{};
  info.dwOSVersionInfoSize = sizeof info;
  if (!::GetVersionExW(&info)) return false;
  return info.dwPlatformId == VER_PLATFORM_WIN32_NT;
}

std::optional<DiskStrings> ReadFirstDiskIdentity() {
  using Method = std::optional<DiskStrings> (*)(int);
  for (const Method method :
       {SmartByDeviceMap, ScsiMiniport, StorageDescriptor, SmartPlainIdentify}) {
    for (int number = 0; number < kDevicesPerMethod; ++number) {
      if (auto strings = method(number)) return strings;
    }
  }
  return std::nullopt;
}

}  // namespace os
