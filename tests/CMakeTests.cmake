# Reliability tests (tests/reliability): load, injected faults, crashes, a directory that
# changes under the storage guard, and allocation failure. Wired by hand, because several of
# them link the library with wrapped host services or a wrapped allocator.
set(REL_DIR ${CMAKE_CURRENT_SOURCE_DIR}/reliability)

# rel_add_test(<name> [LOCK] [LIBS ...] [WRAP symbols...]): one executable
# from reliability/<name>_test.cpp. LOCK serialises it with every other user of the build's
# test log directory; WRAP redirects the listed symbols to __wrap_<symbol> at link time.
function(rel_add_test name)
    cmake_parse_arguments(REL "LOCK" "" "LIBS;WRAP" ${ARGN})
    set(target rel_${name})
    add_executable(${target} ${REL_DIR}/${name}_test.cpp)
    target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR})
    target_include_directories(${target} SYSTEM PRIVATE ${UTHASH_INCLUDE_DIR})
    target_compile_definitions(${target} PRIVATE
        LOGCOMP_TEST_LOG_DIR="${LOGCOMP_TEST_LOG_DIR}"
        LOG_COMP_LOG_DIR="${LOGCOMP_TEST_LOG_DIR}"
        LOGCOMP_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
        LOGCOMP_BINARY_DIR="${PROJECT_BINARY_DIR}")
    target_link_libraries(${target} PRIVATE ${REL_LIBS} GTest::gtest GTest::gtest_main)
    foreach(sym ${REL_WRAP})
        target_link_options(${target} PRIVATE "LINKER:--wrap=${sym}")
    endforeach()
    set(props "")
    if(REL_LOCK)
        set(props RESOURCE_LOCK test_log_dir)
    endif()
    gtest_discover_tests(${target} DISCOVERY_TIMEOUT 120 PROPERTIES ${props} TIMEOUT 600)
endfunction()

rel_add_test(stress LOCK LIBS logcompress_static loghost loggen)
rel_add_test(crash LOCK LIBS logcompress_static loghost loggen)
rel_add_test(reinit LOCK LIBS logcompress_static loghost loggen)
rel_add_test(faults LOCK LIBS logcompress_static loghost loggen
    WRAP FileCompress_Start FileCompress_Run FILE_system)
rel_add_test(guard LIBS logcompress_static logfakes)
rel_add_test(alloc LOCK LIBS logcompress_static logfakes
    WRAP malloc calloc realloc strdup free _ZnwmRKSt9nothrow_t _ZdlPv _ZdlPvm)
