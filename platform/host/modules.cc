// The module loader.
#include "modules.h"

#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "faults.h"
#include "i2c_core.h"
#include "kernel.h"
#include "module_sections.h"
#include "platform/errno.h"
#include "platform/printk.h"
#include "vfs.h"
#include "warn.h"
#include "workqueues.h"

namespace host {

// --- ModInfo ----------------------------------------------------------------------------------

std::string ModInfo::get(const std::string& tag) const {
  for (const auto& [t, v] : fields) {
    if (t == tag) return v;
  }
  return "";
}

std::vector<std::string> ModInfo::all(const std::string& tag) const {
  std::vector<std::string> out;
  for (const auto& [t, v] : fields) {
    if (t == tag) out.push_back(v);
  }
  return out;
}

// --- Loaded modules ---------------------------------------------------------------------------

struct Modules::Loaded {
  enum class State { kComing, kLive, kGoing };

  std::string name;
  std::string path;
  void* handle = nullptr;
  struct module* mod = nullptr;
  initcall_t init = nullptr;
  exitcall_t exit = nullptr;
  ModuleSections info;
  uintptr_t begin = 0;  // the object's mapping
  uintptr_t end = 0;
  Mutex param_lock;  // serialises the parameters' set and get operations
  // Modules::mutex_.
  State state = State::kComing;
  int refs = 0;
};

namespace {

constexpr unsigned kParamOpsNoArg = 1;  // KERNEL_PARAM_OPS_FL_NOARG

struct Mapping {
  uintptr_t begin = 0;
  uintptr_t end = 0;
};

Mapping mapping_of(void* handle) {
  struct link_map* lm = nullptr;
  Mapping m;
  if (dlinfo(handle, RTLD_DI_LINKMAP, &lm) != 0 || lm == nullptr) return m;
  struct Query {
    struct link_map* lm;
    Mapping* out;
  } q{lm, &m};
  dl_iterate_phdr(
      [](struct dl_phdr_info* info, size_t, void* data) -> int {
        auto* q = static_cast<Query*>(data);
        if (info->dlpi_addr != q->lm->l_addr || info->dlpi_name == nullptr ||
            std::strcmp(info->dlpi_name, q->lm->l_name) != 0) {
          return 0;
        }
        uintptr_t lo = UINTPTR_MAX, hi = 0;
        for (int i = 0; i < info->dlpi_phnum; ++i) {
          const ElfW(Phdr)& ph = info->dlpi_phdr[i];
          if (ph.p_type != PT_LOAD) continue;
          lo = std::min<uintptr_t>(lo, info->dlpi_addr + ph.p_vaddr);
          hi = std::max<uintptr_t>(hi, info->dlpi_addr + ph.p_vaddr + ph.p_memsz);
        }
        if (hi > lo) *q->out = {lo, hi};
        return 1;
      },
      &q);
  return m;
}

std::string normalise_param_name(std::string s) {
  std::replace(s.begin(), s.end(), '-', '_');
  return s;
}

std::string stem_of(const std::string& path) {
  std::string base = path.substr(path.find_last_of('/') + 1);
  if (base.size() > 3 && base.compare(base.size() - 3, 3, ".so") == 0) base.resize(base.size() - 3);
  return base;
}

// The aliases modpost derives from a module's device tables.
void add_aliases(const ModuleSections& rec,
                 std::vector<std::pair<std::string, std::string>>* fields) {
  for (const of_device_id* table : rec.of_tables) {
    for (const of_device_id* id = table; id->name[0] || id->type[0] || id->compatible[0]; ++id) {
      std::string alias = std::string("of:N") + (id->name[0] ? id->name : "*") + "T" +
                          (id->type[0] ? id->type : "*");
      if (id->compatible[0]) alias += std::string(id->type[0] ? "*" : "") + "C" + id->compatible;
      for (char& c : alias) {
        if (c == ' ' || c == '\t' || c == '\n') c = '_';
      }
      fields->emplace_back("alias", alias);
      fields->emplace_back("alias", alias + "C*");
    }
  }
  for (const i2c_device_id* table : rec.i2c_tables) {
    for (const i2c_device_id* id = table; id->name[0]; ++id) {
      fields->emplace_back("alias", std::string("i2c:") + id->name);
    }
  }
}

ModInfo info_of(const std::string& name, const std::string& path, const ModuleSections& rec) {
  ModInfo info;
  info.name = name;
  info.path = path;
  info.fields = rec.fields;
  add_aliases(rec, &info.fields);
  for (const kernel_param* kp : rec.params) info.params.push_back({kp->name, kp->perm});
  return info;
}

}  // namespace

Modules::Modules() = default;
Modules::~Modules() = default;

std::string Modules::module_dir() {
  if (const char* build = std::getenv("LT_BUILD_DIR"); build != nullptr && build[0] != '\0') {
    return std::string(build) + "/modules";
  }
  char exe[4096];
  const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (n <= 0) return "modules";
  exe[n] = '\0';
  std::string dir(exe);
  dir.resize(dir.find_last_of('/'));
  return dir + "/../modules";
}

std::string Modules::resolve(const std::string& name_or_path) {
  if (name_or_path.find('/') != std::string::npos) return name_or_path;
  return module_dir() + "/" + stem_of(name_or_path) + ".so";
}

Modules::Loaded* Modules::find_locked(const std::string& name) const {
  for (const auto& m : modules_) {
    if (m->name == name) return m.get();
  }
  return nullptr;
}

int Modules::insmod(const std::string& name_or_path, const std::vector<std::string>& params) {
  const std::string path = resolve(name_or_path);
  std::lock_guard<Mutex> load(load_mutex_);
  if (access(path.c_str(), R_OK) != 0) return -ENOENT;
  {
    lt::MutexLock lock(mutex_);
    for (const auto& m : modules_) {
      if (m->path == path || m->name == stem_of(path)) return -EEXIST;
    }
  }
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    printk(KERN_ERR "%s: %s\n", stem_of(path).c_str(), dlerror());
    return -ENOEXEC;
  }
  auto* mod = static_cast<struct module*>(dlsym(handle, "__this_module"));
  if (mod == nullptr || mod->name == nullptr) {
    printk(KERN_ERR "%s: not a module (no __this_module)\n", stem_of(path).c_str());
    dlclose(handle);
    return -ENOEXEC;
  }
  std::optional<ModuleSections> sections = read_module_sections(path, handle);
  if (!sections) {
    printk(KERN_ERR "%s: module sections unreadable\n", stem_of(path).c_str());
    dlclose(handle);
    return -ENOEXEC;
  }
  auto m = std::make_unique<Loaded>();
  m->name = mod->name;
  m->path = path;
  m->handle = handle;
  m->mod = mod;
  m->info = std::move(*sections);
  if (auto* init = static_cast<initcall_t const*>(dlsym(handle, "__module_initcall"))) {
    m->init = *init;
  }
  if (auto* exit = static_cast<exitcall_t const*>(dlsym(handle, "__module_exitcall"))) {
    m->exit = *exit;
  }
  const Mapping map = mapping_of(handle);
  m->begin = map.begin;
  m->end = map.end;
  Loaded* raw = m.get();
  {
    lt::MutexLock lock(mutex_);
    if (find_locked(m->name) != nullptr) {
      dlclose(handle);
      return -EEXIST;
    }
    mod->host = raw;
    modules_.push_back(std::move(m));
  }
  auto forget = [&] {
    lt::MutexLock lock(mutex_);
    modules_.erase(std::find_if(modules_.begin(), modules_.end(),
                                [&](const auto& p) { return p.get() == raw; }));
  };

