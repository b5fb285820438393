// The VFS tree: paths, procfs entries, directories and attribute files, and detaching them.
#include "proc_tree.h"

#include <sys/stat.h>

#include <utility>

#include "faults.h"
#include "process.h"
#include "warn.h"

namespace host {
namespace {

std::vector<std::string> split_path(const std::string& path) {
  std::vector<std::string> parts;
  size_t i = 0;
  while (i < path.size()) {
    size_t j = path.find('/', i);
    if (j == std::string::npos) j = path.size();
    std::string part = path.substr(i, j - i);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(std::move(part));
    }
    i = j + 1;
  }
  return parts;
}

std::shared_ptr<proc_dir_entry> make_node(std::string name, umode_t mode) {
  auto n = std::make_shared<proc_dir_entry>();
  n->name = std::move(name);
  n->mode = mode;
  n->ino.i_mode = mode;
  return n;
}

}  // namespace

// Linux DAC: root passes; others use the group bits (every entry belongs to gid 0) or the
// bits for others. Every entry belongs to uid 0, so no other user is ever its owner.
bool permitted(const Process& proc, umode_t mode, bool want_read, bool want_write) {
  if (proc.uid == 0) return true;
  const unsigned bits = proc.gid == 0 ? (mode >> 3) & 7u : mode & 7u;
  if (want_read && (bits & 4u) == 0) return false;
  if (want_write && (bits & 2u) == 0) return false;
  return true;
}

// --- Paths ------------------------------------------------------------------------------------

ProcTree::ProcTree() {
  root_ = make_node("", S_IFDIR | 0755);
  proc_root_ = make_node("proc", S_IFDIR | 0555);
  sys_root_ = make_node("sys", S_IFDIR | 0755);
  proc_root_->parent = root_.get();
  sys_root_->parent = root_.get();
  root_->children["proc"] = proc_root_;
  root_->children["sys"] = sys_root_;
}

std::shared_ptr<proc_dir_entry> ProcTree::walk_locked(const std::string& path) const {
  std::shared_ptr<Node> n = root_;
  for (const std::string& part : split_path(path)) {
    if (!n->is_dir()) return nullptr;
    auto it = n->children.find(part);
    if (it == n->children.end()) return nullptr;
    n = it->second;
  }
  return n;
}

// The directory that holds the last component of `name` below `base` (procfs names may hold
// '/'-separated components), with that component in *leaf; nullptr when a component is
// missing, is no directory, or base is no longer in the tree.
std::shared_ptr<proc_dir_entry> ProcTree::parent_of_locked(Node* base, const char* name,
                                                           std::string* leaf) const {
  if (base == nullptr || name == nullptr || !base->linked || !base->is_dir()) return nullptr;
  std::vector<std::string> parts = split_path(name);
  if (parts.empty()) return nullptr;
  // base is linked, so the tree holds a shared reference to it.
  std::shared_ptr<Node> dir;
  if (base == root_.get()) {
    dir = root_;
  } else {
    auto it = base->parent->children.find(base->name);
    if (it == base->parent->children.end()) return nullptr;
    dir = it->second;
  }
  for (size_t i = 0; i + 1 < parts.size(); ++i) {
    auto it = dir->children.find(parts[i]);
    if (it == dir->children.end() || !it->second->is_dir()) return nullptr;
    dir = it->second;
  }
  *leaf = parts.back();
  return dir;
}

std::shared_ptr<proc_dir_entry> ProcTree::make_dirs_locked(const std::string& path) {
  std::shared_ptr<Node> n = root_;
  for (const std::string& part : split_path(path)) {
    if (!n->is_dir()) return nullptr;
    auto it = n->children.find(part);
    if (it == n->children.end()) {
      auto dir = make_node(part, S_IFDIR | 0755);
      dir->parent = n.get();
      n->children[part] = dir;
      n = dir;
    } else {
      n = it->second;
    }
  }
  return n->is_dir() ? n : nullptr;
}

