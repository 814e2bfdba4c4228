// Named kernel objects on Linux: one object file per object, whose open-file-description locks
// give the objects the Windows lifetime, and whose content is the object itself (a robust
// process-shared mutex, futex words for semaphores and events, or the shared memory).
#include <fcntl.h>
#include <linux/futex.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>

#include "os/named_objects.h"
#include "os/object_names.h"
#include "os/posix/wait_any_fallback.h"

#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
#endif

namespace os {
namespace {

// Mutex, semaphore and event files are one page; the object sits at offset 0.
constexpr std::size_t kObjectFileSize = 4096;
constexpr std::size_t kMaximumWaitObjects = 64;
// Timed mutex waits go in slices of the wall clock (the only clock pthread_mutex_timedlock
// takes), so a clock step delays a wait by one slice at most.
constexpr std::int64_t kMutexWaitSliceNs = 100'000'000;

// Semaphore words: count (the futex word), maximum, sleeping waiters.
constexpr std::size_t kSemCount = 0, kSemMaximum = 1, kSemSleepers = 2;
// Event words: signalled, manual reset, sequence (the futex word, increased by every set).
constexpr std::size_t kEventSignaled = 0, kEventManual = 1, kEventSequence = 2;

using Word = std::atomic_ref<std::uint32_t>;

}  // namespace

// The process's record of one object file, behind each handle.
struct ObjectFile {
  int fd = -1;
  ObjectKind kind = ObjectKind::kMutex;
  bool named = false;
  std::string path;
  std::size_t file_size = 0;
  void* memory = nullptr;  // mutex, semaphore, event: the object's page

  std::uint32_t* words() const { return static_cast<std::uint32_t*>(memory); }
  pthread_mutex_t* mutex() const { return static_cast<pthread_mutex_t*>(memory); }
};

struct ObjectFactory {
  template <typename Object>
  static Object Make(ObjectFile* file) {
    return Object(file);
  }
  static ObjectFile* FileOf(const ObjectHandle& handle) {
    return static_cast<ObjectFile*>(handle.native());
  }
  static void SetView(MappedView& view, void* data, std::size_t length) {
    view.data_ = data;
    view.length_ = length;
  }
};

namespace {

ObjectFile* FileOf(const ObjectHandle& handle) {
  return ObjectFactory::FileOf(handle);
}

class Deadline {
 public:
  explicit Deadline(std::uint32_t timeout_ms) : infinite_(timeout_ms == kInfiniteWait) {
    ::clock_gettime(CLOCK_MONOTONIC, &at_);
    if (infinite_) return;
    at_.tv_sec += timeout_ms / 1000;
    at_.tv_nsec += static_cast<long>(timeout_ms % 1000) * 1'000'000;
    if (at_.tv_nsec >= 1'000'000'000) {
      at_.tv_sec += 1;
      at_.tv_nsec -= 1'000'000'000;
    }
  }
  bool infinite() const { return infinite_; }
  const timespec* absolute() const { return infinite_ ? nullptr : &at_; }
  // Nanoseconds left, 0 once passed; LLONG_MAX without a deadline.
  std::int64_t RemainingNs() const {
    if (infinite_) return LLONG_MAX;
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    const std::int64_t left =
        (at_.tv_sec - now.tv_sec) * 1'000'000'000LL + (at_.tv_nsec - now.tv_nsec);
    return std::max<std::int64_t>(left, 0);
  }
  bool Passed() const { return RemainingNs() == 0; }

