# Registration of the scenario scripts (Python; the launcher under Wine in network
# namespaces) shared by tests/e2e, tests/lan, tests/remote_e2e, tests/look and tests/natlab.

# A Windows build tree is of one architecture, win32 or win64, and its scenarios run
# its programs under the Wine of that width (the scripts read it from the programs).
# Both trees include these files, so one qv_scenario_test() call registers a
# scenario for both widths; tools/test runs each tree's tests where this machine
# can run them. (Set before the guard: every including folder sees it.)
# A native tree's scenarios (the NAT lab's own) run no Windows program: "native".
if(NOT WIN32)
  set(QV_WINDOWS_ARCH native)
elseif(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(QV_WINDOWS_ARCH win64)
else()
  set(QV_WINDOWS_ARCH win32)
endif()

include_guard(GLOBAL)

# The scripts and their shared module (qvharness.py, next to this file).
set(QV_HARNESS_DIR ${CMAKE_CURRENT_LIST_DIR})

set(RERUDI_NATIVE_SIM "" CACHE FILEPATH "Native rerudi-sim for the scenario scripts (empty: build one)")

# <out_var>: the native controller simulator the scenarios run. RERUDI_NATIVE_SIM when
# given; otherwise a native configuration of these sources under <build>/native-sim
# that builds only rerudi-sim and the native programs the remote scenarios run beside
# it (relay, discovery server, impairment proxy: next to rerudi-sim there, as in a
# native build's sim/ folder), before each of the targets named after out_var (the
# programs the scenarios need, so that building them builds it).
function(qv_scenario_sim out_var)
  if(RERUDI_NATIVE_SIM)
    set(${out_var} ${RERUDI_NATIVE_SIM} PARENT_SCOPE)
    return()
  endif()
  set(dir ${CMAKE_BINARY_DIR}/native-sim)
  if(NOT TARGET rerudi_native_sim)
    include(ExternalProject)
    ExternalProject_Add(rerudi_native_sim
      SOURCE_DIR ${CMAKE_SOURCE_DIR}
      BINARY_DIR ${dir}
      CMAKE_ARGS -DCMAKE_BUILD_TYPE=Release -DRERUDI_TESTS=OFF -DRERUDI_BENCH=OFF -DRERUDI_FUZZ=OFF
                 -DRERUDI_SANITIZE=
      BUILD_COMMAND ${CMAKE_COMMAND} --build ${dir} --target rerudi-sim rerudi-relay rerudi-dserver
                    rerudi-udp-impair
      INSTALL_COMMAND ""
      BUILD_ALWAYS ON
      USES_TERMINAL_BUILD ON)
  endif()
  foreach(t ${ARGN})
    add_dependencies(${t} rerudi_native_sim)
  endforeach()
  set(${out_var} ${dir}/sim/rerudi-sim PARENT_SCOPE)
endfunction()

# <out_var>: --launcher=<the launcher>, empty after the = when it is not built in this
# tree (the scripts then skip). One argument, so that an empty path cannot vanish.
function(qv_scenario_launcher_arg out_var)
  if(TARGET OSKARerudi)
    set(${out_var} "--launcher=$<TARGET_FILE:OSKARerudi>" PARENT_SCOPE)
  else()
    set(${out_var} "--launcher=" PARENT_SCOPE)
  endif()
endfunction()

# qv_scenario_args(<out_var> [FOR <target>...] PROGRAMS <argv...>)
# The arguments every Wine scenario script takes, in the order the scripts have always
# been given them: --launcher=..., the PROGRAMS arguments, the native simulator (built
# before the FOR targets, see qv_scenario_sim) and the source tree (where the scripts
# read the numbers they share with the C++ headers).
function(qv_scenario_args out_var)
  cmake_parse_arguments(PARSE_ARGV 1 A "" "" "FOR;PROGRAMS")
  qv_scenario_sim(sim ${A_FOR})
  qv_scenario_launcher_arg(launcher)
  set(${out_var} ${launcher} ${A_PROGRAMS} --sim ${sim} --source ${CMAKE_SOURCE_DIR} PARENT_SCOPE)
endfunction()

# qv_scenario_test(<name> TIMEOUT <s> LOCK <resource> COMMAND <script> <argv...>)
# A scenario script (run by python3) as a test of this tree's architecture (label
# "scenario" and the architecture): exit code 77 is a skip, and the tests that share
# LOCK (a Wine prefix and its wine server, or the machine's CPU for timing checks) run
# one at a time. Prefixes are per architecture, so the lock is too. Without python3
# nothing is registered (with a note).
#
# qv_scenario_test(<prefix> GROUPS <option> [EXCEPT <group>...] TIMEOUT <s> LOCK <resource>
#                  COMMAND <script> <argv...>)
# One such test per group of the script, named <prefix><group>, running
# `python3 <script> <option> <group> <argv...>`. The groups are the ones the script
# prints for --list, asked here at configure time (and again whenever the script
# changes): the script's own table is the one list of its groups. EXCEPT leaves out
# groups that are registered by a call of their own (with other arguments).
function(qv_scenario_test name)
  cmake_parse_arguments(PARSE_ARGV 1 S "" "TIMEOUT;LOCK;GROUPS" "COMMAND;EXCEPT")
  if(NOT S_COMMAND OR NOT S_TIMEOUT OR NOT S_LOCK)
    message(FATAL_ERROR "qv_scenario_test(${name}): COMMAND, TIMEOUT and LOCK are needed")
  endif()
  find_program(QV_SCENARIO_PYTHON python3)
  if(NOT QV_SCENARIO_PYTHON)
    message(STATUS "python3 not found: ${name} scenarios are not registered")
    return()
  endif()
  set(python ${QV_SCENARIO_PYTHON})
  if(NOT S_GROUPS)
    _qv_scenario_add(${name} ${S_TIMEOUT} ${S_LOCK} ${python} ${S_COMMAND})
    return()
  endif()
  list(GET S_COMMAND 0 script)
  list(SUBLIST S_COMMAND 1 -1 rest)
  execute_process(COMMAND ${python} ${script} --list
                  OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0 OR out STREQUAL "")
    message(FATAL_ERROR "qv_scenario_test(${name}): `${script} --list` gave no groups (${rc}): ${err}")
  endif()
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${script})
  string(STRIP "${out}" out)
  string(REPLACE "\n" ";" groups "${out}")
  foreach(g ${groups})
    if(NOT g IN_LIST S_EXCEPT)
      _qv_scenario_add(${name}${g} ${S_TIMEOUT} ${S_LOCK} ${python} ${script} ${S_GROUPS} ${g} ${rest})
    endif()
  endforeach()
endfunction()

function(_qv_scenario_add name timeout lock)
  add_test(NAME ${name} COMMAND ${ARGN})
  set_tests_properties(${name} PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT ${timeout}
                       RESOURCE_LOCK ${lock}_${QV_WINDOWS_ARCH} LABELS "scenario;${QV_WINDOWS_ARCH}")
endfunction()
