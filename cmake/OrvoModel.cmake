# orvo_add_model(NAME DESCRIPTION FILE)
#
# Generates the C++ of the model described in FILE (whose first line declares
# `model NAME;`) into the build tree and builds from it:
#   orvo_NAME_model  static library: the model, carrying the runtime with it
#   orvo_NAME        shared library liborvo_NAME.so exporting only the Orvo* calls,
#                    with liborvo_NAME.json beside it: what hosts know of the model
#                    (units, descriptions, default records, balances, dose targets)
# A fault in the description stops the build with file:line:col: message.

find_program(ORVO_PYTHON3 NAMES python3 PATHS /usr/bin NO_DEFAULT_PATH)
find_program(ORVO_PYTHON3 NAMES python3 REQUIRED)
set(ORVO_MODELGEN ${PROJECT_SOURCE_DIR}/tools/orvo-modelgen/orvo-modelgen)
file(GLOB ORVO_MODELGEN_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tools/orvo-modelgen/modelgen/*.py)

function(orvo_add_model name)
  cmake_parse_arguments(ARG "" "DESCRIPTION" "" ${ARGN})
  if(NOT ARG_DESCRIPTION)
    message(FATAL_ERROR "orvo_add_model(${name}): DESCRIPTION is required")
  endif()
  get_filename_component(description ${ARG_DESCRIPTION} ABSOLUTE)
  set(generated ${CMAKE_CURRENT_BINARY_DIR}/generated)

  # A description with a fault is checked at configure time (again whenever
  # it changes): the model is left out with a warning, so that one broken
  # model does not stop the build of the others; ORVO_STRICT_MODELS makes
  # it an error.
  if(CMAKE_LIBRARY_OUTPUT_DIRECTORY)
    set(library_dir ${CMAKE_LIBRARY_OUTPUT_DIRECTORY})
  else()
    set(library_dir ${CMAKE_CURRENT_BINARY_DIR})
  endif()
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${description})
  execute_process(COMMAND ${ORVO_PYTHON3} ${ORVO_MODELGEN} ${description} --name ${name}
                          --out ${CMAKE_CURRENT_BINARY_DIR}/check
                  RESULT_VARIABLE check_status ERROR_VARIABLE check_error ERROR_STRIP_TRAILING_WHITESPACE)
  file(REMOVE_RECURSE ${CMAKE_CURRENT_BINARY_DIR}/check)
  if(NOT check_status EQUAL 0)
    if(ORVO_STRICT_MODELS)
      message(FATAL_ERROR "model ${name}: ${check_error}")
    endif()
    # The library of an earlier build would be run as if it were this description's.
    file(REMOVE ${library_dir}/${CMAKE_SHARED_LIBRARY_PREFIX}orvo_${name}${CMAKE_SHARED_LIBRARY_SUFFIX}
                ${library_dir}/liborvo_${name}.json)
    message(WARNING "model ${name} is left out of this build:\n${check_error}\n"
                    "(fix the description, or configure with -DORVO_STRICT_MODELS=ON to stop here)")
    return()
  endif()

  execute_process(COMMAND ${ORVO_PYTHON3} ${ORVO_MODELGEN} --outputs ${name}
                  OUTPUT_VARIABLE relative_outputs OUTPUT_STRIP_TRAILING_WHITESPACE
                  COMMAND_ERROR_IS_FATAL ANY)
  string(REPLACE "\n" ";" relative_outputs "${relative_outputs}")
  list(TRANSFORM relative_outputs PREPEND ${generated}/ OUTPUT_VARIABLE outputs)
  set(sources ${outputs})
  list(FILTER sources EXCLUDE REGEX "\\.json$")
  set(metadata ${generated}/model/${name}.json)

  add_custom_command(
      OUTPUT ${outputs}
      COMMAND ${ORVO_PYTHON3} ${ORVO_MODELGEN} ${description} --name ${name} --out ${generated}
      DEPENDS ${description} ${ORVO_MODELGEN} ${ORVO_MODELGEN_SOURCES}
      COMMENT "Generating model ${name} from ${ARG_DESCRIPTION}"
      VERBATIM)

  add_library(orvo_${name}_model STATIC ${sources})
  # The generated headers come before the runtime's, which sit beside them as model/...
  target_include_directories(orvo_${name}_model BEFORE PUBLIC ${generated})
  # Whoever links the model gets the runtime too; the shared library takes all
  # of it (the exports), so there it must carry the same link feature as below.
  target_link_libraries(orvo_${name}_model PUBLIC
      "$<IF:$<STREQUAL:$<TARGET_PROPERTY:TYPE>,SHARED_LIBRARY>,$<LINK_LIBRARY:WHOLE_ARCHIVE,orvo_core>,orvo_core>")

  # A shared library needs at least one source of its own; everything else
  # comes from the two archives.
  set(stub ${CMAKE_CURRENT_BINARY_DIR}/orvo_${name}_library.cpp)
  file(CONFIGURE OUTPUT ${stub} CONTENT "// Generated: the library's code is in its archives.\n")
  add_library(orvo_${name} SHARED ${stub})
  target_link_libraries(orvo_${name} PRIVATE
      "$<LINK_LIBRARY:WHOLE_ARCHIVE,orvo_${name}_model>"
      "$<LINK_LIBRARY:WHOLE_ARCHIVE,orvo_core>")
  # Only the Orvo* exports leave the library (-Xlinker keeps a path with commas whole).
  target_link_options(orvo_${name} PRIVATE
      "SHELL:-Xlinker \"--version-script=${PROJECT_SOURCE_DIR}/src/runtime/orvo.map\""
      $<$<NOT:$<BOOL:${ORVO_FUZZ}>>:-Wl,--no-undefined>)
  set_target_properties(orvo_${name} PROPERTIES LINK_DEPENDS ${PROJECT_SOURCE_DIR}/src/runtime/orvo.map)

  # The model's metadata goes beside the library, under the library's name.
  set(beside ${library_dir}/liborvo_${name}.json)
  add_custom_command(
      OUTPUT ${beside}
      COMMAND ${CMAKE_COMMAND} -E copy_if_different ${metadata} ${beside}
      DEPENDS ${metadata}
      COMMENT "Copying the metadata of model ${name}"
      VERBATIM)
  add_custom_target(orvo_${name}_metadata DEPENDS ${beside})
  add_dependencies(orvo_${name} orvo_${name}_metadata)
  set_target_properties(orvo_${name} PROPERTIES ORVO_METADATA ${beside})
  # The models of this tree's models/ folder are installed.
  if(CMAKE_CURRENT_SOURCE_DIR MATCHES "^${PROJECT_SOURCE_DIR}/models/")
    set_property(GLOBAL APPEND PROPERTY ORVO_MODELS ${name})
  endif()
endfunction()