 private:
  bool infinite_;
  timespec at_{};
};

// Waits while *word == expected, until woken or the (monotonic, absolute) deadline. The words
// live in shared mappings, so the futex calls are never process-private.
int FutexWait(std::uint32_t* word, std::uint32_t expected, const timespec* deadline) {
  const long result = ::syscall(SYS_futex, word, FUTEX_WAIT_BITSET, expected, deadline, nullptr,
                                FUTEX_BITSET_MATCH_ANY);
  return result == 0 ? 0 : errno;
}

void FutexWake(std::uint32_t* word, int count) {
  ::syscall(SYS_futex, word, FUTEX_WAKE, count, nullptr, nullptr, 0);
}

// futex_waitv on several words; ENOSYS on kernels before 5.16.
int FutexWaitAny(std::uint32_t* const* words, const std::uint32_t* expected, std::size_t count,
                 const timespec* deadline) {
  futex_waitv waiters[kMaximumWaitObjects] = {};
  for (std::size_t i = 0; i < count; ++i) {
    waiters[i].val = expected[i];
    waiters[i].uaddr = reinterpret_cast<std::uintptr_t>(words[i]);
    waiters[i].flags = FUTEX_32;
  }
  const long result = ::syscall(SYS_futex_waitv, waiters, static_cast<unsigned>(count), 0u,
                                deadline, CLOCK_MONOTONIC);
  return result >= 0 ? 0 : errno;
}

// --- where object files live --------------------------------------------------------------

std::string Root() {
  const char* configured = std::getenv("VELMORA_OBJECT_DIR");
  return configured != nullptr && *configured != '\0' ? configured : "/dev/shm/velmora";
}

std::string Folder(bool global) {
  return Root() + (global ? "/global" : "/local-" + std::to_string(::geteuid()));
}

// The mode is set explicitly: the umask must not narrow who may open the objects.
bool MakeFolder(const std::string& path, mode_t mode) {
  if (::mkdir(path.c_str(), mode) == 0) return ::chmod(path.c_str(), mode) == 0;
  return errno == EEXIST;
}

bool MakeFolders(bool global) {
  return MakeFolder(Root(), 01777) && MakeFolder(Folder(global), global ? 01777 : 0700);
}

// An OFD lock on byte 0, the object's "handle open" mark.
int LockMark(int fd, short type, bool wait) {
  struct flock lock {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = 0;
  lock.l_len = 1;
  for (;;) {
    if (::fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &lock) == 0) return 0;
    if (errno != EINTR) return errno;
  }
}

// Whether `fd` is still the file at `path`: a last holder may have removed it (and a newcomer
// may have created another) between our open and our lock.
bool StillAtPath(int fd, const std::string& path) {
  struct stat opened {
  }, current{};
  if (::fstat(fd, &opened) != 0 || opened.st_nlink == 0) return false;
  if (::stat(path.c_str(), &current) != 0) return false;
  return opened.st_dev == current.st_dev && opened.st_ino == current.st_ino;
}

// glibc keeps the owning thread's id in the mutex.
int OwnerOf(pthread_mutex_t* mutex) {
  return __atomic_load_n(&mutex->__data.__owner, __ATOMIC_RELAXED);
}

// gettid is a system call; a release asks for it every time, so each thread keeps its own.
// A child made by fork starts again from 0 (its forking thread has a new id).
thread_local int cached_thread_id = 0;

int CallingThreadId() {
  if (cached_thread_id == 0) {
    static const bool registered =
        ::pthread_atfork(nullptr, nullptr, [] { cached_thread_id = 0; }) == 0;
    (void)registered;
    cached_thread_id = ::gettid();
  }
  return cached_thread_id;
}

bool OwnedByCallingThread(pthread_mutex_t* mutex) {
  return OwnerOf(mutex) == CallingThreadId();
}

bool OwnedInThisProcess(pthread_mutex_t* mutex) {
  const int owner = OwnerOf(mutex);
  return owner > 0 && ::syscall(SYS_tgkill, ::getpid(), owner, 0) == 0;
}

void ReleaseFile(ObjectFile* file) {
  if (file == nullptr) return;
  if (file->named) {
    if (LockMark(file->fd, F_WRLCK, false) == 0 && StillAtPath(file->fd, file->path)) {
      // The write lock means no other handle is open anywhere: the object ends here.
      ::unlink(file->path.c_str());
    }
    // Dropped explicitly: a view or a kept page still refers to the open file, and the lock
    // would otherwise live as long as that.
    LockMark(file->fd, F_UNLCK, false);
  }
  // An owned mutex keeps its page: the kernel still finds the mutex through its owner's robust
  // list when that thread ends.
  const bool keep_page = file->memory != nullptr && file->kind == ObjectKind::kMutex &&
                         OwnedInThisProcess(file->mutex());
  if (file->memory != nullptr && !keep_page) ::munmap(file->memory, file->file_size);
  ::close(file->fd);
  delete file;
}

struct Acquired {
  ObjectFile* file = nullptr;
  ErrorCode error = kErrorSuccess;
};

mode_t FileMode(ObjectSecurity security) {
  return security == ObjectSecurity::kOpenToAll ? 0666 : 0600;
}

void* MapFile(int fd, std::size_t size) {
  void* memory = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  return memory == MAP_FAILED ? nullptr : memory;
}

ErrorCode MapObjectPage(ObjectFile* file) {
  if (file->kind == ObjectKind::kFileMapping) return kErrorSuccess;
  file->memory = MapFile(file->fd, file->file_size);
  return file->memory == nullptr ? ErrorFromErrno(errno) : kErrorSuccess;
}

std::size_t RoundToPages(std::uint64_t size) {
  const std::uint64_t page = PageSize();
  return static_cast<std::size_t>((size + page - 1) / page * page);
}

// An unnamed object: a memory file nobody else can find, alive while this process holds it.
template <typename Initialise>
Acquired CreateUnnamed(ObjectKind kind, std::size_t file_size, Initialise&& initialise) {
  const int fd = ::memfd_create("velmora-object", MFD_CLOEXEC);
  if (fd < 0) return {nullptr, ErrorFromErrno(errno)};
  auto* file = new ObjectFile;
  file->fd = fd;
  file->kind = kind;
  file->file_size = file_size;
  ErrorCode error = ::ftruncate(fd, static_cast<off_t>(file_size)) == 0 ? MapObjectPage(file)
                                                                        : ErrorFromErrno(errno);
  if (error == kErrorSuccess) error = initialise(file);
  if (error != kErrorSuccess) {
    ReleaseFile(file);
    return {nullptr, error};
  }
  return {file, kErrorSuccess};
}

// Opens the object file and takes its mark. With `create`, a file that nobody holds gets fresh
// content from `initialise` under the write lock, which then becomes a read lock in one step;
// without, a file nobody holds is a leftover and counts as missing. `file_size` 0 takes the
// size of an existing file (file mappings opened without a size).
template <typename Initialise>
Acquired AcquireFile(ObjectKind kind, std::u16string_view name, bool create, std::size_t file_size,
                     ObjectSecurity security, Initialise&& initialise) {
  const ObjectLocation location = LocateObject(kind, name);
  const std::string path = Folder(location.global) + "/" + location.file_name;
  const mode_t mode = FileMode(security);
  bool folders_made = false;
  for (;;) {
    const int fd =
        ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW | (create ? O_CREAT : 0), mode);
    if (fd < 0) {
      if (errno == ENOENT && create && !folders_made) {
        folders_made = true;
        if (MakeFolders(location.global)) continue;
      }
      return {nullptr, ErrorFromErrno(errno)};
    }
    auto* file = new ObjectFile;
    file->fd = fd;
    file->kind = kind;
    file->named = true;
    file->path = path;
    auto fail = [&](ErrorCode error) {
      ::close(fd);
      delete file;
      return Acquired{nullptr, error};
    };

    const int write_lock = LockMark(fd, F_WRLCK, false);
    if (write_lock == 0) {
      // Nobody holds the object.
      if (!StillAtPath(fd, path)) {
        fail(kErrorSuccess);
        continue;
      }
      if (!create) {
        ::unlink(path.c_str());
        return fail(kErrorFileNotFound);
      }
      file->file_size = file_size;
      ErrorCode error = kErrorSuccess;
      if (::ftruncate(fd, 0) != 0 || ::ftruncate(fd, static_cast<off_t>(file_size)) != 0 ||
          ::fchmod(fd, mode) != 0) {
        error = ErrorFromErrno(errno);
      }
      if (error == kErrorSuccess) error = MapObjectPage(file);
      if (error == kErrorSuccess) error = initialise(file);
      if (error != kErrorSuccess) {
        ::unlink(path.c_str());
        if (file->memory != nullptr) ::munmap(file->memory, file->file_size);
        return fail(error);
      }
      LockMark(fd, F_RDLCK, false);  // converts the write lock, atomically
      return {file, kErrorSuccess};
    }
    if (write_lock != EAGAIN && write_lock != EACCES) return fail(ErrorFromErrno(write_lock));

    // Held: wait for the read lock, which also waits out a creator still initialising.
    if (const int read_lock = LockMark(fd, F_RDLCK, true); read_lock != 0) {
      return fail(ErrorFromErrno(read_lock));
    }
    struct stat status {};
    if (!StillAtPath(fd, path) || ::fstat(fd, &status) != 0) {
      fail(kErrorSuccess);
      continue;
    }
    const auto existing_size = static_cast<std::size_t>(status.st_size);
    const std::size_t least = kind == ObjectKind::kFileMapping ? 1 : kObjectFileSize;
    if (existing_size < least) {
      // Its creator died before sizing it; the next round finds it unheld.
      fail(kErrorSuccess);
      continue;
    }
    file->file_size = existing_size;
    if (const ErrorCode error = MapObjectPage(file); error != kErrorSuccess) return fail(error);
    return {file, kErrorAlreadyExists};
  }
}

template <typename Object, typename Initialise>
OpenResult<Object> CreateObject(ObjectKind kind, std::u16string_view name, std::size_t file_size,
                                ObjectSecurity security, Initialise&& initialise) {
  const Acquired acquired = name.empty()
                                ? CreateUnnamed(kind, file_size, initialise)
                                : AcquireFile(kind, name, true, file_size, security, initialise);
  OpenResult<Object> result;
  result.error = acquired.error;
  if (acquired.file != nullptr) result.object = ObjectFactory::Make<Object>(acquired.file);
  return result;
}

template <typename Object>
OpenResult<Object> OpenObject(ObjectKind kind, std::u16string_view name) {
  OpenResult<Object> result;
  if (name.empty()) {
    result.error = kErrorInvalidParameter;
    return result;
  }
  const Acquired acquired = AcquireFile(kind, name, false, 0, ObjectSecurity::kDefault,
                                        [](ObjectFile*) { return kErrorSuccess; });
  if (acquired.file != nullptr) {
    result.object = ObjectFactory::Make<Object>(acquired.file);
  } else {
    result.error = acquired.error;
  }
  return result;
}

WaitResult Failed(ErrorCode error) {
  return {WaitStatus::kFailed, 0, error};
}

// One event's signal, consumed when it is an auto-reset event.
bool TakeSignal(std::uint32_t* words) {
  Word signaled(words[kEventSignaled]);
  if (Word(words[kEventManual]).load() != 0) return signaled.load() != 0;
  std::uint32_t expected = 1;
  return signaled.compare_exchange_strong(expected, 0);
}

}  // namespace

