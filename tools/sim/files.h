// Files the simulator writes: whole texts, and replacements made through a temporary file.
//
// Threading: plain POSIX file calls; any thread may use these.
#pragma once

#include <string>

namespace sim {

// Writes `text` to `path`, replacing what was there. 0, or a negative errno.
int write_file(const std::string& path, const std::string& text);

// A temporary file, by name: it is removed when the object goes out of scope, on every path,
// unless it has been renamed into place. Making the file is up to the owner (write_file).
class TempFile {
 public:
  // Names a temporary file beside `path`: "PATH.tmpPID", this process's id.
  explicit TempFile(const std::string& path);
  ~TempFile();
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  const std::string& path() const { return path_; }
  // Renames the file to `dest`, which it then is for good. 0, or a negative errno (the file
  // stays temporary).
  int rename_to(const std::string& dest);

 private:
  std::string path_;
  bool kept_ = false;
};

// Replaces `path` with a file holding `text`, at once: a reader sees the old file or the whole
// new one, never part of it, and a failure leaves no temporary file behind. 0, or a negative
// errno.
int replace_file(const std::string& path, const std::string& text);

}  // namespace sim
