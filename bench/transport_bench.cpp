// Measures the shared-memory transport against a Unix domain socket pair (SOCK_SEQPACKET) and a
// pipe, each between two processes: one-way message rate, round-trip latency and CPU time per
// message. Rounds are interleaved (every case of every kind once per round), the ratio to the
// socket is taken per round, and medians over the rounds are reported.
//
//   transport_bench [rounds] [scale]      defaults: 5 rounds, scale 1.0 (message counts)
//   transport_bench --only oneway|roundtrip socket|pipe|transport <size> <count>
//
// One-way: 16 B to 64 KiB; round trips: 64 B, 4 KiB and 64 KiB.
//
// Each receiver touches the first byte of every message, nothing more: the transport hands out a
// view of a large message where the socket and the pipe copy it into the receiver's buffer.

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "transport/message.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

enum class Kind { kSocket, kPipe, kTransport };
constexpr Kind kKinds[] = {Kind::kSocket, Kind::kPipe, Kind::kTransport};

constexpr std::uint32_t kTransportWaitMs = 1000;

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

[[noreturn]] void Die(const char* what) {
  std::perror(what);
  std::exit(2);
}

void WriteAll(int fd, const void* data, std::size_t size) {
  const auto* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = write(fd, p, size);
    if (n <= 0) Die("write");
    p += n;
    size -= static_cast<std::size_t>(n);
  }
}

void ReadAll(int fd, void* data, std::size_t size) {
  auto* p = static_cast<char*>(data);
  while (size > 0) {
    const ssize_t n = read(fd, p, size);
    if (n <= 0) Die("read");
    p += n;
    size -= static_cast<std::size_t>(n);
  }
}

// One end of a message path: a socket, the two ends of a pipe pair, or transport channels.
class Endpoint {
 public:
  Endpoint(Kind kind, int in_fd, int out_fd) : kind_(kind), in_(in_fd), out_(out_fd) {}

  // Transport: `own` is the channel this end receives on (empty: none), `peer` the one it
  // sends on (empty: none).
  void OpenTransport(const std::string& own, const std::string& peer) {
    if (!own.empty()) {
      own_.reset(transport::channel_open(own, false));
      if (!own_->connect_receiver()) Die("connect_receiver");
    }
    if (!peer.empty()) OpenPeer(peer);
  }
  void OpenPeer(const std::string& peer) {
    peer_.reset(transport::channel_open(peer, false));
    if (!peer_->connect_sender()) Die("connect_sender");
  }

  void Send(const std::uint8_t* data, std::size_t size) {
    switch (kind_) {
      case Kind::kSocket:
        if (send(out_, data, size, 0) != static_cast<ssize_t>(size)) Die("send");
        break;
      case Kind::kPipe:
        WriteAll(out_, data, size);
        break;
      case Kind::kTransport:
        if (!transport::send(peer_.get(), data, size, kTransportWaitMs)) Die("transport::send");
        break;
    }
  }

  // Receives one message of `size` bytes and returns its first byte.
  std::uint8_t Receive(std::uint8_t* buffer, std::size_t size) {
    switch (kind_) {
      case Kind::kSocket:
        if (recv(in_, buffer, size, 0) != static_cast<ssize_t>(size)) Die("recv");
        return buffer[0];
      case Kind::kPipe:
        ReadAll(in_, buffer, size);
        return buffer[0];
      case Kind::kTransport: {
        const transport::received_buffer message = transport::recv(own_.get(), kTransportWaitMs);
        if (message.size() != size) Die("transport::recv");
        return message.data()[0];
      }
    }
    return 0;
  }

 private:
  Kind kind_;
  int in_;
  int out_;
  transport::channel_ptr own_;
  transport::channel_ptr peer_;
};

struct ChildReport {
  double cpu_seconds;
  std::uint32_t sink;
};

