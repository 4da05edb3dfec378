# Project-wide warnings; the test command (and so CI) makes them errors.
add_compile_options(-Wall -Wextra)
if(LOGCOMP_WERROR)
    add_compile_options(-Werror)
endif()
