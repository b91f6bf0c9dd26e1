/* The proxy's own exports besides the Cryptoki functions, for tests that steer it after
   loading it with dlopen. Plain C so any test harness can declare them. */
#ifndef KESTRUNE_P11PROXY_CONTROL_H
#define KESTRUNE_P11PROXY_CONTROL_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* kestrune_proxy_set_faults replaces every fault with those of `text` ("C_Name=RV[*N];...",
   see faults.h); returns 0, or -1 leaving the faults as they were when the text is
   malformed. A null or empty text clears every fault. */
int kestrune_proxy_set_faults(const char* text);
/* kestrune_proxy_calls returns how many calls of the named function the proxy forwarded or
   answered since the last reset; a null or empty name counts every function, an unknown name
   gives 0. */
uint64_t kestrune_proxy_calls(const char* name);
void kestrune_proxy_reset_calls(void);

typedef int (*kestrune_proxy_set_faults_fn)(const char*);
typedef uint64_t (*kestrune_proxy_calls_fn)(const char*);
typedef void (*kestrune_proxy_reset_calls_fn)(void);

#ifdef __cplusplus
}
#endif

#endif
