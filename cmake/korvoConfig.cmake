# find_package(korvo): korvo's public headers for extension modules that use korvo's native
# tables (header-only; everything else is reached at run time through capsules).
# Point CMake at it with -Dkorvo_DIR="$(python3.14 -c 'import korvo; print(korvo.cmake_dir())')".
get_filename_component(_korvo_prefix "${CMAKE_CURRENT_LIST_DIR}/../../.." ABSOLUTE)
if(NOT TARGET korvo::headers)
  add_library(korvo::headers INTERFACE IMPORTED)
  set_target_properties(korvo::headers PROPERTIES INTERFACE_INCLUDE_DIRECTORIES "${_korvo_prefix}/include")
endif()
set(korvo_FOUND TRUE)
unset(_korvo_prefix)
