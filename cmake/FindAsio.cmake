# Standalone Asio is header-only and ships no CMake package: find its header and
# wrap it in an imported target.
find_path(Asio_INCLUDE_DIR NAMES asio.hpp)
include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(Asio REQUIRED_VARS Asio_INCLUDE_DIR)
if(Asio_FOUND AND NOT TARGET asio::asio)
  add_library(asio::asio INTERFACE IMPORTED)
  set_target_properties(asio::asio PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES "${Asio_INCLUDE_DIR}"
    # Asio 1.22 picks aligned_alloc or operator new per translation unit, depending
    # on whether libstdc++'s config was seen first; units that disagree free a
    # coroutine frame with the wrong function. One choice for every unit.
    INTERFACE_COMPILE_DEFINITIONS "ASIO_NO_DEPRECATED;ASIO_DISABLE_STD_ALIGNED_ALLOC")
  find_package(Threads REQUIRED)
  set_property(TARGET asio::asio APPEND PROPERTY INTERFACE_LINK_LIBRARIES Threads::Threads)
endif()
mark_as_advanced(Asio_INCLUDE_DIR)
