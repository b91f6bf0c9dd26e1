# Writes OUTPUT, a C++ source that holds every file of FIXTURES_DIR (certificates, key blobs,
# the signed message) as bytes, so the Linux and the Windows probe read the very same ones.
file(GLOB names RELATIVE ${FIXTURES_DIR} ${FIXTURES_DIR}/*.der ${FIXTURES_DIR}/*.blob
     ${FIXTURES_DIR}/*.p7)
list(SORT names)
set(body "")
foreach(name IN LISTS names)
  file(READ ${FIXTURES_DIR}/${name} content HEX)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," content "${content}")
  string(APPEND body "      {\"${name}\", {${content}}},\n")
endforeach()
file(WRITE ${OUTPUT}.tmp
"// Generated from tests/cryptoapi_compare/certs by embed_fixtures.cmake.
#include \"tests/cryptoapi_compare/probe.h\"

namespace probe {

const std::vector<Fixture>& fixtures() {
  static const std::vector<Fixture> all = {
${body}  };
  return all;
}

}  // namespace probe
")
file(COPY_FILE ${OUTPUT}.tmp ${OUTPUT} ONLY_IF_DIFFERENT)
file(REMOVE ${OUTPUT}.tmp)
