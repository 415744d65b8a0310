# Install-time part of packaging/CMakeLists.txt, run by `cmake --install` and
# by CPack with the install's own CMAKE_INSTALL_PREFIX and DESTDIR: writes
# quorvane.service and quorvane@.service for that prefix, and the
# configuration file the unit reads unless the operator already has one.
#
# Set by the caller: QUORVANE_SERVICE_TEMPLATE, QUORVANE_SERVICE_STAGING (a
# directory), QUORVANE_SERVICE_TYPE, QUORVANE_EXAMPLE_CONFIG, QUORVANE_BINDIR and
# QUORVANE_SYSCONFDIR (GNUInstallDirs values, relative or absolute),
# QUORVANE_UNIT_DIR (empty: choose), QUORVANE_SYSTEMD_PREFIX and
# QUORVANE_SYSTEMD_UNIT_DIR (from systemd's pkg-config file, may be empty).

set(prefix "${CMAKE_INSTALL_PREFIX}")
string(REGEX REPLACE "(.)/+$" "\\1" prefix "${prefix}")

if(IS_ABSOLUTE "${QUORVANE_BINDIR}")
  set(bindir "${QUORVANE_BINDIR}")
else()
  set(bindir "${prefix}/${QUORVANE_BINDIR}")
endif()

# The GNUInstallDirs rule for configuration: /usr and / keep theirs in /etc,
# /opt/<name> in /etc/opt/<name>, any other prefix in <prefix>/etc.
if(IS_ABSOLUTE "${QUORVANE_SYSCONFDIR}")
  set(sysconfdir "${QUORVANE_SYSCONFDIR}")
elseif(prefix STREQUAL "/usr" OR prefix STREQUAL "/")
  set(sysconfdir "/${QUORVANE_SYSCONFDIR}")
elseif(prefix MATCHES "^/opt/(.+)$")
  set(sysconfdir "/${QUORVANE_SYSCONFDIR}/opt/${CMAKE_MATCH_1}")
else()
  set(sysconfdir "${prefix}/${QUORVANE_SYSCONFDIR}")
endif()

# systemd's own directory (/lib/systemd/system on Debian 12) only for an
# install into systemd's prefix: any other prefix keeps the unit under itself,
# so that an install into a scratch prefix writes nothing outside it.
# systemd also reads /usr/local/lib/systemd/system.
if(NOT QUORVANE_UNIT_DIR STREQUAL "")
  set(unit_dir "${QUORVANE_UNIT_DIR}")
elseif(NOT QUORVANE_SYSTEMD_UNIT_DIR STREQUAL "" AND prefix STREQUAL QUORVANE_SYSTEMD_PREFIX)
  set(unit_dir "${QUORVANE_SYSTEMD_UNIT_DIR}")
else()
  set(unit_dir "${prefix}/lib/systemd/system")
endif()

# quorvane.service, and the template quorvane@.service from the same text:
# an instance NAME reads NAME.ini beside KELVARD.ini.
set(QUORVANE_EXECUTABLE "${bindir}/quorvane")
set(QUORVANE_CONFIG_FILE "${sysconfdir}/quorvane/KELVARD.ini")
set(QUORVANE_UNIT quorvane)
set(QUORVANE_INSTANCE "")
configure_file("${QUORVANE_SERVICE_TEMPLATE}" "${QUORVANE_SERVICE_STAGING}/quorvane.service" @ONLY)
set(QUORVANE_CONFIG_FILE "${sysconfdir}/quorvane/%i.ini")
set(QUORVANE_UNIT "quorvane@NAME")
set(QUORVANE_INSTANCE " (%i)")
configure_file("${QUORVANE_SERVICE_TEMPLATE}" "${QUORVANE_SERVICE_STAGING}/quorvane@.service" @ONLY)

file(INSTALL DESTINATION "${unit_dir}" TYPE FILE FILES "${QUORVANE_SERVICE_STAGING}/quorvane.service"
  "${QUORVANE_SERVICE_STAGING}/quorvane@.service")

# An operator's edited file survives a reinstall.
if(EXISTS "$ENV{DESTDIR}${QUORVANE_CONFIG_FILE}")
  message(STATUS "Keeping: $ENV{DESTDIR}${QUORVANE_CONFIG_FILE}")
else()
  file(INSTALL DESTINATION "${sysconfdir}/quorvane" TYPE FILE FILES "${QUORVANE_EXAMPLE_CONFIG}")
endif()
