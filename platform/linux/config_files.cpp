#include "platform/config_files.h"
