# drosil_library(NAME [WHOLE_ARCHIVE] SOURCES ... [PUBLIC ...] [PRIVATE ...])
#   A static library whose headers are included from the tree's root.
#   PUBLIC: what the library's own headers include, so every consumer compiles
#   against it too. PRIVATE: what only its sources use. A static library still
#   brings its PRIVATE dependencies to the link of every consumer; what they
#   do not pass on is their include folders, definitions and options, so a
#   consumer cannot come to rely on them unnoticed.
#   WHOLE_ARCHIVE: for libraries whose objects register themselves at
#   static-initialisation time (os::runtime classes). The archive is built as
#   NAME_archive and NAME is an interface target that links it whole, so every
#   consumer, direct or transitive, keeps the registrations.
function(drosil_library name)
  cmake_parse_arguments(ARG "WHOLE_ARCHIVE" "" "SOURCES;PUBLIC;PRIVATE;DEPS" ${ARGN})
  if(ARG_DEPS)
    message(FATAL_ERROR "drosil_library(${name}): DEPS is split into PUBLIC (what the headers include) "
                        "and PRIVATE (what only the sources use)")
  endif()
  if(ARG_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "drosil_library(${name}): unexpected arguments ${ARG_UNPARSED_ARGUMENTS}")
  endif()
  set(target ${name})
  if(ARG_WHOLE_ARCHIVE)
    set(target ${name}_archive)
  endif()
  add_library(${target} STATIC ${ARG_SOURCES})
  target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${target} PUBLIC ${ARG_PUBLIC} PRIVATE ${ARG_PRIVATE})
  if(ARG_WHOLE_ARCHIVE)
    add_library(${name} INTERFACE)
    target_link_libraries(${name} INTERFACE "$<LINK_LIBRARY:WHOLE_ARCHIVE,${name}_archive>")
  endif()
endfunction()

# drosil_test(NAME SOURCES ... [DEPS ...] [TIMEOUT seconds])
#   A GoogleTest executable registered with CTest as one test per case.
function(drosil_test name)
  if(NOT DROSIL_BUILD_TESTS)
    return()
  endif()
  cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;DEPS" ${ARGN})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 120)
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  # Tests may read fixtures and shipped resources from the source tree.
  target_compile_definitions(${name} PRIVATE DROSIL_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} os_dispatch_queue_checks GTest::gtest GTest::gmock
                                         GTest::gtest_main)
  include(GoogleTest)
  set(properties TIMEOUT ${ARG_TIMEOUT})
  if(DROSIL_SANITIZER_ENVIRONMENT)
    list(APPEND properties ENVIRONMENT "${DROSIL_SANITIZER_ENVIRONMENT}")
  endif()
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES ${properties})
endfunction()

# drosil_bench(NAME SOURCES ... [DEPS ...])
function(drosil_bench name)
  if(NOT DROSIL_BUILD_BENCH)
    return()
  endif()
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} benchmark::benchmark)
endfunction()
