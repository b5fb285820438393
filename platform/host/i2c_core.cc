// The I2C core: adapters, clients, drivers, binding, and the i2c_* / i2c_smbus_* entry points.
#include <strings.h>
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "device_tree.h"
#include "faults.h"
#include "i2c_core.h"
#include "kernel.h"
#include "log.h"
#include "platform/errno.h"
#include "warn.h"

namespace host {

struct I2cCore::Adapter {
  i2c_adapter adap{};
  std::shared_ptr<I2cBus> bus;
  Mutex bus_lock;        // held for one whole transaction
  int refs = 0;          // I2cCore::mutex_
  bool deleted = false;  // I2cCore::mutex_
};

struct I2cCore::Client {
  i2c_client client{};
  Adapter* adapter = nullptr;
  std::string name;  // "<nr>-<addr>"
  bool dummy = false;
  // Written under the bind lock and mutex_; read under either.
  Driver* driver = nullptr;
  uint64_t bound_at = 0;  // binding sequence number, for newest-first removal
};

struct I2cCore::Driver {
  i2c_driver* drv = nullptr;
  std::string name;
};

// Holds the bind lock for the calling task; nested use by the same task (module code that calls
// back into the core from a probe or remove) does not lock again. The outermost holder reports
// the clients left unbound to the modalias handler after releasing the lock.
class I2cCore::BindLock {
 public:
  explicit BindLock(I2cCore& core) : core_(core) {
    Task* self = &current();
    if (core_.bind_owner_.load(std::memory_order_acquire) == self) return;
    core_.bind_mutex_.lock();
    core_.bind_owner_.store(self, std::memory_order_release);
    outer_ = true;
  }
  ~BindLock() {
    if (!outer_) return;
    std::vector<std::string> unbound;
    unbound.swap(core_.unbound_);
    core_.bind_owner_.store(nullptr, std::memory_order_release);
    core_.bind_mutex_.unlock();
    core_.notify_unbound(unbound);
  }
  BindLock(const BindLock&) = delete;
  BindLock& operator=(const BindLock&) = delete;

 private:
  I2cCore& core_;
  bool outer_ = false;
};

namespace {

void copy_name(char* dst, size_t size, const char* src) {
  std::snprintf(dst, size, "%s", src ? src : "");
}

void log_line(const char* level, const std::string& text) {
  Kernel::get().log().printk((std::string(level) + text).c_str());
}

// Linux's dev_err on an adapter: "i2c i2c-<nr>: <text>".
void adapter_err(const i2c_adapter& adap, const std::string& text) {
  log_line("\0013", "i2c i2c-" + std::to_string(adap.nr) + ": " + text);
}

bool compat_eq(const char* a, const std::string& b) { return strcasecmp(a, b.c_str()) == 0; }

// The entry of an OF table that matches the client, as i2c_of_match_device does.
const of_device_id* of_match(const of_device_id* table, const i2c_client* client) {
  if (table == nullptr) return nullptr;
  const device_node* np = client->dev.of_node;
  if (np != nullptr) {
    auto compat =
        DeviceTree::read_string_list(np, "compatible").value_or(std::vector<std::string>{});
    auto type = DeviceTree::read_string(np, "device_type");
    // Earlier compatible strings win, as Linux scores them.
    for (const std::string& c : compat) {
      for (const of_device_id* m = table; m->name[0] || m->type[0] || m->compatible[0]; ++m) {
        if (!m->compatible[0] || !compat_eq(m->compatible, c)) continue;
        if (m->type[0] && (!type || !compat_eq(m->type, *type))) continue;
        if (m->name[0] && np->name != m->name) continue;
        return m;
      }
    }
    return nullptr;
  }
  // A client without a node matches on its name, with or without the vendor prefix.
  for (const of_device_id* m = table; m->name[0] || m->type[0] || m->compatible[0]; ++m) {
    if (!m->compatible[0]) continue;
    if (std::strcmp(client->name, m->compatible) == 0) return m;
    const char* bare = std::strchr(m->compatible, ',');
    if (std::strcmp(client->name, bare ? bare + 1 : m->compatible) == 0) return m;
  }
  return nullptr;
}

const i2c_device_id* id_match(const i2c_device_id* id, const i2c_client* client) {
  if (id == nullptr) return nullptr;
  for (; id->name[0]; ++id) {
    if (std::strcmp(client->name, id->name) == 0) return id;
  }
  return nullptr;
}

bool driver_matches(const i2c_driver* drv, const i2c_client* client) {
  return of_match(drv->driver.of_match_table, client) != nullptr ||
         id_match(drv->id_table, client) != nullptr;
}

}  // namespace

I2cCore::I2cCore() = default;
I2cCore::~I2cCore() = default;

std::string I2cCore::dev_name(const i2c_client* client) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%d-%04x", client->adapter ? client->adapter->nr : -1,
                client->addr);
  return buf;
}