  int ret = apply_params(*raw, params);
  if (ret != 0) {
    // Nothing else was set up yet.
    mod->host = nullptr;
    dlclose(handle);
    forget();
    return ret;
  }
  add_param_files(*raw);
  if (raw->init != nullptr) {
    ret = raw->init();
    if (ret > 0) {
      printk(KERN_WARNING
             "do_init_module: '%s'->init suspiciously returned %d, it should follow 0/-E "
             "convention\n",
             raw->name.c_str(), ret);
      ret = 0;
    }
  }
  if (ret < 0) {
    {
      lt::MutexLock lock(mutex_);
      raw->state = Loaded::State::kGoing;
    }
    teardown(*raw);
    forget();
    return ret;
  }
  lt::MutexLock lock(mutex_);
  raw->state = Loaded::State::kLive;
  return 0;
}

int Modules::apply_params(Loaded& m, const std::vector<std::string>& params) {
  for (const std::string& p : params) {
    const size_t eq = p.find('=');
    const std::string name = normalise_param_name(p.substr(0, eq));
    std::optional<std::string> value;
    if (eq != std::string::npos) {
      value = p.substr(eq + 1);
      if (value->size() >= 2 && value->front() == '"' && value->back() == '"') {
        value = value->substr(1, value->size() - 2);
      }
    }
    const kernel_param* kp = nullptr;
    for (const kernel_param* candidate : m.info.params) {
      if (normalise_param_name(candidate->name) == name) kp = candidate;
    }
    if (kp == nullptr) {
      printk(KERN_WARNING "%s: unknown parameter '%s' ignored\n", m.name.c_str(), name.c_str());
      continue;
    }
    int err;
    if (!value && (kp->ops->flags & kParamOpsNoArg) == 0) {
      err = -EINVAL;
    } else if (kp->ops->set == nullptr) {
      err = -EPERM;
    } else {
      std::lock_guard<Mutex> lock(m.param_lock);
      err = kp->ops->set(value ? value->c_str() : nullptr, kp);
    }
    if (err != 0) {
      printk(KERN_ERR "%s: `%s' invalid for parameter `%s'\n", m.name.c_str(),
             value ? value->c_str() : "", kp->name);
      return err;
    }
  }
  return 0;
}

