// SPDX-License-Identifier: GPL-2.0
/*
 * The LT7911D model and its adapter. See chip_model.h: a register the map below does not name
 * reads LT_UNMAPPED_VALUE (0x00) until written, then what was written until the next power-on.
 */
#include "chip_model.h"

#include <linux/errno.h>
#include <linux/jiffies.h>
#include <linux/kernel.h>
#include <linux/minmax.h>
#include <linux/of.h>
#include <linux/spinlock.h>
#include <linux/string.h>

#include "board.h"

#define REG_BANK_SELECT 0xFF
#define ID_HIGH 0x16
#define ID_LOW 0x05
#define AUDIO_RATE_DEFAULT 48
#define LOG_CAPACITY 1024
/* How long a test waits for a transfer to reach a hold. */
#define HOLD_TIMEOUT (10 * HZ)

static const struct lt_mode lt_modes[] = {
    {"480p", 720, 480, 858, 525, 27000000},
    {"720p50", 1280, 720, 1980, 750, 74250000},
    {"720p60", 1280, 720, 1650, 750, 74250000},
    {"1080p24", 1920, 1080, 2750, 1125, 74250000},
    {"1080p50", 1920, 1080, 2640, 1125, 148500000},
    {"1080p60", 1920, 1080, 2200, 1125, 148500000},
    {"2160p30", 3840, 2160, 4400, 2250, 297000000},
    {"1024x768@60", 1024, 768, 1344, 806, 65000000},
    {"1366x768@60", 1366, 768, 1792, 798, 85500000},
    {"1920x1200@60", 1920, 1200, 2080, 1235, 154000000},
    {"1024x600@60", 1024, 600, 1312, 624, 49000000},
};

const struct lt_mode* lt_mode_find(const char* name) {
  size_t i;

  for (i = 0; i < ARRAY_SIZE(lt_modes); i++)
    if (!strcmp(lt_modes[i].name, name)) return &lt_modes[i];
  return NULL;
}

struct lt_fault {
  struct lt_match match;
  unsigned int skip;  /* matching transfers to let pass first */
  unsigned int times; /* failures left; 0 = always */
  int error;
  bool used;
};

#define MAX_FAULTS 8

/* The model's state, guarded by lock. */
static DEFINE_SPINLOCK(lock);
static struct {
  bool powered;
  int power_ups;
  int irq_pulses;
  u8 id_high;
  u8 id_low;
  u8 bank;
  u8 pointer;
  u8 regs[256][256];
  const struct lt_mode* mode; /* the source's mode, NULL when unplugged */
  u8 audio_rate;
  struct lt_transfer log[LOG_CAPACITY];
  unsigned int logged; /* transfers logged since the reset; the log keeps the last ones */
  struct lt_fault faults[MAX_FAULTS];
} chip;

/* The bus hold: which transfers it takes (guarded by lock) and its gate. */
static struct lt_match hold_match;
static struct lt_gate hold = LT_GATE_INIT(hold);

static struct i2c_adapter* adapter;

/* ---- Registers ---- */

/* A register address: the bank in the high byte, the register in the low one. */
#define REG(bank, number) (((bank) << 8) | (number))
#define REG_BANK(addr) ((u8)((addr) >> 8))
#define REG_NUMBER(addr) ((u8)((addr)&0xFF))

/* The registers the model names; the names are the driver's, a value of a register follows it. */
#define REG_CHIP_ID_HIGH REG(0xA0, 0x00)
#define REG_CHIP_ID_LOW REG(0xA0, 0x01)
#define REG_SYS_ENABLE REG(0x80, 0xEE)
#define SYS_ENABLE_ON 0x01
#define REG_TIMING_SELECT REG(0xD2, 0x83)
#define TIMING_SELECT_MEASURE 0x10
#define REG_CHIP_CLOCK_SELECT REG(0xA0, 0x34)
#define CHIP_CLOCK_SELECT_INPUT 0x21
#define REG_ACTIVE_WIDTH_HIGH REG(0xC2, 0x38)
#define REG_ACTIVE_WIDTH_LOW REG(0xC2, 0x39)
#define REG_ACTIVE_HEIGHT_HIGH REG(0xC2, 0x06)
#define REG_ACTIVE_HEIGHT_LOW REG(0xC2, 0x07)
#define REG_TIMING_HTOTAL_HIGH REG(0xD2, 0x89)
#define REG_TIMING_HTOTAL_LOW REG(0xD2, 0x8A)
#define REG_TIMING_VTOTAL_HIGH REG(0xD2, 0x9E)
#define REG_TIMING_VTOTAL_LOW REG(0xD2, 0x9F)
#define REG_TIMING_SYNC_A_HIGH REG(0xD2, 0x96)
#define REG_TIMING_SYNC_A_LOW REG(0xD2, 0x97)
#define REG_TIMING_SYNC_B_HIGH REG(0xD2, 0x8B)
#define REG_TIMING_SYNC_B_LOW REG(0xD2, 0x8C)
#define REG_CLOCK_HIGH REG(0xB8, 0xB1)
#define REG_CLOCK_MID REG(0xB8, 0xB2)
#define REG_CLOCK_LOW REG(0xB8, 0xB3)
#define REG_AUDIO_RATE REG(0xD1, 0x55)

