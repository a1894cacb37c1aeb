# Installing the graphics library for other programs: the static library, the public headers
# (include/vxgfx/), a pkg-config file and a CMake package, all in the install component
# "library" (the Debian package libvxgfx-dev).
include(CMakePackageConfigHelpers)

install(TARGETS vxgfx EXPORT vxgfxTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT library)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/include/vxgfx
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT library)

# pkg-config: the modules the build linked, the Wayland ones only when that back end was built.
set(VXGFX_PC_MODULES ${VXGFX_X11_MODULES})
if(VX_WAYLAND)
  list(APPEND VXGFX_PC_MODULES ${VXGFX_WAYLAND_MODULES})
endif()
list(JOIN VXGFX_PC_MODULES ", " VXGFX_PC_REQUIRES)
string(REPLACE ">=" " >= " VXGFX_PC_REQUIRES "${VXGFX_PC_REQUIRES}")
file(RELATIVE_PATH VXGFX_PC_PREFIX_FROM_PCFILEDIR
  ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" VXGFX_PC_PREFIX_FROM_PCFILEDIR "${VXGFX_PC_PREFIX_FROM_PCFILEDIR}")
configure_file(${CMAKE_SOURCE_DIR}/cmake/vxgfx.pc.in ${CMAKE_BINARY_DIR}/vxgfx.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/vxgfx.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT library)

# CMake: find_package(vxgfx) gives vxgfx::vxgfx.
set(VXGFX_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/vxgfx)
install(EXPORT vxgfxTargets NAMESPACE vxgfx:: DESTINATION ${VXGFX_CMAKE_DIR} COMPONENT library)
configure_file(${CMAKE_SOURCE_DIR}/cmake/vxgfxConfig.cmake.in ${CMAKE_BINARY_DIR}/vxgfxConfig.cmake @ONLY)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/vxgfxConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_BINARY_DIR}/vxgfxConfig.cmake ${CMAKE_BINARY_DIR}/vxgfxConfigVersion.cmake
  DESTINATION ${VXGFX_CMAKE_DIR} COMPONENT library)
