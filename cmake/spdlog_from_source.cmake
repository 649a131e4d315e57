# spdlog built from its source tree (KORVO_SPDLOG_SOURCE_DIR): for targets without a packaged
# spdlog (mingw-w64) ONE shared library, and for the portable wheel (KORVO_PORTABLE) objects linked
# into libquillet, which exports spdlog's API. Either way libquillet and its users share one copy:
# header-only spdlog would give every module its own registry.
# fmt is used header-only from KORVO_FMT_INCLUDE_DIR; only its fmt/ folder is put on the include
# path, so the host's other headers never reach the cross-compiler.
set(KORVO_FMT_INCLUDE_DIR /usr/include CACHE PATH "Folder holding fmt/ (headers, used header-only)")
if(NOT EXISTS ${KORVO_FMT_INCLUDE_DIR}/fmt/format.h)
  message(FATAL_ERROR "no fmt/format.h under KORVO_FMT_INCLUDE_DIR (${KORVO_FMT_INCLUDE_DIR})")
endif()
set(korvo_fmt_only ${CMAKE_BINARY_DIR}/fmt-include)
file(MAKE_DIRECTORY ${korvo_fmt_only})
file(CREATE_LINK ${KORVO_FMT_INCLUDE_DIR}/fmt ${korvo_fmt_only}/fmt SYMBOLIC)

set(korvo_spdlog_src ${KORVO_SPDLOG_SOURCE_DIR}/src)
if(KORVO_PORTABLE)
  set(korvo_spdlog_kind OBJECT)
else()
  set(korvo_spdlog_kind SHARED)
endif()
add_library(spdlog ${korvo_spdlog_kind}
  ${korvo_spdlog_src}/spdlog.cpp
  ${korvo_spdlog_src}/stdout_sinks.cpp
  ${korvo_spdlog_src}/color_sinks.cpp
  ${korvo_spdlog_src}/file_sinks.cpp
  ${korvo_spdlog_src}/async.cpp
  ${korvo_spdlog_src}/cfg.cpp)
add_library(spdlog::spdlog ALIAS spdlog)
target_include_directories(spdlog SYSTEM PUBLIC ${KORVO_SPDLOG_SOURCE_DIR}/include ${korvo_fmt_only})
# What every user of this spdlog compiles with; korvo's package config hands the same to producers.
set(KORVO_SPDLOG_DEFINITIONS SPDLOG_COMPILED_LIB SPDLOG_SHARED_LIB SPDLOG_FMT_EXTERNAL FMT_HEADER_ONLY)
if(WIN32)
  # Records end in "\n" on every platform (spdlog's Windows default is "\r\n"), so log files and
  # console output are byte-for-byte the same on both.
  list(APPEND KORVO_SPDLOG_DEFINITIONS "SPDLOG_EOL=\"\\n\"")
endif()
target_compile_definitions(spdlog PUBLIC ${KORVO_SPDLOG_DEFINITIONS} PRIVATE spdlog_EXPORTS)
target_link_libraries(spdlog PUBLIC Threads::Threads)
# Not our code: its warnings never fail our build.
target_compile_options(spdlog PRIVATE -w)
# spdlog marks its classes for export but not its class templates' instantiations (the sinks over
# null_mutex that single-threaded loggers use): like Debian's libspdlog, everything but inline
# functions is exported, so a producer links what it would link from the packaged spdlog.
set_target_properties(spdlog PROPERTIES CXX_VISIBILITY_PRESET default)
