# vornel_program(<program> LIBRARY <lib> SOURCES <logic sources...>)
#
# A program is its logic, built as a static library that the native tests link against the
# in-memory platform, and, on Windows, a two-line main.cpp that runs that logic on the real
# platform, with a version resource and the application manifest. The executables land in
# <build>/bin.
#
# vornel_manifest(<target>) gives any other Windows program (the sample agent, the test
# tools) the same manifest.

# One application manifest for every program: UTF-8 as the active code page, the supported
# Windows versions, asInvoker. mingw-w64 takes it as a resource of type 24 (RT_MANIFEST), id 1;
# MSVC's linker embeds a manifest of its own, so there the file is a source of the target and
# the linker merges it in (a type 24 resource would clash with the linker's).
set(VORNEL_MANIFEST ${CMAKE_CURRENT_LIST_DIR}/vornel.manifest)
set(VORNEL_CMAKE_DIR ${CMAKE_CURRENT_LIST_DIR})
if(MSVC)
  set(VORNEL_MANIFEST_RESOURCE "")
else()
  set(VORNEL_MANIFEST_RESOURCE "1 24 \"${VORNEL_MANIFEST}\"")
endif()

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
    vornel_manifest_source(${program} ${CMAKE_CURRENT_BINARY_DIR}/${program}_version.rc)
    target_link_libraries(${program} PRIVATE ${ARG_LIBRARY} vornel_platform_win32 vornel_warnings)
    install(TARGETS ${program} RUNTIME DESTINATION bin)
    set_property(GLOBAL APPEND PROPERTY VORNEL_PROGRAMS ${program})
  endif()
endfunction()

# The manifest reaches the program: with MSVC as a source, otherwise through the resource
# script rc, which then has to be compiled again when the manifest changes.
function(vornel_manifest_source target rc)
  if(MSVC)
    target_sources(${target} PRIVATE ${VORNEL_MANIFEST})
  else()
    set_source_files_properties(${rc} PROPERTIES OBJECT_DEPENDS ${VORNEL_MANIFEST})
  endif()
endfunction()

function(vornel_manifest target)
  if(NOT WIN32)
    return()
  endif()
  if(MSVC)
    vornel_manifest_source(${target} "")
  else()
    set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}_manifest.rc)
    configure_file(${VORNEL_CMAKE_DIR}/manifest.rc.in ${rc} @ONLY)
    target_sources(${target} PRIVATE ${rc})
    vornel_manifest_source(${target} ${rc})
  endif()
endfunction()