std::string I2cCore::modalias(const i2c_client* client) {
  const device_node* np = client->dev.of_node;
  if (np == nullptr) return std::string("i2c:") + client->name;
  std::string out =
      "of:N" + np->name + "T" + DeviceTree::read_string(np, "device_type").value_or("<NULL>");
  for (std::string c :
       DeviceTree::read_string_list(np, "compatible").value_or(std::vector<std::string>{})) {
    std::replace(c.begin(), c.end(), ' ', '_');
    out += "C" + c;
  }
  return out;
}

void I2cCore::set_modalias_handler(std::function<void(const std::string&)> handler) {
  lt::MutexLock lock(mutex_);
  modalias_handler_ = std::move(handler);
}

void I2cCore::notify_unbound(const std::vector<std::string>& modaliases) {
  if (modaliases.empty()) return;
  std::function<void(const std::string&)> handler;
  {
    lt::MutexLock lock(mutex_);
    handler = modalias_handler_;
  }
  if (!handler) return;
  for (const std::string& m : modaliases) handler(m);
}

I2cCore::Client* I2cCore::client_of(const i2c_client* c) const {
  if (c == nullptr) return nullptr;
  lt::MutexLock lock(mutex_);
  for (const auto& rec : clients_) {
    if (&rec->client == c) return rec.get();
  }
  return nullptr;
}

I2cCore::Adapter* I2cCore::adapter_of(const i2c_adapter* a) const {
  if (a == nullptr) return nullptr;
  lt::MutexLock lock(mutex_);
  for (const auto& rec : adapters_) {
    if (&rec->adap == a) return rec.get();
  }
  for (const auto& rec : zombies_) {
    if (&rec->adap == a) return rec.get();
  }
  return nullptr;
}

// --- Adapters ---------------------------------------------------------------------------------

i2c_adapter* I2cCore::add_numbered_adapter(int nr, const std::string& name, I2cBus& bus,
                                           device_node* np) {
  return add_numbered_adapter(nr, name, std::shared_ptr<I2cBus>(&bus, [](I2cBus*) {}), np);
}

