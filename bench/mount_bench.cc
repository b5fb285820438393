// The simulated board as programs on the host see it: lt7911-sim run serving its FUSE mount in
// real time, used through real system calls. Run on demand (it needs /dev/fuse):
//
//   build/bin/lt7911_mount_bench [--benchmark_filter=...]
//   LT_BENCH_SIM=OTHER_BUILD/bin/lt7911-sim build/bin/lt7911_mount_bench   (another simulator)
//
// Each benchmark prints its figure and its ratio to its floor or baseline as counters:
//   BM_PlugToPollPri     a plug of 1920x1080@60 written to sim/hdmi until a poller of the
//                        status file wakes with POLLPRI, against the floor: the run's required
//                        sleeps plus its bus time, as the same run takes in virtual time
//                        (measured in this process on the same board); median and p95 ratio.
//   BM_ManyPollers/256   256 pollers of the status file, each on its own open: from the
//                        publication (the wake-up of the status queue on the board's timeline,
//                        whose clock is the host's CLOCK_MONOTONIC) to the last poller awake.
//   BM_OpenReadClose     open, read, close of /proc/lt7911_info/status, against the same on a
//                        FUSE server that serves one fixed file and nothing else (its floor,
//                        bench/fuse_floor.cc), and against a pread on a descriptor kept open.
//   BM_IdleMount         the mount with 4 pollers waiting for 10 s: the simulator's wake-ups
//                        (context switches of all its threads) and CPU time, and the pollers'
//                        wake-ups; the goal is none.
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <barrier>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "board/board.h"
#include "board/timings.h"
#include "platform/host/kernel.h"
#include "platform/host/modules.h"
#include "platform/host/vfs.h"

namespace {

int64_t mono_ns() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

std::string program_dir() {
  char buf[4096];
  ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return ".";
  std::string exe(buf, static_cast<size_t>(n));
  return exe.substr(0, exe.rfind('/'));
}

void die(const std::string& why) {
  std::fprintf(stderr, "lt7911_mount_bench: %s\n", why.c_str());
  std::exit(1);
}

// A FUSE server (a program of this build's bin/, or a path) mounted on a fresh directory, stopped
// with SIGTERM at exit.
// `args` follow the program's name; "DIR" and "FD" in them stand for the mount directory and the
// descriptor on which the server says it is ready.
class ChildMount {
 public:
  ChildMount(const std::string& program, std::vector<std::string> args) {
    char tmpl[] = "/tmp/lt7911-bench-XXXXXX";
    if (::mkdtemp(tmpl) == nullptr) die("cannot make a directory");
    dir_ = tmpl;
    int ready[2];
    if (::pipe2(ready, O_CLOEXEC) != 0) die("pipe");
    const std::string exe =
        program.find('/') == std::string::npos ? program_dir() + "/" + program : program;
    for (std::string& a : args) {
      if (a == "DIR") a = dir_;
      if (a == "FD") a = std::to_string(ready[1]);
    }
    std::vector<char*> argv{const_cast<char*>(exe.c_str())};
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ == 0) {
      ::fcntl(ready[1], F_SETFD, 0);
      ::execv(exe.c_str(), argv.data());
      _exit(127);
    }
    ::close(ready[1]);
    char buf[16] = {};
    pollfd p{ready[0], POLLIN, 0};
    if (::poll(&p, 1, 30'000) != 1 || ::read(ready[0], buf, sizeof buf - 1) <= 0) {
      die(program + " did not get ready (" + exe + ")");
    }
    ::close(ready[0]);
  }
  ChildMount(const ChildMount&) = delete;
  ChildMount& operator=(const ChildMount&) = delete;
  ~ChildMount() {
    ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    ::rmdir(dir_.c_str());
  }
  const std::string& dir() const { return dir_; }
  pid_t pid() const { return pid_; }
  std::string path(const std::string& p) const { return dir_ + p; }

  // Writes one command to a file of the mount (open, write, close).
  void write(const std::string& p, const std::string& text) const {
    int fd = ::open(path(p).c_str(), O_WRONLY);
    if (fd < 0) die("cannot open " + p);
    if (::write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
      die("write to " + p + " failed: " + std::strerror(errno));
    }
    ::close(fd);
  }

