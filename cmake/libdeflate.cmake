# libdeflate, built from Debian's source package (unpacked by scripts/build.sh into
# LIBDEFLATE_SOURCE_DIR) with this build's toolchain: its compressor and CRC-32 as the target
# `libdeflate::compress`, which the builder deflates with, and its decompressor and CRC-32 as the
# target `libdeflate::inflate`, which the setup program inflates and checks with (its CRC-32 folds
# with PCLMULQDQ where the processor has it, several times zlib's speed). Both are built for speed,
# whatever the build type; their functions realign the 32-bit stack for SSE.
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
target_compile_definitions(libdeflate_compress PRIVATE BUILDING_LIBDEFLATE)
target_compile_options(libdeflate_compress PRIVATE -O2 -w)
add_library(libdeflate::compress ALIAS libdeflate_compress)

# Without unwind tables, like all C code here: the linker keeps every function that an object's
# table names, and the setup program is kept small.
add_library(libdeflate_inflate STATIC
  ${LIBDEFLATE_SOURCE_DIR}/lib/deflate_decompress.c
  ${LIBDEFLATE_SOURCE_DIR}/lib/crc32.c
  ${LIBDEFLATE_SOURCE_DIR}/lib/utils.c
  ${LIBDEFLATE_SOURCE_DIR}/lib/x86/cpu_features.c
)
target_include_directories(libdeflate_inflate SYSTEM PUBLIC ${LIBDEFLATE_SOURCE_DIR})
target_compile_definitions(libdeflate_inflate PRIVATE BUILDING_LIBDEFLATE)
target_compile_options(libdeflate_inflate PRIVATE -O2 -fomit-frame-pointer -w)
add_library(libdeflate::inflate ALIAS libdeflate_inflate)
