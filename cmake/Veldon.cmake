# Helpers shared by every deliverable.

# veldon_add_tests(<name> SOURCES <files...> LIBS <targets...> [LABELS <label>])
# One GoogleTest executable; every test case becomes a CTest test.
function(veldon_add_tests name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  if(NOT ARG_SOURCES)
    return()
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gmock GTest::gtest_main Threads::Threads)
  # One label each: gtest_discover_tests flattens list-valued properties.
  set(label ${ARG_LABELS})
  if(NOT label)
    set(label unit)
  endif()
  gtest_discover_tests(${name}
    DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT 120 LABELS ${label} ENVIRONMENT QT_QPA_PLATFORM=offscreen)
endfunction()

# veldon_glob_tests(<prefix> LIBS <targets...> [LABELS <label>]): one test executable
# <prefix>_<file> per tests/*_test.cpp of the current directory, so that adding
# a test file needs no CMake edit and one broken file stops only its own target.
# tests/support/*.cpp is linked into each of them.
function(veldon_glob_tests prefix)
  cmake_parse_arguments(ARG "" "" "LIBS;LABELS" ${ARGN})
  file(GLOB tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/tests/*_test.cpp)
  file(GLOB support CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/tests/support/*.cpp)
  foreach(src ${tests})
    get_filename_component(stem ${src} NAME_WE)
    veldon_add_tests(${prefix}_${stem} SOURCES ${src} ${support} LIBS ${ARG_LIBS} LABELS ${ARG_LABELS})
    if(support)
      target_include_directories(${prefix}_${stem} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/tests/support)
    endif()
  endforeach()
endfunction()

# veldon_test_home(<source folder>): CTestCustom.cmake into the build folder of
# that folder and of every folder below it that the build adds.
function(veldon_test_home folder)
  get_property(binary DIRECTORY "${folder}" PROPERTY BINARY_DIR)
  configure_file(${CMAKE_SOURCE_DIR}/cmake/CTestCustom.cmake.in ${binary}/CTestCustom.cmake @ONLY)
  get_property(below DIRECTORY "${folder}" PROPERTY SUBDIRECTORIES)
  foreach(subfolder IN LISTS below)
    veldon_test_home("${subfolder}")
  endforeach()
endfunction()

# veldon_version_info(<target> PRODUCT <name> DESCRIPTION <text> [ORIGINAL_NAME <file>])
# Embeds a version record into the module, readable from its file by
# platform::readVersionInfo (the stand-in for a version resource).
function(veldon_version_info target)
  cmake_parse_arguments(ARG "" "PRODUCT;DESCRIPTION;ORIGINAL_NAME" "" ${ARGN})
  if(NOT ARG_ORIGINAL_NAME)
    # A shared library goes by the name clients link, not its versioned file.
    get_target_property(type ${target} TYPE)
    if(type STREQUAL "SHARED_LIBRARY")
      set(ARG_ORIGINAL_NAME "$<TARGET_LINKER_FILE_NAME:${target}>")
    else()
      set(ARG_ORIGINAL_NAME "$<TARGET_FILE_NAME:${target}>")
    endif()
  endif()
  set(VI_PRODUCT "${ARG_PRODUCT}")
  set(VI_DESCRIPTION "${ARG_DESCRIPTION}")
  set(VI_VERSION "${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}.0")
  set(VI_COMPANY "Orvo")
  set(VI_TARGET "${target}")
  set(VI_ORIGINAL_NAME "${ARG_ORIGINAL_NAME}")
  set(out ${CMAKE_CURRENT_BINARY_DIR}/${target}_versioninfo.cpp.in)
  configure_file(${CMAKE_SOURCE_DIR}/cmake/versioninfo.cpp.in ${out} @ONLY)
  file(GENERATE OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/${target}_versioninfo.cpp INPUT ${out})
  target_sources(${target} PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/${target}_versioninfo.cpp)
endfunction()
