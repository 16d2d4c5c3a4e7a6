# Runs during the installation: completes the systemd unit with the path of
# the installed executable and installs it. Set by the install rule before
# this script: ZO_UNIT_TEMPLATE, ZO_UNIT_STAGING_DIRECTORY, ZO_UNIT_SBINDIR,
# ZO_UNIT_DESTINATION.
if(IS_ABSOLUTE "${ZO_UNIT_SBINDIR}")
    set(ZO_UNIT_EXECUTABLE "${ZO_UNIT_SBINDIR}/zoKorvoRemoteService")
    set(ZO_UNIT_CHECKER "${ZO_UNIT_SBINDIR}/zoKorvoPluginCheck")
else()
    set(ZO_UNIT_EXECUTABLE "${CMAKE_INSTALL_PREFIX}/${ZO_UNIT_SBINDIR}/zoKorvoRemoteService")
    set(ZO_UNIT_CHECKER "${CMAKE_INSTALL_PREFIX}/${ZO_UNIT_SBINDIR}/zoKorvoPluginCheck")
endif()

# One staging file per installation target, so that installations into
# different prefixes may run at the same time.
string(MD5 zoUnitKey "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
set(zoUnitFile "${ZO_UNIT_STAGING_DIRECTORY}/unit-${zoUnitKey}/zoKorvoRemoteService.service")
configure_file("${ZO_UNIT_TEMPLATE}" "${zoUnitFile}" @ONLY)
file(INSTALL DESTINATION "${CMAKE_INSTALL_PREFIX}/${ZO_UNIT_DESTINATION}" TYPE FILE
     PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
     FILES "${zoUnitFile}")
