# Shared compile settings and the layering rule.

set(VELLUMARK_WARNINGS -Wall -Wextra -Wpedantic $<$<BOOL:${VELLUMARK_WERROR}>:-Werror> -Wshadow -Wnon-virtual-dtor
    -Wold-style-cast -Wcast-align -Woverloaded-virtual -Wconversion -Wsign-conversion
    -Wdouble-promotion -Wformat=2 -Wimplicit-fallthrough
    # GCC 12's flow analysis reports std::variant and std::vector internals as
    # maybe-uninitialized once inlined at -O2: false positives in libstdc++.
    $<$<AND:$<CXX_COMPILER_ID:GNU>,$<NOT:$<CONFIG:Debug>>>:-Wno-maybe-uninitialized>)

if(VELLUMARK_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=address,undefined)
endif()

if(VELLUMARK_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

# vellumark_target(NAME) applies the project's warnings to a target.
function(vellumark_target name)
  target_compile_options(${name} PRIVATE ${VELLUMARK_WARNINGS})
  # GLib's log lines (g_message, g_debug, ...) carry the program's domain, so
  # G_MESSAGES_DEBUG=vellumark shows its debug lines.
  target_compile_definitions(${name} PRIVATE G_LOG_DOMAIN="vellumark")
endfunction()

# Plugins may link only the embedding and the platform API. Anything else is a
# layering fault and stops the configure step.
set(VELLUMARK_PLUGIN_ALLOWED_DEPS embedding platform_api)
function(vellumark_plugin name)
  cmake_parse_arguments(P "" "" "SOURCES;DEPS" ${ARGN})
  foreach(dep IN LISTS P_DEPS)
    if(NOT dep IN_LIST VELLUMARK_PLUGIN_ALLOWED_DEPS)
      message(FATAL_ERROR "plugin ${name} may not depend on ${dep}: plugins link only embedding and platform_api")
    endif()
  endforeach()
  add_library(${name} STATIC ${P_SOURCES})
  target_include_directories(${name} PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/include)
  target_link_libraries(${name} PUBLIC embedding platform_api)
  vellumark_target(${name})
  set_property(GLOBAL APPEND PROPERTY VELLUMARK_PLUGINS ${name})
endfunction()

# vellumark_test(NAME LABEL SOURCES... DEPS...) adds a GoogleTest executable
# registered with CTest under LABEL (unit, integration or host). Without
# BUILD_TESTING the target still exists, so folders may configure it, but it
# is never built and GoogleTest is not needed.
if(NOT BUILD_TESTING)
  foreach(gtest_target gtest gmock gtest_main)
    if(NOT TARGET GTest::${gtest_target})
      add_library(GTest::${gtest_target} INTERFACE IMPORTED)
    endif()
  endforeach()
endif()
function(vellumark_test name)
  cmake_parse_arguments(T "" "LABEL" "SOURCES;DEPS" ${ARGN})
  if(NOT BUILD_TESTING)
    add_executable(${name} EXCLUDE_FROM_ALL ${T_SOURCES})
    target_link_libraries(${name} PRIVATE ${T_DEPS})
    return()
  endif()
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_DEPS} GTest::gtest GTest::gmock GTest::gtest_main)
  vellumark_target(${name})
  target_compile_definitions(${name} PRIVATE VELLUMARK_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
                             VELLUMARK_BINARY_DIR="${PROJECT_BINARY_DIR}")
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES LABELS ${T_LABEL} TIMEOUT 300)
endfunction()
