// A module whose device-table record names a table type that the loader does not know: the
// loader must refuse it rather than read the table as something it is not.
#include "platform/module.h"

MODULE_LICENSE("GPL");

static const char badtable_ids[8] = "usb:x";
static const struct module_device_table badtable_record __attribute__((
    used, section("__mod_device_table"), aligned(sizeof(void*)))) = {"usb", badtable_ids};

static int badtable_init(void) { return 0; }
module_init(badtable_init);
