# Builds libzip statically from Debian's source package (unpacked by scripts/build.sh into
# LIBZIP_SOURCE_DIR) with this build's toolchain, and exposes it as the target `libzip::zip`.
include(ExternalProject)

if(NOT LIBZIP_SOURCE_DIR OR NOT EXISTS "${LIBZIP_SOURCE_DIR}/lib/zip.h")
  message(FATAL_ERROR "LIBZIP_SOURCE_DIR must name an unpacked libzip source tree (scripts/build.sh fetches it)")
endif()

set(libzip_prefix "${CMAKE_BINARY_DIR}/_deps/libzip")

ExternalProject_Add(libzip_external
  SOURCE_DIR "${LIBZIP_SOURCE_DIR}"
  BINARY_DIR "${CMAKE_BINARY_DIR}/_deps/libzip-build"
  INSTALL_DIR "${libzip_prefix}"
  CMAKE_ARGS
    -DCMAKE_TOOLCHAIN_FILE=${CMAKE_TOOLCHAIN_FILE}
    # Small, and in sections of their own, so that the programs keep only the functions they use.
    -DCMAKE_BUILD_TYPE=MinSizeRel
    "-DCMAKE_C_FLAGS_MINSIZEREL=-Oz -DNDEBUG"
    # No unwind tables either: no exception passes through C code, and the linker keeps every
    # function that an object's table names. Archived by the compiler's own archiver, which
    # keeps the link-time optimisation's objects (cmake/zlib.cmake).
    "-DCMAKE_C_FLAGS=-ffunction-sections -fdata-sections -fno-asynchronous-unwind-tables ${PONDREL_C_LTO}"
    -DCMAKE_AR=${CMAKE_C_COMPILER_AR}
    -DCMAKE_INSTALL_PREFIX=<INSTALL_DIR>
    -DBUILD_SHARED_LIBS=OFF
    # zlib as this build makes it (cmake/zlib.cmake).
    -DZLIB_LIBRARY=$<TARGET_FILE:zlib_static>
    -DZLIB_INCLUDE_DIR=${ZLIB_SOURCE_DIR}
    # No encryption support is needed; leaving the Windows crypto out keeps bcrypt.dll,
    # which is not a known system DLL, out of the programs' imports.
    -DENABLE_BZIP2=OFF -DENABLE_LZMA=OFF -DENABLE_ZSTD=OFF
    -DENABLE_GNUTLS=OFF -DENABLE_OPENSSL=OFF -DENABLE_MBEDTLS=OFF
    -DENABLE_COMMONCRYPTO=OFF -DENABLE_WINDOWS_CRYPTO=OFF
    -DBUILD_TOOLS=OFF -DBUILD_REGRESS=OFF -DBUILD_EXAMPLES=OFF -DBUILD_DOC=OFF
  BUILD_BYPRODUCTS "${libzip_prefix}/lib/libzip.a"
  UPDATE_COMMAND ""
  DEPENDS zlib_static
)

file(MAKE_DIRECTORY "${libzip_prefix}/include")
add_library(libzip::zip STATIC IMPORTED GLOBAL)
set_target_properties(libzip::zip PROPERTIES
  IMPORTED_LOCATION "${libzip_prefix}/lib/libzip.a"
  INTERFACE_INCLUDE_DIRECTORIES "${libzip_prefix}/include"
  INTERFACE_COMPILE_DEFINITIONS "ZIP_STATIC"
  INTERFACE_LINK_LIBRARIES "zlib::zlib;$<$<PLATFORM_ID:Windows>:advapi32>")
add_dependencies(libzip::zip libzip_external)