/* How a register of the map behaves. */
enum reg_kind {
  KIND_IDENTITY,    /* read-only: a byte of the identity */
  KIND_CONTROL,     /* stores what is written; 0x00 after power-on */
  KIND_MEASUREMENT, /* read-only: a byte of the input, gated by the enable and its select */
};

/* The select a measurement also needs holding its input value. */
enum reg_select { SELECT_NONE, SELECT_TIMING, SELECT_CLOCK };

/* What an identity or measurement register shows a byte of. */
enum reg_shows {
  SHOWS_NOTHING,
  SHOWS_IDENTITY, /* id_high << 8 | id_low */
  SHOWS_WIDTH,
  SHOWS_HEIGHT,
  SHOWS_HALF_HTOTAL, /* 15 bits */
  SHOWS_HTOTAL,
  SHOWS_VTOTAL,
  SHOWS_HALF_CLOCK, /* half the pixel clock in kHz, 19 bits */
  SHOWS_AUDIO_RATE,
};

struct reg_entry {
  u16 addr;
  enum reg_kind kind;
  enum reg_select select;
  enum reg_shows shows;
  u8 shift; /* the byte shown: the value shifted right by this */
};

/*
 * The register map. A register it does not name is a plain register-file cell: it reads
 * LT_UNMAPPED_VALUE until written, then what was written until the next power-on, and never
 * shows a measurement.
 */
static const struct reg_entry reg_map[] = {
    {REG_CHIP_ID_HIGH, KIND_IDENTITY, SELECT_NONE, SHOWS_IDENTITY, 8},
    {REG_CHIP_ID_LOW, KIND_IDENTITY, SELECT_NONE, SHOWS_IDENTITY, 0},
    {REG_SYS_ENABLE, KIND_CONTROL, SELECT_NONE, SHOWS_NOTHING, 0},
    {REG_TIMING_SELECT, KIND_CONTROL, SELECT_NONE, SHOWS_NOTHING, 0},
    {REG_CHIP_CLOCK_SELECT, KIND_CONTROL, SELECT_NONE, SHOWS_NOTHING, 0},
    {REG_ACTIVE_WIDTH_HIGH, KIND_MEASUREMENT, SELECT_NONE, SHOWS_WIDTH, 8},
    {REG_ACTIVE_WIDTH_LOW, KIND_MEASUREMENT, SELECT_NONE, SHOWS_WIDTH, 0},
    {REG_ACTIVE_HEIGHT_HIGH, KIND_MEASUREMENT, SELECT_NONE, SHOWS_HEIGHT, 8},
    {REG_ACTIVE_HEIGHT_LOW, KIND_MEASUREMENT, SELECT_NONE, SHOWS_HEIGHT, 0},
    {REG_AUDIO_RATE, KIND_MEASUREMENT, SELECT_NONE, SHOWS_AUDIO_RATE, 0},
    {REG_TIMING_HTOTAL_HIGH, KIND_MEASUREMENT, SELECT_TIMING, SHOWS_HALF_HTOTAL, 8},
    {REG_TIMING_HTOTAL_LOW, KIND_MEASUREMENT, SELECT_TIMING, SHOWS_HALF_HTOTAL, 0},
    {REG_TIMING_VTOTAL_HIGH, KIND_MEASUREMENT, SELECT_TIMING, SHOWS_VTOTAL, 8},
    {REG_TIMING_VTOTAL_LOW, KIND_MEASUREMENT, SELECT_TIMING, SHOWS_VTOTAL, 0},
    {REG_TIMING_SYNC_A_HIGH, KIND_MEASUREMENT, SELECT_TIMING, SHOWS_HTOTAL, 8},
    {REG_TIMING_SYNC_A_LOW, KIND_MEASUREMENT, SELECT_TIMING, SHOWS_HTOTAL, 0},
    {REG_TIMING_SYNC_B_HIGH, KIND_MEASUREMENT, SELECT_TIMING, SHOWS_VTOTAL, 8},
    {REG_TIMING_SYNC_B_LOW, KIND_MEASUREMENT, SELECT_TIMING, SHOWS_VTOTAL, 0},
    {REG_CLOCK_HIGH, KIND_MEASUREMENT, SELECT_CLOCK, SHOWS_HALF_CLOCK, 16},
    {REG_CLOCK_MID, KIND_MEASUREMENT, SELECT_CLOCK, SHOWS_HALF_CLOCK, 8},
    {REG_CLOCK_LOW, KIND_MEASUREMENT, SELECT_CLOCK, SHOWS_HALF_CLOCK, 0},
};

