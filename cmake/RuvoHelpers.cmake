# Helpers that every folder uses to add tests and fuzz targets the same way.
#
# Two kinds of test:
#  - pure tests (the default): logic over bytes, text and files of their own.
#    They run as any user, without root or namespaces, with HOME, TMPDIR and the
#    XDG folders pointed at a fresh folder of the build tree (label "pure").
#  - ISOLATED tests: those that touch the fixed product paths, namespaces,
#    emulated devices, local network ports or CUPS. They run through
#    scripts/isolated-run (private /opt, /tmp and network; needs root) and are
#    skipped without root (label "isolated").

set(RUVO_ISOLATED_RUN ${PROJECT_SOURCE_DIR}/scripts/isolated-run)
set(RUVO_BUILD_TREE_RUN ${PROJECT_SOURCE_DIR}/scripts/build-tree-run)
set(RUVO_FUZZ_REPLAY_MAIN ${PROJECT_SOURCE_DIR}/cmake/fuzz_replay_main.cpp)

# Registers an already defined executable as a test.
#   ruvo_register_test(<name> COMMAND <cmd...> [ISOLATED] [LABELS ...] [TIMEOUT s]
#                      [ENVIRONMENT VAR=value ...])
function(ruvo_register_test name)
  cmake_parse_arguments(ARG "ISOLATED" "TIMEOUT" "COMMAND;LABELS;ENVIRONMENT" ${ARGN})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 120)
  endif()
  if(ARG_ISOLATED)
    add_test(NAME ${name} COMMAND ${RUVO_ISOLATED_RUN} ${ARG_COMMAND})
    set_tests_properties(${name} PROPERTIES SKIP_RETURN_CODE 77)
    list(APPEND ARG_LABELS isolated)
  else()
    add_test(NAME ${name}
             COMMAND ${RUVO_BUILD_TREE_RUN} ${CMAKE_CURRENT_BINARY_DIR}/test-homes/${name} ${ARG_COMMAND})
    list(APPEND ARG_LABELS pure)
  endif()
  set_tests_properties(${name} PROPERTIES
    TIMEOUT ${ARG_TIMEOUT}
    LABELS "${ARG_LABELS}"
    ENVIRONMENT "RUVO_SOURCE_DIR=${PROJECT_SOURCE_DIR};RUVO_BUILD_DIR=${PROJECT_BINARY_DIR};${ARG_ENVIRONMENT}")
endfunction()

# A QtTest program built from <name>.cpp (or SOURCES) in the current folder.
#   ruvo_add_qt_test(<name> [SOURCES ...] [LIBS ...] [ISOLATED] [GUI] [LABELS ...]
#                    [TIMEOUT s] [ENVIRONMENT ...])
# Without GUI the test runs on Qt's offscreen platform.
function(ruvo_add_qt_test name)
  cmake_parse_arguments(ARG "GUI;ISOLATED" "TIMEOUT" "SOURCES;LIBS;LABELS;ENVIRONMENT" ${ARGN})
  if(NOT ARG_SOURCES)
    set(ARG_SOURCES ${name}.cpp)
  endif()
  add_executable(${name} ${ARG_SOURCES})
  set_target_properties(${name} PROPERTIES AUTOMOC ON)
  target_link_libraries(${name} PRIVATE Qt5::Test ${ARG_LIBS})
  set(env ${ARG_ENVIRONMENT})
  if(NOT ARG_GUI)
    list(APPEND env QT_QPA_PLATFORM=offscreen)
  endif()
  set(isolated)
  if(ARG_ISOLATED)
    set(isolated ISOLATED)
  endif()
  ruvo_register_test(${name} COMMAND $<TARGET_FILE:${name}> ${isolated} LABELS ${ARG_LABELS}
                     TIMEOUT ${ARG_TIMEOUT} ENVIRONMENT ${env})
endfunction()

