# tarvo_man_page(PROGRAM): the program's manual page, PROGRAM.1.in in the calling directory with @PROJECT_VERSION@
# filled in, compressed as Debian ships manual pages (gzip -9n: no name, no time stamp) and installed in man1.
# Nothing on Windows.
function(tarvo_man_page program)
  if(WIN32)
    return()
  endif()
  find_program(TARVO_GZIP gzip REQUIRED)
  set(man_page ${CMAKE_CURRENT_BINARY_DIR}/${program}.1)
  configure_file(${program}.1.in ${man_page} @ONLY)
  add_custom_command(OUTPUT ${man_page}.gz
    COMMAND ${TARVO_GZIP} -9nc ${man_page} > ${man_page}.gz
    DEPENDS ${man_page})
  add_custom_target(${program}_man_page ALL DEPENDS ${man_page}.gz)
  install(FILES ${man_page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endfunction()