i2c_adapter* I2cCore::add_numbered_adapter(int nr, const std::string& name,
                                           std::shared_ptr<I2cBus> bus, device_node* np) {
  if (nr < 0 || bus == nullptr) return nullptr;
  BindLock bind(*this);
  Adapter* a = nullptr;
  {
    lt::MutexLock lock(mutex_);
    for (const auto& rec : adapters_) {
      if (rec->adap.nr == nr) return nullptr;
    }
    auto rec = std::make_unique<Adapter>();
    rec->adap.nr = nr;
    copy_name(rec->adap.name, sizeof rec->adap.name, name.c_str());
    rec->adap.dev.of_node = np;
    rec->adap.host = rec.get();
    rec->bus = std::move(bus);
    a = rec.get();
    adapters_.push_back(std::move(rec));
  }
  if (np == nullptr) return &a->adap;

  // The clients that the device tree describes below the adapter's node.
  std::vector<Client*> fresh;
  for (device_node* child : np->children) {
    if (!DeviceTree::is_available(child)) continue;
    auto reg = DeviceTree::read_u32(child, "reg");
    if (!reg) {
      adapter_err(a->adap, "of_i2c: invalid reg on " + child->path + "\n");
      continue;
    }
    auto compat = DeviceTree::read_string(child, "compatible");
    if (!compat) {
      adapter_err(a->adap, "of_i2c: modalias failure on " + child->path + "\n");
      continue;
    }
    i2c_board_info info{};
    size_t comma = compat->find(',');
    copy_name(info.type, sizeof info.type,
              (comma == std::string::npos ? *compat : compat->substr(comma + 1)).c_str());
    // The top bits of "reg" flag ten-bit and own-slave addresses; neither is served here.
    const uint32_t addr = *reg & 0x3fffffffu;
    info.addr = static_cast<unsigned short>(addr > 0xffff ? 0xffff : addr);
    info.of_node = child;
    i2c_client* c = register_client(a, info, false, true);
    if (c == nullptr) {
      adapter_err(a->adap, "Failed to create I2C device for " + child->path + "\n");
      continue;
    }
    fresh.push_back(static_cast<Client*>(c->dev.host));
  }
  for (Client* c : fresh) attach_client_locked(c);
  return &a->adap;
}

void I2cCore::del_adapter(i2c_adapter* adap) {
  BindLock bind(*this);
  Adapter* a = adapter_of(adap);
  if (a == nullptr || a->deleted) {
    warn_context("i2c_del_adapter of an adapter that is not registered");
    return;
  }
  std::vector<Client*> mine;
  {
    lt::MutexLock lock(mutex_);
    for (const auto& c : clients_) {
      if (c->adapter == a) mine.push_back(c.get());
    }
  }
  for (Client* c : mine) unregister_client_locked(c);
  lt::MutexLock lock(mutex_);
  auto it =
      std::find_if(adapters_.begin(), adapters_.end(), [a](const auto& p) { return p.get() == a; });
  std::unique_ptr<Adapter> rec = std::move(*it);
  adapters_.erase(it);
  rec->deleted = true;
  if (rec->refs > 0) zombies_.push_back(std::move(rec));
}

i2c_adapter* I2cCore::adapter(int nr) const {
  lt::MutexLock lock(mutex_);
  for (const auto& rec : adapters_) {
    if (rec->adap.nr == nr) return &rec->adap;
  }
  return nullptr;
}

int I2cCore::adapter_refs(int nr) const {
  lt::MutexLock lock(mutex_);
  for (const auto& rec : adapters_) {
    if (rec->adap.nr == nr) return rec->refs;
  }
  return -1;
}

i2c_adapter* I2cCore::get_adapter(int nr) {
  if (fault("i2c_get_adapter", std::to_string(nr))) return nullptr;
  lt::MutexLock lock(mutex_);
  for (const auto& rec : adapters_) {
    if (rec->adap.nr == nr) {
      rec->refs++;
      return &rec->adap;
    }
  }
  return nullptr;
}

void I2cCore::put_adapter(i2c_adapter* adap) {
  if (adap == nullptr) return;
  lt::UniqueLock lock(mutex_);
  for (auto& rec : adapters_) {
    if (&rec->adap != adap) continue;
    if (rec->refs == 0) break;
    rec->refs--;
    return;
  }
  for (auto it = zombies_.begin(); it != zombies_.end(); ++it) {
    if (&(*it)->adap != adap) continue;
    if ((*it)->refs == 0) break;
    if (--(*it)->refs == 0) zombies_.erase(it);
    return;
  }
  lock.unlock();
  warn_context("i2c_put_adapter without a reference held");
}

// --- Clients ----------------------------------------------------------------------------------

