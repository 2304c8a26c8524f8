# Run by CTest (see CMakeLists.txt) as cmake -P with BUILD_DIR, CONFIG,
# CONSUMER_SOURCE_DIR, WORK_DIR, GENERATOR, MAKE_PROGRAM, CXX_COMPILER,
# LINK_FLAGS and VERSION set. Fails with a message at the first fault.
cmake_minimum_required(VERSION 3.21)

function(run_step what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${what} failed (${status}):\n${out}\n${err}")
  endif()
  set(step_output "${out}" PARENT_SCOPE)
endfunction()

set(prefix "${WORK_DIR}/prefix")
file(REMOVE_RECURSE "${WORK_DIR}")

set(config_args)
if(CONFIG)
  set(config_args --config "${CONFIG}")
endif()
run_step("installing the build" "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${prefix}" ${config_args})

# What the package consists of, and nothing else: the library, the public
# headers and the three package files.
file(GLOB_RECURSE installed RELATIVE "${prefix}" "${prefix}/*")
set(unexpected ${installed})
list(FILTER unexpected EXCLUDE REGEX "^include/korvanta/[a-z_]+\\.hpp$")
list(FILTER unexpected EXCLUDE REGEX "^lib(64|/[^/]+)?/libkorvanta_core\\.a$")
list(FILTER unexpected EXCLUDE REGEX
     "^lib(64|/[^/]+)?/cmake/korvanta_core/korvanta_core(Config|ConfigVersion|Targets|Targets-[a-z]+)\\.cmake$")
if(unexpected)
  message(FATAL_ERROR "unexpected installed files: ${unexpected}")
endif()
foreach(required include/korvanta/trace_span.hpp include/korvanta/json.hpp)
  if(NOT EXISTS "${prefix}/${required}")
    message(FATAL_ERROR "${required} is not installed; installed: ${installed}")
  endif()
endforeach()
list(FILTER installed INCLUDE REGEX "korvanta_coreConfigVersion\\.cmake$|libkorvanta_core\\.a$")
list(LENGTH installed found)
if(NOT found EQUAL 2)
  message(FATAL_ERROR "library or package version file missing from ${prefix}")
endif()

# The consumer, configured as a user would: only CMAKE_PREFIX_PATH points at
# the installation.
set(consumer_args -G "${GENERATOR}" -DCMAKE_CXX_COMPILER=${CXX_COMPILER} -DCMAKE_PREFIX_PATH=${prefix})
if(MAKE_PROGRAM)
  list(APPEND consumer_args -DCMAKE_MAKE_PROGRAM=${MAKE_PROGRAM})
endif()
if(LINK_FLAGS)
  list(APPEND consumer_args "-DCMAKE_EXE_LINKER_FLAGS=${LINK_FLAGS}")
endif()
set(build "${WORK_DIR}/consumer")
run_step("configuring the consumer" "${CMAKE_COMMAND}" -S "${CONSUMER_SOURCE_DIR}" -B "${build}" ${consumer_args})
file(STRINGS "${build}/CMakeCache.txt" found_dir REGEX "^korvanta_core_DIR:")
string(FIND "${found_dir}" "${prefix}/" at)
if(NOT at GREATER -1)
  message(FATAL_ERROR "find_package(korvanta_core) did not use the installed package: ${found_dir}")
endif()
run_step("building the consumer" "${CMAKE_COMMAND}" --build "${build}" ${config_args})
set(consumer "${build}/consumer")
if(CONFIG AND NOT EXISTS "${consumer}")
  set(consumer "${build}/${CONFIG}/consumer")
endif()
run_step("running the consumer" "${consumer}")
if(NOT step_output MATCHES "\"provider\":{\"Custom\":\"my-gateway\"}")
  message(FATAL_ERROR "the consumer printed no span document:\n${step_output}")
endif()

# The version file: a request for a later minor version must be refused.
string(REGEX REPLACE "^([0-9]+)\\.([0-9]+).*" "\\1" major "${VERSION}")
string(REGEX REPLACE "^([0-9]+)\\.([0-9]+).*" "\\2" minor "${VERSION}")
math(EXPR next_minor "${minor} + 1")
execute_process(
  COMMAND "${CMAKE_COMMAND}" -S "${CONSUMER_SOURCE_DIR}" -B "${WORK_DIR}/too_new" ${consumer_args}
          -DKORVANTA_CORE_VERSION=${major}.${next_minor}
  RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(status EQUAL 0 OR NOT err MATCHES "korvanta_core")
  message(FATAL_ERROR "find_package(korvanta_core ${major}.${next_minor}) was not refused (${status}):\n${err}")
endif()
message(STATUS "korvanta_core ${VERSION} installed to ${prefix}; consumer built and ran")
