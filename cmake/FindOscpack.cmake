# Debian's oscpack ships neither pkg-config data nor a CMake package: find the
# headers (included as <oscpack/osc/...>) and the library by hand.
find_path(OSCPACK_INCLUDE_DIR oscpack/osc/OscReceivedElements.h REQUIRED)
find_library(OSCPACK_LIBRARY oscpack REQUIRED)
add_library(oscpack::oscpack UNKNOWN IMPORTED)
set_target_properties(oscpack::oscpack PROPERTIES
  IMPORTED_LOCATION "${OSCPACK_LIBRARY}"
  INTERFACE_SYSTEM_INCLUDE_DIRECTORIES "${OSCPACK_INCLUDE_DIR}")
