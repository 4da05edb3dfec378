# Debian packages of the install components, built by `cpack -G DEB` in a tree configured with
# CMAKE_INSTALL_PREFIX=/usr (scripts/test.sh does so): liblogcompress1 (runtime),
# liblogcompress-dev (development) and logcomp (tool), for the architecture built for.

# The CHANGELOG's latest entry names this release and its maintainer.
file(STRINGS ${PROJECT_SOURCE_DIR}/CHANGELOG changelog_head LIMIT_COUNT 1)
string(REGEX REPLACE "^[^(]*\\(([^)]*)\\).*" "\\1" changelog_version "${changelog_head}")
if(NOT changelog_version STREQUAL PROJECT_VERSION)
    message(FATAL_ERROR "CHANGELOG's latest entry is ${changelog_version}, "
        "the project's version ${PROJECT_VERSION}")
endif()
file(STRINGS ${PROJECT_SOURCE_DIR}/CHANGELOG changelog_trailer REGEX "^ -- " LIMIT_COUNT 1)
string(REGEX REPLACE "^ -- (.*>).*" "\\1" CPACK_PACKAGE_CONTACT "${changelog_trailer}")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME logcompress)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime development)
if(TARGET logcomp)
    list(APPEND CPACK_COMPONENTS_ALL tool)
endif()
# The package holds the paths of a /usr install (the .pc's prefix, /etc/default) as the
# tree was configured for; CPack installs into its staging directory through DESTDIR.
set(CPACK_SET_DESTDIR ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The architecture built for (CPack would take the build machine's); dpkg-dev is needed only
# to package, not to build.
find_program(DPKG_ARCHITECTURE dpkg-architecture)
if(DPKG_ARCHITECTURE AND CMAKE_LIBRARY_ARCHITECTURE)
    execute_process(COMMAND ${DPKG_ARCHITECTURE} -t ${CMAKE_LIBRARY_ARCHITECTURE} -qDEB_HOST_ARCH
        OUTPUT_VARIABLE CPACK_DEBIAN_PACKAGE_ARCHITECTURE OUTPUT_STRIP_TRAILING_WHITESPACE
        ERROR_QUIET COMMAND_ERROR_IS_FATAL ANY)
endif()

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME liblogcompress1)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION "log compression and storage guard of a charging station
Shared library loaded by the station's controller application: compresses the
logs of a date range on request and yesterday's logs once a day, on a worker
thread of its own, and deletes the oldest log while the data card is too full.
The host application provides the event loop and the other host services.")
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# A dpkg trigger refreshes the loader's cache; the symbols file lets a dependent package's
# dependency follow the symbols it uses: every one of the map's version node came with 1.0.0.
file(STRINGS ${PROJECT_SOURCE_DIR}/logCompress/logcompress.map version_node REGEX "^[A-Z0-9_]+ *{")
string(REGEX REPLACE " *{.*" "" version_node "${version_node}")
file(WRITE ${PROJECT_BINARY_DIR}/packaging/runtime/triggers "activate-noawait ldconfig\n")
file(WRITE ${PROJECT_BINARY_DIR}/packaging/runtime/symbols
    "liblogcompress.so.${PROJECT_VERSION_MAJOR} liblogcompress1 #MINVER#\n"
    "* Build-Depends-Package: liblogcompress-dev\n"
    " (symver)${version_node} 1.0.0\n")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/packaging/runtime/triggers
    ${PROJECT_BINARY_DIR}/packaging/runtime/symbols)

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME liblogcompress-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_COMPONENT_DEVELOPMENT_DESCRIPTION "log compression library of a charging station - development files
Headers (the library's and the host services' it calls), the CMake package
logcompress (target logcompress::logcompress), the pkg-config file and the list
of host services as a linker dynamic list.")
set(CPACK_COMPONENT_DEVELOPMENT_DEPENDS runtime)

set(CPACK_DEBIAN_TOOL_PACKAGE_NAME logcomp)
set(CPACK_DEBIAN_TOOL_PACKAGE_SECTION admin)
set(CPACK_COMPONENT_TOOL_DESCRIPTION "command-line host of the log compression library
Posts compression requests from the command line, and runs the daily
compression and the storage guard of the log directory as a service.")
set(CPACK_COMPONENT_TOOL_DEPENDS runtime)
file(WRITE ${PROJECT_BINARY_DIR}/packaging/tool/conffiles "/etc/default/logcomp\n")
set(CPACK_DEBIAN_TOOL_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/packaging/tool/conffiles)

set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
if(CMAKE_CROSSCOMPILING)
    # dpkg-shlibdeps looks the libraries up in this machine's package database, which holds no
    # arm64 ones: a cross build states what dpkg-shlibdeps finds for the native build (same
    # compiler and Debian release); the test command compares the two.
    set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS "libc6 (>= 2.34), libstdc++6 (>= 4.1.1)")
    set(CPACK_DEBIAN_TOOL_PACKAGE_DEPENDS "libc6 (>= 2.34), libdeflate0 (>= 1.0), "
        "libgcc-s1 (>= 3.0), libstdc++6 (>= 12), libuv1 (>= 1.4.2)")
    string(JOIN "" CPACK_DEBIAN_TOOL_PACKAGE_DEPENDS ${CPACK_DEBIAN_TOOL_PACKAGE_DEPENDS})
else()
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
    # dpkg-shlibdeps must find the tool's liblogcompress.so.1 in the build; the dependency on
    # it is the component dependency above.
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR}/logCompress)
endif()

# Each package's copyright and changelog (best compression, no name or time in the gzip).
add_custom_command(OUTPUT changelog.gz
    COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/CHANGELOG changelog
    COMMAND gzip -9nf changelog
    DEPENDS ${PROJECT_SOURCE_DIR}/CHANGELOG VERBATIM)
add_custom_target(logcomp-changelog ALL DEPENDS changelog.gz)
foreach(component ${CPACK_COMPONENTS_ALL})
    string(TOUPPER ${component} upper)
    set(docdir ${CMAKE_INSTALL_DATADIR}/doc/${CPACK_DEBIAN_${upper}_PACKAGE_NAME})
    install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${docdir} RENAME copyright
        COMPONENT ${component} EXCLUDE_FROM_ALL)
    install(FILES ${PROJECT_BINARY_DIR}/changelog.gz DESTINATION ${docdir}
        COMPONENT ${component} EXCLUDE_FROM_ALL)
endforeach()

include(CPack)
