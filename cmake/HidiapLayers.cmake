# Each folder of src/ is one library, and its headers are included by their path below src/
# ("host/run/workers.h"). A library's include root holds a link to its own folder only, so a
# header of a folder that a target does not link cannot be found: an include that goes the wrong
# way does not build.

# The warnings and sanitizers of every target this project builds, as a target of their own so
# that a project that adds hidiap as a subdirectory does not get them.
add_library(hidiap_build_flags INTERFACE)
target_compile_options(hidiap_build_flags INTERFACE -Wall -Wextra $<$<BOOL:${HIDIAP_WERROR}>:-Werror>)
if(HIDIAP_SANITIZE)
  target_compile_options(hidiap_build_flags INTERFACE
      -fsanitize=${HIDIAP_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  target_link_options(hidiap_build_flags INTERFACE -fsanitize=${HIDIAP_SANITIZE})
endif()

# hidiap_folder_include_root(TARGET FOLDER [INTERFACE]): TARGET's headers are FOLDER's (a path
# below src/, the current source folder).
function(hidiap_folder_include_root target folder)
  set(root ${PROJECT_BINARY_DIR}/include/${target})
  get_filename_component(parent ${root}/${folder} DIRECTORY)
  file(MAKE_DIRECTORY ${parent})
  # Made again when it points elsewhere: a source tree that moved keeps its build usable.
  set(link ${root}/${folder})
  if(IS_SYMLINK ${link})
    file(READ_SYMLINK ${link} target_now)
    if(NOT target_now STREQUAL CMAKE_CURRENT_SOURCE_DIR)
      file(REMOVE ${link})
    endif()
  endif()
  if(NOT EXISTS ${link})
    file(CREATE_LINK ${CMAKE_CURRENT_SOURCE_DIR} ${link} SYMBOLIC)
  endif()
  if(ARGV2 STREQUAL "INTERFACE")
    target_include_directories(${target} INTERFACE $<BUILD_INTERFACE:${root}>)
  else()
    target_include_directories(${target} PUBLIC $<BUILD_INTERFACE:${root}>)
  endif()
endfunction()

# hidiap_folder_library(NAME FOLDER SOURCES ... [USES targets...] [PRIVATE_USES targets...]):
# the static library hidiap_NAME (alias hidiap::NAME) of FOLDER. USES are the libraries whose
# headers its own headers include; PRIVATE_USES those only its sources need.
function(hidiap_folder_library name folder)
  cmake_parse_arguments(ARG "" "" "SOURCES;USES;PRIVATE_USES" ${ARGN})
  set(target hidiap_${name})
  add_library(${target} STATIC ${ARG_SOURCES})
  add_library(hidiap::${name} ALIAS ${target})
  hidiap_folder_include_root(${target} ${folder})
  target_compile_features(${target} PUBLIC cxx_std_17)
  target_link_libraries(${target} PUBLIC ${ARG_USES} PRIVATE ${ARG_PRIVATE_USES} hidiap_build_flags)
endfunction()
