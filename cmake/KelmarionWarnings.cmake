# Warnings are private to each target: an interface target would land in the export set.
function(kelmarion_set_warnings target)
  target_compile_options(${target} PRIVATE
    -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wcast-qual -Wformat=2
    -Wmissing-declarations)
  if(KELMARION_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
