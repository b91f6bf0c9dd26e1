// The Cryptoki header. Windows modules pack their structures to one byte; the Linux
// build uses p11-kit's header with the platform's natural layout.
#pragma once

#if defined(_WIN32)
#pragma pack(push, cryptoki, 1)
#include <p11-kit/pkcs11.h>
#pragma pack(pop, cryptoki)
#else
#include <p11-kit/pkcs11.h>
#endif

// p11-kit's compatibility names are macros over common words (value, count, params ...):
// the structures are declared by now, so drop them before they rename our own code.
#undef cryptoki_version
#undef manufacturer_id
#undef library_description
#undef library_version
#undef slot_description
#undef hardware_version
#undef firmware_version
#undef serial_number
#undef max_session_count
#undef session_count
#undef max_rw_session_count
#undef rw_session_count
#undef max_pin_len
#undef min_pin_len
#undef total_public_memory
#undef free_public_memory
#undef total_private_memory
#undef free_private_memory
#undef utc_time
#undef slot_id
#undef device_error
#undef value
#undef value_len
#undef count
#undef parameter
#undef parameter_len
#undef params
#undef min_key_size
#undef max_key_size
#undef create_mutex
#undef destroy_mutex
#undef lock_mutex
#undef unlock_mutex
#undef reserved
#undef hash_alg
#undef s_len
#undef source_data
#undef source_data_len
#undef counter_bits
#undef iv_ptr
#undef iv_len
#undef iv_bits
#undef aad_ptr
#undef aad_len
#undef tag_bits
#undef shared_data_len
#undef shared_data
#undef public_data_len
#undef public_data
#undef string_data
#undef string_data_len
#undef data_params
