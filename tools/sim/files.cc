#include "tools/sim/files.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>

namespace sim {

int write_file(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) return errno != 0 ? -errno : -EIO;
  out << text;
  out.close();
  return out ? 0 : -EIO;
}

TempFile::TempFile(const std::string& path) : path_(path + ".tmp" + std::to_string(::getpid())) {}

TempFile::~TempFile() {
  if (!kept_) ::unlink(path_.c_str());
}

int TempFile::rename_to(const std::string& dest) {
  if (::rename(path_.c_str(), dest.c_str()) != 0) return -errno;
  kept_ = true;
  return 0;
}

int replace_file(const std::string& path, const std::string& text) {
  TempFile tmp(path);
  if (int r = write_file(tmp.path(), text); r != 0) return r;
  return tmp.rename_to(path);
}

}  // namespace sim