void Modules::add_param_files(Loaded& m) {
  Vfs& vfs = Kernel::get().vfs();
  const std::string dir = "/sys/module/" + m.name;
  vfs.mkdir_p(dir);
  for (const kernel_param* kp : m.info.params) {
    if (kp->perm == 0) continue;
    Loaded* owner = &m;
    AttrShow show = [owner, kp](char* page) -> ssize_t {
      if (kp->ops->get == nullptr) return -EPERM;
      std::lock_guard<Mutex> lock(owner->param_lock);
      return kp->ops->get(page, kp);
    };
    AttrStore store = [owner, kp](const char* buf, size_t count) -> ssize_t {
      if (kp->ops->set == nullptr) return -EPERM;
      int err;
      {
        std::lock_guard<Mutex> lock(owner->param_lock);
        err = kp->ops->set(buf, kp);
      }
      return err != 0 ? err : static_cast<ssize_t>(count);
    };
    vfs.add_attribute(dir + "/parameters/" + kp->name, kp->perm, std::move(show), std::move(store));
  }
}

// After exit (or a failed init): removes the module's files, checks what it left behind while
// its code is still mapped, and unmaps it.
void Modules::teardown(Loaded& m) {
  Kernel& k = Kernel::get();
  k.vfs().remove("/sys/module/" + m.name);
  for (const std::string& path : k.vfs().remove_owned_by(m.begin, m.end, m.mod)) {
    warn_context("module %s left %s behind at unload", m.name.c_str(), path.c_str());
  }
  k.wq().forget_range(m.begin, m.end, m.name.c_str());
  // As debugobjects reports freeing an object in use: a poller still linked on a queue in the
  // module's memory would unlink itself from freed memory when it leaves.
  for (const auto& [head, n] : k.vfs().waited_queues_in(m.begin, m.end)) {
    warn_context("module %s unloaded while the wait queue %p in its memory has %zu waiter(s)",
                 m.name.c_str(), head, n);
  }
  // Its next load starts its mutexes and wait queues afresh: their records go with it.
  k.vfs().forget_queues_in(m.begin, m.end);
  k.locks().forget_range(m.begin, m.end);
  k.i2c().forget_module(m.mod);
  m.mod->host = nullptr;
  dlclose(m.handle);
  m.handle = nullptr;
  if (void* still = dlopen(m.path.c_str(), RTLD_NOW | RTLD_NOLOAD)) {
    dlclose(still);
    warn_context("module %s is still mapped after unload: its next load keeps old state",
                 m.name.c_str());
  }
}

