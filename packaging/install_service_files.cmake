# Install-time part of the service component: the systemd unit and the
# defaults file it reads. The unit names the installed program and defaults
# file by absolute path, so it is configured here for the prefix of this very
# installation (`cmake --install --prefix ...`, or /usr inside the package)
# rather than for the prefix the build tree was configured with.
#
# Set by the caller: VEMO_PACKAGING_DIR (this folder) and VEMO_INSTALL_BINDIR.

string(REGEX REPLACE "/+$" "" _prefix "${CMAKE_INSTALL_PREFIX}")
if(IS_ABSOLUTE "${VEMO_INSTALL_BINDIR}")
  set(VEMO_FULL_BINDIR "${VEMO_INSTALL_BINDIR}")
else()
  set(VEMO_FULL_BINDIR "${_prefix}/${VEMO_INSTALL_BINDIR}")
endif()
# As in GNUInstallDirs: the / and /usr prefixes keep their settings in /etc.
if(_prefix STREQUAL "" OR _prefix STREQUAL "/usr")
  set(_sysconfdir "/etc")
else()
  set(_sysconfdir "${_prefix}/etc")
endif()
set(VEMO_DEFAULTS_FILE "${_sysconfdir}/default/vemo_umx")

# Written straight to its place: a configured copy in the build tree would be
# shared by installations to different prefixes running at the same time.
set(_unit "$ENV{DESTDIR}${_prefix}/lib/systemd/system/vemo_umx.service")
message(STATUS "Installing: ${_unit}")
file(READ "${VEMO_PACKAGING_DIR}/vemo_umx.service.in" _text)
string(CONFIGURE "${_text}" _text @ONLY)
file(WRITE "${_unit}" "${_text}")
file(CHMOD "${_unit}" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${_unit}")

# The defaults file holds the integrator's settings: an installation over an
# existing one keeps it (the package's copy is a conffile, which dpkg guards).
if(EXISTS "$ENV{DESTDIR}${VEMO_DEFAULTS_FILE}")
  message(STATUS "Keeping: $ENV{DESTDIR}${VEMO_DEFAULTS_FILE}")
else()
  file(INSTALL "${VEMO_PACKAGING_DIR}/vemo_umx.default"
    DESTINATION "${_sysconfdir}/default" RENAME vemo_umx
    PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
endif()
