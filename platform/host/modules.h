// The module loader: insmod/rmmod of loadable objects, module information, references and
// parameters.
//
// A module is a shared object built by add_kernel_module (cmake/KernelModule.cmake); it has no
// constructors (checked at build). insmod loads it with dlopen and reads what it defines
// statically: its information (MODULE_*), parameters (module_param_cb) and device tables
// (MODULE_DEVICE_TABLE), see module_sections.h. Then the loader applies the parameters given, in
// their order, through their set operation under the module's parameter lock, creates
// /sys/module/<name>/parameters/<param> for every parameter with permissions, and runs init.
// Every load starts from the object's load values, because rmmod really unmaps it (checked).
//
// rmmod refuses with -EWOULDBLOCK while a reference (try_module_get) is held, as Linux's
// delete_module does, and with -EBUSY for a module that has init but no exit; otherwise the
// module is marked going (try_module_get fails from then on), exit runs, its sysfs directory is
// removed, leftovers are checked (a /proc entry or a pending work item that the module left behind
// is a WARN, and is removed or cancelled while the code is still mapped), the host's records of its
// mutexes and wait queues are forgotten, and the object is unmapped.
//
// Threading: insmod, rmmod and unload_all are serialised by one sleeping lock (module code
// runs under it and may sleep); the other members may be called from any task. try_get and put
// are safe in any context.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "locks.h"
#include "platform/i2c.h"
#include "platform/module.h"
#include "platform/moduleparam.h"
#include "platform/of.h"
#include "thread_safety.h"

namespace host {

struct ParamInfo {
  std::string name;
  unsigned perm = 0;
};

// What `modinfo` shows for a module.
struct ModInfo {
  std::string name;
  std::string path;
  // Every tag and value in the order the module gave them; the aliases of the device tables
  // follow as "alias" fields.
  std::vector<std::pair<std::string, std::string>> fields;
  std::vector<ParamInfo> params;

  // The first value of a tag, or "".
  std::string get(const std::string& tag) const;
  // Every value of a tag.
  std::vector<std::string> all(const std::string& tag) const;
  std::string description() const { return get("description"); }
  std::string version() const { return get("version"); }
  std::string license() const { return get("license"); }
  std::vector<std::string> aliases() const { return all("alias"); }
  // "name:description" per MODULE_PARM_DESC.
  std::vector<std::string> parm_descriptions() const { return all("parm"); }
};

class Modules {
 public:
  Modules();
  ~Modules();
  Modules(const Modules&) = delete;
  Modules& operator=(const Modules&) = delete;

  // Loads a module by name (<module_dir()>/<name>.so) or by path to its .so. params are
  // "name=value" texts. 0 or a negative errno: -ENOENT (no such object), -ENOEXEC (not a
  // module, unresolved symbols, or unreadable module sections), -EEXIST (loaded already), a
  // parameter's set error, or the init function's error.
  int insmod(const std::string& name_or_path, const std::vector<std::string>& params = {});
  // 0, -ENOENT (not loaded), -EWOULDBLOCK (a reference is held) or -EBUSY (no exit).
  int rmmod(const std::string& name);
  // Unloads every module, newest first, whatever references are held (shutdown).
  void unload_all();

  // From the loaded module, or else from the object on disk (loaded briefly to read it).
  std::optional<ModInfo> modinfo(const std::string& name_or_path);

  bool loaded(const std::string& name) const;
  std::vector<std::string> list() const;
  // References held, or -1 when the module is not loaded.
  int refcount(const std::string& name) const;
  // A symbol of a loaded module (for tests), or nullptr.
  void* symbol(const std::string& module, const char* name) const;

  // The folder of module objects: $LT_BUILD_DIR/modules, else the modules folder beside the
  // executable's folder (<build>/bin/x -> <build>/modules).
  static std::string module_dir();
  static std::string resolve(const std::string& name_or_path);

  // Module references (try_module_get / module_put).
  bool try_get(struct module* mod);
  void put(struct module* mod);

 private:
  struct Loaded;
  struct Staged;

  int apply_params(Loaded& m, const std::vector<std::string>& params);
  void add_param_files(Loaded& m);
  void teardown(Loaded& m);
  Loaded* find_locked(const std::string& name) const LT_REQUIRES(mutex_);

  Mutex load_mutex_;         // serialises insmod, rmmod, unload_all and modinfo's temporary loads
  mutable lt::Mutex mutex_;  // also guards each module's state and refcount
  std::vector<std::unique_ptr<Loaded>> modules_ LT_GUARDED_BY(mutex_);
};

}  // namespace host
