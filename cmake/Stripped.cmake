# A Windows program is shipped stripped, its debug information kept beside it
# in NAME.exe.debug, which the program names (.gnu_debuglink) so that gdb
# finds it there. The statically linked C++ runtime brings its own debug
# sections, about half of the program's bytes.
function(kivra_ship_stripped target)
  if(NOT WIN32)
    return()
  endif()
  if(NOT CMAKE_OBJCOPY OR NOT CMAKE_STRIP)
    message(FATAL_ERROR "objcopy and strip of the Windows toolchain not found")
  endif()
  set(exe $<TARGET_FILE:${target}>)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_OBJCOPY} --only-keep-debug ${exe} ${exe}.debug
    COMMAND ${CMAKE_STRIP} --strip-all ${exe}
    COMMAND ${CMAKE_OBJCOPY} --add-gnu-debuglink=${exe}.debug ${exe}
    BYPRODUCTS ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/${target}${CMAKE_EXECUTABLE_SUFFIX}.debug
    VERBATIM)
endfunction()
