// The Linux named objects against the raw primitives they are built on, measured in one run so
// that the ratios compare like with like on a busy machine:
//   - uncontended named-mutex lock + unlock vs a plain process-shared pthread mutex;
//   - semaphore post-to-wake between two processes (ping-pong) vs raw futex words;
//   - event set-to-wake between two processes (ping-pong) vs raw futex words.
// The second process is this program again, started with --peer.
#include <linux/futex.h>
#include <pthread.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "os/child_process.h"
#include "os/named_objects.h"
#include "os/paths.h"
#include "os/text.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kMutexRuns = 7;
constexpr int kMutexIterations = 2'000'000;
constexpr int kWarmUpTrips = 2'000;
constexpr int kMeasuredTrips = 20'000;

std::u16string Wide(const std::string& text) {
  return os::Utf8ToUtf16(text);
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

double Percentile(std::vector<double> values, double fraction) {
  std::sort(values.begin(), values.end());
  return values[static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1))];
}

// --- raw futex words, the baseline of the cross-process wake-ups ------------------------------

void RawSignal(std::uint32_t* word) {
  std::atomic_ref<std::uint32_t>(*word).store(1);
  ::syscall(SYS_futex, word, FUTEX_WAKE, 1, nullptr, nullptr, 0);
}

void RawWait(std::uint32_t* word) {
  std::atomic_ref<std::uint32_t> flag(*word);
  while (flag.exchange(0) == 0) {
    ::syscall(SYS_futex, word, FUTEX_WAIT, 0, nullptr, nullptr, 0);
  }
}

// The two directions of a ping-pong, for each kind of primitive.
struct Channel {
  os::NamedSemaphore sem_ping, sem_pong;
  os::NamedEvent event_ping, event_pong;
  os::FileMapping raw_mapping;
  os::MappedView raw_view;

  std::uint32_t* raw(int index) const {
    return static_cast<std::uint32_t*>(raw_view.data()) + index;
  }
};

bool OpenChannel(const std::string& base, Channel& channel) {
  const auto sec = os::ObjectSecurity::kOpenToAll;
  auto a = os::NamedSemaphore::Create(Wide(base + ".sem.ping"), 0, 1 << 30, sec);
  auto b = os::NamedSemaphore::Create(Wide(base + ".sem.pong"), 0, 1 << 30, sec);
  auto c = os::NamedEvent::Create(Wide(base + ".event.ping"), false, false, sec);
  auto d = os::NamedEvent::Create(Wide(base + ".event.pong"), false, false, sec);
  auto e = os::FileMapping::Create(Wide(base + ".raw"), 64, sec);
  if (!a.ok() || !b.ok() || !c.ok() || !d.ok() || !e.ok()) return false;
  channel.sem_ping = std::move(a.object);
  channel.sem_pong = std::move(b.object);
  channel.event_ping = std::move(c.object);
  channel.event_pong = std::move(d.object);
  channel.raw_mapping = std::move(e.object);
  auto view = os::MappedView::Map(channel.raw_mapping);
  if (!view.ok()) return false;
  channel.raw_view = std::move(view.object);
  return true;
}

enum class Kind { kRaw, kSemaphore, kEvent };

void Ping(const Channel& channel, Kind kind) {
  switch (kind) {
    case Kind::kRaw:
      RawSignal(channel.raw(0));
      RawWait(channel.raw(1));
      break;
    case Kind::kSemaphore:
      channel.sem_ping.Release(1);
      channel.sem_pong.Wait(os::kInfiniteWait);
      break;
    case Kind::kEvent:
      channel.event_ping.Set();
      channel.event_pong.Wait(os::kInfiniteWait);
      break;
  }
}

void Pong(const Channel& channel, Kind kind) {
  switch (kind) {
    case Kind::kRaw:
      RawWait(channel.raw(0));
      RawSignal(channel.raw(1));
      break;
    case Kind::kSemaphore:
      channel.sem_ping.Wait(os::kInfiniteWait);
      channel.sem_pong.Release(1);
      break;
    case Kind::kEvent:
      channel.event_ping.Wait(os::kInfiniteWait);
      channel.event_pong.Set();
      break;
  }
}

