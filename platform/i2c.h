// The I2C core and SMBus: adapters, clients, drivers and transfers.
//
// Every transfer function sleeps (the adapter is locked for the whole transaction) and may be
// called from process context only. SMBus functions return the byte or word read, the count
// transferred, 0 for a successful write, or a negative errno.
#pragma once

#include "module.h"
#include "of.h"
#include "types.h"

#ifdef __cplusplus
extern "C" {
#endif

#define I2C_NAME_SIZE 20
#define I2C_SMBUS_BLOCK_MAX 32

struct device {
  struct device* parent;
  struct device_node* of_node;
  void* driver_data;
  void* host;  // owned by the driver core
};

struct device_driver {
  const char* name;
  struct module* owner;
  const struct of_device_id* of_match_table;
};

struct i2c_adapter {
  struct module* owner;
  unsigned int class_;
  int nr;
  char name[48];
  struct device dev;
  void* host;  // owned by the I2C core
};

struct i2c_client {
  unsigned short flags;
  unsigned short addr;  // 7-bit address, in the lower bits
  char name[I2C_NAME_SIZE];
  struct i2c_adapter* adapter;
  struct device dev;
  int irq;
};

struct i2c_device_id {
  char name[I2C_NAME_SIZE];
  kernel_ulong_t driver_data;
};

struct i2c_board_info {
  char type[I2C_NAME_SIZE];
  unsigned short flags;
  unsigned short addr;
  struct device_node* of_node;
  int irq;
};

struct i2c_driver {
  unsigned int class_;
  int (*probe)(struct i2c_client* client, const struct i2c_device_id* id);
  int (*remove)(struct i2c_client* client);
  int (*probe_new)(struct i2c_client* client);
  void (*shutdown)(struct i2c_client* client);
  void (*alert)(struct i2c_client* client, unsigned int data);
  int (*command)(struct i2c_client* client, unsigned int cmd, void* arg);
  struct device_driver driver;
  const struct i2c_device_id* id_table;
};

#define I2C_M_RD 0x0001
#define I2C_M_STOP 0x8000
#define I2C_M_NOSTART 0x4000

struct i2c_msg {
  u16 addr;
  u16 flags;
  u16 len;
  u8* buf;
};

extern int i2c_register_driver(struct module* owner, struct i2c_driver* driver);
#define i2c_add_driver(driver) i2c_register_driver(THIS_MODULE, driver)
extern void i2c_del_driver(struct i2c_driver* driver);

extern s32 i2c_smbus_read_byte(const struct i2c_client* client);
extern s32 i2c_smbus_write_byte(const struct i2c_client* client, u8 value);
extern s32 i2c_smbus_read_byte_data(const struct i2c_client* client, u8 command);
extern s32 i2c_smbus_write_byte_data(const struct i2c_client* client, u8 command, u8 value);
// Block transfers move at most I2C_SMBUS_BLOCK_MAX bytes; a longer length is cut to it. The
// read returns the count read.
extern s32 i2c_smbus_read_i2c_block_data(const struct i2c_client* client, u8 command, u8 length,
                                         u8* values);
extern s32 i2c_smbus_write_i2c_block_data(const struct i2c_client* client, u8 command, u8 length,
                                          const u8* values);
extern int i2c_transfer(struct i2c_adapter* adap, struct i2c_msg* msgs, int num);

// Takes a reference on adapter nr, or returns NULL if there is none.
extern struct i2c_adapter* i2c_get_adapter(int nr);
extern void i2c_put_adapter(struct i2c_adapter* adap);
static inline int i2c_adapter_id(struct i2c_adapter* adap) { return adap->nr; }

// A client at address on adap that no driver binds to; NULL when the address is taken or
// invalid.
extern struct i2c_client* i2c_new_dummy(struct i2c_adapter* adap, u16 address);
extern struct i2c_client* i2c_new_device(struct i2c_adapter* adap,
                                         const struct i2c_board_info* info);
extern void i2c_unregister_device(struct i2c_client* client);

#ifdef __cplusplus
}
#endif
