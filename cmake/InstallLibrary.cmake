# Install rules of the library, in two components: `runtime` (the shared object and its SONAME
# link) and `development` (headers, the link-time .so, the CMake package, the pkg-config file
# and the host symbol list).
include(CMakePackageConfigHelpers)

set(LOGCOMP_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/logcompress)
set(LOGCOMP_INSTALL_HOST_SYMBOLS ${CMAKE_INSTALL_DATADIR}/logcompress/host-symbols.list)

install(TARGETS logcompress EXPORT logcompressTargets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime
        NAMELINK_COMPONENT development
    FILE_SET HEADERS DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/logcompress
        COMPONENT development)
install(EXPORT logcompressTargets NAMESPACE logcompress::
    DESTINATION ${LOGCOMP_INSTALL_CMAKEDIR} COMPONENT development)
install(FILES ${PROJECT_SOURCE_DIR}/logCompress/host-symbols.list
    DESTINATION ${CMAKE_INSTALL_DATADIR}/logcompress COMPONENT development)

configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/logcompressConfig.cmake.in
    ${PROJECT_BINARY_DIR}/logcompressConfig.cmake
    INSTALL_DESTINATION ${LOGCOMP_INSTALL_CMAKEDIR}
    PATH_VARS LOGCOMP_INSTALL_HOST_SYMBOLS)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/logcompressConfigVersion.cmake
    COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/logcompressConfig.cmake
    ${PROJECT_BINARY_DIR}/logcompressConfigVersion.cmake
    DESTINATION ${LOGCOMP_INSTALL_CMAKEDIR} COMPONENT development)

# pkg-config files name absolute paths, so this one is written at install time for the prefix
# actually installed to (a staged install's, or /usr inside a package): the configure pass
# fills in everything but the prefix.
block()
    set(prefix "@prefix@")
    configure_file(${PROJECT_SOURCE_DIR}/cmake/logcompress.pc.in
        ${PROJECT_BINARY_DIR}/logcompress.pc.in @ONLY)
endblock()
install(CODE "set(prefix \"\${CMAKE_INSTALL_PREFIX}\")
    configure_file(\"${PROJECT_BINARY_DIR}/logcompress.pc.in\"
        \"${PROJECT_BINARY_DIR}/logcompress.pc\" @ONLY)" COMPONENT development)
install(FILES ${PROJECT_BINARY_DIR}/logcompress.pc
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT development)
