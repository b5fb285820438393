/* Work items and the system work queue. */
#pragma once

#include <linux/workqueue.h>
