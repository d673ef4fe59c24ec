# The tray program's logic; the menu's reads of a running server (the whole
# server, on the fixed ports); the real program under Xvfb with a tray host.
add_executable(corvilane_frontend_tests unit/AppDelegateTest.cpp unit/InstallerSourcesTest.cpp unit/ReinstallWindowTest.cpp)
add_executable(corvilane_frontend_server_tests integration/RegistryServerStatusTest.cpp)
target_link_libraries(corvilane_frontend_tests PRIVATE corvilane_tray)
target_link_libraries(corvilane_frontend_server_tests PRIVATE corvilane_trayview corvilane_test_support)
foreach(suite frontend frontend_server)
  target_include_directories(corvilane_${suite}_tests PRIVATE support)
  target_link_libraries(corvilane_${suite}_tests PRIVATE GTest::gtest_main)
  corvilane_warnings(corvilane_${suite}_tests)
endforeach()
gtest_discover_tests(corvilane_frontend_tests DISCOVERY_MODE PRE_TEST TEST_PREFIX "unit.")
gtest_discover_tests(corvilane_frontend_server_tests DISCOVERY_MODE PRE_TEST TEST_PREFIX "integration."
  PROPERTIES RESOURCE_LOCK fixed-ports TIMEOUT 120)
# Not under tsan: Qt and GLib hand work between their threads inside uninstrumented code.
if(NOT CORVILANE_SANITIZE STREQUAL "thread")
  add_test(NAME desktop.tray_menu COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/desktop/tray-menu-test.sh
    $<TARGET_FILE:corvilane-tray> ${CMAKE_BINARY_DIR}/screenshots)
  set_tests_properties(desktop.tray_menu PROPERTIES RESOURCE_LOCK fixed-ports TIMEOUT 120)
endif()