// --- handles -------------------------------------------------------------------------------

void ObjectHandle::Close() {
  ReleaseFile(static_cast<ObjectFile*>(native_));
  native_ = nullptr;
}

// --- mutex ---------------------------------------------------------------------------------

OpenResult<NamedMutex> NamedMutex::Create(std::u16string_view name, bool initial_owner,
                                          ObjectSecurity security) {
  return CreateObject<NamedMutex>(
      ObjectKind::kMutex, name, kObjectFileSize, security, [&](ObjectFile* file) -> ErrorCode {
        pthread_mutexattr_t attributes;
        ::pthread_mutexattr_init(&attributes);
        ::pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED);
        ::pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST);
        ::pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
        int error = ::pthread_mutex_init(file->mutex(), &attributes);
        ::pthread_mutexattr_destroy(&attributes);
        // Taken before anyone else can see the mutex: the creator owns it from the start.
        if (error == 0 && initial_owner) error = ::pthread_mutex_lock(file->mutex());
        return ErrorFromErrno(error);
      });
}

OpenResult<NamedMutex> NamedMutex::Open(std::u16string_view name, ObjectAccess) {
  return OpenObject<NamedMutex>(ObjectKind::kMutex, name);
}

WaitResult NamedMutex::Wait(std::uint32_t timeout_ms) const {
  ObjectFile* file = FileOf(*this);
  if (file == nullptr) return Failed(kErrorInvalidHandle);
  pthread_mutex_t* mutex = file->mutex();
  int result;
  if (timeout_ms == 0) {
    result = ::pthread_mutex_trylock(mutex);
  } else if (timeout_ms == kInfiniteWait) {
    result = ::pthread_mutex_lock(mutex);
  } else {
    const Deadline deadline(timeout_ms);
    do {
      const std::int64_t slice = std::min(deadline.RemainingNs(), kMutexWaitSliceNs);
      timespec until{};
      ::clock_gettime(CLOCK_REALTIME, &until);
      until.tv_nsec += static_cast<long>(slice);
      until.tv_sec += until.tv_nsec / 1'000'000'000;
      until.tv_nsec %= 1'000'000'000;
      result = ::pthread_mutex_timedlock(mutex, &until);
    } while (result == ETIMEDOUT && !deadline.Passed());
  }
  switch (result) {
    case 0:
      return {WaitStatus::kSignaled};
    case EOWNERDEAD:
      // Ours now; made consistent at once so that only this wait reports the death.
      ::pthread_mutex_consistent(mutex);
#if defined(__SANITIZE_THREAD__)
      // The thread sanitizer takes this result of a timed lock for a failure; tell it.
      if (timeout_ms != 0 && timeout_ms != kInfiniteWait) {
        __tsan_mutex_pre_lock(mutex, __tsan_mutex_try_lock);
        __tsan_mutex_post_lock(mutex, __tsan_mutex_try_lock, 0);
      }
#endif
      return {WaitStatus::kAbandoned};
    case EBUSY:
    case ETIMEDOUT:
      return {WaitStatus::kTimeout};
    default:
      return Failed(ErrorFromErrno(result));
  }
}

