# vornel_program(<program> LIBRARY <lib> SOURCES <logic sources...>)
#
# A program is its logic, built as a static library that the native tests link against the
# in-memory platform, and, on Windows, a two-line main.cpp that runs that logic on the real
# platform, with a version resource. The executables land in <build>/bin.

set(VORNEL_DESCRIPTION_VornelAgentService "Agent service host")
set(VORNEL_DESCRIPTION_InstallVornelAgentService "Installs or updates an agent service")
set(VORNEL_DESCRIPTION_StartVornelAgentService "Starts an agent service")
set(VORNEL_DESCRIPTION_StopVornelAgentService "Stops an agent service")
set(VORNEL_DESCRIPTION_UninstallVornelAgentService "Removes an agent service")
set(VORNEL_DESCRIPTION_VornelAgentServiceInfo "Answers questions about an agent service")

function(vornel_program program)
  cmake_parse_arguments(ARG "" "LIBRARY" "SOURCES" ${ARGN})
  add_library(${ARG_LIBRARY} STATIC ${ARG_SOURCES})
  target_link_libraries(${ARG_LIBRARY} PUBLIC vornel_common PRIVATE vornel_warnings)
  set_property(GLOBAL APPEND PROPERTY VORNEL_PROGRAM_LIBRARIES ${ARG_LIBRARY})
  if(WIN32)
    set(VORNEL_PROGRAM ${program})
    set(VORNEL_DESCRIPTION "${VORNEL_DESCRIPTION_${program}}")
    if(NOT VORNEL_DESCRIPTION)
      set(VORNEL_DESCRIPTION ${program})
    endif()
    configure_file(${PROJECT_SOURCE_DIR}/cmake/version.rc.in ${CMAKE_CURRENT_BINARY_DIR}/${program}_version.rc @ONLY)
    add_executable(${program} main.cpp ${CMAKE_CURRENT_BINARY_DIR}/${program}_version.rc)
    target_link_libraries(${program} PRIVATE ${ARG_LIBRARY} vornel_platform_win32 vornel_warnings)
    install(TARGETS ${program} RUNTIME DESTINATION bin)
    set_property(GLOBAL APPEND PROPERTY VORNEL_PROGRAMS ${program})
  endif()
endfunction()
