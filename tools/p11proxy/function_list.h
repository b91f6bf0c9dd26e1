// Every entry point of Cryptoki v2.40, in the order of CK_FUNCTION_LIST, as an X-macro:
//   KP_OWN(name, params, args)      answered by the proxy's own code (not a plain forward)
//   KP_FORWARD(name, params, args)  forwarded to the target module
//   KP_OPTIONAL(name, params, args) forwarded, and left out of the lite proxy
// params is the C parameter list, args the same names as a call's argument list.
// No include guard: the list is expanded several times with different definitions.

// clang-format off
KP_FORWARD(C_Initialize, (CK_VOID_PTR init_args), (init_args))
KP_FORWARD(C_Finalize, (CK_VOID_PTR reserved), (reserved))
KP_FORWARD(C_GetInfo, (CK_INFO_PTR info), (info))
KP_OWN(C_GetFunctionList, (CK_FUNCTION_LIST_PTR_PTR list), (list))
KP_OWN(C_GetSlotList, (CK_BBOOL token_present, CK_SLOT_ID_PTR slots, CK_ULONG_PTR count),
       (token_present, slots, count))
KP_FORWARD(C_GetSlotInfo, (CK_SLOT_ID slot, CK_SLOT_INFO_PTR info), (slot, info))
KP_FORWARD(C_GetTokenInfo, (CK_SLOT_ID slot, CK_TOKEN_INFO_PTR info), (slot, info))
KP_FORWARD(C_GetMechanismList, (CK_SLOT_ID slot, CK_MECHANISM_TYPE_PTR list, CK_ULONG_PTR count),
           (slot, list, count))
KP_FORWARD(C_GetMechanismInfo, (CK_SLOT_ID slot, CK_MECHANISM_TYPE type, CK_MECHANISM_INFO_PTR info),
           (slot, type, info))
KP_FORWARD(C_InitToken, (CK_SLOT_ID slot, CK_UTF8CHAR_PTR pin, CK_ULONG pin_len, CK_UTF8CHAR_PTR label),
           (slot, pin, pin_len, label))
KP_FORWARD(C_InitPIN, (CK_SESSION_HANDLE session, CK_UTF8CHAR_PTR pin, CK_ULONG pin_len),
           (session, pin, pin_len))
KP_OPTIONAL(C_SetPIN, (CK_SESSION_HANDLE session, CK_UTF8CHAR_PTR old_pin, CK_ULONG old_len,
                       CK_UTF8CHAR_PTR new_pin, CK_ULONG new_len),
            (session, old_pin, old_len, new_pin, new_len))
KP_FORWARD(C_OpenSession, (CK_SLOT_ID slot, CK_FLAGS flags, CK_VOID_PTR application, CK_NOTIFY notify,
                           CK_SESSION_HANDLE_PTR session),
           (slot, flags, application, notify, session))
KP_FORWARD(C_CloseSession, (CK_SESSION_HANDLE session), (session))
KP_FORWARD(C_CloseAllSessions, (CK_SLOT_ID slot), (slot))
KP_OPTIONAL(C_GetSessionInfo, (CK_SESSION_HANDLE session, CK_SESSION_INFO_PTR info), (session, info))
KP_FORWARD(C_GetOperationState, (CK_SESSION_HANDLE session, CK_BYTE_PTR state, CK_ULONG_PTR state_len),
           (session, state, state_len))
KP_FORWARD(C_SetOperationState, (CK_SESSION_HANDLE session, CK_BYTE_PTR state, CK_ULONG state_len,
                                 CK_OBJECT_HANDLE encryption_key, CK_OBJECT_HANDLE authentication_key),
           (session, state, state_len, encryption_key, authentication_key))
KP_FORWARD(C_Login, (CK_SESSION_HANDLE session, CK_USER_TYPE user, CK_UTF8CHAR_PTR pin, CK_ULONG pin_len),
           (session, user, pin, pin_len))
KP_FORWARD(C_Logout, (CK_SESSION_HANDLE session), (session))
KP_FORWARD(C_CreateObject, (CK_SESSION_HANDLE session, CK_ATTRIBUTE_PTR attrs, CK_ULONG count,
                            CK_OBJECT_HANDLE_PTR object),
           (session, attrs, count, object))
KP_FORWARD(C_CopyObject, (CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_PTR attrs,
                          CK_ULONG count, CK_OBJECT_HANDLE_PTR new_object),
           (session, object, attrs, count, new_object))
KP_OPTIONAL(C_DestroyObject, (CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object), (session, object))
KP_FORWARD(C_GetObjectSize, (CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object, CK_ULONG_PTR size),
           (session, object, size))
KP_FORWARD(C_GetAttributeValue, (CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object,
                                 CK_ATTRIBUTE_PTR attrs, CK_ULONG count),
           (session, object, attrs, count))
