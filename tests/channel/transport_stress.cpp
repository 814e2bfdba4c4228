// Many processes on one channel: senders send messages of random length (1 byte to 64 KiB, spread
// evenly over the powers of two), each carrying its sender, its sequence number and a checksum;
// every receiver must get every message once, in each sender's order, intact. At the end every
// chunk of every pool must be free again.
//
//   transport_stress [--messages N] [--senders S] [--receivers R] [--threads] [--seed X]
//
// N is the total over all senders (default 20000). --threads runs the senders and receivers as
// threads of one process, each with its own channel object (for ThreadSanitizer). Exit code 0
// when nothing was lost, duplicated or corrupted.

#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "os/child_process.h"
#include "os/named_objects.h"
#include "os/paths.h"
#include "os/process_info.h"
#include "os/text.h"
#include "transport/chunk_storage.h"
#include "transport/limits.h"
#include "transport/message.h"

namespace {

constexpr std::uint32_t kSendWaitMs = 10000;
constexpr std::uint32_t kReceiveWaitMs = 200;
constexpr int kIdleLimitMs = 30000;
constexpr std::size_t kHeaderSize = 16;
constexpr std::size_t kMaxSize = 65536;

struct Options {
  std::uint64_t messages = 20000;
  std::uint32_t senders = 4;
  std::uint32_t receivers = 3;
  bool threads = false;
  std::uint64_t seed = 1;
  std::string channel;
  std::uint32_t index = 0;  // of the sender or receiver
};

std::uint64_t Mix(std::uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

std::uint64_t Checksum(const std::uint8_t* data, std::size_t size, std::uint64_t seed) {
  std::uint64_t h = Mix(seed ^ size);
  std::size_t i = 0;
  for (; i + 8 <= size; i += 8) {
    std::uint64_t word;
    std::memcpy(&word, data + i, 8);
    h = (h ^ word) * 0x100000001B3ull;
    h ^= h >> 29;
  }
  for (; i < size; ++i) h = (h ^ data[i]) * 0x100000001B3ull;
  return Mix(h);
}

// Sender s, message n, of `size` bytes. From 16 bytes on: sender, sequence number, checksum of
// the rest, then pseudo-random bytes. Below: sender (2 bits) and the sequence number's low 6
// bits in the first byte, then checksum bytes of all three.
void Compose(std::vector<std::uint8_t>& out, std::uint32_t sender, std::uint32_t seq,
             std::size_t size) {
  out.resize(size);
  if (size >= kHeaderSize) {
    std::uint64_t state = (std::uint64_t{sender} << 32) | seq;
    for (std::size_t i = kHeaderSize; i < size; i += 8) {
      const std::uint64_t word = Mix(state++);
      std::memcpy(out.data() + i, &word, std::min<std::size_t>(8, size - i));
    }
    const std::uint64_t sum = Checksum(out.data() + kHeaderSize, size - kHeaderSize, seq);
    std::memcpy(out.data(), &sender, 4);
    std::memcpy(out.data() + 4, &seq, 4);
    std::memcpy(out.data() + 8, &sum, 8);
  } else {
    out[0] = static_cast<std::uint8_t>((sender << 6) | (seq & 0x3F));
    const std::uint64_t sum = Mix((std::uint64_t{sender} << 40) ^ (std::uint64_t{seq} << 8) ^ size);
    for (std::size_t i = 1; i < size; ++i) out[i] = static_cast<std::uint8_t>(Mix(sum + i));
  }
}

std::size_t RandomSize(std::mt19937_64& random) {
  std::uniform_real_distribution<double> exponent(0.0, 16.0);
  return std::clamp<std::size_t>(static_cast<std::size_t>(std::exp2(exponent(random))), 1,
                                 kMaxSize);
}

std::uint64_t PerSender(const Options& o) {
  return o.messages / o.senders;
}

std::string SemaphoreName(const Options& o) {
  return "Local\\" + o.channel + "-ready";
}

int RunSender(const Options& o) {
  transport::channel_ptr channel(transport::channel_open(o.channel, false));
  if (!channel->connect_sender()) {
    std::fprintf(stderr, "sender %u: no ring\n", o.index);
    return 1;
  }
  std::mt19937_64 random(Mix(o.seed) ^ o.index);
  std::vector<std::uint8_t> message;
  for (std::uint64_t n = 0; n < PerSender(o); ++n) {
    Compose(message, o.index, static_cast<std::uint32_t>(n), RandomSize(random));
    if (!transport::send(channel.get(), message.data(), message.size(), kSendWaitMs)) {
      std::fprintf(stderr, "sender %u: send %" PRIu64 " failed\n", o.index, n);
      return 1;
    }
  }
  return 0;
}

struct ReceiverCounts {
  std::uint64_t received = 0;
  std::uint64_t views = 0;
  std::uint64_t errors = 0;
};

// Checks one message against the next expected one of its sender.
bool Verify(const Options& o, const std::uint8_t* data, std::size_t size,
            std::vector<std::uint32_t>& next, std::vector<std::uint8_t>& scratch,
            std::string& why) {
  std::uint32_t sender;
  std::uint32_t seq;
  if (size >= kHeaderSize) {
    std::memcpy(&sender, data, 4);
    std::memcpy(&seq, data + 4, 4);
  } else {
    sender = data[0] >> 6;
    seq = sender < next.size() ? next[sender] : 0;
    if ((seq & 0x3F) != (data[0] & 0x3F)) {
      why = "short message out of sequence";
      return false;
    }
  }
  if (sender >= o.senders) {
    why = "unknown sender " + std::to_string(sender);
    return false;
  }
  if (seq != next[sender]) {
    why = "sender " + std::to_string(sender) + ": got " + std::to_string(seq) + ", expected " +
          std::to_string(next[sender]);
    next[sender] = seq + 1;
    return false;
  }
  ++next[sender];
  if (size >= kHeaderSize) {
    std::uint64_t sum;
    std::memcpy(&sum, data + 8, 8);
    if (sum != Checksum(data + kHeaderSize, size - kHeaderSize, seq)) {
      why = "checksum mismatch, " + std::to_string(size) + " bytes";
      return false;
    }
    return true;
  }
  Compose(scratch, sender, seq, size);
  if (std::memcmp(scratch.data(), data, size) != 0) {
    why = "short message corrupted";
    return false;
  }
  return true;
}

int RunReceiver(const Options& o, const std::function<void()>& ready) {
  transport::channel_ptr channel(transport::channel_open(o.channel, false));
  if (!channel->connect_receiver()) {
    std::fprintf(stderr, "receiver %u: cannot connect\n", o.index);
    return 1;
  }
  ready();
  const std::uint64_t expected = PerSender(o) * o.senders;
  std::vector<std::uint32_t> next(o.senders, 0);
  std::vector<std::uint8_t> scratch;
  ReceiverCounts counts;
  auto last = std::chrono::steady_clock::now();
  while (counts.received < expected) {
    const transport::received_buffer message = transport::recv(channel.get(), kReceiveWaitMs);
    if (message.empty()) {
      if (std::chrono::steady_clock::now() - last > std::chrono::milliseconds(kIdleLimitMs)) {
        std::fprintf(stderr, "receiver %u: nothing for %d ms after %" PRIu64 " messages\n", o.index,
                     kIdleLimitMs, counts.received);
        return 1;
      }
      continue;
    }
    last = std::chrono::steady_clock::now();
    ++counts.received;
    if (message.is_chunk_view()) ++counts.views;
    std::string why;
    if (!Verify(o, message.data(), message.size(), next, scratch, why)) {
      if (++counts.errors <= 10) std::fprintf(stderr, "receiver %u: %s\n", o.index, why.c_str());
    }
  }
  std::printf("receiver %u: %" PRIu64 " messages (%" PRIu64 " as chunk views), %" PRIu64
              " errors\n",
              o.index, counts.received, counts.views, counts.errors);
  return counts.errors == 0 ? 0 : 1;
}

// Every chunk of every pool the run could have used is free again.
int CheckPools() {
  int leaked = 0;
  for (std::size_t size = transport::kRecordDataLength + 1; size <= kMaxSize;
       size += transport::kChunkGranule) {
    const std::size_t chunk_size = transport::chunk_size_for(size);
    void* pool = transport::chunk_storages(chunk_size, transport::pool_access::kOpenExisting);
    if (pool == nullptr) continue;
    auto& header = *static_cast<transport::pool_header*>(pool);
    std::uint32_t free_chunks = 0;
    for (std::uint8_t id = header.cursor; id < transport::kChunkCount && free_chunks <= 32;
         id = header.free_list[id]) {
      ++free_chunks;
    }
    if (free_chunks != transport::kChunkCount) {
      std::fprintf(stderr, "pool %zu: %u of 32 chunks free\n", chunk_size, free_chunks);
      ++leaked;
    }
  }
  return leaked;
}

std::optional<Options> Parse(int argc, char** argv, std::string& role) {
  Options o;
  o.channel = "stress-" + std::to_string(os::CurrentProcessId());
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const auto value = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
    if (arg == "--messages") {
      o.messages = std::stoull(value());
    } else if (arg == "--senders") {
      o.senders = static_cast<std::uint32_t>(std::stoul(value()));
    } else if (arg == "--receivers") {
      o.receivers = static_cast<std::uint32_t>(std::stoul(value()));
    } else if (arg == "--seed") {
      o.seed = std::stoull(value());
    } else if (arg == "--threads") {
      o.threads = true;
    } else if (arg == "--role") {
      role = value();
    } else if (arg == "--channel") {
      o.channel = value();
    } else if (arg == "--index") {
      o.index = static_cast<std::uint32_t>(std::stoul(value()));
    } else {
      std::fprintf(stderr, "unknown argument %s\n", arg.c_str());
      return std::nullopt;
    }
  }
  if (o.senders == 0 || o.senders > 4 || o.receivers == 0 || o.receivers > 32) {
    std::fprintf(stderr, "1 to 4 senders, 1 to 32 receivers\n");
    return std::nullopt;
  }
  return o;
}

std::vector<std::u16string> ChildArguments(const Options& o, const char* role,
                                           std::uint32_t index) {
  std::vector<std::string> args = {"--role",      role,
                                   "--channel",   o.channel,
                                   "--index",     std::to_string(index),
                                   "--messages",  std::to_string(o.messages),
                                   "--senders",   std::to_string(o.senders),
                                   "--receivers", std::to_string(o.receivers),
                                   "--seed",      std::to_string(o.seed)};
  std::vector<std::u16string> wide;
  for (const auto& a : args) wide.push_back(os::Utf8ToUtf16(a));
  return wide;
}

// Pools for every size a sender may use, held for the whole run so they can be checked at the
// end.
void HoldPools() {
  for (std::size_t size = transport::kRecordDataLength + 1; size <= kMaxSize;
       size += transport::kChunkGranule) {
    transport::chunk_storages(transport::chunk_size_for(size));
  }
}

int RunWithThreads(const Options& o) {
  HoldPools();
  std::atomic<std::uint32_t> ready{0};
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (std::uint32_t r = 0; r < o.receivers; ++r) {
    Options mine = o;
    mine.index = r;
    threads.emplace_back([mine, &ready, &failures] {
      if (RunReceiver(mine, [&] { ready.fetch_add(1); }) != 0) failures.fetch_add(1);
    });
  }
  while (ready.load() < o.receivers && failures.load() == 0) std::this_thread::yield();
  for (std::uint32_t s = 0; s < o.senders; ++s) {
    Options mine = o;
    mine.index = s;
    threads.emplace_back([mine, &failures] {
      if (RunSender(mine) != 0) failures.fetch_add(1);
    });
  }
  for (auto& thread : threads) thread.join();
  return failures.load() + CheckPools();
}

int RunWithProcesses(const Options& o) {
  HoldPools();
  auto semaphore = os::NamedSemaphore::Create(os::Utf8ToUtf16(SemaphoreName(o)), 0, 64,
                                              os::ObjectSecurity::kDefault);
  if (!semaphore.ok()) {
    std::fprintf(stderr, "cannot create the readiness semaphore\n");
    return 1;
  }
  std::vector<os::ChildProcess> children;
  const auto spawn = [&](const char* role, std::uint32_t index) {
    auto child = os::ChildProcess::Spawn(os::ModulePath(), ChildArguments(o, role, index));
    if (!child) return false;
    children.push_back(std::move(*child));
    return true;
  };
  for (std::uint32_t r = 0; r < o.receivers; ++r) {
    if (!spawn("receiver", r)) return 1;
  }
  for (std::uint32_t r = 0; r < o.receivers; ++r) {
    if (!semaphore.object.Wait(30000).signaled()) {
      std::fprintf(stderr, "receivers did not connect\n");
      return 1;
    }
  }
  for (std::uint32_t s = 0; s < o.senders; ++s) {
    if (!spawn("sender", s)) return 1;
  }
  int failures = 0;
  for (auto& child : children) {
    const auto code = child.Wait(os::ChildProcess::kInfinite);
    if (!code || *code != 0) ++failures;
  }
  return failures + CheckPools();
}

}  // namespace

