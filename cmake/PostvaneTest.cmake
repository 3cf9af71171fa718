# pv_add_gtest(<target> LABEL <label> SOURCES <files...> LIBS <libs...>
#              [EXTRA_LABELS <labels...>] [TIMEOUT <s>] [DATA <dirs...>])
# One GoogleTest binary; every test in it becomes a CTest test carrying the
# subsystem label and its own time limit, so a hang fails instead of stalling.
# DATA names folders whose files are test cases (the dialogue files): adding
# or changing one relinks the binary, so CTest discovers the new test list.
include(GoogleTest)
function(pv_add_gtest target)
  cmake_parse_arguments(T "" "LABEL;TIMEOUT" "SOURCES;LIBS;EXTRA_LABELS;DATA" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 60)
  endif()
  add_executable(${target} ${T_SOURCES})
  target_link_libraries(${target} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main
                        Threads::Threads)
  # Where the tests find their data when run by hand (CTest sets PV_SOURCE_DIR).
  target_compile_definitions(${target} PRIVATE PV_SOURCE_DIR_DEFAULT="${PROJECT_SOURCE_DIR}")
  if(T_DATA)
    set(data_files)
    foreach(dir IN LISTS T_DATA)
      file(GLOB_RECURSE files CONFIGURE_DEPENDS ${dir}/*)
      list(APPEND data_files ${files})
    endforeach()
    # The list itself too (rewritten only when it changes), for removed files.
    set(data_list ${CMAKE_CURRENT_BINARY_DIR}/${target}_data.txt)
    string(REPLACE ";" "\n" data_text "${data_files}")
    file(CONFIGURE OUTPUT ${data_list} CONTENT "${data_text}\n")
    set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${data_files} ${data_list})
  endif()
  # Parameterised tests are named after their case (a data file), not after
  # the parameter's value.
  gtest_discover_tests(${target} DISCOVERY_MODE PRE_TEST NO_PRETTY_VALUES
                       PROPERTIES TIMEOUT ${T_TIMEOUT})

  # The discovery flattens list-valued properties, so labels and environment
  # are set by a script that runs after the discovered tests are defined.
  # (The discovery itself sets SKIP_REGULAR_EXPRESSION, so a GTEST_SKIP counts
  # as skipped, not passed; scripts/test.sh prints why.)
  set(labels ${T_LABEL} ${T_EXTRA_LABELS})
  set(script ${CMAKE_CURRENT_BINARY_DIR}/${target}_properties.cmake)
  file(WRITE ${script} "
file(GLOB lists \"${CMAKE_CURRENT_BINARY_DIR}/${target}*_tests.cmake\")
foreach(list IN LISTS lists)
  file(STRINGS \"\${list}\" lines REGEX \"^add_test\")
  foreach(line IN LISTS lines)
    if(line MATCHES \"^add_test\\\\(\\\\[=\\\\[([^]]+)\\\\]=\\\\]\")
      set_tests_properties(\"\${CMAKE_MATCH_1}\" PROPERTIES
        LABELS \"${labels}\"
        ENVIRONMENT \"PV_SOURCE_DIR=${PROJECT_SOURCE_DIR};PV_BINARY_DIR=${PROJECT_BINARY_DIR}\")
    endif()
  endforeach()
endforeach()
")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${script})
endfunction()