ErrorCode NamedMutex::Release() const {
  ObjectFile* file = FileOf(*this);
  if (file == nullptr) return kErrorInvalidHandle;
  // Asked before unlocking: only the owner may even try.
  if (!OwnedByCallingThread(file->mutex())) return kErrorNotOwner;
  const int result = ::pthread_mutex_unlock(file->mutex());
  if (result == EPERM) return kErrorNotOwner;
  return ErrorFromErrno(result);
}

// --- semaphore -----------------------------------------------------------------------------

OpenResult<NamedSemaphore> NamedSemaphore::Create(std::u16string_view name,
                                                  std::int32_t initial_count,
                                                  std::int32_t maximum_count,
                                                  ObjectSecurity security) {
  if (maximum_count <= 0 || initial_count < 0 || initial_count > maximum_count) {
    return {NamedSemaphore(), kErrorInvalidParameter};
  }
  return CreateObject<NamedSemaphore>(
      ObjectKind::kSemaphore, name, kObjectFileSize, security, [&](ObjectFile* file) {
        std::uint32_t* words = file->words();
        Word(words[kSemMaximum]).store(static_cast<std::uint32_t>(maximum_count));
        Word(words[kSemSleepers]).store(0);
        Word(words[kSemCount]).store(static_cast<std::uint32_t>(initial_count));
        return kErrorSuccess;
      });
}

