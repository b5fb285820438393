// lt7911-monitor: follows the HDMI input through /proc/lt7911_info, the way a program on the
// board does: open status, read it, wait in poll() for POLLPRI, re-read after each wake-up.
#include <CLI/CLI.hpp>
#include <charconv>
#include <cstdio>
#include <string>

#include "tools/monitor/follower.h"
#include "tools/monitor/posix_tree.h"

int main(int argc, char** argv) {
  CLI::App app{
      "Follows the HDMI input of an LT7911D board through /proc/lt7911_info and prints one line "
      "per change.\n\nExit codes: 0 done (--count reached, or SIGINT/SIGTERM), 1 error, 2 bad "
      "command line, 3 --timeout ran out first.",
      "lt7911-monitor"};
  monitor::Options options;
  double timeout_s = -1;
  int64_t count = -1;
  app.add_option("--root", options.root, "Directory that stands for / (a simulator mount)")
      ->capture_default_str();
  app.add_flag("--ack", options.ack, "Write \"ok\" to the status file after a \"new res\" status");
  app.add_flag("--json", options.json, "Print one JSON object per line");
  app.set_version_flag("--version", std::string("lt7911-monitor ") + LT_TOOLS_VERSION);
  app.add_option("--count", count, "Exit after printing N state lines (the first one included)")
      ->check(CLI::Validator(
          [](std::string& v) {
            long long n = 0;
            auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), n);
            bool ok = ec == std::errc() && end == v.data() + v.size() && n >= 1;
            return ok ? std::string() : "--count is a number of lines, at least 1";
          },
          "N>=1"));
  std::string until;
  app.add_option("--until", until, "Exit once the status reads TEXT (\"new res\", \"stable\"...)");
  app.add_option("--timeout", timeout_s, "Exit with code 3 after SECONDS")
      ->check(CLI::NonNegativeNumber);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    int rc = app.exit(e);
    return rc == 0 ? 0 : monitor::kExitUsage;
  }
  if (count > 0) options.count = count;
  if (!until.empty()) options.until = until;
  if (timeout_s >= 0) options.timeout_ms = static_cast<int64_t>(timeout_s * 1000.0);

  monitor::PosixTree tree(options.root);
  monitor::Follower follower(
      tree, options,
      [](const std::string& line) {
        std::fputs(line.c_str(), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
      },
      [](const std::string& line) {
        std::fputs(line.c_str(), stderr);
        std::fputc('\n', stderr);
      });
  return follower.run();
}
