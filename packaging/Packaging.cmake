# What the components install besides the programs and libraries, and the
# Debian packages made of them by `cpack` in the build tree:
#
#   vemo-umx         component service: the program, its private library, the
#                    unit, the defaults file; never an SDK library
#   vemo-umx-sim     component sim (stand-in builds only): the two simulators,
#                    the stand-in SDK in a private directory, vemo_umx-simulated
#   <name>-dbgsym    their debug information, by build-id below /usr/lib/debug
#
# The components sdk and dev (the stand-in as an SDK to build against, its
# headers) are for development and go into no package.

set(VEMO_PACKAGE_MAINTAINER "vemo_umx maintainers <vemo-umx@example.com>"
  CACHE STRING "Maintainer field of the Debian packages: the integrator's own team")
# Build trees configured earlier keep the former default, which is no address.
if(VEMO_PACKAGE_MAINTAINER STREQUAL "vemo_umx maintainers <vemo-umx@localhost>")
  set(VEMO_PACKAGE_MAINTAINER "vemo_umx maintainers <vemo-umx@example.com>" CACHE STRING
    "Maintainer field of the Debian packages: the integrator's own team" FORCE)
endif()
set(VEMO_SDK_DEBIAN_DEPENDS "" CACHE STRING
  "Debian dependency on the maker's SDK package for vemo-umx, e.g. \"maker-sdk (>= 2.1)\"")

set(_pkg_dir ${CMAKE_CURRENT_LIST_DIR})
set(_gen_dir ${CMAKE_BINARY_DIR}/packaging)
set(_docdir ${CMAKE_INSTALL_DATAROOTDIR}/doc)