OpenResult<NamedSemaphore> NamedSemaphore::Open(std::u16string_view name, ObjectAccess) {
  return OpenObject<NamedSemaphore>(ObjectKind::kSemaphore, name);
}

WaitResult NamedSemaphore::Wait(std::uint32_t timeout_ms) const {
  ObjectFile* file = FileOf(*this);
  if (file == nullptr) return Failed(kErrorInvalidHandle);
  std::uint32_t* words = file->words();
  Word count(words[kSemCount]);
  Word sleepers(words[kSemSleepers]);
  const Deadline deadline(timeout_ms);
  for (;;) {
    std::uint32_t current = count.load();
    while (current > 0) {
      if (count.compare_exchange_weak(current, current - 1)) return {WaitStatus::kSignaled};
    }
    if (timeout_ms == 0 || deadline.Passed()) return {WaitStatus::kTimeout};
    // Counted before the kernel rechecks the word, so a release either sees a sleeper to wake
    // or has already changed the word the kernel compares.
    sleepers.fetch_add(1);
    const int error = FutexWait(&words[kSemCount], 0, deadline.absolute());
    sleepers.fetch_sub(1);
    if (error != 0 && error != EAGAIN && error != EINTR && error != ETIMEDOUT) {
      return Failed(ErrorFromErrno(error));
    }
  }
}

