# Project-wide warnings; CI builds with -Werror.
add_compile_options(-Wall -Wextra)
if(LOGCOMP_WERROR)
    add_compile_options(-Werror)
endif()
