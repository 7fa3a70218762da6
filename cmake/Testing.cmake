# gu_add_test(NAME SOURCES src... [LIBS lib...] [ENV VAR=value...] [TIMEOUT s] [GUI])
# One test program, one CTest entry. On the win32 build CTest runs it through Wine
# (CMAKE_CROSSCOMPILING_EMULATOR). GUI marks programs that open windows: the test
# command runs the win32 suite under Xvfb.
function(gu_add_test name)
  cmake_parse_arguments(T "GUI;NO_GTEST_MAIN" "TIMEOUT" "SOURCES;LIBS;ENV;ARGS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS})
  if(T_NO_GTEST_MAIN)
    target_link_libraries(${name} PRIVATE GTest::gtest)
  else()
    target_link_libraries(${name} PRIVATE GTest::gtest_main)
  endif()
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  add_test(NAME ${name} COMMAND ${name} ${T_ARGS})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 600)
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT})
  if(T_ENV)
    set_tests_properties(${name} PROPERTIES ENVIRONMENT "${T_ENV}")
  endif()
  if(T_GUI)
    set_tests_properties(${name} PROPERTIES LABELS gui)
  endif()
endfunction()

# gu_add_fuzzer(NAME SOURCES src... LIBS lib... CORPUS dir [SECONDS n])
# A libFuzzer target (asan build with clang only) plus a short CTest run over its
# committed seed corpus.
function(gu_add_fuzzer name)
  cmake_parse_arguments(F "" "CORPUS;SECONDS" "SOURCES;LIBS" ${ARGN})
  if(NOT GU_FUZZ)
    return()
  endif()
  add_executable(${name} ${F_SOURCES})
  target_link_libraries(${name} PRIVATE ${F_LIBS})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  target_compile_options(${name} PRIVATE -fsanitize=fuzzer)
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  if(NOT F_SECONDS)
    set(F_SECONDS 30)
  endif()
  set(work ${CMAKE_BINARY_DIR}/fuzz-work/${name})
  file(MAKE_DIRECTORY ${work})
  add_test(NAME ${name} COMMAND ${name} -max_total_time=${F_SECONDS} -rss_limit_mb=2048
           -timeout=20 ${work} ${F_CORPUS})
  set_tests_properties(${name} PROPERTIES TIMEOUT 900 LABELS fuzz)
endfunction()

# gu_fault_injection(TARGET)
# Compiles the file-system layers (platform file system and streams, the archive's OS
# layer) into a test program with their fault points armed (GU_FAULT_INJECTION) and the
# counter that drives them. The program's own objects come before every library on the
# link line, so the linker takes these definitions and never pulls the libraries' copies,
# which stay free of fault points, as in every shipped program.
function(gu_fault_injection target)
  target_sources(${target} PRIVATE
    ${PROJECT_SOURCE_DIR}/archive/fault_points.cpp
    ${PROJECT_SOURCE_DIR}/archive/os_win32.cpp
    ${PROJECT_SOURCE_DIR}/platform/file_system.cpp
    ${PROJECT_SOURCE_DIR}/platform/file_stream.cpp)
  target_compile_definitions(${target} PRIVATE GU_FAULT_INJECTION=1)
endfunction()
