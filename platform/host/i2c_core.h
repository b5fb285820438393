// The I2C core: adapters, clients, drivers, matching and SMBus transfers.
//
// Adapters are numbered buses with an I2cBus behind them. An adapter registered with a
// device-tree node gets a client for every available child node with a "reg" (Linux's
// of_i2c_register_devices): address = "reg", name = the first compatible without its vendor
// prefix ("lontium,lt7911d" -> "lt7911d"), dev.of_node = the child. Clients are named
// "<adapter nr>-<address as 4 hex digits>" ("4-002b").
//
// Binding follows Linux's driver core: a driver matches a client by its of_match_table against
// the client node's "compatible" list (for a client without a node, against the client name,
// with or without the vendor prefix), else by its id_table against the client name. Registering
// a driver binds every unbound matching client (in registration order); registering a client
// tries the drivers in registration order until one probe succeeds. A probe that fails leaves
// the client unbound and is logged at KERN_WARNING ("<driver>: probe of <dev> failed with error
// <n>"), except -ENODEV and -ENXIO, which stay quiet. Dummy clients (i2c_new_dummy) are never
// bound. Removing a driver calls remove for its clients, newest binding first.
//
// Threading and locks: probe and remove run in the calling task, under the core's bind lock (a
// sleeping host::Mutex); module code may call back into the core from there (a client that a
// probe registers is bound at once, in that probe's task). Registry lookups use a short
// internal mutex that is never held while module code runs or while a task blocks. A transfer
// locks its adapter's sleeping bus lock for the whole transaction; transfers may sleep and
// record a WARN when called in atomic context.
//
// Lifetime: a client lives until it is unregistered (or its adapter is deleted); an adapter
// until del_adapter, except that one still referenced through i2c_get_adapter stays allocated
// (refusing transfers with -ENODEV) until the kernel shuts down.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "locks.h"
#include "platform/i2c.h"
#include "thread_safety.h"

struct device_node;

namespace host {

// What sits behind an adapter: the bus with its devices. The core locks the adapter and hands
// the bus whole transactions (a write of the command, a repeated start and a read, ...).
class I2cBus {
 public:
  virtual ~I2cBus() = default;
  // Returns the number of messages transferred, or a negative errno (-ENXIO for an address
  // that no device acknowledges).
  virtual int master_xfer(struct i2c_msg* msgs, int num) = 0;
};

class I2cCore {
 public:
  I2cCore();
  ~I2cCore();
  I2cCore(const I2cCore&) = delete;
  I2cCore& operator=(const I2cCore&) = delete;

  // Board side. Registers adapter nr (nullptr when the number is taken or negative) and, with
  // a node, its clients from the child nodes. The reference form does not own the bus: it must
  // outlive the adapter.
  i2c_adapter* add_numbered_adapter(int nr, const std::string& name, std::shared_ptr<I2cBus> bus,
                                    device_node* np = nullptr);
  i2c_adapter* add_numbered_adapter(int nr, const std::string& name, I2cBus& bus,
                                    device_node* np = nullptr);
  // Unregisters the adapter's clients (removing bound drivers first), then the adapter.
  void del_adapter(i2c_adapter* adap);
  // The adapter numbered nr, without taking a reference; nullptr if there is none.
  i2c_adapter* adapter(int nr) const;
  // References held through i2c_get_adapter (-1: no such adapter).
  int adapter_refs(int nr) const;

  // sysfs-like control (/sys/bus/i2c/drivers/<driver>/{bind,unbind}).
  // -ENODEV (no such device or driver, a dummy client, or no match), -EBUSY (already bound),
  // else the probe's result.
  int bind(const std::string& dev_name, const std::string& driver_name);
  // -ENODEV when there is no such device or it is not bound; else 0 after remove.
  int unbind(const std::string& dev_name);

  // Queries.
  std::vector<std::string> clients() const;  // device names in registration order
  i2c_client* find_client(const std::string& dev_name) const;
  // The name of the driver bound to the client, if any.
  std::optional<std::string> bound_driver(const std::string& dev_name) const;
  std::vector<std::string> drivers() const;  // registered driver names
  static std::string dev_name(const i2c_client* client);
  // The uevent MODALIAS of a client: "of:N<name>T<type>C<compatible>..." for one with a node
  // (type "<NULL>" without "device_type"), else "i2c:<name>".
  static std::string modalias(const i2c_client* client);
  // Called (outside every core lock) after a new non-dummy client was registered and no
  // driver took it, with the client's modalias; the module loader uses it to load a module on
  // demand.
  void set_modalias_handler(std::function<void(const std::string& modalias)> handler);

  // Forgets the drivers a module registered and did not remove (each a WARN), unbinding their
  // clients without calling back into the module.
  void forget_module(const struct module* mod);
  // Removes every client (bound drivers' remove first) and adapter.
  void shutdown();

  // The C entry points of platform/i2c.h.
  int register_driver(struct module* owner, i2c_driver* driver);
  void del_driver(i2c_driver* driver);
  i2c_client* new_device(i2c_adapter* adap, const i2c_board_info* info);
  i2c_client* new_dummy(i2c_adapter* adap, u16 address);
  void unregister_device(i2c_client* client);
  i2c_adapter* get_adapter(int nr);
  void put_adapter(i2c_adapter* adap);
  int transfer(i2c_adapter* adap, i2c_msg* msgs, int num);

 private:
  struct Adapter;
  struct Client;
  struct Driver;
  class BindLock;

  Client* client_of(const i2c_client* c) const;
  Adapter* adapter_of(const i2c_adapter* a) const;
  i2c_client* register_client(Adapter* a, const i2c_board_info& info, bool dummy, bool log_failure);
  // Under the bind lock.
  void attach_client_locked(Client* c);
  int probe_locked(Client* c, Driver* d);
  void release_locked(Client* c, bool call_remove);
  void unregister_client_locked(Client* c);
  void notify_unbound(const std::vector<std::string>& modaliases);

  Mutex bind_mutex_;                        // serialises binding, unbinding and (un)registration
  std::atomic<Task*> bind_owner_{nullptr};  // the task holding bind_mutex_
  // Bind lock: modaliases of clients that no driver took, and the binding sequence.
  std::vector<std::string> unbound_;
  uint64_t bind_seq_ = 0;

  mutable lt::Mutex mutex_;
  std::vector<std::unique_ptr<Adapter>> adapters_ LT_GUARDED_BY(mutex_);
  // Deleted but still referenced.
  std::vector<std::unique_ptr<Adapter>> zombies_ LT_GUARDED_BY(mutex_);
  std::vector<std::unique_ptr<Client>> clients_ LT_GUARDED_BY(mutex_);
  std::vector<std::unique_ptr<Driver>> drivers_ LT_GUARDED_BY(mutex_);
  std::function<void(const std::string&)> modalias_handler_ LT_GUARDED_BY(mutex_);
};

}  // namespace host
