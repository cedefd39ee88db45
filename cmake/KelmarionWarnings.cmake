# Warnings are private to each target: an interface target would land in the export set.
function(kelmarion_set_warnings target)
  target_compile_options(${target} PRIVATE
    -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wcast-qual -Wformat=2
    -Wmissing-declarations
    # Options are aggregates filled with designated initializers that leave the
    # optional members out on purpose; g++ 12 would warn on every such call.
    -Wno-missing-field-initializers)
  if(KELMARION_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()

# The heavy third-party headers, compiled once per target instead of once per file.
function(kelmarion_precompile_headers target)
  target_precompile_headers(${target} PRIVATE
    <nlohmann/json.hpp> <asio/awaitable.hpp> <asio/co_spawn.hpp> <asio/io_context.hpp>
    <fmt/format.h> <spdlog/spdlog.h> ${ARGN})
endfunction()
