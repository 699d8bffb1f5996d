# Debian packages, one per audience (make package):
#   vorn-osc        the desktop app, with its menu entry, icons and metainfo
#   vorn-osc-tools  the terminal monitor and the echo peer, with their manual
#                   pages; no Qt, for headless machines
#   libvornosc-dev  the OSC library as static libraries, headers and a CMake
#                   package, for building other programs on it
# Shared-library dependencies are read from the binaries (dpkg-shlibdeps);
# what a binary cannot show, such as the headers the library's headers
# include, is declared here.

set(CPACK_PACKAGE_NAME vorn-osc)
set(CPACK_PACKAGE_VENDOR "The Vorn OSC 2 authors")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGE_CONTACT "The Vorn OSC 2 developers <vorn-osc@example.org>")
set(CPACK_PACKAGE_HOMEPAGE_URL "https://example.org/vorn-osc")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
# Each package's description starts with a synopsis line of its own; the
# project's one-line description would otherwise be put in front of it.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "")

set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL vorn-osc-tools libvornosc-dev)
if(VORN_GUI)
    list(PREPEND CPACK_COMPONENTS_ALL vorn-osc)
endif()

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

set(CPACK_DEBIAN_VORN-OSC_PACKAGE_NAME vorn-osc)
set(CPACK_DEBIAN_VORN-OSC_PACKAGE_SECTION sound)
# The app tells a user without a display to run vorn-osc-cli, which most
# will want beside it, but it runs without.
set(CPACK_DEBIAN_VORN-OSC_PACKAGE_RECOMMENDS vorn-osc-tools)
set(CPACK_DEBIAN_VORN-OSC_PACKAGE_SUGGESTS qt6-wayland)
set(CPACK_DEBIAN_VORN-OSC_DESCRIPTION
"monitor for one Open Sound Control link, desktop app
Vorn OSC 2 pings your lighting console, sound desk or show controller over
OSC every couple of seconds and listens for the answer. Its whole window is a
status light: green while the console answers, red once two pings in a row
go unanswered, with a desktop alert when the link dies. A log lists every
ping, message and change of state and can be saved for the show report.")

set(CPACK_DEBIAN_VORN-OSC-TOOLS_PACKAGE_NAME vorn-osc-tools)
set(CPACK_DEBIAN_VORN-OSC-TOOLS_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_VORN-OSC-TOOLS_DESCRIPTION
"monitor for one Open Sound Control link, terminal tools
vorn-osc-cli watches an OSC link from a terminal: it pings your console,
prints a line for every ping, message and change of state, and rings the
bell when the link dies. vorn-osc-echo answers pings as a console does, to
try a monitor out without one. Neither needs a display.")

set(CPACK_DEBIAN_LIBVORNOSC-DEV_PACKAGE_NAME libvornosc-dev)
set(CPACK_DEBIAN_LIBVORNOSC-DEV_PACKAGE_SECTION libdevel)
# The headers include Asio and nlohmann/json; the static libraries link ICU;
# the CMake package finds ICU through pkg-config.
set(CPACK_DEBIAN_LIBVORNOSC-DEV_PACKAGE_DEPENDS "libasio-dev, nlohmann-json3-dev (>= 3.10), libicu-dev, pkgconf | pkg-config")
set(CPACK_DEBIAN_LIBVORNOSC-DEV_DESCRIPTION
"Open Sound Control 1.0 library for C++20, development files
The OSC library beneath Vorn OSC 2: the codec for messages, bundles and time
tags, address patterns and an address space of methods, typed extraction of
values, and an OSC client and server over UDP for IPv4 and IPv6. Static
libraries, headers and a CMake package: find_package(VornOSC) gives the
targets vorn::osc and vorn::net.")

# Every package carries the licence where Debian looks for it.
foreach(component IN LISTS CPACK_COMPONENTS_ALL)
    install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${component} COMPONENT ${component})
endforeach()

include(CPack)
