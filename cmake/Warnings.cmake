# Warning flags for corviLane's own targets; third-party headers are included as
# system headers, so their warnings never fail the build.
function(corvilane_warnings target)
  target_compile_options(${target} PRIVATE
    -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wcast-align
    -Woverloaded-virtual -Wformat=2 -Wimplicit-fallthrough
    # Designated initialisers may leave members at their defaults.
    -Wno-missing-field-initializers)
  if(CORVILANE_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