std::string ProcTree::path_of_locked(const Node* node) const {
  std::string path;
  for (const Node* n = node; n != nullptr && n != root_.get(); n = n->parent) {
    path = "/" + n->name + path;
  }
  return path.empty() ? "/" : path;
}

// --- procfs -----------------------------------------------------------------------------------

proc_dir_entry* ProcTree::create(const char* call, const char* name, proc_dir_entry* parent,
                                 std::shared_ptr<Node> node) {
  if (fault(call, name == nullptr ? "" : name)) return nullptr;
  std::string warning;
  {
    lt::MutexLock lock(mutex_);
    std::string leaf;
    std::shared_ptr<Node> dir =
        parent_of_locked(parent == nullptr ? proc_root_.get() : parent, name, &leaf);
    if (dir == nullptr) return nullptr;
    if (dir->children.count(leaf) != 0) {
      const std::string dir_name = dir == proc_root_ ? "/proc" : dir->name;
      warning = "proc_dir_entry '" + dir_name + "/" + leaf + "' already registered";
    } else {
      node->name = leaf;
      node->parent = dir.get();
      dir->children[leaf] = node;
      return node.get();
    }
  }
  warn_context("%s", warning.c_str());
  return nullptr;
}

proc_dir_entry* ProcTree::proc_mkdir(const char* name, proc_dir_entry* parent, uintptr_t creator) {
  auto node = make_node("", S_IFDIR | 0555);
  node->creator = creator;
  return create("proc_mkdir", name, parent, std::move(node));
}

proc_dir_entry* ProcTree::proc_create(const char* name, umode_t mode, proc_dir_entry* parent,
                                      const file_operations* fops, uintptr_t creator) {
  // As procfs: a regular file unless told otherwise, readable by all if no bits are given.
  if ((mode & S_IFMT) == 0) mode |= S_IFREG;
  if ((mode & 0777) == 0) mode |= 0444;
  auto node = make_node("", mode);
  node->fops = fops;
  node->creator = creator;
  return create("proc_create", name, parent, std::move(node));
}

void ProcTree::detach_proc_entry(const char* name, proc_dir_entry* parent, Detached* out) {
  std::string warning;
  {
    lt::MutexLock lock(mutex_);
    std::string leaf;
    std::shared_ptr<Node> dir =
        parent_of_locked(parent == nullptr ? proc_root_.get() : parent, name, &leaf);
    auto it = dir == nullptr ? decltype(dir->children)::iterator{} : dir->children.find(leaf);
    if (dir == nullptr || it == dir->children.end()) {
      warning = std::string("name '") + (name == nullptr ? "(null)" : name) + "'";
    } else {
      std::shared_ptr<Node> node = it->second;
      if (!node->children.empty()) {
        // Linux leaks the children here; they are run down and removed with the directory.
        const std::string dir_name = dir == proc_root_ ? "/proc" : dir->name;
        warning = "remove_proc_entry: removing non-empty directory '" + dir_name + "/" +
                  node->name + "', leaking at least '" + node->children.begin()->first + "'";
      }
      detach_locked(node, out);
    }
  }
  if (!warning.empty()) warn_context("%s", warning.c_str());
}

// Unlinks node and everything below it; collects them, top first, and their paths.
void ProcTree::detach_locked(const std::shared_ptr<Node>& node, Detached* out) {
  const size_t first = out->nodes.size();
  const std::string top = path_of_locked(node.get());
  std::vector<std::shared_ptr<Node>> stack{node};
  while (!stack.empty()) {
    std::shared_ptr<Node> n = stack.back();
    stack.pop_back();
    n->linked = false;
    out->nodes.push_back(n);
    for (auto& [child_name, child] : n->children) stack.push_back(child);
  }
  // Below the top, parents are removed nodes that the caller holds: the paths read safely.
  for (size_t i = first; i < out->nodes.size(); ++i) {
    const Node* n = out->nodes[i].get();
    std::string below;
    for (const Node* m = n; m != node.get(); m = m->parent) below = "/" + m->name + below;
    out->paths.push_back(top + below);
  }
  if (node->parent != nullptr) node->parent->children.erase(node->name);
}

