# The tray program: its logic without Qt (the status menu and the Live script
# installer), its Qt view, and the executable that runs the server on a thread
# of its own.
find_package(Qt6 REQUIRED COMPONENTS Widgets Concurrent)

pkg_check_modules(LIBARCHIVE REQUIRED IMPORTED_TARGET libarchive)
corvilane_layer(corvilane_tray ${PLATFORM_DIR}/tray
  SOURCES AppDelegate.cpp LiveDiscovery.cpp LiveVersion.cpp LocalFileSystem.cpp ReinstallWindow.cpp ScriptArchive.cpp
  DEPENDS corvilane_runtime corvilane_plist PkgConfig::LIBARCHIVE)
# The check of corvilane-server (--check) looks for Live as the installer does.
corvilane_layer(corvilane_probes ${PLATFORM_DIR}/probes
  SOURCES AvahiBrowse.cpp CheckMain.cpp LinuxProbes.cpp PortHolder.cpp ProgramRun.cpp SystemTools.cpp
  DEPENDS corvilane_diagnosis corvilane_linux corvilane_tray)
# corvilane-server's command line; its main is the executable's one source.
corvilane_layer(corvilane_service ${PLATFORM_DIR}/service
  SOURCES ServerOptions.cpp
  DEPENDS corvilane_probes)
target_compile_definitions(corvilane_service PRIVATE CORVILANE_VERSION="${PROJECT_VERSION}")
corvilane_layer(corvilane_trayview ${PLATFORM_DIR}/trayview
  SOURCES InstallerDialog.cpp QtPlatform.cpp RegistryServerStatus.cpp StatusWindow.cpp TrayApplication.cpp TrayMenu.cpp TrayOptions.cpp
  DEPENDS corvilane_tray corvilane_linux Qt6::Widgets Qt6::Concurrent)
target_compile_definitions(corvilane_trayview PRIVATE CORVILANE_VERSION="${PROJECT_VERSION}")

add_executable(corvilane-tray ${PLATFORM_DIR}/trayview/TrayMain.cpp)
set(TRAY_ICONS "")
foreach(colour black white)
  list(APPEND TRAY_ICONS tray_icon_${colour}.svg)
  foreach(size 16 22 32 48)
    list(APPEND TRAY_ICONS tray_icon_${colour}_${size}.png)
  endforeach()
endforeach()
list(TRANSFORM TRAY_ICONS PREPEND ${PROJECT_SOURCE_DIR}/data/icons/)
qt_add_resources(corvilane-tray tray_icons PREFIX /corvilane BASE ${PROJECT_SOURCE_DIR}/data/icons FILES ${TRAY_ICONS})
target_link_libraries(corvilane-tray PRIVATE corvilane_trayview)
corvilane_warnings(corvilane-tray)
install(TARGETS corvilane-tray RUNTIME DESTINATION bin)
