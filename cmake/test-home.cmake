# The scratch folder of a test run (CTestCustom.cmake), before and after the
# tests:
#   cmake -DSCRATCH=<folder> -P test-home.cmake prepare   makes its folders
#   cmake -DSCRATCH=<folder> -P test-home.cmake check     fails when a test wrote
#                                                         into the home folder,
#                                                         else removes it all
set(folders HOME XDG_CONFIG_HOME XDG_CACHE_HOME XDG_DATA_HOME XDG_STATE_HOME XDG_RUNTIME_DIR
  VELDON_USER_CONFIG VELDON_MACHINE_CONFIG VELDON_REVADUVO_DIR)
math(EXPR last "${CMAKE_ARGC} - 1")
set(action "${CMAKE_ARGV${last}}")
if(action STREQUAL "prepare")
  foreach(folder IN LISTS folders)
    file(MAKE_DIRECTORY "${SCRATCH}/${folder}")
  endforeach()
  # Qt takes a runtime folder only when it is the user's alone.
  file(CHMOD "${SCRATCH}/XDG_RUNTIME_DIR" DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE
    OWNER_EXECUTE)
elseif(action STREQUAL "check")
  if(NOT IS_DIRECTORY "${SCRATCH}/HOME")
    message(FATAL_ERROR "test-home: no home folder under '${SCRATCH}'")
  endif()
  file(GLOB_RECURSE written LIST_DIRECTORIES true RELATIVE "${SCRATCH}/HOME" "${SCRATCH}/HOME/*")
  if(written)
    list(JOIN written "\n  " listed)
    message(FATAL_ERROR "test-home: the tests wrote into their home folder ${SCRATCH}/HOME, "
      "which would have been the user's home outside the tests:\n  ${listed}")
  endif()
  file(REMOVE_RECURSE "${SCRATCH}")
else()
  message(FATAL_ERROR "usage: cmake -DSCRATCH=<folder> -P test-home.cmake prepare|check")
endif()