KP_OPTIONAL(C_SetAttributeValue, (CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object,
                                  CK_ATTRIBUTE_PTR attrs, CK_ULONG count),
            (session, object, attrs, count))
KP_FORWARD(C_FindObjectsInit, (CK_SESSION_HANDLE session, CK_ATTRIBUTE_PTR attrs, CK_ULONG count),
           (session, attrs, count))
KP_FORWARD(C_FindObjects, (CK_SESSION_HANDLE session, CK_OBJECT_HANDLE_PTR objects, CK_ULONG max_count,
                           CK_ULONG_PTR count),
           (session, objects, max_count, count))
KP_FORWARD(C_FindObjectsFinal, (CK_SESSION_HANDLE session), (session))
KP_FORWARD(C_EncryptInit, (CK_SESSION_HANDLE session, CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE key),
           (session, mechanism, key))
KP_FORWARD(C_Encrypt, (CK_SESSION_HANDLE session, CK_BYTE_PTR data, CK_ULONG data_len,
                       CK_BYTE_PTR out, CK_ULONG_PTR out_len),
           (session, data, data_len, out, out_len))
KP_FORWARD(C_EncryptUpdate, (CK_SESSION_HANDLE session, CK_BYTE_PTR part, CK_ULONG part_len,
                             CK_BYTE_PTR out, CK_ULONG_PTR out_len),
           (session, part, part_len, out, out_len))
KP_FORWARD(C_EncryptFinal, (CK_SESSION_HANDLE session, CK_BYTE_PTR out, CK_ULONG_PTR out_len),
           (session, out, out_len))
KP_FORWARD(C_DecryptInit, (CK_SESSION_HANDLE session, CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE key),
           (session, mechanism, key))
KP_FORWARD(C_Decrypt, (CK_SESSION_HANDLE session, CK_BYTE_PTR data, CK_ULONG data_len,
                       CK_BYTE_PTR out, CK_ULONG_PTR out_len),
           (session, data, data_len, out, out_len))
KP_FORWARD(C_DecryptUpdate, (CK_SESSION_HANDLE session, CK_BYTE_PTR part, CK_ULONG part_len,
                             CK_BYTE_PTR out, CK_ULONG_PTR out_len),
           (session, part, part_len, out, out_len))
KP_FORWARD(C_DecryptFinal, (CK_SESSION_HANDLE session, CK_BYTE_PTR out, CK_ULONG_PTR out_len),
           (session, out, out_len))
KP_FORWARD(C_DigestInit, (CK_SESSION_HANDLE session, CK_MECHANISM_PTR mechanism), (session, mechanism))
KP_FORWARD(C_Digest, (CK_SESSION_HANDLE session, CK_BYTE_PTR data, CK_ULONG data_len,
                      CK_BYTE_PTR digest, CK_ULONG_PTR digest_len),
           (session, data, data_len, digest, digest_len))
KP_FORWARD(C_DigestUpdate, (CK_SESSION_HANDLE session, CK_BYTE_PTR part, CK_ULONG part_len),
           (session, part, part_len))
KP_FORWARD(C_DigestKey, (CK_SESSION_HANDLE session, CK_OBJECT_HANDLE key), (session, key))
KP_FORWARD(C_DigestFinal, (CK_SESSION_HANDLE session, CK_BYTE_PTR digest, CK_ULONG_PTR digest_len),
           (session, digest, digest_len))
KP_FORWARD(C_SignInit, (CK_SESSION_HANDLE session, CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE key),
           (session, mechanism, key))
KP_OPTIONAL(C_Sign, (CK_SESSION_HANDLE session, CK_BYTE_PTR data, CK_ULONG data_len,
                     CK_BYTE_PTR signature, CK_ULONG_PTR signature_len),
            (session, data, data_len, signature, signature_len))
KP_FORWARD(C_SignUpdate, (CK_SESSION_HANDLE session, CK_BYTE_PTR part, CK_ULONG part_len),
           (session, part, part_len))
KP_FORWARD(C_SignFinal, (CK_SESSION_HANDLE session, CK_BYTE_PTR signature, CK_ULONG_PTR signature_len),
           (session, signature, signature_len))
KP_FORWARD(C_SignRecoverInit, (CK_SESSION_HANDLE session, CK_MECHANISM_PTR mechanism,
                               CK_OBJECT_HANDLE key),
           (session, mechanism, key))
KP_FORWARD(C_SignRecover, (CK_SESSION_HANDLE session, CK_BYTE_PTR data, CK_ULONG data_len,
                           CK_BYTE_PTR signature, CK_ULONG_PTR signature_len),
           (session, data, data_len, signature, signature_len))
KP_FORWARD(C_VerifyInit, (CK_SESSION_HANDLE session, CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE key),
           (session, mechanism, key))
KP_FORWARD(C_Verify, (CK_SESSION_HANDLE session, CK_BYTE_PTR data, CK_ULONG data_len,
                      CK_BYTE_PTR signature, CK_ULONG signature_len),
           (session, data, data_len, signature, signature_len))