  // The simulator's threads: summed context switches and CPU time (ns).
  struct Usage {
    uint64_t switches = 0;
    uint64_t cpu_ns = 0;
  };
  Usage usage() const {
    Usage u;
    const std::string tasks = "/proc/" + std::to_string(pid_) + "/task";
    DIR* d = ::opendir(tasks.c_str());
    if (d == nullptr) return u;
    while (dirent* e = ::readdir(d)) {
      if (e->d_name[0] == '.') continue;
      std::ifstream status(tasks + "/" + e->d_name + "/status");
      std::string line;
      while (std::getline(status, line)) {
        if (line.starts_with("voluntary_ctxt_switches:") ||
            line.starts_with("nonvoluntary_ctxt_switches:")) {
          u.switches += std::stoull(line.substr(line.find(':') + 1));
        }
      }
      std::ifstream sched(tasks + "/" + e->d_name + "/schedstat");
      uint64_t run_ns = 0;
      if (sched >> run_ns) u.cpu_ns += run_ns;
    }
    ::closedir(d);
    return u;
  }

 private:
  std::string dir_;
  pid_t pid_ = -1;
};

// lt7911-sim run, serving the board's mount: this build's, or the one LT_BENCH_SIM names (to
// measure another build's simulator with the same benchmarks).
class Simulator : public ChildMount {
 public:
  Simulator() : ChildMount(program(), {"run", "--mount", "DIR", "--ready-fd", "FD"}) {}

 private:
  static std::string program() {
    const char* other = std::getenv("LT_BENCH_SIM");
    return other != nullptr && other[0] != '\0' ? other : "lt7911-sim";
  }
};

Simulator& sim() {
  static Simulator s;
  return s;
}

constexpr const char* kStatus = "/proc/lt7911_info/status";

// An open status file that has read its text, ready to poll.
struct StatusReader {
  int fd = -1;
  explicit StatusReader(const Simulator& s) {
    fd = ::open(s.path(kStatus).c_str(), O_RDONLY);
    if (fd < 0) die("cannot open status");
    read_text();
  }
  ~StatusReader() { ::close(fd); }
  std::string read_text() const {
    char buf[64];
    ssize_t n = ::pread(fd, buf, sizeof buf, 0);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
  }
  // Waits for POLLPRI; false after timeout_ms.
  bool wait(int timeout_ms) const {
    pollfd p{fd, POLLPRI, 0};
    return ::poll(&p, 1, timeout_ms) == 1 && (p.revents & POLLPRI);
  }
};

// Waits until the status reads `want` after POLLPRI wake-ups (a run may publish more than once).
bool wait_for_status(const StatusReader& r, const std::string& want, int64_t* woke_at = nullptr) {
  for (int i = 0; i < 8; ++i) {
    if (!r.wait(5000)) return false;
    if (woke_at) *woke_at = mono_ns();
    if (r.read_text() == want) return true;
  }
  return false;
}

double percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const size_t i = std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())));
  return v[i];
}

// The floor of a plug of 1920x1080@60: from the plug to the status queue's wake-up in virtual
// time, on the default board in this process (required sleeps plus bus time, nothing else).
double plug_floor_ms() {
  host::Kernel::boot();
  std::unique_ptr<board::Board> b;
  {
    auto r = board::Board::load(board::Board::default_dtb_path());
    if (!r) die("cannot load the default board");
    b = std::move(*r);
  }
  if (host::Kernel::get().modules().insmod("lt7911_manage", {}) != 0) die("insmod failed");
  host::Scheduler& sched = host::Kernel::get().sched();
  sched.settle();
  host::Process proc{.pid = 1, .uid = 0, .gid = 0, .name = "floor"};
  host::Vfs& vfs = host::Kernel::get().vfs();
  const int fd = vfs.open(proc, kStatus, O_RDONLY);
  vfs.read(proc, fd, 64);
  std::atomic<int64_t> published{-1};
  host::PollWatch watch =
      vfs.poll_watch(
             proc, fd, [&] { published.store(sched.now()); }, /*one_shot=*/false)
          .watch;
  const int64_t start = sched.now();
  b->hdmi().plug(board::Mode::cta(16));
  sched.settle();
  const int64_t end = published.load();
  watch.reset();
  vfs.close(proc, fd);
  host::Kernel::get().modules().rmmod("lt7911_manage");
  sched.settle();
  b.reset();
  host::Kernel::shutdown();
  if (end < start) die("no publication in virtual time");
  return static_cast<double>(end - start) / 1e6;
}

