# find_package(korvo 0.1): korvo's public headers and native logger library, for extension
# modules that use korvo's native tables. Point CMake at it with
#   -Dkorvo_DIR="$(python3.14 -c 'import korvo; print(korvo.cmake_dir())')"
#
# Targets:
#   korvo::headers  the headers of korvo/relaybus.hpp, korvo/spsc_queue.hpp and korvo/capsule.hpp;
#                   nothing to link (the bridge is reached at run time through capsules).
#   korvo::quillet  for a module that includes korvo/quillet.hpp: korvo::headers plus libquillet
#                   (whose types lay out Logger), spdlog and fmt, so that the module also logs
#                   through spdlog loggers. The module's build tree finds libquillet through its
#                   RPATH; an installed module finds it loaded already once korvo.quillet is
#                   imported (korvo.utils.relaybus imports it too).
include(CMakeFindDependencyMacro)
find_dependency(spdlog)
find_dependency(fmt)

get_filename_component(_korvo_prefix "${CMAKE_CURRENT_LIST_DIR}/../../.." ABSOLUTE)
if(NOT TARGET korvo::headers)
  add_library(korvo::headers INTERFACE IMPORTED)
  set_target_properties(korvo::headers PROPERTIES INTERFACE_INCLUDE_DIRECTORIES "${_korvo_prefix}/include")
endif()
if(NOT TARGET korvo::libquillet)
  add_library(korvo::libquillet SHARED IMPORTED)
  set_target_properties(korvo::libquillet PROPERTIES
    IMPORTED_LOCATION "${_korvo_prefix}/quillet/libquillet.so"
    IMPORTED_SONAME "libquillet.so"
    INTERFACE_INCLUDE_DIRECTORIES "${_korvo_prefix}/include"
    INTERFACE_LINK_LIBRARIES "spdlog::spdlog;fmt::fmt")
endif()
if(NOT TARGET korvo::quillet)
  add_library(korvo::quillet INTERFACE IMPORTED)
  set_target_properties(korvo::quillet PROPERTIES INTERFACE_LINK_LIBRARIES "korvo::headers;korvo::libquillet")
endif()
unset(_korvo_prefix)
set(korvo_FOUND TRUE)