i2c_client* I2cCore::register_client(Adapter* a, const i2c_board_info& info, bool dummy,
                                     bool log_failure) {
  auto rec = std::make_unique<Client>();
  i2c_client& c = rec->client;
  c.flags = info.flags;
  c.addr = info.addr;
  copy_name(c.name, sizeof c.name, info.type);
  c.adapter = &a->adap;
  c.dev.parent = &a->adap.dev;
  c.dev.of_node = info.of_node;
  c.dev.host = rec.get();
  c.irq = info.irq;
  rec->adapter = a;
  rec->dummy = dummy;
  rec->name = dev_name(&c);

  int status = 0;
  if (info.addr == 0 || info.addr > 0x7f) {
    if (log_failure) {
      char line[96];
      std::snprintf(line, sizeof line, "Invalid 7-bit I2C address 0x%02hx\n", info.addr);
      adapter_err(a->adap, line);
    }
    status = -EINVAL;
  } else {
    lt::MutexLock lock(mutex_);
    for (const auto& other : clients_) {
      if (other->adapter == a && other->client.addr == info.addr) status = -EBUSY;
    }
    if (status == 0) {
      clients_.push_back(std::move(rec));
      return &c;
    }
  }
  if (log_failure) {
    char line[128];
    std::snprintf(line, sizeof line, "Failed to register i2c client %s at 0x%02x (%d)\n", c.name,
                  c.addr, status);
    adapter_err(a->adap, line);
  }
  return nullptr;
}

i2c_client* I2cCore::new_device(i2c_adapter* adap, const i2c_board_info* info) {
  if (info == nullptr) return nullptr;
  BindLock bind(*this);
  Adapter* a = adapter_of(adap);
  if (a == nullptr || a->deleted) return nullptr;
  i2c_client* c = register_client(a, *info, false, true);
  if (c != nullptr) attach_client_locked(static_cast<Client*>(c->dev.host));
  return c;
}

i2c_client* I2cCore::new_dummy(i2c_adapter* adap, u16 address) {
  if (fault("i2c_new_dummy", std::to_string(address))) return nullptr;
  Adapter* a = adapter_of(adap);
  if (a == nullptr || a->deleted) return nullptr;
  i2c_board_info info{};
  copy_name(info.type, sizeof info.type, "dummy");
  info.addr = address;
  return register_client(a, info, true, true);
}

void I2cCore::unregister_device(i2c_client* client) {
  if (client == nullptr) return;
  BindLock bind(*this);
  Client* c = client_of(client);
  if (c == nullptr) {
    warn_context("i2c_unregister_device of a client that is not registered");
    return;
  }
  unregister_client_locked(c);
}

void I2cCore::unregister_client_locked(Client* c) {
  release_locked(c, true);
  lt::MutexLock lock(mutex_);
  auto it =
      std::find_if(clients_.begin(), clients_.end(), [c](const auto& p) { return p.get() == c; });
  if (it != clients_.end()) clients_.erase(it);
}

// --- Drivers and binding ----------------------------------------------------------------------

void I2cCore::attach_client_locked(Client* c) {
  if (c->dummy) return;
  std::vector<Driver*> drivers;
  {
    lt::MutexLock lock(mutex_);
    for (const auto& d : drivers_) drivers.push_back(d.get());
  }
  for (Driver* d : drivers) {
    {
      lt::MutexLock lock(mutex_);
      // A nested call may have removed the driver or bound the client meanwhile.
      bool alive = std::any_of(drivers_.begin(), drivers_.end(),
                               [d](const auto& p) { return p.get() == d; });
      if (!alive || c->driver != nullptr) return;
    }
    if (!driver_matches(d->drv, &c->client)) continue;
    if (probe_locked(c, d) == 0) return;
  }
  unbound_.push_back(modalias(&c->client));
}