int Modules::rmmod(const std::string& name) {
  std::lock_guard<Mutex> load(load_mutex_);
  Loaded* m;
  {
    lt::MutexLock lock(mutex_);
    m = find_locked(name);
    if (m == nullptr) return -ENOENT;
    // As delete_module answers: a held reference is -EWOULDBLOCK, a module without exit -EBUSY.
    if (m->refs > 0) return -EWOULDBLOCK;
    if (m->init != nullptr && m->exit == nullptr) return -EBUSY;
    m->state = Loaded::State::kGoing;
  }
  if (m->exit != nullptr) m->exit();
  hook_point("module_exit");
  teardown(*m);
  lt::MutexLock lock(mutex_);
  modules_.erase(
      std::find_if(modules_.begin(), modules_.end(), [&](const auto& p) { return p.get() == m; }));
  return 0;
}

void Modules::unload_all() {
  std::lock_guard<Mutex> load(load_mutex_);
  for (;;) {
    Loaded* m;
    {
      lt::MutexLock lock(mutex_);
      if (modules_.empty()) return;
      m = modules_.back().get();
      m->state = Loaded::State::kGoing;
    }
    if (m->exit != nullptr) m->exit();
    teardown(*m);
    lt::MutexLock lock(mutex_);
    modules_.pop_back();
  }
}

std::optional<ModInfo> Modules::modinfo(const std::string& name_or_path) {
  {
    lt::MutexLock lock(mutex_);
    const std::string stem = stem_of(name_or_path);
    for (const auto& m : modules_) {
      if (m->name == stem || m->path == name_or_path) return info_of(m->name, m->path, m->info);
    }
  }
  const std::string path = resolve(name_or_path);
  std::lock_guard<Mutex> load(load_mutex_);
  if (access(path.c_str(), R_OK) != 0) return std::nullopt;
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) return std::nullopt;
  auto* mod = static_cast<struct module*>(dlsym(handle, "__this_module"));
  std::optional<ModInfo> info;
  if (mod != nullptr && mod->name != nullptr) {
    if (std::optional<ModuleSections> sections = read_module_sections(path, handle)) {
      info = info_of(mod->name, path, *sections);
    }
  }
  dlclose(handle);
  return info;
}

bool Modules::loaded(const std::string& name) const {
  lt::MutexLock lock(mutex_);
  return find_locked(name) != nullptr;
}

std::vector<std::string> Modules::list() const {
  lt::MutexLock lock(mutex_);
  std::vector<std::string> out;
  for (const auto& m : modules_) out.push_back(m->name);
  return out;
}

int Modules::refcount(const std::string& name) const {
  lt::MutexLock lock(mutex_);
  const Loaded* m = find_locked(name);
  return m == nullptr ? -1 : m->refs;
}

void* Modules::symbol(const std::string& module, const char* name) const {
  lt::MutexLock lock(mutex_);
  const Loaded* m = find_locked(module);
  return m == nullptr ? nullptr : dlsym(m->handle, name);
}

bool Modules::try_get(struct module* mod) {
  if (mod == nullptr) return true;
  if (fault("try_module_get", mod->name == nullptr ? "" : mod->name)) return false;
  lt::MutexLock lock(mutex_);
  auto* m = static_cast<Loaded*>(mod->host);
  if (m == nullptr) return true;  // not a loaded module (built into the host)
  if (m->state == Loaded::State::kGoing) return false;
  ++m->refs;
  return true;
}

void Modules::put(struct module* mod) {
  if (mod == nullptr) return;
  bool underflow = false;
  {
    lt::MutexLock lock(mutex_);
    auto* m = static_cast<Loaded*>(mod->host);
    if (m == nullptr) return;
    if (m->refs == 0) {
      underflow = true;
    } else {
      --m->refs;
    }
  }
  if (underflow) warn_context("module_put: %s has no reference to put", mod->name);
}

}  // namespace host

extern "C" {

bool try_module_get(struct module* mod) { return host::Kernel::get().modules().try_get(mod); }

void module_put(struct module* mod) { host::Kernel::get().modules().put(mod); }

}  // extern "C"