ErrorCode NamedSemaphore::Release(std::int32_t count_to_add, std::int32_t* previous) const {
  ObjectFile* file = FileOf(*this);
  if (file == nullptr) return kErrorInvalidHandle;
  if (count_to_add <= 0) return kErrorInvalidParameter;
  std::uint32_t* words = file->words();
  Word count(words[kSemCount]);
  const std::uint32_t maximum = Word(words[kSemMaximum]).load();
  const auto added = static_cast<std::uint32_t>(count_to_add);
  std::uint32_t current = count.load();
  do {
    if (current > maximum || added > maximum - current) return kErrorTooManyPosts;
  } while (!count.compare_exchange_weak(current, current + added));
  if (previous != nullptr) *previous = static_cast<std::int32_t>(current);
  if (Word(words[kSemSleepers]).load() > 0) {
    FutexWake(&words[kSemCount], count_to_add);
  }
  return kErrorSuccess;
}

// --- event ---------------------------------------------------------------------------------

OpenResult<NamedEvent> NamedEvent::Create(std::u16string_view name, bool manual_reset,
                                          bool initially_set, ObjectSecurity security) {
  return CreateObject<NamedEvent>(ObjectKind::kEvent, name, kObjectFileSize, security,
                                  [&](ObjectFile* file) {
                                    std::uint32_t* words = file->words();
                                    Word(words[kEventManual]).store(manual_reset ? 1 : 0);
                                    Word(words[kEventSequence]).store(0);
                                    Word(words[kEventSignaled]).store(initially_set ? 1 : 0);
                                    return kErrorSuccess;
                                  });
}

OpenResult<NamedEvent> NamedEvent::Open(std::u16string_view name, ObjectAccess) {
  return OpenObject<NamedEvent>(ObjectKind::kEvent, name);
}

ErrorCode NamedEvent::Set() const {
  ObjectFile* file = FileOf(*this);
  if (file == nullptr) return kErrorInvalidHandle;
  std::uint32_t* words = file->words();
  // Signalled before the sequence moves: a waiter that saw the old sequence and no signal is
  // refused by the kernel's compare, and every woken waiter finds the signal.
  Word(words[kEventSignaled]).store(1);
  Word(words[kEventSequence]).fetch_add(1);
  FutexWake(&words[kEventSequence], INT_MAX);
  return kErrorSuccess;
}

ErrorCode NamedEvent::Reset() const {
  ObjectFile* file = FileOf(*this);
  if (file == nullptr) return kErrorInvalidHandle;
  Word(file->words()[kEventSignaled]).store(0);
  return kErrorSuccess;
}

WaitResult NamedEvent::Wait(std::uint32_t timeout_ms) const {
  const NamedEvent* self = this;
  return WaitForAnyEvent(std::span<const NamedEvent* const>(&self, 1), timeout_ms);
}

namespace {

// Set once futex_waitv turned out to be missing.
std::atomic<bool>& NoWaitv() {
  static std::atomic<bool> missing{false};
  return missing;
}

}  // namespace

void UseWaitAnyFallback(bool use) {
  NoWaitv().store(use);
}