int I2cCore::probe_locked(Client* c, Driver* d) {
  i2c_driver* drv = d->drv;
  i2c_client* client = &c->client;
  {
    lt::MutexLock lock(mutex_);
    c->driver = d;
    c->bound_at = ++bind_seq_;
  }
  int ret;
  if (drv->id_table == nullptr && of_match(drv->driver.of_match_table, client) == nullptr) {
    ret = -ENODEV;
  } else if (drv->probe_new != nullptr) {
    ret = drv->probe_new(client);
  } else if (drv->probe != nullptr) {
    ret = drv->probe(client, id_match(drv->id_table, client));
  } else {
    ret = -EINVAL;
  }
  if (ret == 0) return 0;
  {
    lt::MutexLock lock(mutex_);
    c->driver = nullptr;
  }
  client->dev.driver_data = nullptr;
  if (ret != -ENODEV && ret != -ENXIO) {
    log_line("\0014", d->name + ": probe of " + c->name + " failed with error " +
                          std::to_string(ret) + "\n");
  }
  return ret;
}

void I2cCore::release_locked(Client* c, bool call_remove) {
  Driver* d;
  {
    lt::MutexLock lock(mutex_);
    d = c->driver;
  }
  if (d == nullptr) return;
  if (call_remove && d->drv->remove != nullptr) d->drv->remove(&c->client);
  c->client.dev.driver_data = nullptr;
  lt::MutexLock lock(mutex_);
  c->driver = nullptr;
}

int I2cCore::register_driver(struct module* owner, i2c_driver* driver) {
  if (driver == nullptr || driver->driver.name == nullptr) return -EINVAL;
  BindLock bind(*this);
  Driver* d = nullptr;
  std::vector<Client*> candidates;
  {
    lt::MutexLock lock(mutex_);
    const bool taken = std::any_of(drivers_.begin(), drivers_.end(), [driver](const auto& o) {
      return o->drv == driver || o->name == driver->driver.name;
    });
    if (!taken) {
      driver->driver.owner = owner;
      auto rec = std::make_unique<Driver>();
      rec->drv = driver;
      rec->name = driver->driver.name;
      d = rec.get();
      drivers_.push_back(std::move(rec));
      for (const auto& c : clients_) candidates.push_back(c.get());
    }
  }
  if (d == nullptr) {
    log_line("\0013", std::string("Error: Driver '") + driver->driver.name +
                          "' is already registered, aborting...\n");
    return -EBUSY;
  }
  for (Client* c : candidates) {
    {
      lt::MutexLock lock(mutex_);
      bool alive = std::any_of(clients_.begin(), clients_.end(),
                               [c](const auto& p) { return p.get() == c; });
      if (!alive || c->dummy || c->driver != nullptr) continue;
    }
    if (driver_matches(driver, &c->client)) probe_locked(c, d);
  }
  return 0;
}

void I2cCore::del_driver(i2c_driver* driver) {
  BindLock bind(*this);
  Driver* d = nullptr;
  std::vector<Client*> bound;
  {
    lt::MutexLock lock(mutex_);
    for (const auto& rec : drivers_) {
      if (rec->drv == driver) d = rec.get();
    }
    if (d != nullptr) {
      for (const auto& c : clients_) {
        if (c->driver == d) bound.push_back(c.get());
      }
    }
  }
  if (d == nullptr) {
    warn_context("Unexpected driver unregister!");
    return;
  }
  std::sort(bound.begin(), bound.end(),
            [](const Client* a, const Client* b) { return a->bound_at > b->bound_at; });
  for (Client* c : bound) release_locked(c, true);
  lt::MutexLock lock(mutex_);
  auto it =
      std::find_if(drivers_.begin(), drivers_.end(), [d](const auto& p) { return p.get() == d; });
  if (it != drivers_.end()) drivers_.erase(it);
}

