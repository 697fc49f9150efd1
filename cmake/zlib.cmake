# Builds zlib from Debian's source package (unpacked by scripts/build.sh into ZLIB_SOURCE_DIR)
# with this build's toolchain, as the target `zlib::zlib`: built for speed as zlib's own build
# is, but in sections of their own and without unwind tables (no exception passes through C
# code), so that a program keeps only the functions it uses. The setup program keeps its
# inflater and checksums; the prebuilt library would bring whole objects, some 12 KB more.
if(NOT ZLIB_SOURCE_DIR OR NOT EXISTS "${ZLIB_SOURCE_DIR}/zlib.h")
  message(FATAL_ERROR "ZLIB_SOURCE_DIR must name an unpacked zlib source tree (scripts/build.sh fetches it)")
endif()

add_library(zlib_static STATIC)
foreach(name adler32 compress crc32 deflate infback inffast inflate inftrees trees uncompr zutil)
  target_sources(zlib_static PRIVATE ${ZLIB_SOURCE_DIR}/${name}.c)
endforeach()
target_include_directories(zlib_static SYSTEM PUBLIC ${ZLIB_SOURCE_DIR})
target_compile_options(zlib_static PRIVATE -O2 -w ${PONDREL_C_LTO})
# The CRC tables are computed at the first use (once, also with several threads: this C has
# atomics) instead of being carried in the program file, some 5 KB of the setup program.
target_compile_definitions(zlib_static PRIVATE DYNAMIC_CRC_TABLE)
add_library(zlib::zlib ALIAS zlib_static)
