# The portable build (KORVO_PORTABLE): every shared library of ours links the C++ runtime
# statically and keeps it to itself (--exclude-libs: no std:: symbol of ours is exported or
# interposed; --gc-sections drops the runtime's unused parts, a quarter of the wheel), takes the
# unwinder from the system's libgcc_s, and links the glibc compatibility
# object, which stands in for the few glibc entry points newer than KORVO_GLIBC_MAX that the
# compiler's static runtime calls. After each link this file, run as a script, reads the
# library's dynamic symbols and fails the build on any newer glibc version or any libstdc++ one.
#
# As a script: cmake -DLIBRARY=<file> -DGLIBC_MAX=<x.y> -DOBJDUMP=<objdump> -P portable.cmake
if(CMAKE_SCRIPT_MODE_FILE)
  execute_process(COMMAND ${OBJDUMP} -T -p ${LIBRARY} OUTPUT_VARIABLE dump RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "objdump could not read ${LIBRARY}")
  endif()
  string(REPLACE "\n" ";" lines "${dump}")
  set(offending "")
  foreach(line IN LISTS lines)
    if(line MATCHES "NEEDED +(libstdc\\+\\+[^ ]*)")
      list(APPEND offending "needs ${CMAKE_MATCH_1}")
    elseif(line MATCHES "\\*UND\\*.*[( ](GLIBC_([0-9.]+)|GLIBCXX_[0-9.]+|CXXABI_[0-9.]+)\\)? +([^ ]+)$")
      set(version ${CMAKE_MATCH_1})
      set(symbol ${CMAKE_MATCH_3})
      if(NOT CMAKE_MATCH_2 OR CMAKE_MATCH_2 VERSION_GREATER GLIBC_MAX)
        list(APPEND offending "${symbol} (${version})")
      endif()
    endif()
  endforeach()
  if(offending)
    list(JOIN offending "\n  " offending)
    message(FATAL_ERROR "${LIBRARY} needs more than glibc ${GLIBC_MAX} and libgcc_s:\n  ${offending}\n"
      "(define the glibc ones in src/platform/glibc_compat.cpp)")
  endif()
  return()
endif()

if(KORVO_PORTABLE)
  add_library(korvo_glibc_compat OBJECT src/platform/glibc_compat.cpp)
endif()

# korvo_portable_library(TARGET): a shared library or extension module of ours, as above in a
# portable build; nothing otherwise.
function(korvo_portable_library target)
  if(NOT KORVO_PORTABLE)
    return()
  endif()
  target_link_options(${target} PRIVATE -static-libstdc++ -Wl,--exclude-libs,ALL -Wl,--gc-sections)
  target_link_libraries(${target} PRIVATE korvo_glibc_compat)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_COMMAND} -DLIBRARY=$<TARGET_FILE:${target}> -DGLIBC_MAX=${KORVO_GLIBC_MAX}
      -DOBJDUMP=${CMAKE_OBJDUMP} -P ${PROJECT_SOURCE_DIR}/cmake/portable.cmake
    VERBATIM)
endfunction()
