/* procfs, files, poll, wait queues and user copies. */
#pragma once

#include <linux/fs.h>
#include <linux/poll.h>
#include <linux/proc_fs.h>
#include <linux/uaccess.h>
#include <linux/wait.h>

#include "compat.h"
#include "module.h"
