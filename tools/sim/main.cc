// lt7911-sim: the simulated board. `run` serves it through a FUSE mount in real time, `demo`
// plays the built-in session in virtual time, and a script file plays any session.
#include <signal.h>
#include <sys/stat.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>

#include "platform/host/log.h"
#include "platform/host/warn.h"
#include "tools/sim/exports.h"
#include "tools/sim/fuse_bridge.h"
#include "tools/sim/script.h"
#include "tools/sim/session.h"

namespace {

void print(const std::string& line) {
  std::fputs(line.c_str(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

// The files the timeline's exports go to after a scripted run (--export-FORMAT FILE).
struct Exports {
  std::vector<std::pair<sim::ExportFormat, std::string>> files;
  void add_options(CLI::App* app) {
    for (const char* name : {"text", "json", "vcd", "svg"}) {
      app->add_option_function<std::string>(
          std::string("--export-") + name,
          [this, name](const std::string& f) {
            files.emplace_back(*sim::parse_export_format(name), f);
          },
          std::string("Write the timeline as ") + name + " to FILE at the end");
    }
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

int play(const std::string& text, const sim::SessionConfig& config, const Exports& exports) {
  auto parsed = sim::parse_script(text);
  if (!parsed) {
    std::fprintf(stderr, "lt7911-sim: %s\n", parsed.error.c_str());
    return 2;
  }
  std::string why;
  std::unique_ptr<sim::Session> s = sim::Session::start(config, &why);
  if (!s) {
    std::fprintf(stderr, "lt7911-sim: %s\n", why.c_str());
    return 1;
  }
  int r = sim::run_script(*s, *parsed, print);
  if (exports.write(*s) != 0) r = 1;
  // A kernel rule broken on the way (a WARN) fails the run, as it fails a test.
  if (host::Kernel::get().warnings().count() > 0) {
    std::fprintf(stderr, "lt7911-sim: kernel warnings:\n%s\n",
                 host::Kernel::get().warnings().describe().c_str());
    r = 1;
  }
  s.reset();
  return r;
}

int run(const std::string& mount, const sim::SessionConfig& config) {
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);  // every thread inherits it; sigwait takes them

  sim::FuseBridge::clean_stale(mount);
  struct stat st {};
  if (stat(mount.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    std::fprintf(stderr, "lt7911-sim: %s is not a directory\n", mount.c_str());
    return 1;
  }
  std::string why;
  std::unique_ptr<sim::Session> s = sim::Session::start(config, &why);
  if (!s) {
    std::fprintf(stderr, "lt7911-sim: %s\n", why.c_str());
    return 1;
  }
  sim::FuseBridge bridge(
      s->kernel().vfs(), [] { return host::Kernel::get().log().dmesg(); }, s->control_files());
  if (bridge.mount(mount, &why) != 0) {
    std::fprintf(stderr, "lt7911-sim: %s\n", why.c_str());
    return 1;
  }
  print("lt7911-sim: ready, board " + s->board().chip_device_name() + " mounted at " + mount);
  int sig = 0;
  sigwait(&stop, &sig);
  print("lt7911-sim: stopping");
  bridge.unmount();
  s.reset();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"The simulated LT7911D board with the lt7911_manage driver.", "lt7911-sim"};
  app.require_subcommand(0, 1);
  sim::SessionConfig config;
  std::string script;
  app.add_option("script", script, "A session script to play in virtual time");
  Exports exports;
  exports.add_options(&app);
  app.add_option("--timeline-size", config.timeline, "Events the timeline keeps (0: off)");

  auto* run_cmd = app.add_subcommand("run", "Serve the board through a FUSE mount (real time)");
  std::string mount;
  run_cmd->add_option("--mount", mount, "Mount point (an existing directory)")->required();
  run_cmd->add_option("--board", config.board, "Board device tree (.dts or .dtb)");
  run_cmd->add_option("--param", config.params, "Module parameter NAME=VALUE (repeatable)");
  run_cmd->add_flag("--echo-log", config.echo_log, "Copy kernel log lines to stderr");
  run_cmd->add_option("--timeline-size", config.timeline, "Events the timeline keeps (0: off)");

  auto* demo_cmd = app.add_subcommand("demo", "Play the demo session (virtual time)");
  demo_cmd->add_option("--board", config.board, "Board device tree (.dts or .dtb)");
  exports.add_options(demo_cmd);
  demo_cmd->add_option("--timeline-size", config.timeline, "Events the timeline keeps (0: off)");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    int rc = app.exit(e);
    return rc == 0 ? 0 : 2;
  }
  if (*run_cmd) {
    config.clock = host::ClockMode::kReal;
    return run(mount, config);
  }
  if (*demo_cmd) return play(sim::kDemoScript, config, exports);
  if (script.empty()) {
    std::cerr << app.help();
    return 2;
  }
  std::ifstream f(script);
  if (!f) {
    std::fprintf(stderr, "lt7911-sim: cannot read %s\n", script.c_str());
    return 2;
  }
  std::stringstream ss;
  ss << f.rdbuf();
  return play(ss.str(), config, exports);
}
