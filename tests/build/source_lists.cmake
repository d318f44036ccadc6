# Configures the project once per processor and fails when any target's
# sources differ between them: a universal macOS build compiles every slice
# from one configure, so no source may be chosen by CMAKE_SYSTEM_PROCESSOR
# (each SIMD file guards itself instead). The target's own sources are read
# from CMake's file API.
#   cmake -DSOURCE_DIR= -DWORK_DIR= -DSYSTEM_NAME= -DGENERATOR= -DC_COMPILER=
#         -DCXX_COMPILER= -DSTB_INCLUDE_DIR= -DPREFIX_PATH= -P source_lists.cmake
cmake_minimum_required(VERSION 3.20)

string(REPLACE "|" ";" PREFIX_PATH "${PREFIX_PATH}")

# x86-64, 64-bit Arm as macOS names it, and one with no SIMD file at all.
set(processors x86_64 arm64 riscv64)

# Sets `out` to "target: source" lines, sorted, of a configure for `processor`.
function(sources_for processor out)
  set(build "${WORK_DIR}/${processor}")
  file(REMOVE_RECURSE "${build}")
  file(WRITE "${build}/.cmake/api/v1/query/codemodel-v2" "")
  # A system name makes CMake keep the processor it is given (it is then
  # cross-compiling, with this machine's compilers; nothing is built).
  execute_process(
    COMMAND "${CMAKE_COMMAND}" -S "${SOURCE_DIR}" -B "${build}" -G "${GENERATOR}"
            "-DCMAKE_SYSTEM_NAME=${SYSTEM_NAME}" "-DCMAKE_SYSTEM_PROCESSOR=${processor}"
            "-DCMAKE_C_COMPILER=${C_COMPILER}" "-DCMAKE_CXX_COMPILER=${CXX_COMPILER}"
            "-DSTB_INCLUDE_DIR=${STB_INCLUDE_DIR}" "-DCMAKE_PREFIX_PATH=${PREFIX_PATH}"
    RESULT_VARIABLE failed OUTPUT_VARIABLE log ERROR_VARIABLE log)
  if(failed)
    message(FATAL_ERROR "configure for ${processor} failed:\n${log}")
  endif()
  file(RELATIVE_PATH relative_build "${SOURCE_DIR}" "${build}")
  file(GLOB targets "${build}/.cmake/api/v1/reply/target-*.json")
  set(lines)
  foreach(target_file IN LISTS targets)
    file(READ "${target_file}" json)
    string(JSON name GET "${json}" name)
    string(JSON count ERROR_VARIABLE none LENGTH "${json}" sources)
    if(none OR count EQUAL 0)
      continue()
    endif()
    math(EXPR last "${count} - 1")
    foreach(i RANGE ${last})
      string(JSON path GET "${json}" sources ${i} path)
      # Generated sources sit in each configure's own folder (given relative
      # to the source folder when inside it).
      string(REPLACE "${build}" "<build>" path "${path}")
      string(REPLACE "${relative_build}" "<build>" path "${path}")
      list(APPEND lines "${name}: ${path}")
    endforeach()
  endforeach()
  list(SORT lines)
  set(${out} "${lines}" PARENT_SCOPE)
endfunction()

list(GET processors 0 first)
sources_for(${first} reference)
list(LENGTH reference total)
if(total EQUAL 0)
  message(FATAL_ERROR "no target sources read for ${first}")
endif()
set(differ FALSE)
foreach(processor IN LISTS processors)
  if(processor STREQUAL first)
    continue()
  endif()
  sources_for(${processor} lines)
  set(only_first ${reference})
  set(only_this ${lines})
  list(REMOVE_ITEM only_first ${lines})
  list(REMOVE_ITEM only_this ${reference})
  if(only_first OR only_this)
    set(differ TRUE)
    list(JOIN only_first "\n  " a)
    list(JOIN only_this "\n  " b)
    message("${first} only:\n  ${a}\n${processor} only:\n  ${b}")
  endif()
endforeach()
file(REMOVE_RECURSE "${WORK_DIR}")
if(differ)
  message(FATAL_ERROR "the source lists depend on the processor")
endif()
message("${total} target sources, the same for ${processors}")