/* The map's entry for the register, or NULL when the map does not name it. */
static const struct reg_entry* map_entry(u8 bank, u8 reg) {
  size_t i;

  for (i = 0; i < ARRAY_SIZE(reg_map); i++)
    if (reg_map[i].addr == REG(bank, reg)) return &reg_map[i];
  return NULL;
}

/* What is stored at the address. */
static u8 stored(u16 addr) { return chip.regs[REG_BANK(addr)][REG_NUMBER(addr)]; }

/* The value an identity or measurement register shows a byte of; 0 without a source. */
static u32 shown(enum reg_shows shows) {
  const struct lt_mode* m = chip.mode;

  if (shows == SHOWS_IDENTITY) return (chip.id_high << 8) | chip.id_low;
  if (!m) return 0;
  switch (shows) {
    case SHOWS_WIDTH:
      return m->width;
    case SHOWS_HEIGHT:
      return m->height;
    case SHOWS_HALF_HTOTAL:
      return min_t(u32, m->htotal / 2, 0x7FFF);
    case SHOWS_HTOTAL:
      return m->htotal;
    case SHOWS_VTOTAL:
      return m->vtotal;
    case SHOWS_HALF_CLOCK:
      return min_t(u32, m->pixel_clock_hz / 2000, 0x7FFFF);
    case SHOWS_AUDIO_RATE:
      return chip.audio_rate;
    default:
      return 0;
  }
}

/* What a measurement register reads: 0 unless the chip is enabled and its select holds. */
static u8 measured(const struct reg_entry* e) {
  if (stored(REG_SYS_ENABLE) != SYS_ENABLE_ON) return 0;
  if (e->select == SELECT_TIMING && stored(REG_TIMING_SELECT) != TIMING_SELECT_MEASURE) return 0;
  if (e->select == SELECT_CLOCK && stored(REG_CHIP_CLOCK_SELECT) != CHIP_CLOCK_SELECT_INPUT)
    return 0;
  return (shown(e->shows) >> e->shift) & 0xFF;
}

static u8 read_reg(u8 bank, u8 reg) {
  const struct reg_entry* e;

  if (reg == REG_BANK_SELECT) return chip.bank;
  e = map_entry(bank, reg);
  if (e && e->kind == KIND_MEASUREMENT) return measured(e);
  if (e && e->kind == KIND_IDENTITY) return (shown(e->shows) >> e->shift) & 0xFF;
  return chip.regs[bank][reg]; /* a control register, or one the map does not name */
}

static void write_reg(u8 reg, u8 value) {
  const struct reg_entry* e;

  if (reg == REG_BANK_SELECT) {
    chip.bank = value;
    return;
  }
  e = map_entry(chip.bank, reg);
  if (e && e->kind != KIND_CONTROL) return; /* read-only */
  chip.regs[chip.bank][reg] = value;
}

static void registers_reset(void) {
  /* The control registers reset to 0x00 too. */
  memset(chip.regs, LT_UNMAPPED_VALUE, sizeof(chip.regs));
  chip.bank = 0x00;
  chip.pointer = 0;
}

/* ---- Source, power and identity ---- */

