# The product's sources on Linux, against the in-memory emulation of the
# platform, with the GoogleTest suite.
find_package(GTest REQUIRED)

# The registry and the C runtime are emulated apart: a program that needs
# only the registry walk keeps its real system().
add_library(hostemu-registry STATIC tests/hostemu/registry.cpp)
target_include_directories(hostemu-registry PUBLIC
  ${CMAKE_SOURCE_DIR}/tests/hostemu/include ${CMAKE_SOURCE_DIR})
target_compile_options(hostemu-registry PRIVATE ${WARNINGS})
add_library(hostemu-crt STATIC tests/hostemu/crt.cpp tests/hostemu/kernel.cpp)
target_link_libraries(hostemu-crt PUBLIC hostemu-registry)
target_compile_options(hostemu-crt PRIVATE ${WARNINGS})

add_library(registry-walk STATIC ${REGISTRY_SOURCES})
target_link_libraries(registry-walk PUBLIC hostemu-registry)
target_compile_options(registry-walk PRIVATE ${WARNINGS})

add_library(cleanup-product STATIC ${PRODUCT_SOURCES})
target_link_libraries(cleanup-product PUBLIC registry-walk hostemu-crt)
target_compile_options(cleanup-product PRIVATE ${WARNINGS})

add_subdirectory(tests/host)

option(CLEANUP_FUZZ "Build the libFuzzer target (needs clang)" OFF)
set(FUZZ_SECONDS 60 CACHE STRING "How long fuzz.bounded explores")
if(CLEANUP_FUZZ)
  add_subdirectory(tests/fuzz)
endif()

# Static analysis of the product's sources; any finding fails. Once is
# enough: the sanitizer and fuzz builds leave it out.
option(CLEANUP_STATIC_ANALYSIS "Run clang-tidy and cppcheck as tests" ON)
if(CLEANUP_STATIC_ANALYSIS)
  find_program(CLANG_TIDY clang-tidy-19 REQUIRED)
  find_program(CPPCHECK cppcheck REQUIRED)
  list(TRANSFORM PRODUCT_SOURCES PREPEND ${CMAKE_SOURCE_DIR}/ OUTPUT_VARIABLE TIDY_SOURCES)
  list(TRANSFORM REGISTRY_SOURCES PREPEND ${CMAKE_SOURCE_DIR}/ OUTPUT_VARIABLE TIDY_REGISTRY)
  add_test(NAME static.clang-tidy
    COMMAND ${CLANG_TIDY} -p ${CMAKE_BINARY_DIR} --quiet ${TIDY_SOURCES} ${TIDY_REGISTRY})
  add_test(NAME static.cppcheck
    COMMAND ${CPPCHECK} --enable=warning,style,performance,portability
      --std=c++17 --language=c++ --error-exitcode=1 --inline-suppr --quiet
      -I ${CMAKE_SOURCE_DIR} -I ${CMAKE_SOURCE_DIR}/tests/hostemu/include
      ${CMAKE_SOURCE_DIR}/cleanup ${CMAKE_SOURCE_DIR}/registry ${CMAKE_SOURCE_DIR}/uninstall)
endif()
