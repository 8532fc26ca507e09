include(CMakePackageConfigHelpers)
if(BUILD_SHARED_LIBS)
  set(TOVRIN_PACKAGE_SHARED ON)
else()
  set(TOVRIN_PACKAGE_SHARED OFF)
endif()

install(TARGETS TovrinTracker EXPORT TovrinTrackerTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(DIRECTORY include/TovrinTracker DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT TovrinTrackerTargets
  NAMESPACE TovrinTracker::
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/TovrinTracker)
configure_package_config_file(cmake/TovrinTrackerConfig.cmake.in
  ${PROJECT_BINARY_DIR}/TovrinTrackerConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/TovrinTracker)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/TovrinTrackerConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/TovrinTrackerConfig.cmake
              ${PROJECT_BINARY_DIR}/TovrinTrackerConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/TovrinTracker)

# pkg-config: a static library needs its private dependencies on every link line.
if(TOVRIN_PACKAGE_SHARED)
  set(TOVRIN_PC_REQUIRES "nlohmann_json")
  set(TOVRIN_PC_REQUIRES_PRIVATE "libcurl libcrypto")
else()
  set(TOVRIN_PC_REQUIRES "nlohmann_json libcurl libcrypto")
  set(TOVRIN_PC_REQUIRES_PRIVATE "")
endif()
# Relocatable: the prefix is found from where the .pc file lies.
file(RELATIVE_PATH TOVRIN_PC_TO_PREFIX "${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig"
     "${CMAKE_INSTALL_PREFIX}")
configure_file(cmake/tovrintracker.pc.in ${PROJECT_BINARY_DIR}/tovrintracker.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/tovrintracker.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# cpack -G DEB: the development package.
set(CPACK_PACKAGE_NAME "libtovrintracker-dev")
set(CPACK_PACKAGE_VENDOR "TovrinTracker developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Event analytics for C++ desktop applications")
set(CPACK_PACKAGE_DESCRIPTION
    "TovrinTracker records what the users of a desktop application do: it fans events out to trackers that deliver them to the Segment tracking API or keep them in memory, keeps timed events and the user's identity. This package holds the headers, the library, the CMake and pkg-config files and the tovrin-collector and tovrin-track tools.")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "TovrinTracker developers <dev@tovrin.invalid>")
set(CPACK_DEBIAN_PACKAGE_SECTION "libdevel")
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libcurl4-openssl-dev, nlohmann-json3-dev, libssl-dev")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_GENERATOR "DEB")
include(CPack)
