/*
 * A register-level model of the LT7911D behind an I2C adapter of its own, for the module's
 * tests in a real kernel.
 *
 * The chip answers SMBus byte-data, receive-byte and I2C-block transactions at address 0x2b.
 * Its registers are addressed (bank, register): writing register 0xFF selects the bank of later
 * accesses. The registers it models (the map of chip_model.c, named as the driver names them):
 *
 *   (0xA0, 0x00) (0xA0, 0x01)  CHIP_ID_HIGH, CHIP_ID_LOW: identity, 0x16 0x05 unless set
 *                              otherwise; read-only
 *   (0x80, 0xEE)               SYS_ENABLE: register-access enable; the measurements below read
 *                              0x00 unless it holds 0x01
 *   (0xD2, 0x83)               TIMING_SELECT: timing-measurement select (0x10: the bank 0xD2
 *                              timings show)
 *   (0xA0, 0x34)               CHIP_CLOCK_SELECT: clock-measurement select (0x21: the bank 0xB8
 *                              clock shows)
 *   (0xC2, 0x38/0x39)          ACTIVE_WIDTH_HIGH/LOW; (0xC2, 0x06/0x07) ACTIVE_HEIGHT_HIGH/LOW
 *   (0xD2, 0x89/0x8A)          TIMING_HTOTAL_HIGH/LOW: HTotal / 2 (15 bits);
 *                              (0xD2, 0x9E/0x9F) TIMING_VTOTAL_HIGH/LOW: VTotal
 *   (0xD2, 0x96/0x97)          TIMING_SYNC_A_HIGH/LOW: HTotal; (0xD2, 0x8B/0x8C)
 *                              TIMING_SYNC_B_HIGH/LOW: VTotal
 *   (0xB8, 0xB1/0xB2/0xB3)     CLOCK_HIGH/MID/LOW: half the pixel clock in kHz (19 bits)
 *   (0xD1, 0x55)               AUDIO_RATE: audio sample-rate byte of the source
 *
 * The identity and the measurements are read-only (writes are ignored); measurements read 0
 * without a source. The enable and the two selects keep what is written.
 *
 * Registers the map does not name read LT_UNMAPPED_VALUE (0x00), the value every register takes
 * at power-on, and never a measurement; they keep what is written to them and read it back
 * until the next power-on (a plain register file).
 *
 * Power: while the power input is low the chip acknowledges nothing (-ENXIO). When it rises,
 * every register returns to its reset value (0; bank 0x00), and a chip that sees a source
 * pulses its interrupt output once, unless an input change was signalled since.
 *
 * Interrupt: every input change (plug, unplug, mode or audio change) of a powered chip pulses
 * the interrupt output: high, then low again once the rising edge has been delivered (see
 * board.h).
 *
 * Test aids: a transfer log, faults (a transfer that fails with an errno) and holds (a transfer
 * that waits, before it reaches the chip, until the test releases it).
 *
 * Threading: transfers run in the caller's process context (a hold sleeps there); the power
 * input is driven from process context; the state is guarded by one spinlock that is never
 * held while the model sleeps or raises its interrupt.
 */
#ifndef LT7911_KUNIT_CHIP_MODEL_H
#define LT7911_KUNIT_CHIP_MODEL_H

#include <linux/completion.h>
#include <linux/i2c.h>
#include <linux/types.h>
#include <linux/wait.h>

#define LT_CHIP_ADDR 0x2b

/* What a register the map does not name reads while nothing has been written to it. */
#define LT_UNMAPPED_VALUE 0x00

/* An HDMI input: active size, totals and pixel clock. */
struct lt_mode {
  const char* name;
  u16 width;
  u16 height;
  u16 htotal;
  u16 vtotal;
  u32 pixel_clock_hz;
};

/* Standard modes, looked up by name ("1080p60", "720p60", "1366x768@60", ...); NULL if none. */
const struct lt_mode* lt_mode_find(const char* name);

/* Kinds of transfer, as the log shows them. */
enum lt_dir {
  LT_SELECT, /* a write of register 0xFF */
  LT_WRITE,
  LT_READ,
};