// The receiving process: `argv` = --child kind test size count in_fd out_fd ctl_fd own peer.
int ChildMain(char** argv) {
  const auto kind = static_cast<Kind>(std::atoi(argv[2]));
  const std::string test = argv[3];
  const auto size = static_cast<std::size_t>(std::atol(argv[4]));
  const long count = std::atol(argv[5]);
  const int in_fd = std::atoi(argv[6]);
  const int out_fd = std::atoi(argv[7]);
  const int ctl_fd = std::atoi(argv[8]);
  Endpoint endpoint(kind, in_fd, out_fd);
  if (kind == Kind::kTransport) endpoint.OpenTransport(argv[9], test == "echo" ? argv[10] : "");
  std::vector<std::uint8_t> buffer(size, 0x5A);
  WriteAll(ctl_fd, "R", 1);
  const double cpu_start = CpuSeconds();
  std::uint32_t sink = 0;
  for (long i = 0; i < count; ++i) {
    sink += endpoint.Receive(buffer.data(), size);
    if (test == "echo") endpoint.Send(buffer.data(), size);
  }
  const ChildReport report{CpuSeconds() - cpu_start, sink};
  WriteAll(ctl_fd, &report, sizeof report);
  return 0;
}

struct Child {
  pid_t pid = -1;
  int ctl = -1;
};

int g_run = 0;

// Starts the receiving process for one run; the caller's end of the path is returned in `mine`.
Child StartChild(Kind kind, const std::string& test, std::size_t size, long count, Endpoint*& mine,
                 std::vector<int>& close_after) {
  int ctl[2];
  if (pipe(ctl) != 0) Die("pipe");
  fcntl(ctl[0], F_SETFD, FD_CLOEXEC);
  int child_in = -1, child_out = -1, my_in = -1, my_out = -1;
  if (kind == Kind::kSocket) {
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET, 0, pair) != 0) Die("socketpair");
    const int buffer_size = 1 << 20;
    for (int fd : pair) {
      setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &buffer_size, sizeof buffer_size);
      setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buffer_size, sizeof buffer_size);
    }
    my_in = my_out = pair[0];
    child_in = child_out = pair[1];
  } else if (kind == Kind::kPipe) {
    int to_child[2], to_parent[2];
    if (pipe(to_child) != 0 || pipe(to_parent) != 0) Die("pipe");
    my_out = to_child[1];
    child_in = to_child[0];
    my_in = to_parent[0];
    child_out = to_parent[1];
  }
  const std::string own = "bench-" + std::to_string(getpid()) + "-" + std::to_string(g_run++);
  const std::string child_channel = own + "-child";
  const std::string parent_channel = own + "-parent";
  // Only the child's ends go to the child.
  for (int fd : {my_in, my_out}) {
    if (fd >= 0) fcntl(fd, F_SETFD, FD_CLOEXEC);
  }
  mine = new Endpoint(kind, my_in, my_out);
  if (kind == Kind::kTransport) mine->OpenTransport(test == "echo" ? parent_channel : "", "");

  std::vector<std::string> args = {"/proc/self/exe",
                                   "--child",
                                   std::to_string(static_cast<int>(kind)),
                                   test,
                                   std::to_string(size),
                                   std::to_string(count),
                                   std::to_string(child_in),
                                   std::to_string(child_out),
                                   std::to_string(ctl[1]),
                                   child_channel,
                                   parent_channel};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  char self[4096];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) Die("readlink");
  self[n] = '\0';
  Child child;
  if (posix_spawn(&child.pid, self, nullptr, nullptr, argv.data(), environ) != 0) Die("spawn");
  close(ctl[1]);
  if (child_in >= 0) close(child_in);
  if (child_out >= 0 && child_out != child_in) close(child_out);
  child.ctl = ctl[0];
  char ready;
  ReadAll(child.ctl, &ready, 1);
  if (kind == Kind::kTransport) mine->OpenPeer(child_channel);
  close_after = {my_in, my_out};
  return child;
}

