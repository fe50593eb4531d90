# Common settings for every target of the project: warnings, include root, sanitizers.

if(ZEF_SANITIZE)
    add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
    add_link_options(-fsanitize=address,undefined)
endif()

# zef_library(name SOURCES...): a static library of the project, with the repo root as its
# include root so that headers are included as "common/Stack.h", "smtp/smtpZef.h", ...
function(zef_library name)
    add_library(${name} STATIC ${ARGN})
    target_include_directories(${name} PUBLIC
        $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}>
        $<INSTALL_INTERFACE:include/zef>)
    zef_warnings(${name})
endfunction()

function(zef_warnings target)
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic)
endfunction()
