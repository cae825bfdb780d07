# The Windows tests, run under 64-bit Wine from the cross build. Everything they use lands beside
# vemo.exe, where the test programs look for it.
set(fixtures ${PROJECT_SOURCE_DIR}/tests/fixtures)
set(out ${CMAKE_BINARY_DIR})

# The fixture icons, a resource-only module holding five of them, and a module whose entry point
# shows whether it ran.
set(icons red green blue yellow grey sizes)
set(icon_files)
foreach(icon ${icons})
  configure_file(${fixtures}/${icon}.ico ${out}/${icon}.ico COPYONLY)
  list(APPEND icon_files ${fixtures}/${icon}.ico)
endforeach()
configure_file(${fixtures}/usage.txt ${out}/usage.txt COPYONLY)
# The recipes, whose batch lines the exe test runs as a user pastes them.
configure_file(${PROJECT_SOURCE_DIR}/docs/recipes.md ${out}/recipes.md COPYONLY)
# A fixture module: the resources of NAME.rc linked without the C runtime, and any sources given.
function(vemo_fixture_module name)
  add_custom_command(OUTPUT ${out}/${name}.dll
    COMMAND ${CMAKE_RC_COMPILER} -I ${fixtures} ${fixtures}/${name}.rc -O coff -o ${name}.res.o
    COMMAND ${CMAKE_CXX_COMPILER} -shared -nostdlib -O2 ${ARGN} ${name}.res.o -lkernel32
      -o ${out}/${name}.dll
    DEPENDS ${fixtures}/${name}.rc ${icon_files} ${ARGN}
    WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}
    VERBATIM)
endfunction()
vemo_fixture_module(icons)
# An icon and an entry point that would leave a marker file if the module ever ran.
vemo_fixture_module(marker ${fixtures}/marker.cpp)
add_custom_target(vemo_fixtures ALL DEPENDS ${out}/icons.dll ${out}/marker.dll)

function(vemo_wine_test name)
  add_executable(${name} ${ARGN})
  target_link_libraries(${name} PRIVATE GTest::gtest_main vemo_warnings)
  target_compile_definitions(${name} PRIVATE WIN32_LEAN_AND_MEAN NOMINMAX)
  target_link_options(${name} PRIVATE -static)
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${out})
  add_dependencies(${name} vemo_fixtures)
endfunction()

# The real platform layer in the window's own process: Wine does not carry WM_SETICON between
# processes.
vemo_wine_test(console_icon_test ${PROJECT_SOURCE_DIR}/tests/win32/console_icon_test.cpp)
target_link_libraries(console_icon_test PRIVATE vemo_cli vemo_console_icon gdi32)
# The real exe, run as a separate process.
vemo_wine_test(vemo_exe_test ${PROJECT_SOURCE_DIR}/tests/win32/vemo_exe_test.cpp)
add_dependencies(vemo_exe_test vemo)
# The real exe on hostile files and paths. It carries vemo's own resources, so that its ANSI code
# page is vemo's, UTF-8, and it can name files in any script.
vemo_wine_test(hostile_test ${PROJECT_SOURCE_DIR}/tests/win32/hostile_test.cpp
  ${PROJECT_SOURCE_DIR}/src/vemo.rc)
set_source_files_properties(${PROJECT_SOURCE_DIR}/src/vemo.rc
  PROPERTIES OBJECT_DEPENDS "${vemo_rc_depends}")
target_link_libraries(hostile_test PRIVATE vemo_resources)
add_dependencies(hostile_test vemo)
# vemo.exe in a console window of its own, read from outside; it carries vemo's resources for the
# same reason. Only real Windows shows the window checks; Wine runs the console, the helper and vemo.
vemo_wine_test(real_console_test ${PROJECT_SOURCE_DIR}/tests/win32/real_console_test.cpp
  ${PROJECT_SOURCE_DIR}/src/vemo.rc)
target_link_libraries(real_console_test PRIVATE gdi32 psapi vemo_resources)
add_dependencies(real_console_test vemo)
# The 32-bit build also runs on NT 5.2, in ReactOS (scripts/reactos-check): psapi.dll's own
# GetProcessMemoryInfo, and a GetTickCount64 of its own.
target_compile_definitions(real_console_test PRIVATE PSAPI_VERSION=1)
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  target_sources(real_console_test PRIVATE ${PROJECT_SOURCE_DIR}/tests/win32/tick_count_nt52.cpp)
endif()

# The keeper's life, from outside: vemo.exe beside windows of the console class held by other
# processes, and the vemo.exe processes it leaves; and keepers handed orders they must refuse.
vemo_wine_test(keeper_test ${PROJECT_SOURCE_DIR}/tests/win32/keeper_test.cpp)
target_link_libraries(keeper_test PRIVATE vemo_console_icon)
add_dependencies(keeper_test vemo)

set(wine ${PROJECT_SOURCE_DIR}/scripts/wine ${out}/wine-prefix)
add_test(NAME wine_start COMMAND ${wine} start)
add_test(NAME wine_stop COMMAND ${wine} stop)
set_tests_properties(wine_start PROPERTIES FIXTURES_SETUP wine)
set_tests_properties(wine_stop PROPERTIES FIXTURES_CLEANUP wine)

add_test(NAME console_icon_test
  COMMAND ${wine} console $<TARGET_FILE:console_icon_test> --gtest_filter=-NoConsole.*)
add_test(NAME console_icon_test_no_console
  COMMAND ${wine} run $<TARGET_FILE:console_icon_test> --gtest_filter=NoConsole.*)
add_test(NAME vemo_exe_test COMMAND ${wine} run $<TARGET_FILE:vemo_exe_test>)
add_test(NAME hostile_test COMMAND ${wine} console $<TARGET_FILE:hostile_test>)
add_test(NAME real_console_test COMMAND ${wine} run $<TARGET_FILE:real_console_test>)
add_test(NAME keeper_test COMMAND ${wine} console $<TARGET_FILE:keeper_test>)
set_tests_properties(console_icon_test console_icon_test_no_console vemo_exe_test hostile_test
  real_console_test keeper_test
  PROPERTIES FIXTURES_REQUIRED wine TIMEOUT 120)
# Under Wine the console window is Wine's own, and the test says so by skipping its window checks.
set_tests_properties(real_console_test PROPERTIES SKIP_REGULAR_EXPRESSION "\\[  SKIPPED \\]")
