# The tray program's logic, its Qt view (offscreen) and the real program under
# Xvfb with a tray host.
add_executable(corvilane_frontend_tests
  unit/AppDelegateTest.cpp
  unit/ReinstallWindowTest.cpp
  unit/TrayViewTest.cpp
)
target_include_directories(corvilane_frontend_tests PRIVATE support)
target_link_libraries(corvilane_frontend_tests PRIVATE corvilane_trayview GTest::gtest_main)
corvilane_warnings(corvilane_frontend_tests)
gtest_discover_tests(corvilane_frontend_tests DISCOVERY_MODE PRE_TEST TEST_PREFIX "unit."
  PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen")

# The menu's reads of the running server: the whole server, on the fixed ports.
add_executable(corvilane_frontend_server_tests integration/RegistryServerStatusTest.cpp)
target_include_directories(corvilane_frontend_server_tests PRIVATE support)
target_link_libraries(corvilane_frontend_server_tests PRIVATE corvilane_trayview GTest::gtest_main)
corvilane_warnings(corvilane_frontend_server_tests)
gtest_discover_tests(corvilane_frontend_server_tests DISCOVERY_MODE PRE_TEST TEST_PREFIX "integration."
  PROPERTIES RESOURCE_LOCK fixed-ports)

# The real program under Xvfb with a tray host, its menu read back by OCR; it
# runs the whole server, which takes the fixed script ports. The screenshots
# land in the build tree. Not under the thread sanitizer: Qt's and GLib's own
# threads (the X event reader, the main loop's wakeups) hand work over through
# synchronisation inside those uninstrumented libraries, so every such handoff
# would be reported. The program's own threads, the server's and the menu's
# reads of it, are checked under it by the registry test above.
if(NOT CORVILANE_SANITIZE STREQUAL "thread")
  add_test(NAME desktop.tray_menu
    COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/desktop/tray-menu-test.sh $<TARGET_FILE:corvilane-tray> ${CMAKE_BINARY_DIR}/screenshots)
  set_tests_properties(desktop.tray_menu PROPERTIES RESOURCE_LOCK fixed-ports TIMEOUT 120)
endif()
