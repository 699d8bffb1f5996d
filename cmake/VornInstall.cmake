# vorn_install_library(<name>)
#
# Installs the library vorn_<name> from the calling folder as
# vorn::<name> of the VornOSC package, with the folder's headers under
# include/vorn/<name>, so that consumers include them as they are included
# here ("<name>/Header.h"); headers under detail/ are the library's own
# business and stay behind. Position-independent, since it may end up inside
# someone's shared library (a plugin, a language binding).
function(vorn_install_library name)
    set_target_properties(vorn_${name} PROPERTIES EXPORT_NAME ${name} POSITION_INDEPENDENT_CODE ON)
    if(NOT VORN_INSTALL)
        return()
    endif()
    install(TARGETS vorn_${name} EXPORT VornOSCTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT libvornosc-dev
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/vorn)
    install(DIRECTORY ./ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/vorn/${name} COMPONENT libvornosc-dev
        FILES_MATCHING PATTERN "*.h" PATTERN detail EXCLUDE)
endfunction()
