# Applies the sanitizer chosen with CORVILANE_SANITIZE to everything built here.
if(CORVILANE_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
elseif(CORVILANE_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(CORVILANE_SANITIZE STREQUAL "fuzzer")
  # Everything is instrumented for coverage; the harnesses link libFuzzer.
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
elseif(NOT CORVILANE_SANITIZE STREQUAL "")
  message(FATAL_ERROR "CORVILANE_SANITIZE must be empty, address, thread or fuzzer")
endif()
