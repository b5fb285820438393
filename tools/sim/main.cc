// lt7911-sim: the simulated board. `run` serves it through a FUSE mount in real time, `demo`
// plays the built-in session in virtual time, and a script file plays any session.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <iostream>
#include <mutex>
#include <sstream>
#include <thread>

#include "platform/host/log.h"
#include "platform/host/thread_safety.h"
#include "platform/host/warn.h"
#include "tools/sim/exports.h"
#include "tools/sim/files.h"
#include "tools/sim/fuse_bridge.h"
#include "tools/sim/mount_point.h"
#include "tools/sim/script.h"
#include "tools/sim/session.h"

namespace {

// How long a stop may take before the simulator exits at once.
constexpr auto kStopBudget = std::chrono::milliseconds(2000);

void print(const std::string& line) {
  std::fputs(line.c_str(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

// The files the timeline's exports go to after a scripted run (--export-FORMAT FILE).
struct Exports {
  std::vector<std::pair<sim::ExportFormat, std::string>> files;
  std::vector<CLI::Option*> add_options(CLI::App* app) {
    std::vector<CLI::Option*> added;
    for (const char* name : {"text", "json", "vcd", "svg"}) {
      added.push_back(app->add_option_function<std::string>(
          std::string("--export-") + name,
          [this, name](const std::string& f) {
            files.emplace_back(*sim::parse_export_format(name), f);
          },
          std::string("Write the timeline as ") + name + " to FILE at the end"));
    }
    return added;
  }
  int write(sim::Session& s) const {
    int r = 0;
    for (const auto& [format, file] : files) {
      if (sim::write_export(s, format, file) < 0) {
        std::fprintf(stderr, "lt7911-sim: cannot write %s\n", file.c_str());
        r = 1;
      }
    }
    return r;
  }
};

// The options of the session every mode shares, declared once for a script (on the command
// itself), `run` and `demo` (on theirs), so that each may stand before or after the mode's name
// with the same help and the same checks.
void add_session_options(CLI::App* mode, sim::SessionConfig* config) {
  mode->add_option("--board", config->board,
                   "Board device tree (.dts or .dtb); default: lt7911-board");
  mode->add_option("--plug", config->plug, "A source plugged in before the module loads (a MODE)");
  mode->add_option("--module", config->module, "The module object (lt7911_manage.so)");
  mode->add_option("--timeline-size", config->timeline, "Events the timeline keeps (0: off)")
      ->check(CLI::Range(size_t{0}, sim::kMaxTimelineEvents));
}

void complain(const std::string& line) {
  std::fputs(("lt7911-sim: " + line + "\n").c_str(), stderr);
  std::fflush(stderr);
}

struct ScriptConfig {
  std::string file;
  bool fail_fast = false;
  std::string tap, junit;
  Exports exports;
};

// The options of a played script, declared for a SCRIPT (on the command itself) and demo (on
// its own) alike, grouped as "Played script" in the help. Returns them.
std::vector<CLI::Option*> add_script_options(CLI::App* mode, ScriptConfig* sc) {
  std::vector<CLI::Option*> added = {
      mode->add_flag("--fail-fast,-x", sc->fail_fast, "Stop the script at its first failure"),
      mode->add_option("--tap", sc->tap, "Write the script's result as TAP to FILE"),
      mode->add_option("--junit", sc->junit, "Write the script's result as JUnit XML to FILE")};
  for (CLI::Option* o : sc->exports.add_options(mode)) added.push_back(o);
  for (CLI::Option* o : added) o->group("Played script");
  return added;
}

int play(const std::string& text, const sim::SessionConfig& config, const ScriptConfig& sc) {
  auto parsed = sim::parse_script(text);
  if (!parsed) {
    complain(sc.file + ": " + parsed.error().message);
    return 2;
  }
  auto started = sim::Session::start(config);
  if (!started) {
    complain(started.error().message);
    return 1;
  }
  std::unique_ptr<sim::Session> s = std::move(*started);
  sim::ScriptOptions o;
  o.file = sc.file;
  o.fail_fast = sc.fail_fast;
  o.out = print;
  o.err = [](const std::string& line) {
    std::fputs((line + "\n").c_str(), stderr);
    std::fflush(stderr);
  };
  sim::ScriptResult result = sim::run_script(*s, *parsed, o);
  int r = result.exit_code();
  if (sc.exports.write(*s) != 0) r = 1;
  // A kernel rule broken on the way (a WARN) fails the run, as it fails a test.
  if (host::Kernel::get().warnings().count() > 0) {
    complain("kernel warnings:\n" + host::Kernel::get().warnings().describe());
    r = 1;
  }
  s.reset();
  if (!sc.tap.empty() && sim::write_file(sc.tap, sim::format_tap(result, sc.file)) != 0) {
    complain("cannot write " + sc.tap);
    r = 1;
  }
  if (!sc.junit.empty() && sim::write_file(sc.junit, sim::format_junit(result, sc.file)) != 0) {
    complain("cannot write " + sc.junit);
    r = 1;
  }
  return r;
}

// ---- run: start, serve, stop ---------------------------------------------------------------

struct RunConfig {
  std::string mount;
  int ready_fd = -1;   // --ready-fd
  int parent_fd = -1;  // --background: the waiting parent's pipe
  std::string pidfile;
  bool background = false;
};

// What the signal thread and the serving thread share.
class Lifecycle {
 public:
  enum class Phase { kStarting, kServing, kStopping, kDone };

  explicit Lifecycle(const RunConfig& rc) : rc_(rc) {}

  // Runs the signal thread: a first SIGINT, SIGTERM or SIGHUP while serving asks for a stop; one
  // while starting (nothing mounted yet) ends the process at once, as does a second signal or a
  // stop that outlasts kStopBudget.
  void watch_signals(const sigset_t& set) {
    thread_ = std::thread([this, set] {
      int sig = 0;
      while (sigwait(&set, &sig) != 0) {
      }
      {
        lt::UniqueLock l(mutex_);
        if (phase_ == Phase::kStarting) exit_now(l, "interrupted while starting", 128 + sig);
        if (phase_ == Phase::kDone) return;
        phase_ = Phase::kStopping;
        cv_.notify_all();
      }
      const auto deadline = std::chrono::steady_clock::now() + kStopBudget;
      for (;;) {
        const auto left = deadline - std::chrono::steady_clock::now();
        timespec ts{};
        if (left.count() > 0) {
          const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
          ts = {static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
        }
        int again = left.count() > 0 ? sigtimedwait(&set, nullptr, &ts) : -1;
        if (again < 0 && errno == EINTR && left.count() > 0) continue;
        lt::UniqueLock l(mutex_);
        if (phase_ == Phase::kDone) return;
        if (again > 0) exit_now(l, "second signal: exiting at once", 128 + again);
        exit_now(l, "the stop took longer than 2 s: exiting at once", 1);
      }
    });
    thread_.detach();
  }

  // Mounts at dir (through mount) and moves to kServing. A signal waits until the
  // mount is made or failed, so that it finds the mount recorded and always undoes it.
  host::Result<void> serve(const std::string& dir, const std::function<host::Result<void>()>& mount)
      LT_EXCLUDES(mutex_) {
    lt::MutexLock l(mutex_);
    if (host::Result<void> m = mount(); !m) return m;
    mounted_ = dir;
    phase_ = Phase::kServing;
    return {};
  }
  void wait_for_stop() {
    lt::UniqueLock l(mutex_);
    while (phase_ != Phase::kStopping) cv_.wait(l.native());
  }
  void done() {
    lt::MutexLock l(mutex_);
    phase_ = Phase::kDone;
    mounted_.clear();
    if (!rc_.pidfile.empty()) ::unlink(rc_.pidfile.c_str());
  }

 private:
  [[noreturn]] void exit_now(lt::UniqueLock&, const std::string& why, int code)
      LT_REQUIRES(mutex_) {
    complain(why);
    if (!mounted_.empty()) (void)sim::detach_mount(mounted_);  // exiting either way
    if (!rc_.pidfile.empty() && phase_ != Phase::kStarting) ::unlink(rc_.pidfile.c_str());
    std::fflush(stdout);
    // The whole process ends here, threads and all, without joining any of them (exit_group,
    // so that no sanitizer's exit hook reports the threads it leaves).
    ::syscall(SYS_exit_group, code);
    ::_exit(code);
  }

  const RunConfig rc_;
  lt::Mutex mutex_;
  std::condition_variable cv_;
  Phase phase_ LT_GUARDED_BY(mutex_) = Phase::kStarting;
  std::string mounted_ LT_GUARDED_BY(mutex_);
  std::thread thread_;
};

// Checks the mount point: refuses one that a live simulator serves, cleans up one that a killed
// run left, and locks it against a second run starting at the same time. The lock's descriptor
// stays open for the life of the process. 0, or an exit code.
int claim_mount_point(const std::string& dir) {
  sim::MountCheck c = sim::check_mount_point(dir);
  auto refuse_live = [&](const sim::MountCheck& live) {
    complain(dir + " is mounted by a running lt7911-sim" +
             (live.pid > 0 ? " (pid " + std::to_string(live.pid) + ")" : std::string()) +
             "; stop it first, or choose another directory");
    return 1;
  };
  if (c.state == sim::MountState::kLive) return refuse_live(c);
  if (c.state == sim::MountState::kStale) {
    if (host::Result<void> d = sim::detach_mount(dir); !d) {
      complain("cannot clean up the stale mount at " + dir + ": " + d.error().message);
      return 1;
    }
  }
  struct stat st {};
  if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    complain(dir + " is not a directory");
    return 1;
  }
  int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0 || ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    complain(dir + ": another lt7911-sim is starting there");
    return 1;
  }
  c = sim::check_mount_point(dir);
  if (c.state == sim::MountState::kLive) return refuse_live(c);
  return 0;
}

int run(const RunConfig& rc, sim::SessionConfig config) {
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  sigaddset(&stop, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);  // every thread inherits it; the watcher takes them
  ::signal(SIGPIPE, SIG_IGN);
  // Never destroyed: the signal thread may still look at it while the process exits.
  static Lifecycle* const lifecycle = new Lifecycle(rc);
  Lifecycle& life = *lifecycle;
  life.watch_signals(stop);

  if (int r = claim_mount_point(rc.mount); r != 0) return r;
  config.on_refusal = complain;
  auto started = sim::Session::start(config);
  if (!started) {
    complain(started.error().message);
    return 1;
  }
  std::unique_ptr<sim::Session> s = std::move(*started);
  sim::FuseBridge bridge(s->kernel().vfs(), s->kernel().log(), s->control_files());
  if (host::Result<void> m = life.serve(rc.mount, [&] { return bridge.mount(rc.mount); }); !m) {
    complain(m.error().message);
    return 1;
  }
  if (!rc.pidfile.empty() &&
      sim::replace_file(rc.pidfile, std::to_string(::getpid()) + "\n") != 0) {
    complain("cannot write the pid file " + rc.pidfile);
  }
  print("lt7911-sim: ready, board " + s->board().chip_device_name() + " mounted at " + rc.mount);
  for (int fd : {rc.ready_fd, rc.parent_fd}) {
    if (fd < 0) continue;
    const char ready[] = "ready\n";
    if (::write(fd, ready, sizeof ready - 1) < 0) {
      // The reader went away; serving goes on.
    }
    ::close(fd);
  }
  life.wait_for_stop();
  print("lt7911-sim: stopping");
  bridge.stop();
  s.reset();
  life.done();
  print("lt7911-sim: stopped");
  return 0;
}

// --background: the process goes on in a child of its own session, and this one exits once the
// child is ready (0) or has failed (its exit code). Called before any thread exists.
int detach(RunConfig* rc) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    complain(std::string("cannot make a pipe: ") + std::strerror(errno));
    return 1;
  }
  pid_t child = ::fork();
  if (child < 0) {
    complain(std::string("cannot fork: ") + std::strerror(errno));
    return 1;
  }
  if (child == 0) {
    ::close(fds[0]);
    ::setsid();
    rc->parent_fd = fds[1];
    return -1;  // go on as the server
  }
  ::close(fds[1]);
  char c;
  ssize_t n;
  while ((n = ::read(fds[0], &c, 1)) < 0 && errno == EINTR) {
  }
  if (n == 1) return 0;
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? (WEXITSTATUS(status) == 0 ? 1 : WEXITSTATUS(status)) : 1;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"The simulated LT7911D board with the lt7911_manage driver.", "lt7911-sim"};
  app.set_version_flag("--version", std::string("lt7911-sim ") + LT_TOOLS_VERSION);
  app.require_subcommand(0, 1);
  sim::SessionConfig config;
  config.require_bound = false;
  ScriptConfig sc;
  CLI::Option* script_file =
      app.add_option("script", sc.file, "A session script to play in virtual time");
  add_session_options(&app, &config);
  const std::vector<CLI::Option*> script_options = add_script_options(&app, &sc);

