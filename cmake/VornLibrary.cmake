# vorn_add_library(<name> [SOURCES <files...>] [DEPENDS <targets...>]
#                  [PRIVATE_DEPENDS <targets...>] [INSTALL])
#
# The library vorn_<name> (alias vorn::<name>) of the calling folder: static,
# or headers only when it has no sources. Its headers are included from src/
# as "<folder>/Header.h", here and in the installed tree alike. DEPENDS are
# what its headers use, and so what its users get too; PRIVATE_DEPENDS only
# its sources use. INSTALL makes it a part of the VornOSC package
# (vorn_install_library).
function(vorn_add_library name)
    cmake_parse_arguments(ARG "INSTALL" "" "SOURCES;DEPENDS;PRIVATE_DEPENDS" ${ARGN})
    set(target vorn_${name})
    if(ARG_SOURCES)
        add_library(${target} STATIC ${ARG_SOURCES})
        set(scope PUBLIC)
    else()
        add_library(${target} INTERFACE)
        set(scope INTERFACE)
    endif()
    add_library(vorn::${name} ALIAS ${target})
    target_include_directories(${target} ${scope} $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/src>)
    target_link_libraries(${target} ${scope} ${ARG_DEPENDS})
    if(ARG_PRIVATE_DEPENDS)
        target_link_libraries(${target} PRIVATE ${ARG_PRIVATE_DEPENDS})
    endif()
    if(ARG_INSTALL)
        vorn_install_library(${name})
    endif()
endfunction()
