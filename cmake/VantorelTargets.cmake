# vt_library(<name> DEPS <targets...> [EXCLUDE <file names...>])
# A static library made of every .cpp/.c of the calling folder. Sources added
# later are picked up at the next build (CONFIGURE_DEPENDS).
function(vt_library name)
  cmake_parse_arguments(A "" "" "DEPS;EXCLUDE" ${ARGN})
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/*.c)
  foreach(ex IN LISTS A_EXCLUDE)
    list(FILTER srcs EXCLUDE REGEX "/${ex}$")
  endforeach()
  if(srcs)
    add_library(${name} STATIC ${srcs})
    target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src ${PROJECT_BINARY_DIR}/src)
    target_link_libraries(${name} PUBLIC ${A_DEPS})
  else()
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${PROJECT_SOURCE_DIR}/src ${PROJECT_BINARY_DIR}/src)
    target_link_libraries(${name} INTERFACE ${A_DEPS})
  endif()
endfunction()

# vt_test(<name> DEPS <targets...>)
# One GoogleTest executable made of every .cpp of the calling test folder;
# each test case becomes a CTest test (discovered when ctest runs).
function(vt_test name)
  cmake_parse_arguments(A "" "TIMEOUT" "DEPS;LABELS" ${ARGN})
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  if(NOT srcs)
    return()
  endif()
  if(NOT A_TIMEOUT)
    set(A_TIMEOUT 120)
  endif()
  add_executable(${name} ${srcs})
  target_link_libraries(${name} PRIVATE ${A_DEPS} GTest::gmock GTest::gtest_main Threads::Threads)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests ${CMAKE_CURRENT_SOURCE_DIR})
  target_compile_definitions(${name} PRIVATE
    VT_SOURCE_DIR="${PROJECT_SOURCE_DIR}" VT_BINARY_DIR="${PROJECT_BINARY_DIR}"
    VT_VANTOREL_EXE="${PROJECT_BINARY_DIR}/bin/vantorel")
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST
    PROPERTIES TIMEOUT ${A_TIMEOUT} LABELS "${A_LABELS}")
endfunction()
