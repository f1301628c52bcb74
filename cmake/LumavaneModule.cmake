# Adds every module folder below DIR that has a CMakeLists.txt, in name order.
# Targets may link each other regardless of order: CMake resolves them at generate time.
function(lumavane_add_module_dirs dir)
  file(GLOB children LIST_DIRECTORIES true RELATIVE ${dir} ${dir}/*)
  list(SORT children)
  foreach(child IN LISTS children)
    if(IS_DIRECTORY ${dir}/${child} AND EXISTS ${dir}/${child}/CMakeLists.txt)
      add_subdirectory(${dir}/${child})
    endif()
  endforeach()
endfunction()

# lumavane_add_test(NAME name SOURCES ... LIBS ... [MEDIA] [LABELS ...] [ENV ...])
# One GoogleTest binary; every test case becomes a CTest test named NAME.Suite.Case,
# so `ctest -R` can pick a module's tests by binary name. MEDIA makes the cases
# depend on the generated test media fixture.
function(lumavane_add_test)
  cmake_parse_arguments(T "MEDIA" "NAME;TIMEOUT" "SOURCES;LIBS;LABELS;ENV" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gmock GTest::gtest_main)
  target_include_directories(${T_NAME} PRIVATE ${CMAKE_SOURCE_DIR}/src ${CMAKE_SOURCE_DIR}/tests)
  target_compile_definitions(${T_NAME} PRIVATE
    LUMAVANE_TEST_MEDIA_DIR="${LUMAVANE_TEST_MEDIA_DIR}"
    LUMAVANE_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  # The environment goes in front of the test command through env(1): a list-valued ENVIRONMENT
  # property does not survive test discovery (it is split into other property names). Later
  # entries (ENV) override the defaults; an emulator such as xvfb-run stays after env.
  get_target_property(emulator ${T_NAME} CROSSCOMPILING_EMULATOR)
  if(NOT emulator)
    set(emulator "")
  endif()
  set_target_properties(${T_NAME} PROPERTIES CROSSCOMPILING_EMULATOR
    "env;SDL_AUDIODRIVER=dummy;QT_QPA_PLATFORM=offscreen;LUMAVANE_RESOURCES=${LUMAVANE_RESOURCES_DIR};${T_ENV};${emulator}")
  set(props TIMEOUT ${T_TIMEOUT})
  if(T_MEDIA)
    list(APPEND props FIXTURES_REQUIRED test_media)
  endif()
  if(T_LABELS)
    list(APPEND props LABELS "${T_LABELS}")
  endif()
  gtest_discover_tests(${T_NAME} TEST_PREFIX "${T_NAME}." DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60 PROPERTIES ${props})
endfunction()

# lumavane_add_fuzzer(NAME name SOURCES ... INSTRUMENT library LIBS ...)
# A libFuzzer target (LUMAVANE_FUZZ=ON, configured with CC=clang CXX=clang++) with AddressSanitizer
# and UndefinedBehaviorSanitizer; INSTRUMENT is the library under test, built with coverage.
function(lumavane_add_fuzzer)
  cmake_parse_arguments(F "" "NAME;INSTRUMENT" "SOURCES;LIBS" ${ARGN})
  if(NOT CMAKE_C_COMPILER_ID MATCHES "Clang" OR NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "LUMAVANE_FUZZ needs clang (configure with CC=clang CXX=clang++)")
  endif()
  set(sanitizers -fsanitize=address,undefined -fno-omit-frame-pointer)
  target_compile_options(${F_INSTRUMENT} PRIVATE -fsanitize=fuzzer-no-link ${sanitizers})
  add_executable(${F_NAME} ${F_SOURCES})
  target_compile_options(${F_NAME} PRIVATE -fsanitize=fuzzer ${sanitizers})
  target_link_options(${F_NAME} PRIVATE -fsanitize=fuzzer,address,undefined)
  target_link_libraries(${F_NAME} PRIVATE ${F_INSTRUMENT} ${F_LIBS})
endfunction()
