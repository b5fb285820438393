// The forced-mode module parameters. See force_params.h.
#include "procfs/force_params.h"

#include "driver/module_state.h"
#include "monitor/status_worker.h"
#include "platform/locking.h"
#include "platform/workqueue.h"

#define FORCE_NOT_SET (-1)

int force_width = FORCE_NOT_SET;
int force_height = FORCE_NOT_SET;
int force_fps = FORCE_NOT_SET;

static const struct kernel_param_ops force_res_param_ops = {0, force_res_param_set, param_get_int,
                                                            NULL};

int force_res_param_set(const char* val, const struct kernel_param* kp) {
  int* target = (int*)kp->arg;
  int before = READ_ONCE(*target);

  // Parse into a local first, so the worker never sees a half-done store.
  int value = before;
  struct kernel_param local = *kp;
  local.arg = &value;
  int ret = param_set_int(val, &local);
  if (ret) return ret;
  WRITE_ONCE(*target, value);

  if (before == FORCE_NOT_SET || value != FORCE_NOT_SET) {
    int width = READ_ONCE(force_width);
    int height = READ_ONCE(force_height);
    if (width > 0 && height > 0)
      lt7911_force_resolution((u16)width, (u16)height, READ_ONCE(force_fps));
    return 0;
  }
  // A forced value was cleared: measure the chip again, once the work item exists and while the
  // module is not going. Before the first probe there is none and nothing is queued.
  lt7911_work_queue();
  return 0;
}

module_param_cb(force_width, &force_res_param_ops, &force_width, 0644);
MODULE_PARM_DESC(force_width, "Force HDMI width");
module_param_cb(force_height, &force_res_param_ops, &force_height, 0644);
MODULE_PARM_DESC(force_height, "Force HDMI height");
module_param_cb(force_fps, &force_res_param_ops, &force_fps, 0644);
MODULE_PARM_DESC(force_fps, "Force HDMI fps");