# A test program without Qt (the scan daemon's tests use their own small runner).
#   ruvo_add_plain_test(<name> [SOURCES ...] [LIBS ...] [ISOLATED] [LABELS ...]
#                       [TIMEOUT s] [ENVIRONMENT ...])
function(ruvo_add_plain_test name)
  cmake_parse_arguments(ARG "ISOLATED" "TIMEOUT" "SOURCES;LIBS;LABELS;ENVIRONMENT" ${ARGN})
  if(NOT ARG_SOURCES)
    set(ARG_SOURCES ${name}.cpp)
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS})
  set(isolated)
  if(ARG_ISOLATED)
    set(isolated ISOLATED)
  endif()
  ruvo_register_test(${name} COMMAND $<TARGET_FILE:${name}> ${isolated} LABELS ${ARG_LABELS}
                     TIMEOUT ${ARG_TIMEOUT} ENVIRONMENT ${ARG_ENVIRONMENT})
endfunction()

# A fuzz target defining LLVMFuzzerTestOneInput. With clang it is a libFuzzer
# binary that CTest runs for RUNS executions from the seed folder; with other
# compilers it replays the seed folder once, so the target always builds and runs.
#   ruvo_add_fuzz_target(<name> SOURCES ... [LIBS ...] [SEEDS dir] [RUNS n] [ISOLATED])
function(ruvo_add_fuzz_target name)
  cmake_parse_arguments(ARG "ISOLATED" "SEEDS;RUNS" "SOURCES;LIBS" ${ARGN})
  if(NOT ARG_RUNS)
    set(ARG_RUNS 200000)
  endif()
  if(NOT ARG_SEEDS)
    set(ARG_SEEDS ${CMAKE_CURRENT_SOURCE_DIR}/fuzz_seeds/${name})
  endif()
  set(isolated)
  if(ARG_ISOLATED)
    set(isolated ISOLATED)
  endif()
  if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    add_executable(${name} ${ARG_SOURCES})
    target_compile_options(${name} PRIVATE -fsanitize=fuzzer)
    target_link_options(${name} PRIVATE -fsanitize=fuzzer)
    target_link_libraries(${name} PRIVATE ${ARG_LIBS})
    ruvo_register_test(${name} COMMAND ${PROJECT_SOURCE_DIR}/scripts/run-fuzz $<TARGET_FILE:${name}> ${ARG_RUNS} ${ARG_SEEDS}
                       ${isolated} LABELS fuzz TIMEOUT 600)
  else()
    add_executable(${name} ${ARG_SOURCES} ${RUVO_FUZZ_REPLAY_MAIN})
    target_link_libraries(${name} PRIVATE ${ARG_LIBS})
    ruvo_register_test(${name} COMMAND $<TARGET_FILE:${name}> ${ARG_SEEDS} ${isolated} LABELS fuzz)
  endif()
endfunction()

# Writes <build>/target-graph.tsv: one line per target of this project with its
# folder (relative to the source tree), its type and the targets it links
# directly. tests/check_architecture.py compares it with docs/ARCHITECTURE.md.
function(ruvo_collect_targets directory out)
  get_property(targets DIRECTORY ${directory} PROPERTY BUILDSYSTEM_TARGETS)
  get_property(children DIRECTORY ${directory} PROPERTY SUBDIRECTORIES)
  foreach(child IN LISTS children)
    ruvo_collect_targets(${child} child_targets)
    list(APPEND targets ${child_targets})
  endforeach()
  set(${out} ${targets} PARENT_SCOPE)
endfunction()

function(ruvo_write_target_graph)
  ruvo_collect_targets(${PROJECT_SOURCE_DIR} targets)
  set(lines "")
  foreach(target IN LISTS targets)
    get_target_property(type ${target} TYPE)
    if(type STREQUAL "UTILITY")
      continue()
    endif()
    get_target_property(folder ${target} SOURCE_DIR)
    file(RELATIVE_PATH folder ${PROJECT_SOURCE_DIR} ${folder})
    set(links "")
    foreach(property IN ITEMS LINK_LIBRARIES INTERFACE_LINK_LIBRARIES)
      get_target_property(values ${target} ${property})
      if(values)
        foreach(value IN LISTS values)
          # Only this project's own targets: not Qt, libusb or other packages.
          if(TARGET ${value} AND NOT value MATCHES "::")
            list(APPEND links ${value})
          endif()
        endforeach()
      endif()
    endforeach()
    list(REMOVE_DUPLICATES links)
    list(JOIN links " " links)
    string(APPEND lines "${target}\t${folder}\t${type}\t${links}\n")
  endforeach()
  file(WRITE ${PROJECT_BINARY_DIR}/target-graph.tsv "${lines}")
endfunction()
