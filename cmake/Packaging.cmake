# What a Debian package of corviLane holds besides the programs (which their
# own folders install): the user services, the desktop entry, the icons, the
# Live script folders when this tree has them, and the README. Built with
# scripts/build-package (CPack, DEB generator).
set(CORVILANE_LIVE_SCRIPTS "${PROJECT_SOURCE_DIR}/live-script" CACHE PATH
  "Folder holding the Live script folders corviLanePro and corviLane8 that the installer copies into Live")

install(FILES data/systemd/corvilane.service data/systemd/corvilane-server.service DESTINATION lib/systemd/user)
install(FILES data/corvilane.desktop DESTINATION share/applications)
install(FILES data/icons/tray_icon_black.svg DESTINATION share/icons/hicolor/scalable/apps RENAME corvilane.svg)
foreach(size 16 22 32 48)
  install(FILES data/icons/tray_icon_black_${size}.png
    DESTINATION share/icons/hicolor/${size}x${size}/apps RENAME corvilane.png)
endforeach()
install(FILES README.md DESTINATION share/doc/corvilane)

# The firewalls' profiles for the Wi-Fi port and mDNS: "sudo ufw allow
# corviLane", "sudo firewall-cmd --permanent --add-service=corvilane".
foreach(profile corvilane.ufw corvilane.xml)
  configure_file(data/firewall/${profile}.in ${CMAKE_BINARY_DIR}/firewall/${profile} @ONLY)
endforeach()
install(FILES ${CMAKE_BINARY_DIR}/firewall/corvilane.ufw DESTINATION /etc/ufw/applications.d RENAME corvilane)
install(FILES ${CMAKE_BINARY_DIR}/firewall/corvilane.xml DESTINATION lib/firewalld/services)

# The tray program finds the script folders in <prefix>/share/corvilane, and in
# a build tree in <build>/share/corvilane, beside its src folder.
foreach(script corviLanePro corviLane8)
  if(IS_DIRECTORY "${CORVILANE_LIVE_SCRIPTS}/${script}")
    install(DIRECTORY "${CORVILANE_LIVE_SCRIPTS}/${script}" DESTINATION share/corvilane)
    file(COPY "${CORVILANE_LIVE_SCRIPTS}/${script}" DESTINATION "${CMAKE_BINARY_DIR}/share/corvilane")
  endif()
endforeach()

# Only what is installed is built for the package (see scripts/build-package).
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY TRUE)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME corvilane)
set(CPACK_PACKAGE_VENDOR corviLane)
set(CPACK_PACKAGE_CONTACT "corviLane developers <corvilane@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Play Ableton Live from a tablet: the corviLane server and tray program")
set(CPACK_PACKAGE_DESCRIPTION "corviLane joins the corviLane tablet app (over Wi-Fi, advertised by DNS-SD) \
and the corviLane script inside Ableton Live, relaying their OSC messages both ways. The tray program shows \
whether Live's script answers and how many tablets are connected, switches studio mode and installs the Live \
script; corvilane-server runs the same server without a desktop.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "avahi-daemon, libqt6svg6")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "jackd2")
set(CPACK_STRIP_FILES ON)
# The ufw profile lives in /etc: the administrator's changes to it are kept.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/data/firewall/conffiles)
include(CPack)
