# Installs the built project into a temporary prefix, then configures, builds and runs the
# consumer example against it (and, with SUBDIRECTORY, the add_subdirectory example).
# Called by ctest: cmake -DBUILD_DIR=... -DSOURCE_DIR=... -DWORK_DIR=... [-DSUBDIRECTORY=ON] -P
file(REMOVE_RECURSE "${WORK_DIR}")
if(SUBDIRECTORY)
  set(example "${SOURCE_DIR}/examples/subdirectory")
  set(extra "-DTOVRIN_SOURCE_DIR=${SOURCE_DIR}")
else()
  execute_process(COMMAND ${CMAKE_COMMAND} --install "${BUILD_DIR}" --prefix "${WORK_DIR}/prefix"
                  RESULT_VARIABLE rc OUTPUT_QUIET)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "install failed: ${rc}")
  endif()
  set(example "${SOURCE_DIR}/examples/consumer")
  set(extra "-DCMAKE_PREFIX_PATH=${WORK_DIR}/prefix")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -S "${example}" -B "${WORK_DIR}/build" -G Ninja
                        -DCMAKE_BUILD_TYPE=Release ${extra}
                RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "configuring the consumer failed: ${rc}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} --build "${WORK_DIR}/build" --target consumer
                RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "building the consumer failed: ${rc}")
endif()
execute_process(COMMAND "${WORK_DIR}/build/consumer" RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "the consumer failed: ${rc}")
endif()

# The pkg-config file: compile the same program with what it says.
if(NOT SUBDIRECTORY)
  file(GLOB pcdir "${WORK_DIR}/prefix/lib*/pkgconfig" "${WORK_DIR}/prefix/lib/*/pkgconfig")
  set(ENV{PKG_CONFIG_PATH} "${pcdir}")
  execute_process(COMMAND pkg-config --cflags --libs tovrintracker
                  OUTPUT_VARIABLE flags RESULT_VARIABLE rc OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "pkg-config does not know tovrintracker")
  endif()
  separate_arguments(flags UNIX_COMMAND "${flags}")
  execute_process(COMMAND c++ "${SOURCE_DIR}/examples/consumer/main.cpp" ${flags}
                          -o "${WORK_DIR}/consumer-pc" RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "building with the pkg-config flags failed")
  endif()
  execute_process(COMMAND "${WORK_DIR}/consumer-pc" RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "the pkg-config consumer failed: ${rc}")
  endif()
endif()
file(REMOVE_RECURSE "${WORK_DIR}")
