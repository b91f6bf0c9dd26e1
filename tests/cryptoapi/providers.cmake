# Providers, keys and hashes: the software provider on temp folders, a PKCS#11 provider on a
# private SoftHSM2 token (and the fault proxy), cross-checked with OpenSSL.
add_executable(cryptoapi_provider_tests
  ${CMAKE_CURRENT_LIST_DIR}/provider_test_env.cpp
  ${CMAKE_CURRENT_LIST_DIR}/hash_tests.cpp
  ${CMAKE_CURRENT_LIST_DIR}/provider_software_tests.cpp
  ${CMAKE_CURRENT_LIST_DIR}/key_blob_tests.cpp
  ${CMAKE_CURRENT_LIST_DIR}/provider_token_tests.cpp
  ${CMAKE_CURRENT_LIST_DIR}/provider_file_tests.cpp)
target_link_libraries(cryptoapi_provider_tests PRIVATE kestrune_platform_cryptoapi
  kestrune_common kestrune_test_support OpenSSL::Crypto GTest::gtest_main)
gtest_discover_tests(cryptoapi_provider_tests TEST_PREFIX "cryptoapi.providers.")
