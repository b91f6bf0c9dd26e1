// What the control's method files share: the method frame, the text and file helpers, the
// token types and the process-wide state. Included only by the control's own sources (and
// its tests).
#pragma once

#include "FEDIX509/fedi_x509.h"
#include "control/TVFEDIMiniKeyCrypt.h"
#include "control/ca_record_selection.h"
#include "control/key_type.h"
#include "control/method_frame.h"
#include "control/session_internal.h"
#include "control/session_state.h"
#include "control/text_conversion.h"
#include "control/whole_file.h"
#include "token/token.h"
