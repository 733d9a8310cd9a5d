# install_man_page(<page> COMPONENT <component>)
#
# Installs the man page <page> (a file of the calling folder, such as facemask.1) into
# share/man/man1, gzip-compressed as Debian installs man pages. gzip -n leaves the name and the
# time out of the header, so two builds write the same bytes. Without gzip, the page goes
# uncompressed.

find_program(FACEMASK_GZIP gzip)

function(install_man_page page)
    cmake_parse_arguments(M "" "COMPONENT" "" ${ARGN})
    set(source "${CMAKE_CURRENT_SOURCE_DIR}/${page}")
    if(NOT FACEMASK_GZIP)
        install(FILES "${source}" DESTINATION share/man/man1 COMPONENT ${M_COMPONENT})
        return()
    endif()
    set(copy "${CMAKE_CURRENT_BINARY_DIR}/man/${page}")
    add_custom_command(OUTPUT "${copy}.gz"
        COMMAND ${CMAKE_COMMAND} -E make_directory "${CMAKE_CURRENT_BINARY_DIR}/man"
        COMMAND ${CMAKE_COMMAND} -E copy "${source}" "${copy}"
        COMMAND ${FACEMASK_GZIP} -9 -n -f "${copy}"
        DEPENDS "${source}"
        COMMENT "Compressing the man page ${page}"
        VERBATIM)
    add_custom_target(man_${page} ALL DEPENDS "${copy}.gz")
    install(FILES "${copy}.gz" DESTINATION share/man/man1 COMPONENT ${M_COMPONENT})
endfunction()
