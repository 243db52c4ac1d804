# What is shipped and how: the version the programs print, what each preset installs, and the
# packages CPack makes from it (a zip from the windows preset, a Debian package from the
# linux preset). Targets are named here, never defined.

# The one version, from project(): the programs print it with --version.
file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/generated/vl_version.h CONTENT
  "// Generated from project() in CMakeLists.txt.\n#pragma once\n#define VL_VERSION \"@PROJECT_VERSION@\"\n"
  @ONLY)
foreach(program vl_cli_commands receiver-sim)
  if(TARGET ${program})
    target_include_directories(${program} PRIVATE ${CMAKE_BINARY_DIR}/generated)
  endif()
endforeach()

set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Vesker Link developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "service tool for digital satellite receivers on a serial line")
set(CPACK_STRIP_FILES ON)
set(vl_packaging ${CMAKE_SOURCE_DIR}/packaging)
set(vl_staged ${CMAKE_BINARY_DIR}/packaging)

if(WIN32)
  # A zip for Windows: both programs, a README for Windows users, the licence, all in a
  # folder named after the package. Text files get Windows line ends.
  install(TARGETS VeskerLink vesker-link RUNTIME DESTINATION .)
  configure_file(${vl_packaging}/windows/README.txt.in ${vl_staged}/README.txt @ONLY
                 NEWLINE_STYLE CRLF)
  configure_file(${CMAKE_SOURCE_DIR}/LICENSE ${vl_staged}/LICENSE @ONLY NEWLINE_STYLE CRLF)
  install(FILES ${vl_staged}/README.txt ${vl_staged}/LICENSE DESTINATION .)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_NAME VeskerLink)
  set(CPACK_PACKAGE_FILE_NAME VeskerLink-${PROJECT_VERSION}-win64)
else()
  # A Debian package: the command line and the simulator, and VeskerLink.exe from the
  # windows preset with the launcher that runs it under Wine.
  include(GNUInstallDirs)
  set(VL_WINDOWS_EXE ${CMAKE_SOURCE_DIR}/build/windows/VeskerLink.exe CACHE FILEPATH
      "VeskerLink.exe for the Debian package (build it with the windows preset)")
  install(TARGETS vesker-link receiver-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  # Relocations read-only once loaded, as Debian builds its programs.
  foreach(program vesker-link receiver-sim)
    target_link_options(${program} PRIVATE -Wl,-z,relro,-z,now)
  endforeach()

  # The launcher, also usable from the build folder (tools/demo runs it there).
  configure_file(${vl_packaging}/veskerlink.in ${CMAKE_BINARY_DIR}/veskerlink @ONLY
                 FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
                                  GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  install(PROGRAMS ${CMAKE_BINARY_DIR}/veskerlink DESTINATION ${CMAKE_INSTALL_BINDIR})

  # The launcher looks for the exe in ../lib/veskerlink beside itself; Wine runs it without
  # an execute bit. Stripped, it is a third of its size.
  install(CODE "
    if(NOT EXISTS \"${VL_WINDOWS_EXE}\")
      message(FATAL_ERROR \"No VeskerLink.exe at ${VL_WINDOWS_EXE}: build it first with \"
        \"'cmake --preset windows && cmake --build --preset windows', or name another \"
        \"with -DVL_WINDOWS_EXE=PATH.\")
    endif()")
  install(FILES ${VL_WINDOWS_EXE} DESTINATION lib/veskerlink)
  # Stripped as Debian strips: the compiler's notes go too.
  install(CODE "
    if(CMAKE_INSTALL_DO_STRIP)
      set(root \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}\")
      execute_process(COMMAND \"${CMAKE_STRIP}\" --remove-section=.comment --remove-section=.note
        \"\${root}/${CMAKE_INSTALL_BINDIR}/vesker-link\" \"\${root}/${CMAKE_INSTALL_BINDIR}/receiver-sim\"
        \"\${root}/lib/veskerlink/VeskerLink.exe\"
        COMMAND_ERROR_IS_FATAL ANY)
    endif()")

  # Man pages and the changelog, compressed as Debian keeps them (no name or time inside,
  # so the same sources give the same bytes).
  set(vl_gzipped)
  foreach(page vesker-link receiver-sim veskerlink)
    configure_file(${vl_packaging}/man/${page}.1.in ${vl_staged}/man/${page}.1 @ONLY)
    list(APPEND vl_gzipped man/${page}.1)
  endforeach()
  configure_file(${vl_packaging}/debian/changelog ${vl_staged}/changelog COPYONLY)
  list(APPEND vl_gzipped changelog)
  set(vl_gzip_outputs)
  foreach(file ${vl_gzipped})
    add_custom_command(OUTPUT ${vl_staged}/${file}.gz
      COMMAND gzip -9nf -k ${vl_staged}/${file}
      DEPENDS ${vl_staged}/${file} VERBATIM)
    list(APPEND vl_gzip_outputs ${vl_staged}/${file}.gz)
  endforeach()
  add_custom_target(vl_package_docs ALL DEPENDS ${vl_gzip_outputs})
  install(FILES ${vl_staged}/man/vesker-link.1.gz ${vl_staged}/man/receiver-sim.1.gz
                ${vl_staged}/man/veskerlink.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${vl_packaging}/vesker-link.bash-completion
          DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME vesker-link)
  install(FILES ${vl_packaging}/debian/copyright ${vl_staged}/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/veskerlink)

  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGE_NAME veskerlink)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Vesker Link developers <developers@veskerlink.example>")
  set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # The command line and the simulator need neither; the launcher needs Wine (64-bit), and
  # the dialogs' full-width marks need a CJK font. apt installs these unless told not to.
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "wine, wine64, fonts-wqy-microhei")
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
"Vesker Link drives a digital satellite receiver over an RS-232 line: it
presses the keys of its remote control, copies its flash into a ROM image
file, and writes a checked ROM image back.

This package holds the Windows program with veskerlink, which runs it under
Wine on chosen serial devices; vesker-link, the same functions on the
command line for scripts and benches; and receiver-sim, a simulated
receiver on a pseudo-terminal.")
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
      GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endif()
include(CPack)