void lt_chip_reset(void) {
  unsigned long flags;

  spin_lock_irqsave(&lock, flags);
  memset(&chip, 0, sizeof(chip));
  chip.id_high = ID_HIGH;
  chip.id_low = ID_LOW;
  chip.audio_rate = AUDIO_RATE_DEFAULT;
  registers_reset();
  spin_unlock_irqrestore(&lock, flags);
}

/* An input change: a powered chip pulses its interrupt output. */
static void input_changed(unsigned long flags) __releases(&lock) {
  bool pulse = chip.powered;

  if (pulse) chip.irq_pulses++;
  spin_unlock_irqrestore(&lock, flags);
  if (pulse) lt_board_chip_irq_pulse();
}

void lt_chip_plug(const struct lt_mode* mode) {
  unsigned long flags;

  spin_lock_irqsave(&lock, flags);
  chip.mode = mode;
  input_changed(flags);
}

void lt_chip_unplug(void) {
  unsigned long flags;

  spin_lock_irqsave(&lock, flags);
  chip.mode = NULL;
  input_changed(flags);
}

void lt_chip_set_audio_rate(u8 rate) {
  unsigned long flags;

  spin_lock_irqsave(&lock, flags);
  chip.audio_rate = rate;
  input_changed(flags);
}

void lt_chip_set_identity(u8 high, u8 low) {
  unsigned long flags;

  spin_lock_irqsave(&lock, flags);
  chip.id_high = high;
  chip.id_low = low;
  spin_unlock_irqrestore(&lock, flags);
}

void lt_chip_set_power(bool on) {
  unsigned long flags;
  bool pulse = false;

  spin_lock_irqsave(&lock, flags);
  if (on && !chip.powered) {
    registers_reset();
    chip.power_ups++;
    /* Booted, the chip sees the source it is plugged into and says so. */
    pulse = chip.mode != NULL;
    if (pulse) chip.irq_pulses++;
  }
  chip.powered = on;
  spin_unlock_irqrestore(&lock, flags);
  if (pulse) lt_board_chip_irq_pulse();
}

bool lt_chip_powered(void) { return READ_ONCE(chip.powered); }
int lt_chip_power_ups(void) { return READ_ONCE(chip.power_ups); }
int lt_chip_irq_pulses(void) { return READ_ONCE(chip.irq_pulses); }

/* ---- Log, faults, holds ---- */

static bool matches(const struct lt_match* m, const struct lt_transfer* t) {
  return (m->dir < 0 || m->dir == (int)t->dir) && (m->bank < 0 || m->bank == t->bank) &&
         (m->reg < 0 || m->reg == t->reg);
}

/* The error the faults give this transfer, or 0; the caller holds lock. */
static int fault_for(const struct lt_transfer* t) {
  int i;

  for (i = 0; i < MAX_FAULTS; i++) {
    struct lt_fault* f = &chip.faults[i];

    if (!f->used || !matches(&f->match, t)) continue;
    if (f->skip) {
      f->skip--;
      continue;
    }
    if (f->times && --f->times == 0) f->used = false;
    return f->error;
  }
  return 0;
}

void lt_bus_fault(struct lt_match match, unsigned int nth, unsigned int times, int error) {
  unsigned long flags;
  int i;

  spin_lock_irqsave(&lock, flags);
  for (i = 0; i < MAX_FAULTS; i++) {
    if (chip.faults[i].used) continue;
    chip.faults[i] = (struct lt_fault){match, nth ? nth - 1 : 0, times, error, true};
    break;
  }
  spin_unlock_irqrestore(&lock, flags);
  WARN_ON(i == MAX_FAULTS);
}

void lt_bus_faults_clear(void) {
  unsigned long flags;

  spin_lock_irqsave(&lock, flags);
  memset(chip.faults, 0, sizeof(chip.faults));
  spin_unlock_irqrestore(&lock, flags);
}

/* ---- Gates ---- */

void lt_gate_arm(struct lt_gate* gate) {
  unsigned long flags;

  spin_lock_irqsave(&gate->lock, flags);
  gate->armed = true;
  gate->generation++;
  spin_unlock_irqrestore(&gate->lock, flags);
}

bool lt_gate_armed(struct lt_gate* gate) { return READ_ONCE(gate->armed); }