int I2cCore::bind(const std::string& dev_name, const std::string& driver_name) {
  BindLock bind(*this);
  Client* c = nullptr;
  Driver* d = nullptr;
  {
    lt::MutexLock lock(mutex_);
    for (const auto& rec : clients_) {
      if (rec->name == dev_name) c = rec.get();
    }
    for (const auto& rec : drivers_) {
      if (rec->name == driver_name) d = rec.get();
    }
    if (c == nullptr || d == nullptr || c->dummy) return -ENODEV;
    if (c->driver != nullptr) return -EBUSY;
  }
  if (!driver_matches(d->drv, &c->client)) return -ENODEV;
  return probe_locked(c, d);
}

int I2cCore::unbind(const std::string& dev_name) {
  BindLock bind(*this);
  Client* c = nullptr;
  {
    lt::MutexLock lock(mutex_);
    for (const auto& rec : clients_) {
      if (rec->name == dev_name) c = rec.get();
    }
    if (c == nullptr || c->driver == nullptr) return -ENODEV;
  }
  release_locked(c, true);
  return 0;
}

std::vector<std::string> I2cCore::clients() const {
  lt::MutexLock lock(mutex_);
  std::vector<std::string> out;
  for (const auto& c : clients_) out.push_back(c->name);
  return out;
}

i2c_client* I2cCore::find_client(const std::string& dev_name) const {
  lt::MutexLock lock(mutex_);
  for (const auto& c : clients_) {
    if (c->name == dev_name) return &c->client;
  }
  return nullptr;
}

std::optional<std::string> I2cCore::bound_driver(const std::string& dev_name) const {
  lt::MutexLock lock(mutex_);
  for (const auto& c : clients_) {
    if (c->name == dev_name && c->driver != nullptr) return c->driver->name;
  }
  return std::nullopt;
}

std::vector<std::string> I2cCore::drivers() const {
  lt::MutexLock lock(mutex_);
  std::vector<std::string> out;
  for (const auto& d : drivers_) out.push_back(d->name);
  return out;
}

void I2cCore::forget_module(const struct module* mod) {
  BindLock bind(*this);
  std::vector<Driver*> gone;
  {
    lt::MutexLock lock(mutex_);
    for (const auto& d : drivers_) {
      if (d->drv->driver.owner == mod) gone.push_back(d.get());
    }
  }
  for (Driver* d : gone) {
    warn_context("i2c driver %s was left registered by its module", d->name.c_str());
    lt::MutexLock lock(mutex_);
    for (const auto& c : clients_) {
      if (c->driver == d) {
        c->driver = nullptr;
        c->client.dev.driver_data = nullptr;
      }
    }
    auto it =
        std::find_if(drivers_.begin(), drivers_.end(), [d](const auto& p) { return p.get() == d; });
    drivers_.erase(it);
  }
}

void I2cCore::shutdown() {
  {
    BindLock bind(*this);
    std::vector<Client*> all;
    {
      lt::MutexLock lock(mutex_);
      for (auto it = clients_.rbegin(); it != clients_.rend(); ++it) all.push_back(it->get());
    }
    for (Client* c : all) unregister_client_locked(c);
    lt::MutexLock lock(mutex_);
    drivers_.clear();
    adapters_.clear();
    zombies_.clear();
    unbound_.clear();
  }
}

// --- Transfers --------------------------------------------------------------------------------

int I2cCore::transfer(i2c_adapter* adap, i2c_msg* msgs, int num) {
  if (in_atomic_context()) {
    warn_context("BUG: sleeping function called from invalid context (i2c_transfer)");
  }
  Adapter* a = adapter_of(adap);
  if (a == nullptr) return -EINVAL;
  if (msgs == nullptr || num < 1) return -EINVAL;
  {
    lt::MutexLock lock(mutex_);
    if (a->deleted) return -ENODEV;
  }
  if (in_atomic_context()) {
    if (!a->bus_lock.try_lock()) return -EAGAIN;
  } else {
    a->bus_lock.lock();
  }
  const int ret = a->bus->master_xfer(msgs, num);
  a->bus_lock.unlock();
  hook_point("i2c_transfer");
  return ret;
}

}  // namespace host

