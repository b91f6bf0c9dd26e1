# The certificate side: contexts, stores (memory, system folders, files), names as text,
# structure coders and messages; and the code page 950 conversions names go through.
add_executable(cryptoapi_store_tests
  cert_maker.cpp
  cert_context_test.cpp
  name_to_str_test.cpp
  store_system_test.cpp
  store_file_test.cpp
  name_coder_test.cpp
  chooser_answers_test.cpp
  win32_text_test.cpp)
target_link_libraries(cryptoapi_store_tests PRIVATE
  kestrune_platform_cryptoapi kestrune_common GTest::gtest_main OpenSSL::Crypto)
gtest_discover_tests(cryptoapi_store_tests PROPERTIES TIMEOUT 60)
# The committed best-fit table of code page 950 is what its script makes of Wine's code-page
# file, wherever Wine is installed to check it against.
set(KESTRUNE_WINE_C950 /usr/share/wine/nls/c_950.nls)
if(EXISTS ${KESTRUNE_WINE_C950})
  add_test(NAME codepage950_best_fit_is_generated
    COMMAND sh -c "python3 \"$1\" --nls \"$2\" --out \"$3\" && cmp \"$3\" \"$4\""
            sh ${CMAKE_SOURCE_DIR}/scripts/gen-bestfit950.py ${KESTRUNE_WINE_C950}
            ${CMAKE_CURRENT_BINARY_DIR}/codepage950_best_fit.cpp
            ${CMAKE_SOURCE_DIR}/platform/linux/codepage950_best_fit.cpp)
endif()
