// Device-tree source compiled with dtc, for tests that build their own trees.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace testing_support {

// The dtb of `source`; empty when dtc refuses it.
inline std::vector<uint8_t> compile_dts(const std::string& source) {
  char in[] = "/tmp/lt7911_dts_XXXXXX";
  int fd = mkstemp(in);
  if (fd < 0) return {};
  if (write(fd, source.data(), source.size()) != static_cast<ssize_t>(source.size())) {
    close(fd);
    unlink(in);
    return {};
  }
  close(fd);
  const std::string out = std::string(in) + ".dtb";
  const std::string cmd = "dtc -q -I dts -O dtb -o " + out + " " + in + " 2>/dev/null";
  FILE* p = popen(cmd.c_str(), "r");
  const int rc = p ? pclose(p) : -1;
  std::ifstream f(out, std::ios::binary);
  std::vector<uint8_t> dtb((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  unlink(in);
  unlink(out.c_str());
  return rc == 0 ? dtb : std::vector<uint8_t>{};
}

}  // namespace testing_support
