# Where the installed files go (GNUInstallDirs: the paths Debian and freedesktop expect
# under the prefix) and how the man pages are made.
include(GNUInstallDirs)

# The version as the programs show it ("1.0 (build 170)"), for the man pages' footers.
set(PELLAMAR_VERSION_TEXT
    "${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR} (build ${PROJECT_VERSION_TWEAK})")

# The man page NAME(1), written in man(7) macros in NAME.1.in beside the calling
# CMakeLists.txt: the version is filled in, the page compressed as Debian ships man pages
# (gzip -9n, so the same page always gives the same bytes) and installed in man1.
function(pellamar_add_man_page name)
  set(page ${CMAKE_CURRENT_BINARY_DIR}/${name}.1)
  configure_file(${name}.1.in ${page} @ONLY)
  add_custom_command(OUTPUT ${page}.gz COMMAND gzip -9nkf ${page} DEPENDS ${page} VERBATIM)
  add_custom_target(${name}-man ALL DEPENDS ${page}.gz)
  install(FILES ${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endfunction()
