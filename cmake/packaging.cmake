# Installation and the Debian packages: the program, its picture, the desktop entry, the icons
# and the manual page (install component "program", the package vxpiano), and the graphics
# library for other programs (component "library", libvxgfx-dev; cmake/vxgfx.cmake); `cpack`
# (or `make package`) turns the same rules into one .deb per component.
include(GNUInstallDirs)
set(CMAKE_INSTALL_DEFAULT_COMPONENT_NAME program)
include(${CMAKE_SOURCE_DIR}/cmake/vxgfx.cmake)

set(VXPIANO_DATA_DIR "${CMAKE_INSTALL_DATADIR}/vxpiano")
set(VXPIANO_FULL_DATA_DIR "${CMAKE_INSTALL_FULL_DATADIR}/vxpiano")

# The program looks for its picture in the working directory, beside the executable, then in
# the installed data directory, which is fixed here at configure time.
if(TARGET vxapp)
  target_compile_definitions(vxapp PRIVATE VXPIANO_DATA_DIR="${VXPIANO_FULL_DATA_DIR}")
endif()

# A copy beside the built executable, so `make run` finds the picture from any directory.
configure_file(${CMAKE_SOURCE_DIR}/assets/piano_k.bmp ${CMAKE_BINARY_DIR}/app/piano_k.bmp COPYONLY)

# The manual page names the installed paths; compressed without a time stamp, so the same
# sources give the same bytes.
configure_file(${CMAKE_SOURCE_DIR}/assets/vxpiano.1.in ${CMAKE_BINARY_DIR}/vxpiano.1 @ONLY)
find_program(VX_GZIP gzip REQUIRED)
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/vxpiano.1.gz
  COMMAND ${VX_GZIP} -9 -n -f -k ${CMAKE_BINARY_DIR}/vxpiano.1
  DEPENDS ${CMAKE_BINARY_DIR}/vxpiano.1
  COMMENT "Compressing the manual page")
add_custom_target(vxpiano_manual ALL DEPENDS ${CMAKE_BINARY_DIR}/vxpiano.1.gz)

if(TARGET vxpiano)
  install(TARGETS vxpiano RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
install(FILES ${CMAKE_SOURCE_DIR}/assets/piano_k.bmp DESTINATION ${VXPIANO_DATA_DIR})
install(FILES ${CMAKE_SOURCE_DIR}/assets/vxpiano.desktop
  DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
foreach(side 16 32 48 128)
  install(FILES ${CMAKE_SOURCE_DIR}/assets/icons/vxpiano-${side}.png
    DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${side}x${side}/apps
    RENAME vxpiano.png)
endforeach()
install(FILES ${CMAKE_BINARY_DIR}/vxpiano.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})

# The package installs where the build put its data directory: `make package` configures with
# the prefix /usr; a build for /usr/local packs a /usr/local package rather than one whose
# program looks for its picture in the wrong place.
set(VXPIANO_MAINTAINER "vxpiano developers <vxpiano@example.org>" CACHE STRING
  "Maintainer field of the Debian package")
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vxpiano)
set(CPACK_PACKAGE_VENDOR "vxpiano")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${VXPIANO_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX "${CMAKE_INSTALL_PREFIX}")
# Each package's summary is the first line of its description: CPack puts a
# CPACK_PACKAGE_DESCRIPTION_SUMMARY of ours above every package's, the library's too.
set(VXPIANO_SUMMARY "playable MIDI keyboard for the desktop")
# The program's long description, below its summary in CPACK_DEBIAN_PROGRAM_DESCRIPTION.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "A small window with a five-octave piano keyboard played
with the mouse, and sliders for the General MIDI instrument, the volume, the
octave range and the MIDI channel (captions in German). Notes go to a running
ALSA synthesiser, or else to an embedded FluidSynth with a General MIDI
SoundFont; they can also be recorded to a Standard MIDI File or written to a
raw MIDI device.")
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# Library dependencies from dpkg-shlibdeps, plus a SoundFont for the embedded synthesiser.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "timgm6mb-soundfont | fluid-soundfont-gm")
set(CPACK_STRIP_FILES ON)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL program library)
set(CPACK_DEBIAN_PROGRAM_PACKAGE_NAME vxpiano)
set(CPACK_DEBIAN_PROGRAM_DESCRIPTION "${VXPIANO_SUMMARY}
${CPACK_DEBIAN_PACKAGE_DESCRIPTION}")
set(CPACK_DEBIAN_LIBRARY_PACKAGE_NAME libvxgfx-dev)
set(CPACK_DEBIAN_LIBRARY_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_LIBRARY_DESCRIPTION "small graphics library with a framebuffer window (development files)
The graphics library beneath vxpiano, for programs of their own: one screen
held as a framebuffer with dirty lines, lines and boxes, palettes at 8, 16
and 32 bits, code-page-437 fonts, images with a transparent put, a BMP
loader, a text console, mouse and keyboard state, and X11 and Wayland
drivers that present only what changed. Static library, headers, a
pkg-config file (vxgfx) and a CMake package (find_package(vxgfx)).")
# A static library: what links it is the development files of the libraries it calls.
set(VXGFX_DEB_DEPENDS "libx11-dev, libxext-dev, libxrandr-dev, libxss-dev")
if(VX_WAYLAND)
  string(APPEND VXGFX_DEB_DEPENDS ", libwayland-dev, libxkbcommon-dev")
endif()
set(CPACK_DEBIAN_LIBRARY_PACKAGE_DEPENDS "${VXGFX_DEB_DEPENDS}")
set(CPACK_DEBIAN_LIBRARY_PACKAGE_SHLIBDEPS OFF)
include(CPack)