// --- Attribute files and directories -------------------------------------------------------------

bool ProcTree::add_attribute(const std::string& path, umode_t mode, AttrShow show,
                             AttrStore store) {
  std::vector<std::string> parts = split_path(path);
  if (parts.empty()) return false;
  lt::MutexLock lock(mutex_);
  std::string dir_path;
  for (size_t i = 0; i + 1 < parts.size(); ++i) dir_path += "/" + parts[i];
  std::shared_ptr<Node> dir = make_dirs_locked(dir_path);
  if (dir == nullptr || dir->children.count(parts.back()) != 0) return false;
  auto node = make_node(parts.back(), S_IFREG | (mode & 07777));
  node->attribute = true;
  node->show = std::move(show);
  node->store = std::move(store);
  node->parent = dir.get();
  dir->children[parts.back()] = node;
  return true;
}

bool ProcTree::mkdir_p(const std::string& path) {
  lt::MutexLock lock(mutex_);
  return make_dirs_locked(path) != nullptr;
}

bool ProcTree::detach(const std::string& path, Detached* out) {
  lt::MutexLock lock(mutex_);
  std::shared_ptr<Node> node = walk_locked(path);
  if (node == nullptr || node == root_ || node == proc_root_ || node == sys_root_) return false;
  detach_locked(node, out);
  return true;
}

std::vector<std::string> ProcTree::detach_owned_by(uintptr_t begin, uintptr_t end,
                                                   const module* owner, Detached* out) {
  auto inside = [&](uintptr_t a) { return a >= begin && a < end; };
  std::vector<std::string> paths;
  lt::MutexLock lock(mutex_);
  std::vector<std::shared_ptr<Node>> mine;
  std::vector<std::shared_ptr<Node>> stack{proc_root_};
  while (!stack.empty()) {
    std::shared_ptr<Node> n = stack.back();
    stack.pop_back();
    const bool owned =
        n != proc_root_ && (inside(n->creator) || inside(reinterpret_cast<uintptr_t>(n->fops)) ||
                            (n->fops != nullptr && owner != nullptr && n->fops->owner == owner));
    if (owned) {
      mine.push_back(n);
      continue;  // its subtree goes with it
    }
    for (auto& [name, child] : n->children) stack.push_back(child);
  }
  for (const auto& n : mine) {
    paths.push_back(path_of_locked(n.get()));
    detach_locked(n, out);
  }
  return paths;
}

void ProcTree::detach_all(Detached* out) {
  lt::MutexLock lock(mutex_);
  for (const auto& top : {proc_root_, sys_root_}) {
    std::vector<std::shared_ptr<Node>> children;
    for (auto& [name, child] : top->children) children.push_back(child);
    for (const auto& c : children) detach_locked(c, out);
  }
}

// --- Queries ----------------------------------------------------------------------------------

std::shared_ptr<proc_dir_entry> ProcTree::find(const std::string& path) const {
  lt::MutexLock lock(mutex_);
  return walk_locked(path);
}

std::optional<std::vector<DirEntry>> ProcTree::readdir(const std::string& path) const {
  lt::MutexLock lock(mutex_);
  std::shared_ptr<Node> n = walk_locked(path);
  if (n == nullptr || !n->is_dir()) return std::nullopt;
  std::vector<DirEntry> out;
  for (const auto& [name, child] : n->children) out.push_back({name, child->mode, child->is_dir()});
  return out;
}

std::optional<Stat> ProcTree::stat(const std::string& path) const {
  lt::MutexLock lock(mutex_);
  std::shared_ptr<Node> n = walk_locked(path);
  if (n == nullptr) return std::nullopt;
  return Stat{n->mode, n->is_dir()};
}

bool ProcTree::exists(const std::string& path) const {
  lt::MutexLock lock(mutex_);
  return walk_locked(path) != nullptr;
}

size_t ProcTree::live_entries() {
  return proc_dir_entry::live_entries.load(std::memory_order_relaxed);
}

}  // namespace host
