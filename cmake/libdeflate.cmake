# Builds libdeflate's decompressor from Debian's source package (unpacked by scripts/build.sh
# into LIBDEFLATE_SOURCE_DIR) with this build's toolchain, as the target `libdeflate::inflate`.
# Only the decompressor's sources are compiled; they are built for speed, as the library's own
# build does, whatever the programs are built for.
if(NOT LIBDEFLATE_SOURCE_DIR OR NOT EXISTS "${LIBDEFLATE_SOURCE_DIR}/libdeflate.h")
  message(FATAL_ERROR "LIBDEFLATE_SOURCE_DIR must name an unpacked libdeflate source tree (scripts/build.sh fetches it)")
endif()

add_library(libdeflate_inflate STATIC
  ${LIBDEFLATE_SOURCE_DIR}/lib/deflate_decompress.c
  ${LIBDEFLATE_SOURCE_DIR}/lib/utils.c
  ${LIBDEFLATE_SOURCE_DIR}/lib/x86/cpu_features.c)
target_include_directories(libdeflate_inflate SYSTEM PUBLIC ${LIBDEFLATE_SOURCE_DIR})
set_target_properties(libdeflate_inflate PROPERTIES C_STANDARD 99)
# No unwind tables: no exception passes through C code, and the linker keeps every function
# that an object's table names.
target_compile_options(libdeflate_inflate PRIVATE -O2 -fomit-frame-pointer -fno-asynchronous-unwind-tables -w)
add_library(libdeflate::inflate ALIAS libdeflate_inflate)
