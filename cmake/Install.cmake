# What `cmake --install` puts under the prefix: the libraries with versioned
# sonames, the public headers with every header they include, the drivers and
# the firmware where the device layer and kavrin look for them by default, the
# programs, the pkg-config files, the CMake package and the udev rule.
#
#   lib/libtarvik.so.1 ...            the libraries; run paths $ORIGIN
#   lib/veldon/drivers/*.so           kavrin and the simulated board driver
#   lib/veldon/firmware/image<N>.hex  kavrin's default firmware directory
#   bin/Revaduvo, bin/revaduvo-spectstart
#   include/veldon/                   tarvik.h, glimra/, dorvel/, platform/
#   lib/pkgconfig/{tarvik,glimra}.pc, lib/cmake/veldon/
#   lib/udev/rules.d/60-kavrin.rules
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(veldon_drivers_dir ${CMAKE_INSTALL_LIBDIR}/veldon/drivers)
set(veldon_firmware_dir ${CMAKE_INSTALL_LIBDIR}/veldon/firmware)
set(veldon_include_dir ${CMAKE_INSTALL_INCLUDEDIR}/veldon)

set(veldon_libraries veldon_platform dorvel tarvik tarvik_ui glimra pa veldon_sim)
foreach(target ${veldon_libraries})
  if(TARGET ${target})
    set_target_properties(${target} PROPERTIES VERSION ${PROJECT_VERSION}
      SOVERSION ${PROJECT_VERSION_MAJOR} INSTALL_RPATH "$ORIGIN")
    install(TARGETS ${target} LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
  endif()
endforeach()

foreach(target kavrin veldon_simdrv)
  if(TARGET ${target})
    set_target_properties(${target} PROPERTIES INSTALL_RPATH "$ORIGIN/../..")
    install(TARGETS ${target} LIBRARY DESTINATION ${veldon_drivers_dir})
  endif()
endforeach()
file(GLOB veldon_firmware_images ${CMAKE_SOURCE_DIR}/kavrin/firmware/*.hex)
install(FILES ${veldon_firmware_images} DESTINATION ${veldon_firmware_dir})

foreach(target Revaduvo revaduvo-spectstart)
  if(TARGET ${target})
    set_target_properties(${target} PROPERTIES INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
    install(TARGETS ${target} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()

# The public headers and, of the layers below, the headers they include.
install(FILES ${CMAKE_SOURCE_DIR}/tarvik/include/tarvik.h
  ${CMAKE_SOURCE_DIR}/tarvik/include/tarvik_request_block.h DESTINATION ${veldon_include_dir})
install(DIRECTORY ${CMAKE_SOURCE_DIR}/glimra/include/glimra ${CMAKE_SOURCE_DIR}/dorvel/include/dorvel
  DESTINATION ${veldon_include_dir} FILES_MATCHING PATTERN "*.h")
install(FILES ${CMAKE_SOURCE_DIR}/platform/include/platform/clock.h
  ${CMAKE_SOURCE_DIR}/platform/include/platform/current_instance.h
  ${CMAKE_SOURCE_DIR}/platform/include/platform/messages_c.h
  DESTINATION ${veldon_include_dir}/platform)

# Relocatable: the prefix is found from where the file lies.
file(RELATIVE_PATH veldon_pc_to_prefix /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
file(RELATIVE_PATH veldon_cmake_to_prefix /prefix/${CMAKE_INSTALL_LIBDIR}/cmake/veldon /prefix)
string(REGEX REPLACE "/$" "" veldon_pc_to_prefix "${veldon_pc_to_prefix}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/install/tarvik.pc.in
  ${CMAKE_BINARY_DIR}/pkgconfig/tarvik.pc @ONLY)
configure_file(${CMAKE_CURRENT_LIST_DIR}/install/glimra.pc.in
  ${CMAKE_BINARY_DIR}/pkgconfig/glimra.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/pkgconfig/tarvik.pc ${CMAKE_BINARY_DIR}/pkgconfig/glimra.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

configure_file(${CMAKE_CURRENT_LIST_DIR}/install/veldonConfig.cmake.in
  ${CMAKE_BINARY_DIR}/cmake/veldonConfig.cmake @ONLY)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/cmake/veldonConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/cmake/veldonConfig.cmake
  ${CMAKE_BINARY_DIR}/cmake/veldonConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/veldon)

# udev reads lib/udev/rules.d of the prefix (/usr or /), never a multiarch dir.
install(FILES ${CMAKE_SOURCE_DIR}/kavrin/udev/60-kavrin.rules DESTINATION lib/udev/rules.d)

# The installed tree as a client programmer uses it (scripts/check-install).
# Not in sanitizer or instrumented builds: clients of those libraries would
# need the sanitizer's run time too.
if(VELDON_SANITIZE STREQUAL "" AND NOT (VELDON_FUZZ AND CMAKE_CXX_COMPILER_ID MATCHES "Clang"))
  add_test(NAME install_check COMMAND ${CMAKE_SOURCE_DIR}/scripts/check-install ${CMAKE_BINARY_DIR})
  set_tests_properties(install_check PROPERTIES LABELS unit TIMEOUT 600)
endif()