  auto* run_cmd = app.add_subcommand("run", "Serve the board through a FUSE mount (real time)");
  RunConfig rc;
  double dtc_timeout_s = 10;
  run_cmd->add_option("--mount", rc.mount, "Mount point (an existing directory)")->required();
  add_session_options(run_cmd, &config);
  run_cmd->add_option("--param", config.params, "Module parameter NAME=VALUE (repeatable)");
  run_cmd->add_flag("--echo-log", config.echo_log, "Copy kernel log lines to stderr");
  run_cmd->add_option("--ready-fd", rc.ready_fd, "Write \"ready\\n\" to descriptor N when serving");
  run_cmd->add_option("--pidfile", rc.pidfile, "Write the pid to FILE when serving");
  run_cmd->add_flag("--background", rc.background,
                    "Serve in the background; return once serving (0) or failed");
  run_cmd->add_option("--dtc-timeout", dtc_timeout_s, "Seconds dtc may take for a .dts")
      ->check(CLI::Range(0.1, 3600.0));

  auto* demo_cmd = app.add_subcommand("demo", "Play the demo session (virtual time)");
  add_session_options(demo_cmd, &config);
  add_script_options(demo_cmd, &sc);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    int rc_exit = app.exit(e);
    return rc_exit == 0 ? 0 : 2;
  }
  // A script's options before a mode's name would otherwise be taken and do nothing.
  if ((*run_cmd || *demo_cmd) && script_file->count() > 0) {
    complain("a script (" + sc.file + ") and " + (*run_cmd ? "run" : "demo") +
             " are two modes: give one");
    return 2;
  }
  if (*run_cmd) {
    for (const CLI::Option* o : script_options) {
      if (o->count() > 0) {
        complain(o->get_name() + " is for a played script (SCRIPT or demo); run plays none");
        return 2;
      }
    }
  }
  if (!config.plug.empty()) {
    auto c = sim::parse_hdmi("plug " + config.plug);
    if (!c) {
      complain("--plug " + config.plug + ": " + c.error().message);
      return 2;
    }
  }
  config.dtc_timeout_ms = static_cast<int64_t>(dtc_timeout_s * 1000.0);
  if (*run_cmd) {
    if (rc.background) {
      int r = detach(&rc);
      if (r >= 0) return r;
    }
    config.clock = host::ClockMode::kReal;
    config.require_bound = true;
    return run(rc, config);
  }
  if (*demo_cmd) {
    sc.file = "demo";
    return play(sim::kDemoScript, config, sc);
  }
  if (sc.file.empty()) {
    std::cerr << app.help();
    return 2;
  }
  std::ifstream f(sc.file);
  if (!f) {
    complain("cannot read " + sc.file);
    return 2;
  }
  std::stringstream ss;
  ss << f.rdbuf();
  return play(ss.str(), config, sc);
}
