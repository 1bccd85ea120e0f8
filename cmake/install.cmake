# `cmake --install BUILD [--prefix DIR]` installs libsorvane, its public
# headers under include/sorvane/, the programs, the CMake package
# (find_package(Sorvane CONFIG) gives Sorvane::sorvane) and sorvane.pc.
include(CMakePackageConfigHelpers)

set(SORVANE_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Sorvane)

install(TARGETS sorvane_lib EXPORT SorvaneTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${SORVANE_PUBLIC_HEADERS} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/sorvane)
foreach(program tavrix sorvane)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()

install(EXPORT SorvaneTargets NAMESPACE Sorvane:: DESTINATION ${SORVANE_CMAKE_DIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/SorvaneConfig.cmake.in
  ${CMAKE_BINARY_DIR}/SorvaneConfig.cmake INSTALL_DESTINATION ${SORVANE_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/SorvaneConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/SorvaneConfig.cmake ${CMAKE_BINARY_DIR}/SorvaneConfigVersion.cmake
  DESTINATION ${SORVANE_CMAKE_DIR})

# sorvane.pc finds its prefix from its own place, so any --prefix works.
file(RELATIVE_PATH SORVANE_PC_TO_PREFIX /root/${CMAKE_INSTALL_LIBDIR}/pkgconfig /root)
if(BUILD_SHARED_LIBS)
  set(SORVANE_PC_CFLAGS "")
else()
  set(SORVANE_PC_CFLAGS " -DSORVANE_STATIC")
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/sorvane.pc.in ${CMAKE_BINARY_DIR}/sorvane.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/sorvane.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
