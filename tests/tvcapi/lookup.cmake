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

# The entry points that wrap the found certificate in a handle need the handles, store loaders
# and dialog message of TVCAPI's core (its tests come with it).
if(EXISTS ${CMAKE_CURRENT_LIST_DIR}/core.cmake)
  target_sources(tvcapi_lookup_tests PRIVATE lookup_handles_test.cpp)
endif()
