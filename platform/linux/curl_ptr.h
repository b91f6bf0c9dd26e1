// Owners of curl's handles as kestrune::Ptr (Ptr<CURL>, Ptr<CURLU>, Ptr<curl_slist>).
//
// curl declares CURL as void unless CURL_STRICTER is defined, and a Free<void> would release
// any untyped pointer as an easy handle; this header asks for the distinct type. Include it
// in place of <curl/curl.h>, ahead of anything else that includes curl.
#pragma once

#ifndef CURL_STRICTER
#define CURL_STRICTER
#endif
#include <curl/curl.h>

#include <type_traits>

#include "common/ptr.h"

static_assert(!std::is_void_v<CURL>, "include platform/linux/curl_ptr.h before <curl/curl.h>");

namespace kestrune {

KESTRUNE_FREE(CURL, curl_easy_cleanup);
KESTRUNE_FREE(CURLU, curl_url_cleanup);
KESTRUNE_FREE(curl_slist, curl_slist_free_all);

}  // namespace kestrune
