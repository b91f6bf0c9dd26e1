# The certificate side: contexts, stores (memory, system folders, files), names as text,
# structure coders and messages.
add_executable(cryptoapi_store_tests
  cert_maker.cpp
  cert_context_test.cpp
  name_to_str_test.cpp
  store_system_test.cpp
  store_file_test.cpp
  name_coder_test.cpp
  chooser_answers_test.cpp)
target_link_libraries(cryptoapi_store_tests PRIVATE
  kestrune_platform_cryptoapi kestrune_common GTest::gtest_main OpenSSL::Crypto)
gtest_discover_tests(cryptoapi_store_tests PROPERTIES TIMEOUT 60)
