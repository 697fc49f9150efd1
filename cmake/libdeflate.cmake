# libdeflate's compressor and CRC-32, built from Debian's source package (unpacked by
# scripts/build.sh into LIBDEFLATE_SOURCE_DIR) with this build's toolchain, as the target
# `libdeflate::compress`. The builder deflates with it.
if(NOT LIBDEFLATE_SOURCE_DIR OR NOT EXISTS "${LIBDEFLATE_SOURCE_DIR}/libdeflate.h")
  message(FATAL_ERROR "LIBDEFLATE_SOURCE_DIR must name an unpacked libdeflate source tree (scripts/build.sh fetches it)")
endif()

add_library(libdeflate_compress STATIC
  ${LIBDEFLATE_SOURCE_DIR}/lib/deflate_compress.c
  ${LIBDEFLATE_SOURCE_DIR}/lib/crc32.c
  ${LIBDEFLATE_SOURCE_DIR}/lib/utils.c
  ${LIBDEFLATE_SOURCE_DIR}/lib/x86/cpu_features.c
)
target_include_directories(libdeflate_compress SYSTEM PUBLIC ${LIBDEFLATE_SOURCE_DIR})
# Built for speed whatever the build type; its functions realign the 32-bit stack for SSE.
target_compile_definitions(libdeflate_compress PRIVATE BUILDING_LIBDEFLATE)
target_compile_options(libdeflate_compress PRIVATE -O2 -w)
add_library(libdeflate::compress ALIAS libdeflate_compress)
