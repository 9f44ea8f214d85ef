# The service component's systemd unit and defaults file, and the Debian
# package of that component: `cpack` in the build tree makes vemo-umx_<version>_<arch>.deb.

install(CODE "
  set(VEMO_PACKAGING_DIR \"${CMAKE_CURRENT_LIST_DIR}\")
  set(VEMO_INSTALL_BINDIR \"${CMAKE_INSTALL_BINDIR}\")
  include(\"${CMAKE_CURRENT_LIST_DIR}/install_service_files.cmake\")"
  COMPONENT service)

set(VEMO_PACKAGE_MAINTAINER "vemo_umx maintainers <vemo-umx@localhost>"
  CACHE STRING "Maintainer field of the Debian package")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vemo-umx)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${VEMO_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "robot controller to fieldbus gateway bridge (Modbus RTU master)")
# The extended description; CPack puts the summary line above it.
set(CPACK_DEBIAN_SERVICE_DESCRIPTION
  "vemo_umx runs on the robot's controller computer. Every cycle it reads the
robot's state from the controller (RPC and real-time stream) and writes it
into a fieldbus gateway as a Modbus RTU master on a serial line; the PLC's
inputs and commands go back to the robot.

The systemd unit vemo_umx.service is installed but neither enabled nor
started; the workspace is set in /etc/default/vemo_umx.")

# One package of the service component alone: the simulators (tools) and the
# SDK headers (dev) stay out.
set(CPACK_COMPONENTS_ALL service)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_SERVICE_PACKAGE_NAME vemo-umx)

# Installed with DESTDIR and the /usr prefix, so that the defaults file lands
# in /etc and the unit is configured for /usr/bin.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# What the installed program and libraries load (objdump -p: NEEDED), with the
# lowest versions dpkg-shlibdeps derives on Debian 12. Breakpad's client is
# linked statically and quill is header-only.
set(CPACK_DEBIAN_PACKAGE_DEPENDS
  "libc6 (>= 2.36), libconfig9, libdw1 (>= 0.126), libgcc-s1 (>= 4.2), libmodbus5 (>= 3.0.2), libstdc++6 (>= 11), libsystemd0")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${CMAKE_CURRENT_LIST_DIR}/debian/conffiles
  ${CMAKE_CURRENT_LIST_DIR}/debian/triggers
  ${CMAKE_CURRENT_LIST_DIR}/debian/postinst
  ${CMAKE_CURRENT_LIST_DIR}/debian/prerm
  ${CMAKE_CURRENT_LIST_DIR}/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
