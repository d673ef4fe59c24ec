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
