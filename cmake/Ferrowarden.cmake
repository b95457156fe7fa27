# fw_add_library(NAME DIR LIBS...): one static library from every source in DIR (recursively).
# Files are globbed so that adding a class never means editing a shared list. A folder's ui/
# holds its windows: a library of its own, so that the folder's other code needs no widgets.
function(fw_add_library name dir)
  file(GLOB_RECURSE sources CONFIGURE_DEPENDS
       ${dir}/*.cpp ${dir}/*.h ${dir}/*.qrc)
  string(REGEX REPLACE "([][+.*()^$?|\\])" "\\\\\\1" escaped_dir "${dir}")
  list(FILTER sources EXCLUDE REGEX "^${escaped_dir}/ui/")
  if(sources MATCHES "\\.cpp")
    add_library(${name} STATIC ${sources})
    target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(${name} PUBLIC ${ARGN})
  else()
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(${name} INTERFACE ${ARGN})
  endif()
endfunction()

# Seconds a test program may run before ctest stops it as hung. Tests finish in a few
# seconds even on a loaded machine, so a hang fails quickly and under the test's own name.
# Builds that run slower (sanitizers) raise FW_TEST_TIMEOUT_SCALE instead of the values.
set(FW_TEST_TIMEOUT 20 CACHE STRING "Default ctest timeout of a test program, in seconds")
set(FW_TEST_TIMEOUT_SCALE 1 CACHE STRING "Factor applied to every test timeout")

# fw_test_timeout(TEST SECONDS): a longer timeout for a test program that needs one.
function(fw_test_timeout test seconds)
  math(EXPR scaled "${seconds} * ${FW_TEST_TIMEOUT_SCALE}")
  set_tests_properties(${test} PROPERTIES TIMEOUT ${scaled})
endfunction()

# fw_add_tests(DIR LIBS...): every *_test.cpp in DIR becomes a GoogleTest executable,
# every tst_*.cpp a QtTest executable; each is one ctest test named after its file.
function(fw_add_tests dir)
  file(GLOB gtests CONFIGURE_DEPENDS ${dir}/*_test.cpp)
  file(GLOB qtests CONFIGURE_DEPENDS ${dir}/tst_*.cpp)
  file(GLOB helpers CONFIGURE_DEPENDS ${dir}/support/*.cpp ${dir}/support/*.h)
  foreach(src IN LISTS gtests qtests)
    get_filename_component(name ${src} NAME_WE)
    get_filename_component(sub ${dir} NAME)
    set(target ${sub}_${name})
    add_executable(${target} ${src} ${helpers})
    target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/tests)
    target_link_libraries(${target} PRIVATE ${ARGN} Qt6::Test)
    target_compile_definitions(${target} PRIVATE
        FERROWARDEN_BIN="$<TARGET_FILE:ferrowarden>"
        FERROWARDEN_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
    set_target_properties(${target} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
    if(src IN_LIST gtests)
      target_link_libraries(${target} PRIVATE GTest::gtest GTest::gtest_main GTest::gmock)
    endif()
    add_test(NAME ${target} COMMAND ${target})
    set(environment QT_QPA_PLATFORM=offscreen ${FW_TEST_ENVIRONMENT})
    set_tests_properties(${target} PROPERTIES ENVIRONMENT "${environment}")
    fw_test_timeout(${target} ${FW_TEST_TIMEOUT})
  endforeach()
endfunction()
