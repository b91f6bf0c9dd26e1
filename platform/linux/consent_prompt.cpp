#include "platform/consent_prompt.h"
