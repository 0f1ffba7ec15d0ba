# The install tree (cmake --install build --prefix P) and the Debian package built from it.
#
# P/bin holds the programs; the server resolves ../cfg, ../res, ../www and ../firmware from
# there. The package installs the same tree under /opt/kinetra and, with
# KINETRA_SYSTEM_INTEGRATION, adds what lives outside it: /usr/bin links, the systemd user
# unit, the desktop entry and the themed icons.

option(KINETRA_SYSTEM_INTEGRATION
       "Also install /usr/bin links, the systemd user unit, the desktop entry and icons" OFF)
set(KINETRA_PACKAGE_PREFIX /opt/kinetra CACHE PATH "Where the Debian package puts the install tree")

install(DIRECTORY cfg/ DESTINATION cfg)
install(DIRECTORY res/ DESTINATION res PATTERN hicolor EXCLUDE)
# A directory install, so every page and subfolder added to www/ comes along; its npm manifest
# stays behind (cmake/WebPackages.cmake installs what it brings).
install(DIRECTORY www/ DESTINATION www USE_SOURCE_PERMISSIONS
        PATTERN package.json EXCLUDE PATTERN package-lock.json EXCLUDE)
# The DFU tool (dfu-util) and its image (a) are the user's to add; never ship a local copy.
install(DIRECTORY firmware/ DESTINATION firmware USE_SOURCE_PERMISSIONS
        PATTERN dfu-util EXCLUDE PATTERN a EXCLUDE)
install(DIRECTORY examples/ DESTINATION examples USE_SOURCE_PERMISSIONS)

if(KINETRA_SYSTEM_INTEGRATION)
    # The links and the unit point into the package's tree, so the tree goes there.
    set(CMAKE_INSTALL_PREFIX ${KINETRA_PACKAGE_PREFIX} CACHE PATH "Install path prefix" FORCE)
    set(staging ${CMAKE_CURRENT_BINARY_DIR}/system-integration)
    # /usr/bin entries point at the real programs; /proc/self/exe resolves the link, so the
    # server still finds its tree.
    foreach(program kinetra-server kinetra-sim)
        file(MAKE_DIRECTORY ${staging}/bin)
        file(CREATE_LINK ${KINETRA_PACKAGE_PREFIX}/bin/${program} ${staging}/bin/${program}
             SYMBOLIC)
        install(FILES ${staging}/bin/${program} DESTINATION /usr/bin)
    endforeach()
    configure_file(packaging/kinetra-server.service.in ${staging}/kinetra-server.service @ONLY)
    install(FILES ${staging}/kinetra-server.service DESTINATION /usr/lib/systemd/user)
    configure_file(packaging/kinetra-sdk.desktop.in ${staging}/kinetra-sdk.desktop @ONLY)
    install(FILES ${staging}/kinetra-sdk.desktop DESTINATION /usr/share/applications)
    install(DIRECTORY res/hicolor/ DESTINATION /usr/share/icons/hicolor)
    install(FILES res/kinetra.svg DESTINATION /usr/share/icons/hicolor/scalable/apps
            RENAME kinetra-sdk.svg)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kinetra-sdk)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR kinetra)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "local device server for motorised camera-motion gear")
set(CPACK_PACKAGING_INSTALL_PREFIX ${KINETRA_PACKAGE_PREFIX})
# Install into the staging tree through DESTDIR, so the absolute destinations above land in
# the package and not on the build machine.
set(CPACK_SET_DESTDIR ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "kinetra SDK maintainers <sdk@kinetra.invalid>")
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
    "kinetra finds USB link modules, speaks their serial protocol, pairs pan/tilt"
    "heads, sliders, dollies, jibs and follow-focus units over radio, CAN bus or"
    "RJ45, and lets programs drive them with JSON over HTTP (port 32222) and"
    "WebSocket (port 32224). It includes an emulated link adapter (kinetra-sim,"
    "kinetra-server --simulate) and client examples.")
# Library dependencies come from dpkg-shlibdeps; xdg-open opens the web application and the
# folders of the tray menu; dfu-util updates a link adapter's micro-controller.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS xdg-utils)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS dfu-util)
# The configuration is the user's: an upgrade keeps local changes (dpkg asks).
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/deb-control/conffiles
     "${KINETRA_PACKAGE_PREFIX}/cfg/config.ini\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_BINARY_DIR}/deb-control/conffiles)
include(CPack)