void BM_PlugToPollPri(benchmark::State& state) {
  const double floor_ms = plug_floor_ms();
  Simulator& s = sim();
  StatusReader reader(s);
  s.write("/sim/hdmi", "plug 1920x1080@60");
  if (!wait_for_status(reader, "new res\n")) die("no new res after the first plug");
  std::vector<double> ms;
  for (auto _ : state) {
    s.write("/sim/hdmi", "unplug");
    if (!wait_for_status(reader, "disappear\n")) die("no disappear after unplug");
    const int64_t t0 = mono_ns();
    s.write("/sim/hdmi", "plug 1920x1080@60");
    int64_t t1 = 0;
    if (!wait_for_status(reader, "new res\n", &t1)) die("no new res after plug");
    const double took = static_cast<double>(t1 - t0) / 1e6;
    ms.push_back(took);
    state.SetIterationTime(took / 1e3);
  }
  state.counters["floor_ms"] = floor_ms;
  state.counters["median_ms"] = percentile(ms, 0.5);
  state.counters["median_ratio"] = percentile(ms, 0.5) / floor_ms;
  state.counters["p95_ratio"] = percentile(ms, 0.95) / floor_ms;
  state.counters["max_ratio"] = percentile(ms, 1.0) / floor_ms;
}
BENCHMARK(BM_PlugToPollPri)->UseManualTime()->Iterations(40)->Unit(benchmark::kMillisecond);

// The time of the newest wake-up of a queue with `waiters` waiters on the board's timeline.
int64_t last_publication_ns(const Simulator& s, int waiters) {
  std::ifstream f(s.path("/sim/timeline.txt"));
  std::string line;
  const std::string mark = " woken with " + std::to_string(waiters) + " waiters";
  int64_t last = -1;
  while (std::getline(f, line)) {
    if (line.find("notify ") == std::string::npos || line.find(mark) == std::string::npos) {
      continue;
    }
    long long sec = 0, nsec = 0;
    if (std::sscanf(line.c_str(), "[%lld.%lld]", &sec, &nsec) == 2) {
      last = sec * 1'000'000'000 + nsec;
    }
  }
  return last;
}

