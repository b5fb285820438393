// Real processes for end-to-end tests: a shell command's exit code and output.
#pragma once

#include <sys/wait.h>

#include <cstdio>
#include <string>

namespace testing_support {

struct Cmd {
  int code;
  std::string out;
};

// Runs `script` with sh (stdout and stderr together, messages in the C locale), killed after
// timeout_s seconds.
inline Cmd sh(const std::string& script, int timeout_s = 30) {
  Cmd c{};
  const std::string cmd =
      "LC_ALL=C timeout " + std::to_string(timeout_s) + " sh -c '" + script + "' 2>&1";
  FILE* p = popen(cmd.c_str(), "r");
  if (p == nullptr) return {-1, "popen failed"};
  char buf[512];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) c.out.append(buf, n);
  int st = pclose(p);
  c.code = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return c;
}

// The result of one write(2) of text to path from another process: the count, or the errno's
// name.
inline std::string write_result(const std::string& path, const std::string& text) {
  return sh("python3 -c \"import os,errno\ntry:\n fd=os.open(\\\"" + path +
            "\\\",os.O_WRONLY); print(os.write(fd,b\\\"" + text +
            "\\\"))\nexcept OSError as e: print(errno.errorcode[e.errno])\"")
      .out;
}

}  // namespace testing_support