// --- C entry points ---------------------------------------------------------------------------

namespace {

host::I2cCore& core() { return host::Kernel::get().i2c(); }

// Runs the messages of one SMBus transaction: the bus's negative errno as it is, -EIO when the
// bus transferred fewer messages than asked.
s32 smbus_xfer(const i2c_client* client, i2c_msg* msgs, int num) {
  if (client == nullptr) return -EINVAL;
  for (int i = 0; i < num; ++i) msgs[i].addr = client->addr;
  const int status = core().transfer(client->adapter, msgs, num);
  if (status < 0) return status;
  if (status != num) return -EIO;
  return 0;
}

}  // namespace

extern "C" {

int i2c_register_driver(struct module* owner, struct i2c_driver* driver) {
  return core().register_driver(owner, driver);
}
void i2c_del_driver(struct i2c_driver* driver) { core().del_driver(driver); }

s32 i2c_smbus_read_byte(const struct i2c_client* client) {
  u8 value = 0;
  i2c_msg msg = {0, I2C_M_RD, 1, &value};
  const s32 status = smbus_xfer(client, &msg, 1);
  return status < 0 ? status : value;
}

s32 i2c_smbus_write_byte(const struct i2c_client* client, u8 value) {
  i2c_msg msg = {0, 0, 1, &value};
  return smbus_xfer(client, &msg, 1);
}

s32 i2c_smbus_read_byte_data(const struct i2c_client* client, u8 command) {
  u8 value = 0;
  i2c_msg msgs[2] = {{0, 0, 1, &command}, {0, I2C_M_RD, 1, &value}};
  const s32 status = smbus_xfer(client, msgs, 2);
  return status < 0 ? status : value;
}

s32 i2c_smbus_write_byte_data(const struct i2c_client* client, u8 command, u8 value) {
  u8 buf[2] = {command, value};
  i2c_msg msg = {0, 0, 2, buf};
  return smbus_xfer(client, &msg, 1);
}

s32 i2c_smbus_read_i2c_block_data(const struct i2c_client* client, u8 command, u8 length,
                                  u8* values) {
  if (length > I2C_SMBUS_BLOCK_MAX) length = I2C_SMBUS_BLOCK_MAX;
  u8 buf[I2C_SMBUS_BLOCK_MAX] = {};
  i2c_msg msgs[2] = {{0, 0, 1, &command}, {0, I2C_M_RD, length, buf}};
  const s32 status = smbus_xfer(client, msgs, 2);
  if (status < 0) return status;
  std::memcpy(values, buf, length);
  return length;
}

s32 i2c_smbus_write_i2c_block_data(const struct i2c_client* client, u8 command, u8 length,
                                   const u8* values) {
  if (length > I2C_SMBUS_BLOCK_MAX) length = I2C_SMBUS_BLOCK_MAX;
  u8 buf[I2C_SMBUS_BLOCK_MAX + 1] = {command};
  std::memcpy(buf + 1, values, length);
  i2c_msg msg = {0, 0, static_cast<u16>(length + 1), buf};
  return smbus_xfer(client, &msg, 1);
}

int i2c_transfer(struct i2c_adapter* adap, struct i2c_msg* msgs, int num) {
  return core().transfer(adap, msgs, num);
}

struct i2c_adapter* i2c_get_adapter(int nr) {
  return core().get_adapter(nr);
}
void i2c_put_adapter(struct i2c_adapter* adap) { core().put_adapter(adap); }

struct i2c_client* i2c_new_dummy(struct i2c_adapter* adap, u16 address) {
  return core().new_dummy(adap, address);
}
struct i2c_client* i2c_new_device(struct i2c_adapter* adap, const struct i2c_board_info* info) {
  return core().new_device(adap, info);
}
void i2c_unregister_device(struct i2c_client* client) { core().unregister_device(client); }

}  // extern "C"
