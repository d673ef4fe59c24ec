# What a Debian package of corviLane holds besides the programs (which their
# own folders install): the user services, the desktop entry, the icons, the
# Live script folders when this tree has them, the manual pages and a README
# for users. Built with
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

# What Debian asks of every package, made at build time (target
# corvilane-package-docs): the manual pages and the changelog compressed, the
# copyright file in the machine-readable format, a README for users.
set(CORVILANE_MAINTAINER "corviLane developers <maintainers@corvilane.org>" CACHE STRING
  "The package's maintainer, as Name <address>")
set(docs ${CMAKE_BINARY_DIR}/package-docs)
set(compressed "")
foreach(page corvilane-server.1 corvilane-tray.1 corvilane-waveform.1)
  configure_file(data/man/${page} ${docs}/${page} @ONLY)
  list(APPEND compressed ${docs}/${page})
endforeach()
# The changelog is dated from the commit the package is built from: the HEAD
# commit's date when this tree is a git checkout of its own, else
# SOURCE_DATE_EPOCH (which CMake's TIMESTAMP reads itself), else the time of
# configuring. scripts/build-package configures every time it builds.
set(CORVILANE_CHANGELOG_DATE "")
find_package(Git QUIET)
if(GIT_FOUND)
  execute_process(COMMAND ${GIT_EXECUTABLE} rev-parse --show-toplevel WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
    OUTPUT_VARIABLE git_top OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE git_status ERROR_QUIET)
  file(REAL_PATH "${PROJECT_SOURCE_DIR}" source_top)
  if(git_status EQUAL 0 AND git_top STREQUAL source_top)
    execute_process(COMMAND ${GIT_EXECUTABLE} log -1 --format=%cD WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
      OUTPUT_VARIABLE CORVILANE_CHANGELOG_DATE OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  endif()
endif()
if(CORVILANE_CHANGELOG_DATE STREQUAL "")
  string(TIMESTAMP CORVILANE_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
endif()
configure_file(data/debian/changelog.in ${docs}/changelog @ONLY)
configure_file(data/debian/copyright.in ${docs}/copyright @ONLY)
list(APPEND compressed ${docs}/changelog)
set(gzipped "")
foreach(file ${compressed})
  add_custom_command(OUTPUT ${file}.gz COMMAND gzip -9nc ${file} > ${file}.gz DEPENDS ${file} VERBATIM)
  list(APPEND gzipped ${file}.gz)
endforeach()
add_custom_target(corvilane-package-docs ALL DEPENDS ${gzipped})
foreach(page corvilane-server.1 corvilane-tray.1 corvilane-waveform.1)
  install(FILES ${docs}/${page}.gz DESTINATION share/man/man1)
endforeach()
install(FILES ${docs}/changelog.gz ${docs}/copyright data/doc/README DESTINATION share/doc/corvilane)

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
set(CPACK_PACKAGE_CONTACT "${CORVILANE_MAINTAINER}")
# The summary, then the extended description, in lines short enough for Debian.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "play Ableton Live from a tablet
corviLane joins the corviLane tablet app (over Wi-Fi, advertised by DNS-SD,
and over USB through usbmuxd) and the corviLane script inside Ableton Live,
relaying their messages both ways, with two virtual MIDI sources and the
waveforms of Live's clips for the tablet's displays.
.
The tray program shows whether Live's script answers and how many tablets are
connected, switches studio mode and installs the Live script;
corvilane-server runs the same server without a desktop, and
corvilane-server --check tells why a tablet does not find the computer.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# DNS-SD for Wi-Fi tablets, usbmuxd for USB ones; the ALSA sequencer is in the
# kernel, JACK is the other MIDI system the sources can be on.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "avahi-daemon, usbmuxd, libqt6svg6")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "jackd2")
set(CPACK_STRIP_FILES ON)
# The ufw profile lives in /etc: the administrator's changes to it are kept.
# The maintainer scripts tell a running firewalld of its service, and remove
# the users' links to the user services once those are gone.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/data/debian/conffiles
  ${PROJECT_SOURCE_DIR}/data/debian/postinst ${PROJECT_SOURCE_DIR}/data/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
include(CPack)