double FinishChild(Child& child, Endpoint* mine, std::vector<int>& fds) {
  ChildReport report{};
  ReadAll(child.ctl, &report, sizeof report);
  int status = 0;
  waitpid(child.pid, &status, 0);
  close(child.ctl);
  delete mine;
  std::sort(fds.begin(), fds.end());
  fds.erase(std::unique(fds.begin(), fds.end()), fds.end());
  for (int fd : fds) {
    if (fd >= 0) close(fd);
  }
  return report.cpu_seconds;
}

struct OneWay {
  double rate;         // messages per second
  double cpu_per_msg;  // microseconds, both processes
};

OneWay RunOneWay(Kind kind, std::size_t size, long count) {
  Endpoint* mine = nullptr;
  std::vector<int> fds;
  Child child = StartChild(kind, "oneway", size, count, mine, fds);
  std::vector<std::uint8_t> message(size, 0xA5);
  const double cpu_start = CpuSeconds();
  const auto start = Clock::now();
  for (long i = 0; i < count; ++i) mine->Send(message.data(), size);
  const double child_cpu = FinishChild(child, mine, fds);
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  const double cpu = CpuSeconds() - cpu_start + child_cpu;
  return {static_cast<double>(count) / seconds, cpu * 1e6 / static_cast<double>(count)};
}

struct RoundTrip {
  double p50;  // microseconds
  double p99;
};

