// The chip's register bus. See register_bus.h for the threading rules.
#include "driver/register_bus.h"

#include "driver/lt7911_regs.h"
#include "driver/module_state.h"
#include "platform/i2c.h"
#include "platform/printk.h"

DEFINE_MUTEX(lt7911_chip_lock);

u8 old_offset = LT7911_BANK_NONE;

static int chip_platform = CHIP_PLATFORM_UNKNOWN;

int chip_platform_get(void) { return smp_load_acquire(&chip_platform); }

void chip_platform_set(int platform) { smp_store_release(&chip_platform, platform); }

/* ---- Bank selection ---- */

// Selects bank `offset` unless it is the cached one. 0, or -1 after logging the failed select.
static int select_offset(u8 offset) {
  WARN_ON(!mutex_is_locked(&lt7911_chip_lock));
  if (old_offset == offset) return 0;
  s32 ret = i2c_smbus_write_byte_data(client, LT7911_BANK_SELECT, offset);
  if (ret < 0) {
    printk(KERN_ERR "[W]Failed to write offset to the i2c bus; ret = %d\n", ret);
    return -1;
  }
  old_offset = offset;
  return 0;
}

/* ---- Transfers ---- */

int i2c_write_byte(u8 offset, u8 reg, u8 value) {
  if (select_offset(offset) < 0) return -1;
  s32 ret = i2c_smbus_write_byte_data(client, reg, value);
  if (ret < 0) {
    printk(KERN_ERR "[W]Failed to write data to the i2c bus; ret = %d\n", ret);
    return -1;
  }
  return 0;
}

int i2c_read_byte(u8 offset, u8 reg, u8* value) {
  if (select_offset(offset) < 0) return -1;
  s32 ret = i2c_smbus_read_byte_data(client, reg);
  if (ret < 0) {
    printk(KERN_ERR "[R]Failed to read data from the i2c bus; ret = %d\n", ret);
    return -1;
  }
  *value = (u8)(ret & 0xFF);
  return 0;
}

int i2c_write_bytes(u8 offset, u8 reg, const u8* values, u8 length) {
  if (select_offset(offset) < 0) return -1;
  s32 ret = i2c_smbus_write_i2c_block_data(client, reg, length, values);
  if (ret < 0) {
    printk(KERN_ERR "[W]Failed to write data to the i2c bus; ret = %d\n", ret);
    return -1;
  }
  return 0;
}

int i2c_read_bytes(u8 offset, u8 reg, u8* values, u8 length) {
  if (select_offset(offset) < 0) return -1;
  // The I2C core moves at most I2C_SMBUS_BLOCK_MAX bytes; the count read is not examined.
  s32 ret = i2c_smbus_read_i2c_block_data(client, reg, length, values);
  if (ret < 0) {
    printk(KERN_ERR "[R]Failed to read data from the i2c bus; ret = %d\n", ret);
    return -1;
  }
  return 0;
}

/* ---- Registers by name ---- */

int lt7911_read_reg(u16 reg, u8* value) {
  return i2c_read_byte(LT7911_BANK_OF(reg), LT7911_NUM_OF(reg), value);
}

int lt7911_write_reg(u16 reg, u8 value) {
  return i2c_write_byte(LT7911_BANK_OF(reg), LT7911_NUM_OF(reg), value);
}

int lt7911_read_reg16(u16 high, u16 low, u16* value) {
  u8 high_byte, low_byte;
  if (lt7911_read_reg(high, &high_byte) < 0) return -1;
  if (lt7911_read_reg(low, &low_byte) < 0) return -1;
  *value = (u16)(high_byte << 8 | low_byte);
  return 0;
}

/* ---- Enable, disable, identification ---- */

int lt7911_enable(void) {
  if (lt7911_write_reg(LT7911_SYS_ENABLE, LT7911_SYS_ENABLE_ON) < 0) {
    printk(KERN_ERR "Failed to enable LT7911D\n");
    return -1;
  }
  return 0;
}

int lt7911_disable(void) {
  if (lt7911_write_reg(LT7911_SYS_ENABLE, LT7911_SYS_ENABLE_OFF) < 0) {
    printk(KERN_ERR "Failed to disable LT7911D\n");
    return -1;
  }
  return 0;
}

int check_chip_register(void) {
  u8 id_high = 0;
  u8 id_low = 0;

  // A failed enable is logged by lt7911_enable and does not stop the identification.
  lt7911_enable();
  if (lt7911_read_reg(LT7911_CHIP_ID_HIGH, &id_high) < 0) return -1;
  if (lt7911_read_reg(LT7911_CHIP_ID_LOW, &id_low) < 0) return -1;

  if (id_high == LT7911_CHIP_ID_HIGH_LT7911D && id_low == LT7911_CHIP_ID_LOW_LT7911D) {
    chip_platform_set(CHIP_PLATFORM_LT7911D);
    printk(KERN_INFO "Chip: LT7911D\n");
    return 1;
  }
  chip_platform_set(CHIP_PLATFORM_UNKNOWN);
  return -1;
}

/* ---- Presence test ---- */

int i2c_device_exists(u8 address) {
  struct i2c_adapter* adapter = i2c_get_adapter(i2c_bus_num);
  if (!adapter) {
    printk("Failed to get I2C adapter\n");
    return 0;
  }
  struct i2c_client* dummy = i2c_new_dummy(adapter, address);
  if (!dummy) {
    printk(KERN_ERR "Failed to create I2C device\n");
    i2c_put_adapter(adapter);
    return 1;
  }
  s32 ret = i2c_smbus_read_byte(dummy);
  i2c_put_adapter(adapter);
  i2c_unregister_device(dummy);
  return ret >= 0 ? 1 : 0;
}
