# What is shipped and how: the version the programs print, what each preset installs, and the
# packages CPack makes from it (a zip from the windows preset, a Debian package from the
# linux preset). Targets are named here, never defined.

# The one version, from project(): the programs print it with --version.
file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/generated/vl_version.h CONTENT
  "// Generated from project() in CMakeLists.txt.\n#pragma once\n#define VL_VERSION \"@PROJECT_VERSION@\"\n"
  @ONLY)
foreach(program vesker-link receiver-sim)
  if(TARGET ${program})
    target_include_directories(${program} PRIVATE ${CMAKE_BINARY_DIR}/generated)
  endif()
endforeach()

if(NOT WIN32)
  # The launcher, also usable from the build folder (tools/demo runs it there).
  configure_file(${CMAKE_SOURCE_DIR}/packaging/veskerlink.in ${CMAKE_BINARY_DIR}/veskerlink @ONLY
                 FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
                                  GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endif()