/* One transfer as the chip's bus saw it. */
struct lt_transfer {
  enum lt_dir dir;
  u8 bank; /* for a select: the bank selected */
  u8 reg;
  u8 value;
  int result; /* 0, or the negative errno the adapter returned */
};

/* Which transfers a fault or hold applies to; a negative field matches anything. */
struct lt_match {
  int dir;
  int bank;
  int reg;
};

#define LT_ANY (-1)

/* Resets the model: powered off, no source, audio rate 48, identity 0x16 0x05, empty log, no
 * faults or holds. */
void lt_chip_reset(void);

/* The source: plug (or change) a mode, unplug, change the audio rate. Each is an input change. */
void lt_chip_plug(const struct lt_mode* mode);
void lt_chip_unplug(void);
void lt_chip_set_audio_rate(u8 rate);
void lt_chip_set_identity(u8 high, u8 low);

/* The power input, driven by the board's power line. */
void lt_chip_set_power(bool on);
bool lt_chip_powered(void);
int lt_chip_power_ups(void);
/* Interrupt pulses the chip has sent. */
int lt_chip_irq_pulses(void);

/* The adapter the chip sits on; its node is given. */
int lt_chip_bus_add(struct device_node* node);
void lt_chip_bus_remove(void);
struct i2c_adapter* lt_chip_bus(void);

/* The transfer log: a mark, and the transfers since a mark formatted as the host tests write
 * them ("select 0x80", "write 0x80:0xEE = 0x01", "read 0xA0:0x00 -> 0x16"). */
unsigned int lt_bus_mark(void);
unsigned int lt_bus_count_since(unsigned int mark);
/* The i-th transfer after the mark formatted into buf; false beyond the end. */
bool lt_bus_line(unsigned int mark, unsigned int i, char* buf, size_t size);
/* Transfers since the mark whose line equals text. */
unsigned int lt_bus_count_line(unsigned int mark, const char* text);
/* Transfers since the mark whose line starts with prefix (a failed one ends in " -> ERRNO"). */
unsigned int lt_bus_count_prefix(unsigned int mark, const char* prefix);

/* Fails the transfers that match, from the nth matching one (1 = the next), `times` times (0:
 * always), with `error`. */
void lt_bus_fault(struct lt_match match, unsigned int nth, unsigned int times, int error);
void lt_bus_faults_clear(void);

/*
 * A gate where a thread of the code under test waits until the test lets it through. Gates
 * live in static storage, so that a waiting thread never refers to the memory of a test that
 * has ended. Arming makes the next thread that comes wait; releasing lets through every thread
 * that has come.
 */
struct lt_gate {
  wait_queue_head_t wq;
  spinlock_t lock; /* guards the fields below */
  bool armed;
  unsigned int generation; /* arms so far */
  unsigned int arrived;    /* the generation of the last thread that came */
  unsigned int released;   /* threads of generations up to this one may go */
};
#define LT_GATE_INIT(name) \
  { .wq = __WAIT_QUEUE_HEAD_INITIALIZER(name.wq), .lock = __SPIN_LOCK_UNLOCKED(name.lock) }
void lt_gate_arm(struct lt_gate* gate);
/* Called by the code under test: waits if the gate is armed (and disarms it). */
void lt_gate_pass(struct lt_gate* gate);
/* Whether the gate is armed; for a caller that decides whether to pass. */
bool lt_gate_armed(struct lt_gate* gate);
/* Waits (bounded) until a thread has come to the gate since it was armed; false on timeout. */
bool lt_gate_wait(struct lt_gate* gate);
void lt_gate_release(struct lt_gate* gate);
/* The next thread that comes passes. */
void lt_gate_disarm(struct lt_gate* gate);
/* Whether a thread waits at the gate. */
bool lt_gate_holding(struct lt_gate* gate);

/* The chip's bus hold: the next transfer that matches waits at a gate. */
void lt_bus_hold(struct lt_match match);
bool lt_bus_hold_wait(void);
void lt_bus_hold_release(void);
void lt_bus_hold_disarm(void);
/* Whether a transfer waits at the hold now. */
bool lt_bus_holding(void);

#endif
