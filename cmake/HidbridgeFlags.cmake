# Warnings for everything we build; the library itself also goes without exceptions and RTTI.
add_library(hb_warnings INTERFACE)
target_compile_options(hb_warnings INTERFACE -Wall -Wextra -Werror)

add_library(hb_library_flags INTERFACE)
target_link_libraries(hb_library_flags INTERFACE hb_warnings)
target_compile_options(hb_library_flags INTERFACE
  $<$<COMPILE_LANGUAGE:CXX>:-fno-exceptions -fno-rtti>)

find_package(Threads REQUIRED)

if(HIDBRIDGE_SANITIZE)
  add_compile_options(-fsanitize=${HIDBRIDGE_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${HIDBRIDGE_SANITIZE})
  # GCC expands a bounded memcpy inline after ThreadSanitizer has instrumented the code, so
  # the copy is invisible to it (a descriptor patched by another thread went unreported):
  # keep the copies as calls, which the runtime checks.
  if(HIDBRIDGE_SANITIZE MATCHES "thread" AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    add_compile_options(-fno-builtin-memcpy -fno-builtin-memmove -fno-builtin-memset)
  endif()
endif()

# hb_module(name SOURCES ... [HEADERS ...]): one object module of the library.
# HEADERS are installed with the library for applications.
function(hb_module name)
  cmake_parse_arguments(M "" "" "SOURCES;HEADERS;DEPENDS" ${ARGN})
  add_library(${name} OBJECT ${M_SOURCES})
  target_link_libraries(${name} PUBLIC hb_library_flags hb_includes Threads::Threads ${M_DEPENDS})
  set_property(GLOBAL APPEND PROPERTY HB_MODULES ${name})
  foreach(h ${M_HEADERS})
    set_property(GLOBAL APPEND PROPERTY HB_PUBLIC_HEADERS ${CMAKE_CURRENT_SOURCE_DIR}/${h})
  endforeach()
endfunction()

# One include path set for the whole library: the module folders hold their own headers.
add_library(hb_includes INTERFACE)
target_include_directories(hb_includes INTERFACE
  $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/lib_poll/include>
  $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/platform>
  $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/core>
  $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/display>
  $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/net>
  $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/util>
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}/hidbridge>)
