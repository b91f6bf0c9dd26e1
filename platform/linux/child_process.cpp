#include "platform/child_process.h"
