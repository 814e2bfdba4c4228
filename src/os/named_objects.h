#pragma once

// Named kernel objects shared between processes: mutexes, counting semaphores, events and
// pagefile-backed file mappings, with the Windows semantics the transport, the IPC layer and the
// machine identity rely on. Windows calls the real kernel objects; Linux keeps one object file per
// object under $VELMORA_OBJECT_DIR (default /dev/shm/velmora), alive exactly while a handle to it
// is open in any process, crashed processes included.
//
// Names: "Global\name" is machine-wide, "Local\name" and names without a prefix belong to the
// session (on Linux a session is a user). An empty name makes an unnamed object.
// On Linux each kind has its own names; Windows fails with 6 when another kind holds the name.
//
// Handles are move-only owners closed by their destructors. Their operations are const and may
// be called from any thread, as with Windows handles; closing one while another thread uses it
// is not allowed. Failures are results, with Windows error numbers (os/error.h).

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "os/error.h"

namespace os {

// Waits without a time-out (INFINITE).
inline constexpr std::uint32_t kInfiniteWait = 0xFFFFFFFF;

// Who may open an object that a create call makes.
enum class ObjectSecurity {
  kDefault,    // the creating account: default security on Windows, mode 0600 on Linux
  kOpenToAll,  // every account: a null DACL on Windows, mode 0666 on Linux
};

// What an open-existing call asks for. On Linux every open gets read and write access.
enum class ObjectAccess {
  kAll,          // MUTEX_ALL_ACCESS, EVENT_ALL_ACCESS, SEMAPHORE_ALL_ACCESS
  kSynchronize,  // SYNCHRONIZE: enough to wait
};

// How a wait ended. The values are those the Windows wait functions return.
enum class WaitStatus : std::uint32_t {
  kSignaled = 0x00000000,   // WAIT_OBJECT_0
  kAbandoned = 0x00000080,  // WAIT_ABANDONED: the owner of the mutex died; the caller owns it now
  kTimeout = 0x00000102,    // WAIT_TIMEOUT
  kFailed = 0xFFFFFFFF,     // WAIT_FAILED, with `error`
};

struct WaitResult {
  WaitStatus status = WaitStatus::kFailed;
  std::size_t index = 0;            // the object that ended the wait (WaitForAnyEvent)
  ErrorCode error = kErrorSuccess;  // why a wait failed

  bool signaled() const { return status == WaitStatus::kSignaled; }
  // The value the Windows call returns: WAIT_OBJECT_0 + index, WAIT_ABANDONED + index, ...
  std::uint32_t code() const {
    if (status == WaitStatus::kSignaled || status == WaitStatus::kAbandoned) {
      return static_cast<std::uint32_t>(status) + static_cast<std::uint32_t>(index);
    }
    return static_cast<std::uint32_t>(status);
  }
};

// The outcome of a create or open call: `object` is valid on success. A create call that opened
// an existing object instead succeeds with `error` = kErrorAlreadyExists (183), as GetLastError
// reads after CreateMutexW and its kin; its creation parameters were then ignored.
template <typename Object>
struct OpenResult {
  Object object;
  ErrorCode error = kErrorSuccess;

  bool ok() const { return object.valid(); }
  bool existed() const { return ok() && error == kErrorAlreadyExists; }
};

// One open kernel object. The backend's handle is a HANDLE on Windows and the process's record
// of the object file (descriptor, lock, mapping) on Linux.
class ObjectHandle {
 public:
  ObjectHandle() = default;
  ~ObjectHandle() { Close(); }
  ObjectHandle(ObjectHandle&& other) noexcept : native_(other.native_) { other.native_ = nullptr; }
  ObjectHandle& operator=(ObjectHandle&& other) noexcept {
    if (this != &other) {
      Close();
      native_ = other.native_;
      other.native_ = nullptr;
    }
    return *this;
  }
  ObjectHandle(const ObjectHandle&) = delete;
  ObjectHandle& operator=(const ObjectHandle&) = delete;

  bool valid() const { return native_ != nullptr; }
  // CloseHandle. The object goes when no handle to it is left in any process.
  void Close();
  void* native() const { return native_; }

 protected:
  explicit ObjectHandle(void* native) : native_(native) {}

 private:
  void* native_ = nullptr;
};

// A recursive mutex owned by a thread (CreateMutexW).
class NamedMutex : public ObjectHandle {
 public:
  NamedMutex() = default;

  // Creates the mutex, owned by the calling thread when `initial_owner`, or opens the existing
  // one of that name (which is then never taken by this call).
  static OpenResult<NamedMutex> Create(std::u16string_view name, bool initial_owner,
                                       ObjectSecurity security);
  // OpenMutexW: kErrorFileNotFound (2) when no handle to such a mutex is open anywhere.
  static OpenResult<NamedMutex> Open(std::u16string_view name,
                                     ObjectAccess access = ObjectAccess::kAll);

  // The owning thread may wait again and must release as often. kAbandoned: the owning thread
  // died (or its process exited or, on Linux, exec'd) holding it; the caller owns it now, once,
  // and later waits are normal again.
  WaitResult Wait(std::uint32_t timeout_ms) const;
  // ReleaseMutex: kErrorNotOwner (288) unless the calling thread owns it.
  ErrorCode Release() const;

 private:
  explicit NamedMutex(void* native) : ObjectHandle(native) {}
  friend struct ObjectFactory;
};

// A counting semaphore (CreateSemaphoreW).
class NamedSemaphore : public ObjectHandle {
 public:
  NamedSemaphore() = default;