RoundTrip RunRoundTrip(Kind kind, std::size_t size, long count) {
  const long warmup = count / 10;
  Endpoint* mine = nullptr;
  std::vector<int> fds;
  Child child = StartChild(kind, "echo", size, count + warmup, mine, fds);
  std::vector<std::uint8_t> message(size, 0xA5);
  std::vector<std::uint8_t> buffer(size);
  std::vector<double> samples;
  samples.reserve(static_cast<std::size_t>(count));
  for (long i = 0; i < count + warmup; ++i) {
    const auto start = Clock::now();
    mine->Send(message.data(), size);
    mine->Receive(buffer.data(), size);
    const double us = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
    if (i >= warmup) samples.push_back(us);
  }
  FinishChild(child, mine, fds);
  std::sort(samples.begin(), samples.end());
  return {samples[samples.size() / 2], samples[samples.size() * 99 / 100]};
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

std::string Format(double value) {
  char text[64];
  if (value >= 100000) {
    std::snprintf(text, sizeof text, "%.0f", value);
  } else if (value >= 100) {
    std::snprintf(text, sizeof text, "%.0f", value);
  } else {
    std::snprintf(text, sizeof text, "%.2f", value);
  }
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 11 && std::string(argv[1]) == "--child") return ChildMain(argv);
  if (argc == 6 && std::string(argv[1]) == "--only") {
    // One case alone, for profiling: --only oneway|roundtrip socket|pipe|transport size count
    const std::string kind_name = argv[3];
    const auto kind = kind_name == "socket" ? Kind::kSocket
                      : kind_name == "pipe" ? Kind::kPipe
                                            : Kind::kTransport;
    const auto size = static_cast<std::size_t>(std::atol(argv[4]));
    const long count = std::atol(argv[5]);
    if (std::string(argv[2]) == "oneway") {
      const OneWay r = RunOneWay(kind, size, count);
      std::printf("%.0f msg/s, %.2f us CPU per message\n", r.rate, r.cpu_per_msg);
    } else {
      const RoundTrip r = RunRoundTrip(kind, size, count);
      std::printf("p50 %.2f us, p99 %.2f us\n", r.p50, r.p99);
    }
    return 0;
  }
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  const double scale = argc > 2 ? std::atof(argv[2]) : 1.0;
  const auto scaled = [&](long n) { return std::max(100L, static_cast<long>(n * scale)); };

  const std::size_t one_way_sizes[] = {16, 64, 1024, 16384, 65536};
  const long one_way_counts[] = {200000, 200000, 100000, 20000, 5000};
  const std::size_t round_trip_sizes[] = {64, 4096, 65536};
  const long round_trip_counts[] = {20000, 20000, 5000};

  // [size][kind] -> per-round values
  std::map<std::size_t, std::map<Kind, std::vector<double>>> rate, cpu, p50, p99;
  std::map<std::size_t, std::vector<double>> rate_ratio, cpu_ratio, p50_ratio, p99_ratio;

  for (int round = 0; round < rounds; ++round) {
    std::fprintf(stderr, "round %d/%d\n", round + 1, rounds);
    for (std::size_t i = 0; i < std::size(one_way_sizes); ++i) {
      const std::size_t size = one_way_sizes[i];
      std::map<Kind, OneWay> results;
      for (Kind kind : kKinds) {
        results[kind] = RunOneWay(kind, size, scaled(one_way_counts[i]));
        rate[size][kind].push_back(results[kind].rate);
        cpu[size][kind].push_back(results[kind].cpu_per_msg);
      }
      rate_ratio[size].push_back(results[Kind::kTransport].rate / results[Kind::kSocket].rate);
      cpu_ratio[size].push_back(results[Kind::kTransport].cpu_per_msg /
                                results[Kind::kSocket].cpu_per_msg);
    }
    for (std::size_t i = 0; i < std::size(round_trip_sizes); ++i) {
      const std::size_t size = round_trip_sizes[i];
      std::map<Kind, RoundTrip> results;
      for (Kind kind : kKinds) {
        results[kind] = RunRoundTrip(kind, size, scaled(round_trip_counts[i]));
        p50[size][kind].push_back(results[kind].p50);
        p99[size][kind].push_back(results[kind].p99);
      }
      p50_ratio[size].push_back(results[Kind::kTransport].p50 / results[Kind::kSocket].p50);
      p99_ratio[size].push_back(results[Kind::kTransport].p99 / results[Kind::kSocket].p99);
    }
  }

  std::printf(
      "Medians over %d interleaved rounds (scale %.2f); ratio = transport / socket, "
      "taken per round.\n\n",
      rounds, scale);
  std::printf("| one-way, msg/s | socket | pipe | transport | ratio |\n|---|---|---|---|---|\n");
  for (std::size_t size : one_way_sizes) {
    std::printf("| %zu B | %s | %s | %s | %.2fx |\n", size,
                Format(Median(rate[size][Kind::kSocket])).c_str(),
                Format(Median(rate[size][Kind::kPipe])).c_str(),
                Format(Median(rate[size][Kind::kTransport])).c_str(), Median(rate_ratio[size]));
  }
  std::printf(
      "\n| CPU per message, us (both processes) | socket | pipe | transport | ratio |\n"
      "|---|---|---|---|---|\n");
  for (std::size_t size : one_way_sizes) {
    std::printf("| %zu B | %s | %s | %s | %.2fx |\n", size,
                Format(Median(cpu[size][Kind::kSocket])).c_str(),
                Format(Median(cpu[size][Kind::kPipe])).c_str(),
                Format(Median(cpu[size][Kind::kTransport])).c_str(), Median(cpu_ratio[size]));
  }
  std::printf("\n| round trip, us | socket | pipe | transport | ratio |\n|---|---|---|---|---|\n");
  for (std::size_t size : round_trip_sizes) {
    std::printf("| %zu B p50 | %s | %s | %s | %.2fx |\n", size,
                Format(Median(p50[size][Kind::kSocket])).c_str(),
                Format(Median(p50[size][Kind::kPipe])).c_str(),
                Format(Median(p50[size][Kind::kTransport])).c_str(), Median(p50_ratio[size]));
    std::printf("| %zu B p99 | %s | %s | %s | %.2fx |\n", size,
                Format(Median(p99[size][Kind::kSocket])).c_str(),
                Format(Median(p99[size][Kind::kPipe])).c_str(),
                Format(Median(p99[size][Kind::kTransport])).c_str(), Median(p99_ratio[size]));
  }
  return 0;
}
