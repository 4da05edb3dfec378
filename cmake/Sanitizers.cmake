# One sanitizer family per build tree; every target of the tree is instrumented.
if(LOGCOMP_SANITIZE STREQUAL "address")
    add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all
                        -fno-omit-frame-pointer -g)
    add_link_options(-fsanitize=address,undefined)
elseif(LOGCOMP_SANITIZE STREQUAL "thread")
    add_compile_options(-fsanitize=thread -fno-omit-frame-pointer -g)
    add_link_options(-fsanitize=thread)
elseif(NOT LOGCOMP_SANITIZE STREQUAL "")
    message(FATAL_ERROR "LOGCOMP_SANITIZE must be empty, 'address' or 'thread'")
endif()
# GCC's flow analysis under sanitizer instrumentation reports uninitialised reads inside the
# standard library (std::regex, std::function) that are not there; the plain build keeps it.
if(NOT LOGCOMP_SANITIZE STREQUAL "" AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    add_compile_options(-Wno-maybe-uninitialized)
endif()
