include(CMakePackageConfigHelpers)

install(TARGETS qxcf qxcore
  EXPORT QXCoreTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/CoreFoundation ${PROJECT_SOURCE_DIR}/include/QXCore
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
  FILES_MATCHING PATTERN "*.h")
install(EXPORT QXCoreTargets
  NAMESPACE QXCore::
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/QXCore)

configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/QXCoreConfig.cmake.in
  ${PROJECT_BINARY_DIR}/QXCoreConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/QXCore)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/QXCoreConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/QXCoreConfig.cmake ${PROJECT_BINARY_DIR}/QXCoreConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/QXCore)

# Relocatable: the prefix is found from where the .pc file sits.
file(RELATIVE_PATH QX_PC_PREFIX_REL /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
foreach(pc qxcf qxcore)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/${pc}.pc.in ${PROJECT_BINARY_DIR}/${pc}.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/${pc}.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endforeach()

if(QX_BUILD_TOOLS)
  install(TARGETS qxtool RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
