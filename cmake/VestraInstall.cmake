# Installs the host library as a CMake package: find_package(Vestra) then link Vestra::vestra.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

install(TARGETS vestra EXPORT VestraTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES vestra.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/vestra)
foreach(dir core reference artifacts training)
  install(DIRECTORY ${dir}/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/vestra/${dir}
    FILES_MATCHING PATTERN "*.h")
endforeach()
install(EXPORT VestraTargets NAMESPACE Vestra:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Vestra)

write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/VestraConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/VestraConfig.cmake
  "include(\${CMAKE_CURRENT_LIST_DIR}/VestraTargets.cmake)\n")
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/VestraConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/VestraConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Vestra)