# --- service ----------------------------------------------------------------
install(CODE "
  set(VEMO_PACKAGING_DIR \"${_pkg_dir}\")
  set(VEMO_INSTALL_BINDIR \"${CMAKE_INSTALL_BINDIR}\")
  include(\"${_pkg_dir}/install_service_files.cmake\")"
  COMPONENT service)

# Manual pages and changelogs compressed as Debian wants them: gzip -9, no
# name or time stamp, so that two builds give the same files.
configure_file(${_pkg_dir}/debian/changelog ${_gen_dir}/changelog @ONLY)
set(_gzipped "")
function(vemo_gzip src out)
  add_custom_command(OUTPUT ${out}
    COMMAND sh -c "gzip -9n <\"$1\" >\"$2\"" sh ${src} ${out}
    DEPENDS ${src} VERBATIM)
  set(_gzipped ${_gzipped} ${out} PARENT_SCOPE)
endfunction()
vemo_gzip(${_gen_dir}/changelog ${_gen_dir}/changelog.gz)
foreach(_page vemo_umx.8 vemo_umx-simulated.8 vemo_robot_sim.1 vemo_gateway_sim.1)
  configure_file(${_pkg_dir}/man/${_page} ${_gen_dir}/${_page} @ONLY)
  vemo_gzip(${_gen_dir}/${_page} ${_gen_dir}/${_page}.gz)
endforeach()
add_custom_target(vemo_package_docs ALL DEPENDS ${_gzipped})

install(FILES ${_gen_dir}/vemo_umx.8.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man8
  COMPONENT service)
install(FILES ${_gen_dir}/changelog.gz ${PROJECT_SOURCE_DIR}/README.md
  DESTINATION ${_docdir}/vemo-umx COMPONENT service)
install(FILES ${_pkg_dir}/debian/vemo-umx.copyright DESTINATION ${_docdir}/vemo-umx
  RENAME copyright COMPONENT service)
# The alert rules, where monitoring set-ups take vendor rules from.
install(FILES ${_pkg_dir}/prometheus/vemo_umx.rules.yml
  DESTINATION ${CMAKE_INSTALL_DATADIR}/vemo-umx/prometheus COMPONENT service)
# The fleet dashboard the alerts link to, for Grafana's import.
install(FILES ${_pkg_dir}/grafana/vemo_umx.dashboard.json
  DESTINATION ${CMAKE_INSTALL_DATADIR}/vemo-umx/grafana COMPONENT service)
# The PLC programmer's tag lists for the default configuration, made by the
# program itself (a workspace that does not exist: the defaults).
set(_tag_lists "")
foreach(_format csv st plcopen)
  set(_ext ${_format})
  if(_format STREQUAL "plcopen")
    set(_ext xml)
  endif()
  set(_out ${_gen_dir}/vemo_umx_tags.${_ext})
  add_custom_command(OUTPUT ${_out}
    COMMAND sh -c "ASAN_OPTIONS=detect_leaks=0 \"$1\" --workspace \"$2\" --export-tags $3 >\"$4\" 2>/dev/null"
      sh $<TARGET_FILE:vemo_umx> ${_gen_dir}/no-workspace ${_format} ${_out}
    DEPENDS vemo_umx VERBATIM)
  list(APPEND _tag_lists ${_out})
endforeach()
add_custom_target(vemo_tag_lists ALL DEPENDS ${_tag_lists})
install(FILES ${_tag_lists} DESTINATION ${CMAKE_INSTALL_DATADIR}/vemo-umx/tags COMPONENT service)

# --- sim: the simulated cell for a test bench ---------------------------------
if(VEMO_STANDIN_SDK)
  # The wrapper finds the program and the stand-in relative to itself, so
  # that it works from any prefix and from an unpacked package.
  file(RELATIVE_PATH VEMO_BIN_TO_SIM_LIBDIR /${CMAKE_INSTALL_BINDIR} /${VEMO_SIM_LIBDIR})
  configure_file(${_pkg_dir}/vemo_umx-simulated.in ${_gen_dir}/vemo_umx-simulated @ONLY)
  install(PROGRAMS ${_gen_dir}/vemo_umx-simulated DESTINATION ${CMAKE_INSTALL_BINDIR}
    COMPONENT sim)
  install(FILES ${_gen_dir}/vemo_umx-simulated.8.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man8
    COMPONENT sim)
  install(FILES ${_gen_dir}/vemo_robot_sim.1.gz ${_gen_dir}/vemo_gateway_sim.1.gz
    DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT sim)
  install(FILES ${_gen_dir}/changelog.gz DESTINATION ${_docdir}/vemo-umx-sim COMPONENT sim)
  install(FILES ${_pkg_dir}/debian/vemo-umx-sim.copyright DESTINATION ${_docdir}/vemo-umx-sim
    RENAME copyright COMPONENT sim)
endif()

# --- the Debian packages -------------------------------------------------------
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vemo-umx)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${VEMO_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SOURCE vemo-umx)
# Each description's first line is its summary.
set(CPACK_DEBIAN_SERVICE_DESCRIPTION
  "robot controller to fieldbus gateway bridge (Modbus RTU master)
vemo_umx runs on the robot's controller computer. Every cycle it reads the
robot's state from the controller (RPC and real-time stream) and writes it
into a fieldbus gateway as a Modbus RTU master on a serial line; the PLC's
inputs and commands go back to the robot.

It loads the robot maker's SDK (libvemo_sdk) installed on the controller.
The systemd unit vemo_umx.service is installed but neither enabled nor
started; the workspace is set in /etc/default/vemo_umx.")
set(CPACK_DEBIAN_SIM_DESCRIPTION
  "simulated robot cell for vemo_umx test benches
The robot controller simulator vemo_robot_sim, the Modbus gateway simulator
vemo_gateway_sim with its live PLC view, and vemo_umx-simulated, which runs
vemo_umx against the project's stand-in robot SDK for a bench without the
maker's SDK.

The stand-in is kept in a private directory that only vemo_umx-simulated
names: installed on a controller, this package never replaces or shadows
the maker's SDK.")

set(CPACK_COMPONENTS_ALL service)
if(VEMO_STANDIN_SDK)
  list(APPEND CPACK_COMPONENTS_ALL sim)
endif()
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_SERVICE_PACKAGE_NAME vemo-umx)
set(CPACK_DEBIAN_SIM_PACKAGE_NAME vemo-umx-sim)

# Installed with DESTDIR and the /usr prefix, so that the defaults file lands
# in /etc and the unit is configured for /usr/bin.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Stripped programs and libraries; what was stripped goes into a -dbgsym
# package each, as /usr/lib/debug/.build-id/<xx>/<rest>.debug, where gdb and
# libdw (the crash traces) find it by the build-id of the running object.
set(CPACK_DEBIAN_DEBUGINFO_PACKAGE ON)

# What the installed objects load (objdump -p: NEEDED), with the lowest
# versions dpkg-shlibdeps derives on Debian 12. Breakpad's client is linked
# statically and quill is header-only. The robot SDK is the maker's: its
# package, if it has one, comes from VEMO_SDK_DEBIAN_DEPENDS.
set(CPACK_DEBIAN_SERVICE_PACKAGE_DEPENDS
  "libc6 (>= 2.36), libconfig9, libdw1 (>= 0.126), libgcc-s1 (>= 4.2), libmodbus5 (>= 3.0.2), libstdc++6 (>= 11), libsystemd0")
if(VEMO_SDK_DEBIAN_DEPENDS)
  string(APPEND CPACK_DEBIAN_SERVICE_PACKAGE_DEPENDS ", ${VEMO_SDK_DEBIAN_DEPENDS}")
endif()
# vemo_umx-simulated runs the service of the same build: the stand-in is the
# SDK that service was built against.
set(CPACK_DEBIAN_SIM_PACKAGE_DEPENDS
  "libc6 (>= 2.34), libgcc-s1 (>= 3.0), libmodbus5 (>= 3.0.2), libstdc++6 (>= 11), vemo-umx (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_SERVICE_PACKAGE_CONTROL_EXTRA
  ${_pkg_dir}/debian/conffiles
  ${_pkg_dir}/debian/postinst
  ${_pkg_dir}/debian/prerm
  ${_pkg_dir}/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_POST_BUILD_SCRIPTS ${_pkg_dir}/fix_packages.cmake)

include(CPack)
