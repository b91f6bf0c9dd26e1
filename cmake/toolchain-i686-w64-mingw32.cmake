# Cross-compiling for 32-bit Windows with MinGW-w64 (Debian's g++-mingw-w64-i686 and
# mingw-w64-tools); Windows programs run under Wine.
#
# KESTRUNE_WIN32_PREFIXES: the folders holding the Windows builds of the dependencies (the
# static OpenSSL ...), separated by semicolons. Libraries, headers and packages are searched
# there and in MinGW's own folder, never in the host's /usr.
# KESTRUNE_RUN_WITH_WINE (ON): OFF leaves Wine out, for a build whose run checks are answered
# in advance.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(KESTRUNE_MINGW_TRIPLET i686-w64-mingw32)
# The "posix" thread model: std::mutex and std::thread need it with GCC 12.
set(CMAKE_C_COMPILER ${KESTRUNE_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KESTRUNE_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${KESTRUNE_MINGW_TRIPLET}-windres)
set(KESTRUNE_WIDL ${KESTRUNE_MINGW_TRIPLET}-widl)

# try_compile projects read this file again: hand them the same settings.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES KESTRUNE_WIN32_PREFIXES KESTRUNE_RUN_WITH_WINE)
set(CMAKE_FIND_ROOT_PATH /usr/${KESTRUNE_MINGW_TRIPLET} ${KESTRUNE_WIN32_PREFIXES})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Configure checks and tests run the Windows programs they build under Wine.
if(NOT DEFINED KESTRUNE_RUN_WITH_WINE OR KESTRUNE_RUN_WITH_WINE)
  find_program(KESTRUNE_WINE wine)
  if(KESTRUNE_WINE)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${KESTRUNE_WINE})
  endif()
endif()
