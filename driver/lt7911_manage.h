// The binding of lt7911_manage to its one chip: the probe and the remove the driver record
// names. The state the binding shares with the rest of the module is in module_state.h.
#pragma once

#include "platform/i2c.h"

#ifdef __cplusplus
extern "C" {
#endif
int lt7911_manage_probe(struct i2c_client* client, const struct i2c_device_id* id);
int lt7911_manage_remove(struct i2c_client* client);
#ifdef __cplusplus
}
#endif
