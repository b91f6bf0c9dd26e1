// The owner of OpenSSL's PKCS7 records, for the file store's bundles and the messages.
#pragma once

#include <openssl/pkcs7.h>

#include "common/ptr.h"

namespace kestrune {
KESTRUNE_FREE(PKCS7, PKCS7_free);
}
