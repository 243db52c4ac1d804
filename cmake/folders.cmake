# One library per folder, and one-way dependencies that the compiler enforces.
#
# A folder's headers are seen only through its view: a folder of the build tree that holds
# nothing but a link to that source folder (or, where a link cannot be made, one forwarding
# header per header). A library's include path holds its own view and the views of the
# libraries it links, and nothing else, so an include of a folder it may not use does not
# compile. Dependencies that a folder's headers do not expose are linked PRIVATE, so they
# reach no further.

function(vl_view folder)
  # A room of a folder (cli/serve) has a view of its own beside the folder's, not inside
  # it, and keeps its path within the view.
  string(REPLACE "/" "+" view_name ${folder})
  set(view ${CMAKE_BINARY_DIR}/views/${view_name})
  if(NOT IS_SYMLINK ${view}/${folder})
    file(REMOVE_RECURSE ${view})
    get_filename_component(parent ${view}/${folder} DIRECTORY)
    file(MAKE_DIRECTORY ${parent})
    file(CREATE_LINK ${CMAKE_SOURCE_DIR}/${folder} ${view}/${folder} SYMBOLIC RESULT failed)
    if(failed)
      file(GLOB_RECURSE headers RELATIVE ${CMAKE_SOURCE_DIR}/${folder}
           ${CMAKE_SOURCE_DIR}/${folder}/*.h)
      foreach(header ${headers})
        file(WRITE ${view}/${folder}/${header}
             "#pragma once\n#include \"${CMAKE_SOURCE_DIR}/${folder}/${header}\"\n")
      endforeach()
    endif()
  endif()
endfunction()

# vl_folder_library(NAME FOLDER [INTERFACE] SOURCES...): a library whose view is FOLDER's.
function(vl_folder_library name folder)
  vl_view(${folder})
  string(REPLACE "/" "+" view_name ${folder})
  if(ARGV2 STREQUAL "INTERFACE")
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${CMAKE_BINARY_DIR}/views/${view_name})
    return()
  endif()
  add_library(${name} STATIC ${ARGN})
  target_include_directories(${name} PUBLIC ${CMAKE_BINARY_DIR}/views/${view_name})
  vl_target_options(${name})
endfunction()