KP_FORWARD(C_VerifyUpdate, (CK_SESSION_HANDLE session, CK_BYTE_PTR part, CK_ULONG part_len),
           (session, part, part_len))
KP_FORWARD(C_VerifyFinal, (CK_SESSION_HANDLE session, CK_BYTE_PTR signature, CK_ULONG signature_len),
           (session, signature, signature_len))
KP_FORWARD(C_VerifyRecoverInit, (CK_SESSION_HANDLE session, CK_MECHANISM_PTR mechanism,
                                 CK_OBJECT_HANDLE key),
           (session, mechanism, key))
KP_FORWARD(C_VerifyRecover, (CK_SESSION_HANDLE session, CK_BYTE_PTR signature, CK_ULONG signature_len,
                             CK_BYTE_PTR data, CK_ULONG_PTR data_len),
           (session, signature, signature_len, data, data_len))
KP_FORWARD(C_DigestEncryptUpdate, (CK_SESSION_HANDLE session, CK_BYTE_PTR part, CK_ULONG part_len,
                                   CK_BYTE_PTR out, CK_ULONG_PTR out_len),
           (session, part, part_len, out, out_len))
KP_FORWARD(C_DecryptDigestUpdate, (CK_SESSION_HANDLE session, CK_BYTE_PTR part, CK_ULONG part_len,
                                   CK_BYTE_PTR out, CK_ULONG_PTR out_len),
           (session, part, part_len, out, out_len))
KP_FORWARD(C_SignEncryptUpdate, (CK_SESSION_HANDLE session, CK_BYTE_PTR part, CK_ULONG part_len,
                                 CK_BYTE_PTR out, CK_ULONG_PTR out_len),
           (session, part, part_len, out, out_len))
KP_FORWARD(C_DecryptVerifyUpdate, (CK_SESSION_HANDLE session, CK_BYTE_PTR part, CK_ULONG part_len,
                                   CK_BYTE_PTR out, CK_ULONG_PTR out_len),
           (session, part, part_len, out, out_len))
KP_FORWARD(C_GenerateKey, (CK_SESSION_HANDLE session, CK_MECHANISM_PTR mechanism, CK_ATTRIBUTE_PTR attrs,
                           CK_ULONG count, CK_OBJECT_HANDLE_PTR key),
           (session, mechanism, attrs, count, key))
KP_OPTIONAL(C_GenerateKeyPair, (CK_SESSION_HANDLE session, CK_MECHANISM_PTR mechanism,
                                CK_ATTRIBUTE_PTR public_attrs, CK_ULONG public_count,
                                CK_ATTRIBUTE_PTR private_attrs, CK_ULONG private_count,
                                CK_OBJECT_HANDLE_PTR public_key, CK_OBJECT_HANDLE_PTR private_key),
            (session, mechanism, public_attrs, public_count, private_attrs, private_count, public_key,
             private_key))
KP_FORWARD(C_WrapKey, (CK_SESSION_HANDLE session, CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE wrapping_key,
                       CK_OBJECT_HANDLE key, CK_BYTE_PTR wrapped, CK_ULONG_PTR wrapped_len),
           (session, mechanism, wrapping_key, key, wrapped, wrapped_len))
KP_FORWARD(C_UnwrapKey, (CK_SESSION_HANDLE session, CK_MECHANISM_PTR mechanism,
                         CK_OBJECT_HANDLE unwrapping_key, CK_BYTE_PTR wrapped, CK_ULONG wrapped_len,
                         CK_ATTRIBUTE_PTR attrs, CK_ULONG count, CK_OBJECT_HANDLE_PTR key),
           (session, mechanism, unwrapping_key, wrapped, wrapped_len, attrs, count, key))
KP_FORWARD(C_DeriveKey, (CK_SESSION_HANDLE session, CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE base_key,
                         CK_ATTRIBUTE_PTR attrs, CK_ULONG count, CK_OBJECT_HANDLE_PTR key),
           (session, mechanism, base_key, attrs, count, key))
KP_FORWARD(C_SeedRandom, (CK_SESSION_HANDLE session, CK_BYTE_PTR seed, CK_ULONG seed_len),
           (session, seed, seed_len))
KP_FORWARD(C_GenerateRandom, (CK_SESSION_HANDLE session, CK_BYTE_PTR out, CK_ULONG out_len),
           (session, out, out_len))
KP_FORWARD(C_GetFunctionStatus, (CK_SESSION_HANDLE session), (session))
KP_FORWARD(C_CancelFunction, (CK_SESSION_HANDLE session), (session))
KP_FORWARD(C_WaitForSlotEvent, (CK_FLAGS flags, CK_SLOT_ID_PTR slot, CK_VOID_PTR reserved),
           (flags, slot, reserved))
// clang-format on
