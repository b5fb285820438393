// Attribute files (sysfs style): reads and writes through a show and a store function.
//
// show fills a page of kAttrPageSize bytes and returns the length or a negative errno; store
// gets the written bytes NUL-terminated and returns the count consumed or a negative errno.
// Either may be empty: reads or writes then fail with -EIO. An open file's page is guarded by
// its position lock (OpenFile::pos_lock), which the callers hold.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <functional>

namespace host {

constexpr size_t kAttrPageSize = 4096;
using AttrShow = std::function<ssize_t(char* page)>;
using AttrStore = std::function<ssize_t(const char* buf, size_t count)>;

struct OpenFile;
struct UserBuffer;

// read and write of an open attribute file, at and moving its position.
ssize_t attr_read(OpenFile& f, const UserBuffer& buf, size_t count);
ssize_t attr_write(OpenFile& f, const UserBuffer& buf, size_t count);

}  // namespace host
