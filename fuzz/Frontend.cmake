# The installer's readers of Info.plist files and executables' version blocks.
add_executable(corvilane_fuzz_live_version LiveVersionFuzz.cpp)
target_link_libraries(corvilane_fuzz_live_version PRIVATE corvilane_tray)
target_link_options(corvilane_fuzz_live_version PRIVATE -fsanitize=fuzzer)
corvilane_warnings(corvilane_fuzz_live_version)

# The Live script's .zip as the installer lists and unpacks it.
add_executable(corvilane_fuzz_script_archive ScriptArchiveFuzz.cpp)
target_link_libraries(corvilane_fuzz_script_archive PRIVATE corvilane_tray)
target_link_options(corvilane_fuzz_script_archive PRIVATE -fsanitize=fuzzer)
corvilane_warnings(corvilane_fuzz_script_archive)
