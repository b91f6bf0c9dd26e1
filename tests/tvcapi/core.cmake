# TVCAPI's handles, stores, certificate getters, keys and coders on the Linux stand-in: the
# software provider in private folders, providers backed by SoftHSM2 tokens (and the fault
# proxy), cross-checked with the openssl command.
# The fixtures are a library of their own: the control's signing-session tests use them too.
add_library(kestrune_tvcapi_test_fixtures STATIC
  ${CMAKE_SOURCE_DIR}/tests/cryptoapi/cert_maker.cpp
  ${CMAKE_SOURCE_DIR}/tests/cryptoapi/provider_test_env.cpp
  core_fixture.cpp
  token_fixture.cpp)
target_include_directories(kestrune_tvcapi_test_fixtures PUBLIC ${CMAKE_SOURCE_DIR}/tests/cryptoapi)
target_link_libraries(kestrune_tvcapi_test_fixtures PUBLIC
  kestrune_tvcapi kestrune_platform_cryptoapi kestrune_common kestrune_test_support
  GTest::gtest OpenSSL::Crypto)

add_executable(tvcapi_core_tests
  base64_test.cpp
  pem_test.cpp
  handles_test.cpp
  rsa_key_blob_test.cpp
  store_loaders_test.cpp
  cert_getters_test.cpp
  store_from_csp_test.cpp
  key_ops_test.cpp
  rsa_key_der_test.cpp
  key_pin_test.cpp
  coders_test.cpp
  core_signing_test.cpp)
target_link_libraries(tvcapi_core_tests PRIVATE kestrune_tvcapi_test_fixtures GTest::gtest_main)
gtest_discover_tests(tvcapi_core_tests TEST_PREFIX "tvcapi.core." PROPERTIES TIMEOUT 120)
