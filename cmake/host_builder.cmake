# The builder for POSIX build machines (included by the top CMakeLists.txt when no Windows
# toolchain is in use): the same libraries, built from the same sources with the host's
# compilers, the portable part of common/ and make/, and its installation and Debian package.
include(cmake/zlib.cmake)
include(cmake/libzip.cmake)
include(cmake/libdeflate.cmake)

add_subdirectory(common)
add_subdirectory(make)

include(GNUInstallDirs)
install(TARGETS pondrelmake RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME pondrelmake)
set(CPACK_PACKAGE_VENDOR "Pondrel")
set(CPACK_PACKAGE_CONTACT "Pondrel <pondrel@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Builds self-extracting Windows setup programs")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "PondrelMake packs a client distribution folder into a self-extracting Windows setup program.\n It carries the shipped 32-bit setup program; no Windows or Wine is needed to build.")
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# The C library's versioned dependency, as dpkg-shlibdeps finds it.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
