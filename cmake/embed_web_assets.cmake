# Writes a C++ source holding the agent's web files as byte arrays, so the program serves
# them without reading anything at run time. Bytes rather than raw string literals: no
# delimiter can clash with what the files hold.
#   cmake -DSOURCE_DIR=agent/web -DOUTPUT=web_assets_data.cpp -DFILES="a.js,demo/b.html"
#         -P embed_web_assets.cmake
string(REPLACE "," ";" files "${FILES}")

function(content_type file out)
  get_filename_component(extension "${file}" LAST_EXT)
  if(extension STREQUAL ".js")
    set(type "text/javascript; charset=utf-8")
  elseif(extension STREQUAL ".html")
    set(type "text/html; charset=utf-8")
  elseif(extension STREQUAL ".css")
    set(type "text/css; charset=utf-8")
  else()
    message(FATAL_ERROR "no content type for ${file}")
  endif()
  set(${out} "${type}" PARENT_SCOPE)
endfunction()

set(arrays "")
set(entries "")
set(index 0)
foreach(file IN LISTS files)
  file(READ "${SOURCE_DIR}/${file}" hex HEX)
  string(LENGTH "${hex}" hexLength)
  math(EXPR size "${hexLength} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  # Lines of 16 bytes; a final 0 keeps an empty file's array legal (size says what counts).
  string(REGEX REPLACE "((0x..,){16})" "\\1\n    " bytes "${bytes}")
  content_type("${file}" type)
  string(APPEND arrays "const unsigned char kFile${index}[] = {\n    ${bytes}0};\n")
  string(APPEND entries "    {\"/${file}\", \"${type}\", kFile${index}, ${size}},\n")
  math(EXPR index "${index} + 1")
endforeach()

file(WRITE "${OUTPUT}.new"
"// Made by cmake/embed_web_assets.cmake from agent/web/ at build time.
#include \"agent/web_assets_data.h\"

namespace kestrune::agent {
namespace {

${arrays}
const EmbeddedWebFile kFiles[] = {
${entries}};

}  // namespace

std::span<const EmbeddedWebFile> embeddedWebFiles() { return kFiles; }

}  // namespace kestrune::agent
")
# Replaced only when changed, so an unchanged file doesn't rebuild what depends on it.
file(COPY_FILE "${OUTPUT}.new" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.new")