int main(int argc, char** argv) {
  std::string role;
  const auto options = Parse(argc, argv, role);
  if (!options) return 2;
  if (role == "sender") return RunSender(*options);
  if (role == "receiver") {
    return RunReceiver(*options, [&] {
      auto semaphore = os::NamedSemaphore::Open(os::Utf8ToUtf16(SemaphoreName(*options)));
      if (semaphore.ok()) semaphore.object.Release(1);
    });
  }
  // A folder of object files of its own (Linux; Windows ignores it), shared with the children.
  const std::u16string objects =
      os::PathJoin(os::TempFolder(),
                   os::Utf8ToUtf16("velmora-stress-" + std::to_string(os::CurrentProcessId())));
  os::RemoveAll(objects);
  os::CreateDirectories(objects);
  os::SetEnv(u"VELMORA_OBJECT_DIR", objects);
  const auto start = std::chrono::steady_clock::now();
  const int failures = options->threads ? RunWithThreads(*options) : RunWithProcesses(*options);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const std::uint64_t sent = PerSender(*options) * options->senders;
  std::printf("%s: %u senders, %u receivers, %" PRIu64 " messages in %.2f s (%.0f/s): %s\n",
              options->threads ? "threads" : "processes", options->senders, options->receivers,
              sent, seconds, static_cast<double>(sent) / seconds,
              failures == 0 ? "all delivered intact" : "FAILED");
  os::RemoveAll(objects);
  return failures == 0 ? 0 : 1;
}
