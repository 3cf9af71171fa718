# pv_add_layer(<layer> SOURCES <files...> [DEPENDS <layers...>] [LIBS <libraries...>]
#              [SHARED] [INCLUDES_ONLY <layers...>])
#
# One layer of the program: a library pv_<layer> built from the listed files
# of the folder <layer>/. DEPENDS names the layers below it that it may use;
# a layer not allowed by the table here is refused, and so is a source file
# that includes a header of a layer it does not depend on (directly or
# through the layers it depends on), so the layering cannot rot unnoticed.
# SHARED builds a shared object that is loaded at run time, never linked;
# INCLUDES_ONLY names layers whose headers it may include without linking
# them (a run-time loaded library sharing a record header).
#
# The table: who may depend on whom. Layers depend downwards only.
set(PV_LAYER_ALLOWED_platform "")
set(PV_LAYER_ALLOWED_net platform)
set(PV_LAYER_ALLOWED_zip platform zipdll)
set(PV_LAYER_ALLOWED_host platform)
set(PV_LAYER_ALLOWED_zipdll "")
set(PV_LAYER_ALLOWED_mail net platform)
set(PV_LAYER_ALLOWED_app mail net zip host platform)
set(PV_LAYER_ALLOWED_qt app mail net zip host platform)

function(pv_add_layer layer)
  cmake_parse_arguments(L "SHARED" "" "SOURCES;DEPENDS;LIBS;INCLUDES_ONLY" ${ARGN})
  if(NOT DEFINED PV_LAYER_ALLOWED_${layer})
    message(FATAL_ERROR "pv_add_layer: ${layer} is not a layer of the program")
  endif()

  # The layers reachable through DEPENDS, each checked against the table.
  set(reachable ${layer})
  set(pending ${L_DEPENDS})
  while(pending)
    list(POP_FRONT pending dep)
    if(dep IN_LIST reachable)
      continue()
    endif()
    list(APPEND reachable ${dep})
    list(APPEND pending ${PV_LAYER_ALLOWED_${dep}})
  endwhile()
  foreach(dep IN LISTS L_DEPENDS L_INCLUDES_ONLY)
    if(NOT dep IN_LIST PV_LAYER_ALLOWED_${layer})
      message(FATAL_ERROR "pv_add_layer: ${layer} may not depend on ${dep}")
    endif()
  endforeach()
  list(APPEND reachable ${L_INCLUDES_ONLY})

  set(sources "")
  foreach(src IN LISTS L_SOURCES)
    set(path ${CMAKE_CURRENT_SOURCE_DIR}/${src})
    list(APPEND sources ${path})
    # Check the project's own includes of the file and of its header.
    get_filename_component(dir ${path} DIRECTORY)
    get_filename_component(stem ${path} NAME_WLE)
    set(files ${path})
    if(EXISTS ${dir}/${stem}.h)
      list(APPEND files ${dir}/${stem}.h)
    endif()
    foreach(file IN LISTS files)
      file(STRINGS ${file} includes REGEX "^#include \"[a-z]+/")
      foreach(inc IN LISTS includes)
        string(REGEX MATCH "^#include \"([a-z]+)/" _ "${inc}")
        set(target_layer ${CMAKE_MATCH_1})
        if(DEFINED PV_LAYER_ALLOWED_${target_layer} AND NOT target_layer IN_LIST reachable)
          message(FATAL_ERROR "${file}: ${layer} may not include ${target_layer}/ headers")
        endif()
      endforeach()
    endforeach()
  endforeach()

  if(L_SHARED)
    add_library(pv_${layer} MODULE ${sources})
  else()
    add_library(pv_${layer} STATIC ${sources})
  endif()
  target_include_directories(pv_${layer} PUBLIC ${PROJECT_SOURCE_DIR})
  set(deps "")
  foreach(dep IN LISTS L_DEPENDS)
    list(APPEND deps pv_${dep})
  endforeach()
  target_link_libraries(pv_${layer} PUBLIC ${deps} ${L_LIBS})
endfunction()

# pv_export_layers(<target>): an executable that run-time loaded layers (the
# desktop front end) bind to. Every object of the layers they use is linked in
# and exported, whether the executable itself needs it or not.
function(pv_export_layers target)
  set_target_properties(${target} PROPERTIES ENABLE_EXPORTS ON
    LINK_LIBRARY_OVERRIDE_pv_platform WHOLE_ARCHIVE
    LINK_LIBRARY_OVERRIDE_pv_host WHOLE_ARCHIVE)
endfunction()
