# The lookup, the name specifications and the selection dialog's model, over certificates made
# with OpenSSL in memory stores. Dialog answers come from KESTRUNE_CHOOSE, never a terminal.
add_executable(tvcapi_lookup_tests
  ${CMAKE_SOURCE_DIR}/tests/cryptoapi/cert_maker.cpp
  lookup_name_spec_test.cpp
  lookup_search_test.cpp
  select_model_test.cpp)
target_include_directories(tvcapi_lookup_tests PRIVATE ${CMAKE_SOURCE_DIR}/tests/cryptoapi)
target_link_libraries(tvcapi_lookup_tests PRIVATE
  kestrune_tvcapi kestrune_platform_cryptoapi kestrune_common GTest::gtest_main OpenSSL::Crypto)
gtest_discover_tests(tvcapi_lookup_tests PROPERTIES TIMEOUT 60 ENVIRONMENT "TZ=Asia/Taipei")
