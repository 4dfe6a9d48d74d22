find_package(GTest REQUIRED)
include(GoogleTest)

# kelvatta_add_test(NAME <name> SOURCES <files...> [LIBS <libs...>] LABEL <label> [TIMEOUT <s>])
# Every test binary links the core library; its cases become CTest tests carrying the one label of
# the folder they test: platform, media, timecode, operations, intake, ui or app. The core tests are
# all but ui and app; platform, operations and intake also run under ThreadSanitizer.
function(kelvatta_add_test)
  cmake_parse_arguments(T "" "NAME;LABEL;TIMEOUT" "SOURCES;LIBS" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 600)
  endif()
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE kelvatta_core GTest::gtest GTest::gtest_main ${T_LIBS})
  target_include_directories(${T_NAME} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  target_compile_definitions(${T_NAME} PRIVATE
    KELVATTA_BUILD_DIR="${PROJECT_BINARY_DIR}" KELVATTA_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
  gtest_discover_tests(${T_NAME}
    DISCOVERY_TIMEOUT 60
    PROPERTIES LABELS ${T_LABEL} TIMEOUT ${T_TIMEOUT})
endfunction()
