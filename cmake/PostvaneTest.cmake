# pv_add_gtest(<target> LABEL <label> SOURCES <files...> LIBS <libs...> [TIMEOUT <s>])
# One GoogleTest binary; every test in it becomes a CTest test carrying the
# subsystem label and its own time limit, so a hang fails instead of stalling.
include(GoogleTest)
function(pv_add_gtest target)
  cmake_parse_arguments(T "" "LABEL;TIMEOUT" "SOURCES;LIBS;EXTRA_LABELS" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 60)
  endif()
  add_executable(${target} ${T_SOURCES})
  target_link_libraries(${target} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main
                        Threads::Threads)
  gtest_discover_tests(${target}
    DISCOVERY_MODE PRE_TEST
    PROPERTIES LABELS "${T_LABEL};${T_EXTRA_LABELS}" TIMEOUT ${T_TIMEOUT}
    ENVIRONMENT "PV_SOURCE_DIR=${PROJECT_SOURCE_DIR};PV_BINARY_DIR=${PROJECT_BINARY_DIR}")
endfunction()