void lt_gate_pass(struct lt_gate* gate) {
  unsigned long flags;
  unsigned int mine = 0;

  spin_lock_irqsave(&gate->lock, flags);
  if (gate->armed) {
    gate->armed = false;
    mine = gate->arrived = gate->generation;
  }
  spin_unlock_irqrestore(&gate->lock, flags);
  if (!mine) return;
  wake_up_all(&gate->wq);
  wait_event(gate->wq, (int)(READ_ONCE(gate->released) - mine) >= 0);
}

bool lt_gate_wait(struct lt_gate* gate) {
  return wait_event_timeout(gate->wq, READ_ONCE(gate->arrived) == READ_ONCE(gate->generation),
                            HOLD_TIMEOUT) != 0;
}

void lt_gate_disarm(struct lt_gate* gate) {
  unsigned long flags;

  spin_lock_irqsave(&gate->lock, flags);
  gate->armed = false;
  spin_unlock_irqrestore(&gate->lock, flags);
}

void lt_gate_release(struct lt_gate* gate) {
  unsigned long flags;

  spin_lock_irqsave(&gate->lock, flags);
  gate->released = gate->arrived;
  spin_unlock_irqrestore(&gate->lock, flags);
  wake_up_all(&gate->wq);
}

bool lt_gate_holding(struct lt_gate* gate) {
  return READ_ONCE(gate->arrived) != READ_ONCE(gate->released);
}

/* ---- The bus hold ---- */

void lt_bus_hold(struct lt_match match) {
  unsigned long flags;

  spin_lock_irqsave(&lock, flags);
  hold_match = match;
  spin_unlock_irqrestore(&lock, flags);
  lt_gate_arm(&hold);
}

bool lt_bus_hold_wait(void) { return lt_gate_wait(&hold); }
void lt_bus_hold_release(void) { lt_gate_release(&hold); }
void lt_bus_hold_disarm(void) { lt_gate_disarm(&hold); }
bool lt_bus_holding(void) { return lt_gate_holding(&hold); }

unsigned int lt_bus_mark(void) { return READ_ONCE(chip.logged); }

unsigned int lt_bus_count_since(unsigned int mark) { return READ_ONCE(chip.logged) - mark; }

static const char* errno_name(int error) {
  switch (error) {
    case -ENXIO:
      return "ENXIO";
    case -EIO:
      return "EIO";
    case -ETIMEDOUT:
      return "ETIMEDOUT";
    default:
      return "error";
  }
}

bool lt_bus_line(unsigned int mark, unsigned int i, char* buf, size_t size) {
  struct lt_transfer t;
  unsigned long flags;
  unsigned int n = mark + i;
  bool there;

  spin_lock_irqsave(&lock, flags);
  there = n < chip.logged && chip.logged - n <= LOG_CAPACITY;
  if (there) t = chip.log[n % LOG_CAPACITY];
  spin_unlock_irqrestore(&lock, flags);
  if (!there) return false;
  switch (t.dir) {
    case LT_SELECT:
      if (t.result)
        snprintf(buf, size, "select 0x%02X -> %s", t.bank, errno_name(t.result));
      else
        snprintf(buf, size, "select 0x%02X", t.bank);
      break;
    case LT_WRITE:
      if (t.result)
        snprintf(buf, size, "write 0x%02X:0x%02X = 0x%02X -> %s", t.bank, t.reg, t.value,
                 errno_name(t.result));
      else
        snprintf(buf, size, "write 0x%02X:0x%02X = 0x%02X", t.bank, t.reg, t.value);
      break;
    case LT_READ:
      if (t.result)
        snprintf(buf, size, "read 0x%02X:0x%02X -> %s", t.bank, t.reg, errno_name(t.result));
      else
        snprintf(buf, size, "read 0x%02X:0x%02X -> 0x%02X", t.bank, t.reg, t.value);
      break;
  }
  return true;
}

unsigned int lt_bus_count_line(unsigned int mark, const char* text) {
  char line[64];
  unsigned int i, n = 0;

  for (i = 0; lt_bus_line(mark, i, line, sizeof(line)); i++) n += !strcmp(line, text);
  return n;
}

unsigned int lt_bus_count_prefix(unsigned int mark, const char* prefix) {
  char line[64];
  unsigned int i, n = 0;

  for (i = 0; lt_bus_line(mark, i, line, sizeof(line)); i++)
    n += !strncmp(line, prefix, strlen(prefix));
  return n;
}

/* ---- The adapter ---- */

