# TVCAPI's handles, stores, getters and key operations on the software provider.
add_executable(tvcapi_core_tests
  ${CMAKE_SOURCE_DIR}/tests/cryptoapi/cert_maker.cpp
  ${CMAKE_SOURCE_DIR}/tests/cryptoapi/provider_test_env.cpp
  core_signing_test.cpp)
target_include_directories(tvcapi_core_tests PRIVATE ${CMAKE_SOURCE_DIR}/tests/cryptoapi)
target_link_libraries(tvcapi_core_tests PRIVATE kestrune_tvcapi kestrune_platform_cryptoapi
  kestrune_common kestrune_test_support OpenSSL::Crypto GTest::gtest_main)
gtest_discover_tests(tvcapi_core_tests TEST_PREFIX "tvcapi.core." PROPERTIES TIMEOUT 60)
