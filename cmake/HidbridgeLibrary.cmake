# The library, static and shared, made from every module's objects.
get_property(hb_modules GLOBAL PROPERTY HB_MODULES)
get_property(hb_headers GLOBAL PROPERTY HB_PUBLIC_HEADERS)

set(hb_objects "")
foreach(m ${hb_modules})
  list(APPEND hb_objects $<TARGET_OBJECTS:${m}>)
endforeach()

add_library(hidbridge_static STATIC ${hb_objects})
set_target_properties(hidbridge_static PROPERTIES OUTPUT_NAME hidbridge EXPORT_NAME hidbridge_static)
add_library(hidbridge SHARED ${hb_objects})
set_target_properties(hidbridge PROPERTIES VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR})
foreach(t hidbridge_static hidbridge)
  target_link_libraries(${t} PUBLIC hb_includes Threads::Threads)
endforeach()
add_library(hidbridge::hidbridge ALIAS hidbridge)
add_library(hidbridge::hidbridge_static ALIAS hidbridge_static)

install(TARGETS hidbridge hidbridge_static hb_includes EXPORT hidbridgeTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${hb_headers} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/hidbridge)
install(EXPORT hidbridgeTargets NAMESPACE hidbridge:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/hidbridge)

include(CMakePackageConfigHelpers)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/hidbridgeConfig.cmake.in
  ${PROJECT_BINARY_DIR}/hidbridgeConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/hidbridge)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/hidbridgeConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
# How far the pkg-config file's folder is from the prefix: lib/pkgconfig is two levels down,
# a Debian multiarch lib/<triplet>/pkgconfig three.
file(RELATIVE_PATH HB_PC_TO_PREFIX ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" HB_PC_TO_PREFIX "${HB_PC_TO_PREFIX}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/hidbridge.pc.in ${PROJECT_BINARY_DIR}/hidbridge.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/hidbridgeConfig.cmake ${PROJECT_BINARY_DIR}/hidbridgeConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/hidbridge)
install(FILES ${PROJECT_BINARY_DIR}/hidbridge.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
