# vornel_program(<program> LIBRARY <lib> SOURCES <logic sources...>)
#
# A program is its logic, built as a static library that the native tests link against the
# in-memory platform, and, on Windows, a two-line main.cpp that runs that logic on the real
# platform. The executables land in <build>/bin.
function(vornel_program program)
  cmake_parse_arguments(ARG "" "LIBRARY" "SOURCES" ${ARGN})
  add_library(${ARG_LIBRARY} STATIC ${ARG_SOURCES})
  target_link_libraries(${ARG_LIBRARY} PUBLIC vornel_common PRIVATE vornel_warnings)
  set_property(GLOBAL APPEND PROPERTY VORNEL_PROGRAM_LIBRARIES ${ARG_LIBRARY})
  if(WIN32)
    add_executable(${program} main.cpp ${VORNEL_VERSION_RESOURCE_${program}})
    target_link_libraries(${program} PRIVATE ${ARG_LIBRARY} vornel_platform_win32 vornel_warnings)
    install(TARGETS ${program} RUNTIME DESTINATION bin)
    set_property(GLOBAL APPEND PROPERTY VORNEL_PROGRAMS ${program})
  endif()
endfunction()
