# Where everything goes on `cmake --install` and in the Debian package.
#
# The installed program finds its shipped files relative to its own folder
# (bin/../share/zarkell40), so the same binary works from /usr, /usr/local,
# any --prefix or an unpacked package, and never looks into the build tree.
# The build tree keeps the same layout (build/share/zarkell40) beside the
# binaries for developers.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(ZK40_INSTALL_SHAREDIR ${CMAKE_INSTALL_DATADIR}/zarkell40)
file(RELATIVE_PATH ZK40_SHARE_FROM_BIN ${CMAKE_INSTALL_FULL_BINDIR}
     ${CMAKE_INSTALL_FULL_DATADIR}/zarkell40)
target_compile_definitions(zk40core PRIVATE ZK40_SHARE_FROM_BIN="${ZK40_SHARE_FROM_BIN}")
# The window object: in a private folder two levels below the library
# directory, like the Run Program dialog (a shared object directly in
# lib/zarkell40 would make CPack add ldconfig scripts to the package), found
# relative to the program the same way.
set(ZK40_WINDOW_LIBDIR ${CMAKE_INSTALL_LIBDIR}/zarkell40/window)
file(RELATIVE_PATH ZK40_WINDOW_FROM_BIN ${CMAKE_INSTALL_FULL_BINDIR}
     ${CMAKE_INSTALL_PREFIX}/${ZK40_WINDOW_LIBDIR})
target_compile_definitions(zarkell40 PRIVATE ZK40_WINDOW_FROM_BIN="${ZK40_WINDOW_FROM_BIN}")

# The build tree's copy of what /register and the help menu read.
foreach(kind system user)
  configure_file(${CMAKE_SOURCE_DIR}/share/systemd/zarkell40-${kind}.service.in
                 ${CMAKE_BINARY_DIR}/share/zarkell40/systemd/zarkell40-${kind}.service.in COPYONLY)
endforeach()
configure_file(${CMAKE_SOURCE_DIR}/share/help/index.html
               ${CMAKE_BINARY_DIR}/share/zarkell40/help/index.html COPYONLY)

# Programs.
install(TARGETS zarkell40 zk40-reg zk40-sign zk40-debugcode
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# zk40 and its bash completion are installed beside their target.
install(TARGETS zk40window LIBRARY DESTINATION ${ZK40_WINDOW_LIBDIR})

# Shipped modules, their local update configuration, help, unit templates.
install(FILES ${CMAKE_BINARY_DIR}/share/zarkell40/update.cfg DESTINATION ${ZK40_INSTALL_SHAREDIR})
install(FILES ${CMAKE_BINARY_DIR}/share/zarkell40/modules/runprog.zkz
        DESTINATION ${ZK40_INSTALL_SHAREDIR}/modules)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/share/help/ DESTINATION ${ZK40_INSTALL_SHAREDIR}/help)
install(FILES ${CMAKE_SOURCE_DIR}/share/systemd/zarkell40-system.service.in
              ${CMAKE_SOURCE_DIR}/share/systemd/zarkell40-user.service.in
        DESTINATION ${ZK40_INSTALL_SHAREDIR}/systemd)

# The units systemd finds without /register (neither is enabled). ExecStart
# needs an absolute path, known only when installing: with --prefix or
# DESTDIR it differs from the configured prefix.
install(CODE "
  set(ZK40_EXEC \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/zarkell40\")
  foreach(kind system user)
    set(unit \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/lib/systemd/\${kind}/zarkell40.service\")
    message(STATUS \"Installing: \${unit}\")
    configure_file(\"${CMAKE_SOURCE_DIR}/share/systemd/zarkell40-\${kind}.service.in\" \"\${unit}\" @ONLY)
    list(APPEND CMAKE_INSTALL_MANIFEST_FILES \"\${unit}\")
  endforeach()
")

# Desktop integration and manual pages.
install(FILES ${CMAKE_SOURCE_DIR}/share/desktop/zarkell40.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${CMAKE_SOURCE_DIR}/share/desktop/zarkell40.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo RENAME net.dentrax14.zarkell40.metainfo.xml)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/share/icons/hicolor DESTINATION ${CMAKE_INSTALL_DATADIR}/icons)
file(GLOB ZK40_MAN_PAGES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/man/*.1)
install(FILES ${ZK40_MAN_PAGES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/copyright
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/zarkell40)

# The module SDK: the header, the CMake function and a package config.
install(FILES ${CMAKE_SOURCE_DIR}/include/zk40/module.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/zk40)
set(ZK40_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Zarkell40)
configure_package_config_file(${CMAKE_SOURCE_DIR}/cmake/Zarkell40Config.cmake.in
  ${CMAKE_BINARY_DIR}/Zarkell40Config.cmake
  INSTALL_DESTINATION ${ZK40_CMAKE_DIR}
  PATH_VARS CMAKE_INSTALL_INCLUDEDIR CMAKE_INSTALL_BINDIR)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/Zarkell40ConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_BINARY_DIR}/Zarkell40Config.cmake
              ${CMAKE_BINARY_DIR}/Zarkell40ConfigVersion.cmake
              ${CMAKE_SOURCE_DIR}/cmake/Zk40Module.cmake
              ${CMAKE_SOURCE_DIR}/cmake/Zk40ModuleExports.map
        DESTINATION ${ZK40_CMAKE_DIR})

# cpack -G DEB (from the build folder). Dependencies come from the
# binaries' shared libraries through dpkg-shlibdeps. No maintainer
# scripts: installing enables no service and starts nothing, and removing
# the package removes its files only (every user's store stays).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zarkell40)
set(CPACK_PACKAGE_VENDOR "Dentrax-14")
set(CPACK_PACKAGE_CONTACT "Dentrax-14 <zarkell40@dentrax-14.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "job scheduler with a window, a headless mode and a service")
set(CPACK_PACKAGE_DESCRIPTION
    "Zarkell'40 runs jobs on schedules. A job is an ordered list of actions, carried out by plug-in action modules; the Run Program module comes with it. The package also holds the zk40 and zk40-reg commands, systemd units (not enabled) and the files for building action modules.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Loaded with dlopen when an update runs, so dpkg-shlibdeps cannot see them.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libcurl4 (>= 7.85), libzip4 (>= 1.7)")
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://dentrax-14.invalid/zarkell40")
include(CPack)
