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

# The real program under Xvfb with a tray host, its menu read back by OCR; it
# runs the whole server, which takes the fixed script ports. The screenshots
# land in the build tree.
add_test(NAME desktop.tray_menu
  COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/desktop/tray-menu-test.sh $<TARGET_FILE:corvilane-tray> ${CMAKE_BINARY_DIR}/screenshots)
set_tests_properties(desktop.tray_menu PROPERTIES RESOURCE_LOCK fixed-ports TIMEOUT 120)