WaitResult WaitForAnyEvent(std::span<const NamedEvent* const> events, std::uint32_t timeout_ms) {
  if (events.empty() || events.size() > kMaximumWaitObjects) return Failed(kErrorInvalidParameter);
  std::uint32_t* words[kMaximumWaitObjects];
  std::uint32_t* sequences[kMaximumWaitObjects];
  for (std::size_t i = 0; i < events.size(); ++i) {
    ObjectFile* file = events[i] != nullptr ? FileOf(*events[i]) : nullptr;
    if (file == nullptr) return Failed(kErrorInvalidHandle);
    words[i] = file->words();
    sequences[i] = &words[i][kEventSequence];
  }
  const Deadline deadline(timeout_ms);
  for (;;) {
    // Sequences first: a set after this read changes one of them, and the kernel's compare
    // refuses to sleep.
    std::uint32_t seen[kMaximumWaitObjects];
    for (std::size_t i = 0; i < events.size(); ++i) seen[i] = Word(*sequences[i]).load();
    for (std::size_t i = 0; i < events.size(); ++i) {
      if (TakeSignal(words[i])) return {WaitStatus::kSignaled, i};
    }
    if (timeout_ms == 0 || deadline.Passed()) return {WaitStatus::kTimeout};
    int error;
    if (events.size() == 1) {
      error = FutexWait(sequences[0], seen[0], deadline.absolute());
    } else if (!NoWaitv().load(std::memory_order_relaxed)) {
      error = FutexWaitAny(sequences, seen, events.size(), deadline.absolute());
      if (error == ENOSYS) NoWaitv().store(true, std::memory_order_relaxed);
    } else {
      // Kernels without futex_waitv: short sleeps on the first event between looks at all.
      Deadline slice(1);
      const timespec* until =
          deadline.RemainingNs() < 1'000'000 ? deadline.absolute() : slice.absolute();
      error = FutexWait(sequences[0], seen[0], until);
    }
    if (error != 0 && error != EAGAIN && error != EINTR && error != ETIMEDOUT && error != ENOSYS) {
      return Failed(ErrorFromErrno(error));
    }
  }
}

WaitResult ReleaseMutexAndWait(const NamedMutex& mutex, const NamedSemaphore& semaphore,
                               std::uint32_t timeout_ms) {
  if (!semaphore.valid()) return Failed(kErrorInvalidHandle);
  if (const ErrorCode error = mutex.Release(); error != kErrorSuccess) return Failed(error);
  return semaphore.Wait(timeout_ms);
}

// --- file mapping --------------------------------------------------------------------------

OpenResult<FileMapping> FileMapping::Create(std::u16string_view name, std::uint64_t size,
                                            ObjectSecurity security) {
  if (size == 0) return {FileMapping(), kErrorInvalidParameter};
  // Whole pages, so that every byte of the view (VirtualQuery's page-rounded size) is shared.
  return CreateObject<FileMapping>(ObjectKind::kFileMapping, name, RoundToPages(size), security,
                                   [](ObjectFile*) { return kErrorSuccess; });
}

OpenResult<FileMapping> FileMapping::Open(std::u16string_view name) {
  return OpenObject<FileMapping>(ObjectKind::kFileMapping, name);
}

OpenResult<MappedView> MappedView::Map(const FileMapping& mapping) {
  OpenResult<MappedView> result;
  ObjectFile* file = FileOf(mapping);
  if (file == nullptr) {
    result.error = kErrorInvalidHandle;
    return result;
  }
  void* data = MapFile(file->fd, file->file_size);
  if (data == nullptr) {
    result.error = ErrorFromErrno(errno);
    return result;
  }
  ObjectFactory::SetView(result.object, data, file->file_size);
  return result;
}

ErrorCode MappedView::QueryRegionSize(std::size_t& size) const {
  if (data_ == nullptr) return kErrorInvalidParameter;
  size = RoundToPages(length_);
  return kErrorSuccess;
}

void MappedView::Unmap() {
  if (data_ == nullptr) return;
  ::munmap(data_, length_);
  data_ = nullptr;
  length_ = 0;
}

std::size_t PageSize() {
  static const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  return page;
}

const OpenToAllSecurity& OpenToAllSecurityState() {
  static const OpenToAllSecurity state{};
  return state;
}

}  // namespace os