void BM_ManyPollers(benchmark::State& state) {
  Simulator& s = sim();
  const int n = static_cast<int>(state.range(0));
  std::vector<std::unique_ptr<StatusReader>> readers;
  for (int i = 0; i < n; ++i) readers.push_back(std::make_unique<StatusReader>(s));
  std::vector<int64_t> woke(n);
  std::atomic<bool> stop{false};
  std::atomic<int> failed{0};
  std::barrier start(n + 1), done(n + 1);
  std::vector<std::thread> threads;
  for (int i = 0; i < n; ++i) {
    threads.emplace_back([&, i] {
      for (;;) {
        start.arrive_and_wait();
        if (stop.load()) return;
        if (!readers[i]->wait(10'000)) failed.fetch_add(1);
        woke[i] = mono_ns();
        readers[i]->read_text();
        done.arrive_and_wait();
      }
    });
  }
  std::vector<double> ms;
  bool plug = true;
  for (auto _ : state) {
    start.arrive_and_wait();
    // Let every poller reach poll() and its registration reach the driver.
    ::usleep(200'000);
    s.write("/sim/hdmi", plug ? "plug 1920x1080@60" : "unplug");
    plug = !plug;
    done.arrive_and_wait();
    const int64_t published = last_publication_ns(s, n);
    if (published < 0) die("no publication to " + std::to_string(n) + " waiters on the timeline");
    const int64_t last = *std::max_element(woke.begin(), woke.end());
    const double took = static_cast<double>(last - published) / 1e6;
    ms.push_back(took);
    state.SetIterationTime(took / 1e3);
  }
  stop.store(true);
  start.arrive_and_wait();
  for (std::thread& t : threads) t.join();
  if (failed.load() > 0) die(std::to_string(failed.load()) + " pollers did not wake");
  state.counters["median_ms"] = percentile(ms, 0.5);
  state.counters["max_ms"] = percentile(ms, 1.0);
  state.counters["median_ratio_to_10ms"] = percentile(ms, 0.5) / 10.0;
}
BENCHMARK(BM_ManyPollers)->Arg(256)->UseManualTime()->Iterations(10)->Unit(benchmark::kMillisecond);

// A FUSE server that does nothing but serve one file of fixed text (bench/fuse_floor.cc).
ChildMount& floor_mount() {
  static ChildMount m("lt7911_fuse_floor", {"DIR", "FD"});
  return m;
}

// Mean µs of `rounds` open, read, close of `path`; with `keep_open`, of a pread on one descriptor.
double mean_read_us(const std::string& path, int rounds, bool keep_open) {
  char buf[64];
  int fd = keep_open ? ::open(path.c_str(), O_RDONLY) : -1;
  const int64_t t0 = mono_ns();
  for (int i = 0; i < rounds; ++i) {
    if (!keep_open) fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0) die("cannot open " + path);
    benchmark::DoNotOptimize(::pread(fd, buf, sizeof buf, 0));
    if (!keep_open) ::close(fd);
  }
  const int64_t t1 = mono_ns();
  if (keep_open) ::close(fd);
  return static_cast<double>(t1 - t0) / 1e3 / rounds;
}

// Open, read, close of the status file, against the same on the floor server and against a
// pread on a descriptor kept open. The four are measured in turn in blocks of 2,000, so that a
// change in the machine's load falls on all of them alike; each figure is the median block.
void BM_OpenReadClose(benchmark::State& state) {
  const std::string status = sim().path(kStatus);
  const std::string floor_file = floor_mount().path("/status");
  constexpr int kBlock = 2000;
  std::vector<double> us, pread_us, floor_us, floor_pread_us;
  for (auto _ : state) {
    us.push_back(mean_read_us(status, kBlock, false));
    floor_us.push_back(mean_read_us(floor_file, kBlock, false));
    pread_us.push_back(mean_read_us(status, kBlock, true));
    floor_pread_us.push_back(mean_read_us(floor_file, kBlock, true));
    state.SetIterationTime(us.back() / 1e6);
  }
  const double m = percentile(us, 0.5), f = percentile(floor_us, 0.5);
  state.counters["us"] = m;
  state.counters["min_us"] = percentile(us, 0);
  state.counters["max_us"] = percentile(us, 1.0);
  state.counters["floor_us"] = f;
  state.counters["ratio_to_floor"] = m / f;
  state.counters["pread_us"] = percentile(pread_us, 0.5);
  state.counters["ratio_to_pread"] = m / percentile(pread_us, 0.5);
  state.counters["floor_pread_us"] = percentile(floor_pread_us, 0.5);
}
BENCHMARK(BM_OpenReadClose)->UseManualTime()->Iterations(15)->Unit(benchmark::kMicrosecond);

void BM_IdleMount(benchmark::State& state) {
  Simulator& s = sim();
  constexpr int kPollers = 4;
  std::vector<std::unique_ptr<StatusReader>> readers;
  for (int i = 0; i < kPollers; ++i) readers.push_back(std::make_unique<StatusReader>(s));
  uint64_t switches = 0, cpu_ns = 0;
  int poller_wakeups = 0;
  for (auto _ : state) {
    std::atomic<int> woke{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kPollers; ++i) {
      threads.emplace_back([&, i] {
        pollfd p{readers[i]->fd, POLLPRI, 0};
        if (::poll(&p, 1, 10'000) != 0) woke.fetch_add(1);
      });
    }
    ::usleep(100'000);  // the pollers are in poll() and registered
    const Simulator::Usage before = s.usage();
    const int64_t t0 = mono_ns();
    for (std::thread& t : threads) t.join();
    const Simulator::Usage after = s.usage();
    state.SetIterationTime(static_cast<double>(mono_ns() - t0) / 1e9);
    switches += after.switches - before.switches;
    cpu_ns += after.cpu_ns - before.cpu_ns;
    poller_wakeups += woke.load();
  }
  state.counters["sim_wakeups"] = static_cast<double>(switches);
  state.counters["sim_cpu_ms"] = static_cast<double>(cpu_ns) / 1e6;
  state.counters["poller_wakeups"] = poller_wakeups;
}
BENCHMARK(BM_IdleMount)->UseManualTime()->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

int main(int argc, char** argv) {
  if (::access("/dev/fuse", R_OK | W_OK) != 0) {
    std::fprintf(stderr, "lt7911_mount_bench: /dev/fuse is not available\n");
    return 1;
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