int RunPeer(const std::string& base) {
  Channel channel;
  if (!OpenChannel(base, channel)) return 1;
  // The same order of rounds as the measuring side.
  for (const Kind kind :
       {Kind::kRaw, Kind::kSemaphore, Kind::kEvent, Kind::kRaw, Kind::kSemaphore, Kind::kEvent}) {
    for (int i = 0; i < kWarmUpTrips + kMeasuredTrips; ++i) Pong(channel, kind);
  }
  return 0;
}

// Round trips in microseconds.
std::vector<double> MeasureTrips(const Channel& channel, Kind kind) {
  for (int i = 0; i < kWarmUpTrips; ++i) Ping(channel, kind);
  std::vector<double> trips;
  trips.reserve(kMeasuredTrips);
  for (int i = 0; i < kMeasuredTrips; ++i) {
    const auto start = Clock::now();
    Ping(channel, kind);
    trips.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  return trips;
}

// --- uncontended mutex -----------------------------------------------------------------------

template <typename LockUnlock>
double NanosecondsPerPair(LockUnlock&& lock_unlock) {
  std::vector<double> runs;
  for (int run = 0; run < kMutexRuns; ++run) {
    const auto start = Clock::now();
    for (int i = 0; i < kMutexIterations; ++i) lock_unlock();
    runs.push_back(std::chrono::duration<double, std::nano>(Clock::now() - start).count() /
                   kMutexIterations);
  }
  return Median(runs);
}

void BenchMutex() {
  void* page = ::mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  auto* plain = static_cast<pthread_mutex_t*>(page);
  pthread_mutexattr_t attributes;
  ::pthread_mutexattr_init(&attributes);
  ::pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED);
  ::pthread_mutex_init(plain, &attributes);
  const double raw = NanosecondsPerPair([&] {
    ::pthread_mutex_lock(plain);
    ::pthread_mutex_unlock(plain);
  });

  auto named = os::NamedMutex::Create(u"Local\\bench.mutex", false, os::ObjectSecurity::kOpenToAll);
  const double ours = NanosecondsPerPair([&] {
    named.object.Wait(os::kInfiniteWait);
    named.object.Release();
  });
  std::printf("| uncontended mutex lock + unlock | %.1f ns | %.1f ns | %.2f | <= 2 |\n", ours, raw,
              ours / raw);
  ::munmap(page, 4096);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--peer") == 0) return RunPeer(argv[2]);

  char folder[] = "/dev/shm/velmora-bench-XXXXXX";
  if (::mkdtemp(folder) == nullptr) return 1;
  ::setenv("VELMORA_OBJECT_DIR", folder, 1);
  const std::string base = "Local\\bench-" + std::to_string(::getpid());

  std::printf("| measure | named objects | raw primitive | ratio | goal |\n");
  std::printf("|---|---|---|---|---|\n");
  BenchMutex();

  Channel channel;
  if (!OpenChannel(base, channel)) return 2;
  auto peer = os::ChildProcess::Spawn(os::ModulePath(), {u"--peer", Wide(base)});
  if (!peer) return 3;
  std::vector<double> raw, semaphore, event;
  // Two interleaved rounds of each, so that a burst of load elsewhere does not favour one.
  for (int round = 0; round < 2; ++round) {
    for (const Kind kind : {Kind::kRaw, Kind::kSemaphore, Kind::kEvent}) {
      auto trips = MeasureTrips(channel, kind);
      auto& into = kind == Kind::kRaw ? raw : kind == Kind::kSemaphore ? semaphore : event;
      into.insert(into.end(), trips.begin(), trips.end());
    }
  }
  peer->Wait(os::ChildProcess::kInfinite);

  const double raw_median = Median(raw);
  std::printf(
      "| semaphore post to wake, other process (round trip median / p90) | %.1f / %.1f us | "
      "%.1f / %.1f us | %.2f | - |\n",
      Median(semaphore), Percentile(semaphore, 0.9), raw_median, Percentile(raw, 0.9),
      Median(semaphore) / raw_median);
  std::printf(
      "| event set to wake, other process (round trip median / p90) | %.1f / %.1f us | "
      "%.1f / %.1f us | %.2f | <= 1.5 |\n",
      Median(event), Percentile(event, 0.9), raw_median, Percentile(raw, 0.9),
      Median(event) / raw_median);

  channel = Channel();
  std::filesystem::remove_all(folder);
  return 0;
}