  // kErrorInvalidParameter (87) unless 0 <= initial_count <= maximum_count and 0 < maximum.
  static OpenResult<NamedSemaphore> Create(std::u16string_view name, std::int32_t initial_count,
                                           std::int32_t maximum_count, ObjectSecurity security);
  static OpenResult<NamedSemaphore> Open(std::u16string_view name,
                                         ObjectAccess access = ObjectAccess::kAll);

  // Takes one count, waiting up to `timeout_ms` for it.
  WaitResult Wait(std::uint32_t timeout_ms) const;
  // ReleaseSemaphore: adds `count` (> 0) and wakes waiters; kErrorTooManyPosts (298), changing
  // nothing, when the count would pass the maximum. `previous` receives the count before.
  ErrorCode Release(std::int32_t count, std::int32_t* previous = nullptr) const;

 private:
  explicit NamedSemaphore(void* native) : ObjectHandle(native) {}
  friend struct ObjectFactory;
};

// A manual- or auto-reset event (CreateEventW). A wait on an auto-reset event consumes the
// signal, so one set releases one wait.
class NamedEvent : public ObjectHandle {
 public:
  NamedEvent() = default;

  static OpenResult<NamedEvent> Create(std::u16string_view name, bool manual_reset,
                                       bool initially_set, ObjectSecurity security);
  // OpenEventW.
  static OpenResult<NamedEvent> Open(std::u16string_view name,
                                     ObjectAccess access = ObjectAccess::kAll);

  ErrorCode Set() const;
  ErrorCode Reset() const;
  WaitResult Wait(std::uint32_t timeout_ms) const;

 private:
  explicit NamedEvent(void* native) : ObjectHandle(native) {}
  friend struct ObjectFactory;
};

// WaitForMultipleObjects on 1 to 64 events, for any of them: `index` is the lowest signalled
// event, and only that one's auto-reset signal is consumed. kErrorInvalidParameter (87) for an
// empty or too long list.
WaitResult WaitForAnyEvent(std::span<const NamedEvent* const> events, std::uint32_t timeout_ms);

// Releases `mutex` (owned by the calling thread) and waits for `semaphore`, as
// SignalObjectAndWait. Windows does both in one kernel step; Linux releases, then waits, which
// loses nothing because a post made in between stays counted by the semaphore.
// kFailed with kErrorNotOwner (288), without waiting, when the mutex is not the caller's.
WaitResult ReleaseMutexAndWait(const NamedMutex& mutex, const NamedSemaphore& semaphore,
                               std::uint32_t timeout_ms);

// Shared memory backed by the paging file (CreateFileMappingW on INVALID_HANDLE_VALUE,
// PAGE_READWRITE | SEC_COMMIT). A new mapping is zero-filled.
class FileMapping : public ObjectHandle {
 public:
  FileMapping() = default;

  // Creates a mapping of `size` bytes, or opens the existing one of that name, which keeps the
  // size its creator gave it. kErrorInvalidParameter (87) for size 0.
  static OpenResult<FileMapping> Create(std::u16string_view name, std::uint64_t size,
                                        ObjectSecurity security);
  // OpenFileMappingW for reading and writing.
  static OpenResult<FileMapping> Open(std::u16string_view name);

 private:
  explicit FileMapping(void* native) : ObjectHandle(native) {}
  friend struct ObjectFactory;
};

// A read-write view of a whole file mapping (MapViewOfFile, FILE_MAP_ALL_ACCESS), unmapped by
// its destructor. A view stays usable after the mapping's handles are closed, but the name goes
// with the last handle: later opens fail with 2 and later creates get a fresh mapping.
class MappedView {
 public:
  MappedView() = default;
  ~MappedView() { Unmap(); }
  MappedView(MappedView&& other) noexcept : data_(other.data_), length_(other.length_) {
    other.data_ = nullptr;
    other.length_ = 0;
  }
  MappedView& operator=(MappedView&& other) noexcept {
    if (this != &other) {
      Unmap();
      data_ = other.data_;
      length_ = other.length_;
      other.data_ = nullptr;
      other.length_ = 0;
    }
    return *this;
  }
  MappedView(const MappedView&) = delete;
  MappedView& operator=(const MappedView&) = delete;

  static OpenResult<MappedView> Map(const FileMapping& mapping);

  bool valid() const { return data_ != nullptr; }
  void* data() const { return data_; }
  // VirtualQuery's region size for the view: the mapping's size rounded up to whole pages.
  ErrorCode QueryRegionSize(std::size_t& size) const;
  // UnmapViewOfFile.
  void Unmap();

 private:
  void* data_ = nullptr;
  std::size_t length_ = 0;
  friend struct ObjectFactory;
};

// The size of a memory page (4096 on x64 Windows and Linux).
std::size_t PageSize();

// The process's open-to-all security (ObjectSecurity::kOpenToAll), built once on first use. On
// Windows building it can fail; objects are then created with default security, and
// `failed_call` names the call that failed ("InitializeSecurityDescriptor" or
// "SetSecurityDescriptorDacl") with its error. Linux always has it.
struct OpenToAllSecurity {
  bool available = true;
  const char* failed_call = nullptr;
  ErrorCode error = kErrorSuccess;
};
const OpenToAllSecurity& OpenToAllSecurityState();

}  // namespace os
