# SPDX-License-Identifier: MIT
# How other projects find the installed libraries, and the Debian package.

# The CMake package: find_package(Tarvio 1.0) gives tarvio::common,
# tarvio::pcm, tarvio::wav, tarvio::aiff and tarvio::engine.
include(CMakePackageConfigHelpers)
set(TARVIO_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Tarvio)
install(EXPORT TarvioTargets NAMESPACE tarvio:: DESTINATION ${TARVIO_CMAKE_DIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/TarvioConfig.cmake.in
    ${PROJECT_BINARY_DIR}/TarvioConfig.cmake INSTALL_DESTINATION ${TARVIO_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/TarvioConfigVersion.cmake
    COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/TarvioConfig.cmake ${PROJECT_BINARY_DIR}/TarvioConfigVersion.cmake
    DESTINATION ${TARVIO_CMAKE_DIR})

# pkg-config: tarvio.pc finds the prefix from its own place (pcfiledir), so
# it is right wherever the files are installed: cmake --install --prefix,
# the Debian package, a copied tree.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}" OR IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
    set(TARVIO_PC_PREFIX ${CMAKE_INSTALL_PREFIX})
    set(TARVIO_PC_LIBDIR ${CMAKE_INSTALL_FULL_LIBDIR})
    set(TARVIO_PC_INCLUDEDIR ${CMAKE_INSTALL_FULL_INCLUDEDIR})
else()
    file(RELATIVE_PATH up /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
    string(REGEX REPLACE "/$" "" up "${up}")
    set(TARVIO_PC_PREFIX "\${pcfiledir}/${up}")
    set(TARVIO_PC_LIBDIR "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
    set(TARVIO_PC_INCLUDEDIR "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
endif()
configure_file(${PROJECT_SOURCE_DIR}/cmake/tarvio.pc.in ${PROJECT_BINARY_DIR}/tarvio.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/tarvio.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# The Debian package (cpack -G DEB in the build folder): everything that
# cmake --install puts in place, under /usr.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tarvio)
set(CPACK_PACKAGE_VENDOR "The Tarvio authors")
set(CPACK_PACKAGE_CONTACT "Tarvio maintainers <maintainers@tarvio.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "four-channel spatializer and its WAV and AIFF library")
set(CPACK_PACKAGE_DESCRIPTION "\
tarvio moves a mono mixdown of a WAV file around four loudspeakers at the
corners of a square; tarvio-render does the same for any file libsndfile
reads. The package also holds the WAV and AIFF file classes and the engine
as static libraries, with headers, a CMake package and a pkg-config file.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS bash-completion)
# The programs' shared libraries (libsndfile for tarvio-render, the C++
# runtime) become the package's dependencies; dpkg-shlibdeps reads them
# from the binaries. Without it they are named by hand.
find_program(TARVIO_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(TARVIO_DPKG_SHLIBDEPS)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libgcc-s1, libstdc++6")
    if(TARVIO_BUILD_RENDER)
        string(APPEND CPACK_DEBIAN_PACKAGE_DEPENDS ", libsndfile1")
        if(TARVIO_RENDER_BINAURAL)
            string(APPEND CPACK_DEBIAN_PACKAGE_DEPENDS ", libmysofa1, libkissfft-float131")
        endif()
    endif()
endif()

include(CPack)
