// Attribute files: a page filled by show and served to reads, writes handed to store.
#include "attributes.h"

#include <string>
#include <utility>

#include "descriptors.h"
#include "platform/errno.h"
#include "platform/procfs.h"
#include "uaccess.h"

namespace host {

// The page is filled by show at the first read, and again only when a read does not go on from
// where the last one stopped (after a seek): a value is never read half from one show and half
// from another.
ssize_t attr_read(OpenFile& f, const UserBuffer& buf, size_t count) {
  if (!f.node->show) return -EIO;
  if (!f.attr_filled || f.file.f_pos != f.attr_next) {
    std::string page(kAttrPageSize + 1, '\0');
    ssize_t len = f.node->show(page.data());
    if (len < 0) return len;
    if (static_cast<size_t>(len) > kAttrPageSize) len = static_cast<ssize_t>(kAttrPageSize);
    page.resize(static_cast<size_t>(len));
    f.attr_page = std::move(page);
    f.attr_filled = true;
  }
  loff_t pos = f.file.f_pos;
  const ssize_t ret =
      simple_read_from_buffer(buf.data, count, &pos, f.attr_page.data(), f.attr_page.size());
  if (ret >= 0) {
    f.file.f_pos = pos;
    f.attr_next = pos;
  }
  return ret;
}

ssize_t attr_write(OpenFile& f, const UserBuffer& buf, size_t count) {
  if (!f.node->store) return -EIO;
  if (count > kAttrPageSize) return -E2BIG;
  std::string page(count + 1, '\0');
  if (copy_from_user(page.data(), buf.data, count) != 0) return -EFAULT;
  const ssize_t ret = f.node->store(page.data(), count);
  if (ret > 0) f.file.f_pos += ret;
  return ret;
}

}  // namespace host
