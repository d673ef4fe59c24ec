# The tray program: the framework-free logic (the delegate with the computer's
# name for USB sessions, and the Live script installer), its Qt view, and the
# executable that runs the server on a thread of its own.
find_package(Qt6 REQUIRED COMPONENTS Widgets)

set(FRONTEND_DIR ${CMAKE_CURRENT_LIST_DIR}/corviLaneServer/corviLane)

add_library(corvilane_installer STATIC
  ${FRONTEND_DIR}/LiveVersion.cpp
  ${FRONTEND_DIR}/LocalFileSystem.cpp
  ${FRONTEND_DIR}/ReinstallWindow.cpp
)
target_include_directories(corvilane_installer PUBLIC ${FRONTEND_DIR})
target_link_libraries(corvilane_installer PUBLIC corvilane_plist)
corvilane_warnings(corvilane_installer)

add_library(corvilane_trayview STATIC
  ${FRONTEND_DIR}/InstallerDialog.cpp
  ${FRONTEND_DIR}/QtPlatform.cpp
  ${FRONTEND_DIR}/RegistryServerStatus.cpp
  ${FRONTEND_DIR}/TrayApplication.cpp
  ${FRONTEND_DIR}/TrayMenu.cpp
)
target_link_libraries(corvilane_trayview PUBLIC corvilane corvilane_appdelegate corvilane_installer Qt6::Widgets)
corvilane_warnings(corvilane_trayview)

add_executable(corvilane-tray ${FRONTEND_DIR}/TrayMain.cpp)
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
