// Named kernel objects on Windows: the kernel's own mutexes, semaphores, events and
// pagefile-backed sections.
#include <windows.h>

#include <string>

#include "os/named_objects.h"

namespace os {

struct ObjectFactory {
  template <typename Object>
  static Object Make(HANDLE handle) {
    return Object(handle);
  }
  static void SetView(MappedView& view, void* data) { view.data_ = data; }
};

namespace {

constexpr std::size_t kMaximumWaitObjects = MAXIMUM_WAIT_OBJECTS;

HANDLE HandleOf(const ObjectHandle& object) {
  return static_cast<HANDLE>(object.native());
}

// The W calls take a NUL-terminated name; an empty one makes an unnamed object.
class WideName {
 public:
  explicit WideName(std::u16string_view name) : text_(name) {}
  const wchar_t* get() const {
    return text_.empty() ? nullptr : reinterpret_cast<const wchar_t*>(text_.c_str());
  }

 private:
  std::u16string text_;
};

struct OpenToAllRecord {
  SECURITY_DESCRIPTOR descriptor{};
  SECURITY_ATTRIBUTES attributes{};
  OpenToAllSecurity state;
};

OpenToAllRecord& OpenToAll() {
  static OpenToAllRecord record;
  static const bool built = [] {
    if (!::InitializeSecurityDescriptor(&record.descriptor, SECURITY_DESCRIPTOR_REVISION)) {
      record.state = {false, "InitializeSecurityDescriptor", ::GetLastError()};
    } else if (!::SetSecurityDescriptorDacl(&record.descriptor, TRUE, nullptr, FALSE)) {
      record.state = {false, "SetSecurityDescriptorDacl", ::GetLastError()};
    }
    record.attributes.nLength = sizeof(record.attributes);
    record.attributes.lpSecurityDescriptor = &record.descriptor;
    record.attributes.bInheritHandle = FALSE;
    return true;
  }();
  (void)built;
  return record;
}

SECURITY_ATTRIBUTES* Attributes(ObjectSecurity security) {
  if (security == ObjectSecurity::kDefault) return nullptr;
  OpenToAllRecord& record = OpenToAll();
  return record.state.available ? &record.attributes : nullptr;
}

// CreateXxxW leaves ERROR_ALREADY_EXISTS behind when it opened an existing object.
template <typename Object>
OpenResult<Object> Created(HANDLE handle) {
  const DWORD error = ::GetLastError();
  OpenResult<Object> result;
  if (handle == nullptr) {
    result.error = error;
  } else {
    result.object = ObjectFactory::Make<Object>(handle);
    result.error = error == ERROR_ALREADY_EXISTS ? kErrorAlreadyExists : kErrorSuccess;
  }
  return result;
}

template <typename Object>
OpenResult<Object> Opened(HANDLE handle) {
  OpenResult<Object> result;
  if (handle == nullptr) {
    result.error = ::GetLastError();
  } else {
    result.object = ObjectFactory::Make<Object>(handle);
  }
  return result;
}

WaitResult FromWait(DWORD result, std::size_t count) {
  if (result < WAIT_OBJECT_0 + count) return {WaitStatus::kSignaled, result - WAIT_OBJECT_0};
  if (result >= WAIT_ABANDONED_0 && result < WAIT_ABANDONED_0 + count) {
    return {WaitStatus::kAbandoned, result - WAIT_ABANDONED_0};
  }
  if (result == WAIT_TIMEOUT) return {WaitStatus::kTimeout};
  return {WaitStatus::kFailed, 0, ::GetLastError()};
}

WaitResult WaitOne(const ObjectHandle& object, std::uint32_t timeout_ms) {
  return FromWait(::WaitForSingleObject(HandleOf(object), timeout_ms), 1);
}

ErrorCode Result(BOOL ok) {
  return ok ? kErrorSuccess : ::GetLastError();
}

}  // namespace

void ObjectHandle::Close() {
  if (native_ != nullptr) ::CloseHandle(static_cast<HANDLE>(native_));
  native_ = nullptr;
}

// --- mutex ---------------------------------------------------------------------------------

OpenResult<NamedMutex> NamedMutex::Create(std::u16string_view name, bool initial_owner,
                                          ObjectSecurity security) {
  const WideName wide(name);
  return Created<NamedMutex>(::CreateMutexW(Attributes(security), initial_owner, wide.get()));
}

OpenResult<NamedMutex> NamedMutex::Open(std::u16string_view name, ObjectAccess access) {
  const WideName wide(name);
  const DWORD rights = access == ObjectAccess::kAll ? MUTEX_ALL_ACCESS : SYNCHRONIZE;
  return Opened<NamedMutex>(::OpenMutexW(rights, FALSE, wide.get()));
}

WaitResult NamedMutex::Wait(std::uint32_t timeout_ms) const {
  return WaitOne(*this, timeout_ms);
}

ErrorCode NamedMutex::Release() const {
  return Result(::ReleaseMutex(HandleOf(*this)));
}

// --- semaphore -----------------------------------------------------------------------------

OpenResult<NamedSemaphore> NamedSemaphore::Create(std::u16string_view name,
                                                  std::int32_t initial_count,
                                                  std::int32_t maximum_count,
                                                  ObjectSecurity security) {
  const WideName wide(name);
  return Created<NamedSemaphore>(
      ::CreateSemaphoreW(Attributes(security), initial_count, maximum_count, wide.get()));
}

OpenResult<NamedSemaphore> NamedSemaphore::Open(std::u16string_view name, ObjectAccess access) {
  const WideName wide(name);
  const DWORD rights = access == ObjectAccess::kAll ? SEMAPHORE_ALL_ACCESS : SYNCHRONIZE;
  return Opened<NamedSemaphore>(::OpenSemaphoreW(rights, FALSE, wide.get()));
}

WaitResult NamedSemaphore::Wait(std::uint32_t timeout_ms) const {
  return WaitOne(*this, timeout_ms);
}

ErrorCode NamedSemaphore::Release(std::int32_t count, std::int32_t* previous) const {
  LONG before = 0;
  const ErrorCode error = Result(::ReleaseSemaphore(HandleOf(*this), count, &before));
  if (error == kErrorSuccess && previous != nullptr) *previous = before;
  return error;
}

// --- event ---------------------------------------------------------------------------------

OpenResult<NamedEvent> NamedEvent::Create(std::u16string_view name, bool manual_reset,
                                          bool initially_set, ObjectSecurity security) {
  const WideName wide(name);
  return Created<NamedEvent>(
      ::CreateEventW(Attributes(security), manual_reset, initially_set, wide.get()));
}

OpenResult<NamedEvent> NamedEvent::Open(std::u16string_view name, ObjectAccess access) {
  const WideName wide(name);
  const DWORD rights = access == ObjectAccess::kAll ? EVENT_ALL_ACCESS : SYNCHRONIZE;
  return Opened<NamedEvent>(::OpenEventW(rights, FALSE, wide.get()));
}

ErrorCode NamedEvent::Set() const {
  return Result(::SetEvent(HandleOf(*this)));
}

ErrorCode NamedEvent::Reset() const {
  return Result(::ResetEvent(HandleOf(*this)));
}

WaitResult NamedEvent::Wait(std::uint32_t timeout_ms) const {
  return WaitOne(*this, timeout_ms);
}

WaitResult WaitForAnyEvent(std::span<const NamedEvent* const> events, std::uint32_t timeout_ms) {
  if (events.empty() || events.size() > kMaximumWaitObjects) {
    return {WaitStatus::kFailed, 0, kErrorInvalidParameter};
  }
  HANDLE handles[kMaximumWaitObjects];
  for (std::size_t i = 0; i < events.size(); ++i) {
    handles[i] = events[i] != nullptr ? HandleOf(*events[i]) : nullptr;
  }
  const auto count = static_cast<DWORD>(events.size());
  return FromWait(::WaitForMultipleObjects(count, handles, FALSE, timeout_ms), events.size());
}

WaitResult ReleaseMutexAndWait(const NamedMutex& mutex, const NamedSemaphore& semaphore,
                               std::uint32_t timeout_ms) {
  return FromWait(::SignalObjectAndWait(HandleOf(mutex), HandleOf(semaphore), timeout_ms, FALSE),
                  1);
}

// --- file mapping --------------------------------------------------------------------------

OpenResult<FileMapping> FileMapping::Create(std::u16string_view name, std::uint64_t size,
                                            ObjectSecurity security) {
  const WideName wide(name);
  return Created<FileMapping>(
      ::CreateFileMappingW(INVALID_HANDLE_VALUE, Attributes(security), PAGE_READWRITE | SEC_COMMIT,
                           static_cast<DWORD>(size >> 32), static_cast<DWORD>(size), wide.get()));
}

OpenResult<FileMapping> FileMapping::Open(std::u16string_view name) {
  const WideName wide(name);
  return Opened<FileMapping>(::OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, wide.get()));
}

OpenResult<MappedView> MappedView::Map(const FileMapping& mapping) {
  OpenResult<MappedView> result;
  void* data = ::MapViewOfFile(HandleOf(mapping), FILE_MAP_ALL_ACCESS, 0, 0, 0);
  if (data == nullptr) {
    result.error = ::GetLastError();
  } else {
    ObjectFactory::SetView(result.object, data);
  }
  return result;
}

ErrorCode MappedView::QueryRegionSize(std::size_t& size) const {
  MEMORY_BASIC_INFORMATION info{};
  if (::VirtualQuery(data_, &info, sizeof(info)) == 0) return ::GetLastError();
  size = info.RegionSize;
  return kErrorSuccess;
}

void MappedView::Unmap() {
  if (data_ != nullptr) ::UnmapViewOfFile(data_);
  data_ = nullptr;
}

std::size_t PageSize() {
  SYSTEM_INFO info{};
  ::GetSystemInfo(&info);
  return info.dwPageSize;
}

const OpenToAllSecurity& OpenToAllSecurityState() {
  return OpenToAll().state;
}

}  // namespace os
