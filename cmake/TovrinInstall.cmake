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