/*
 * One byte transfer with the chip: the hold and the faults first, then the chip's answer. The
 * caller gives the transfer as far as it is known; the value of a read is filled in.
 */
static int chip_transfer(struct lt_transfer* t) {
  unsigned long flags;
  bool wait;
  int error;

  spin_lock_irqsave(&lock, flags);
  wait = matches(&hold_match, t);
  spin_unlock_irqrestore(&lock, flags);
  if (wait && lt_gate_armed(&hold)) lt_gate_pass(&hold);

  spin_lock_irqsave(&lock, flags);
  error = fault_for(t);
  if (!error && !chip.powered) error = -ENXIO;
  if (!error) {
    switch (t->dir) {
      case LT_SELECT:
        write_reg(REG_BANK_SELECT, t->bank);
        break;
      case LT_WRITE:
        write_reg(t->reg, t->value);
        break;
      case LT_READ:
        t->value = read_reg(chip.bank, t->reg);
        break;
    }
    chip.pointer = t->reg + 1;
  }
  t->result = error;
  chip.log[chip.logged % LOG_CAPACITY] = *t;
  chip.logged++;
  spin_unlock_irqrestore(&lock, flags);
  return error;
}

static u8 current_bank(void) { return READ_ONCE(chip.bank); }

static int lt_smbus_xfer(struct i2c_adapter* adap, u16 addr, unsigned short flags, char read_write,
                         u8 command, int size, union i2c_smbus_data* data) {
  struct lt_transfer t = {0};
  int i, error;

  if (addr != LT_CHIP_ADDR) return -ENXIO;
  switch (size) {
    case I2C_SMBUS_BYTE_DATA:
      t.reg = command;
      if (read_write == I2C_SMBUS_WRITE && command == REG_BANK_SELECT) {
        t.dir = LT_SELECT;
        t.bank = data->byte;
        return chip_transfer(&t);
      }
      t.bank = current_bank();
      t.dir = read_write == I2C_SMBUS_WRITE ? LT_WRITE : LT_READ;
      t.value = data->byte;
      error = chip_transfer(&t);
      if (!error && read_write == I2C_SMBUS_READ) data->byte = t.value;
      return error;
    case I2C_SMBUS_BYTE:
      /* Receive-byte reads at the chip's register pointer; send-byte moves it. */
      t.bank = current_bank();
      t.reg = read_write == I2C_SMBUS_READ ? READ_ONCE(chip.pointer) : command;
      t.dir = read_write == I2C_SMBUS_READ ? LT_READ : LT_WRITE;
      error = chip_transfer(&t);
      if (!error && read_write == I2C_SMBUS_READ) data->byte = t.value;
      return error;
    case I2C_SMBUS_I2C_BLOCK_DATA:
      for (i = 0; i < data->block[0]; i++) {
        t = (struct lt_transfer){.bank = current_bank(), .reg = command + i};
        t.dir = read_write == I2C_SMBUS_WRITE ? LT_WRITE : LT_READ;
        t.value = data->block[i + 1];
        error = chip_transfer(&t);
        if (error) return error;
        data->block[i + 1] = t.value;
      }
      return 0;
    default:
      return -EOPNOTSUPP;
  }
}

static u32 lt_functionality(struct i2c_adapter* adap) {
  return I2C_FUNC_SMBUS_BYTE | I2C_FUNC_SMBUS_BYTE_DATA | I2C_FUNC_SMBUS_I2C_BLOCK;
}

static const struct i2c_algorithm lt_algorithm = {
    .smbus_xfer = lt_smbus_xfer,
    .functionality = lt_functionality,
};

int lt_chip_bus_add(struct device_node* node) {
  int ret;

  adapter = kzalloc(sizeof(*adapter), GFP_KERNEL);
  if (!adapter) return -ENOMEM;
  strscpy(adapter->name, "lt7911 model bus", sizeof(adapter->name));
  adapter->algo = &lt_algorithm;
  adapter->dev.of_node = node;
  /* The node's "i2cN" alias gives the adapter its number. */
  ret = i2c_add_adapter(adapter);
  if (ret) {
    kfree(adapter);
    adapter = NULL;
  }
  return ret;
}

void lt_chip_bus_remove(void) {
  if (!adapter) return;
  i2c_del_adapter(adapter);
  kfree(adapter);
  adapter = NULL;
}

struct i2c_adapter* lt_chip_bus(void) {
  return adapter;
}
