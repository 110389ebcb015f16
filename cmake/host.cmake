# The product's sources on Linux, against the in-memory emulation of the
# platform, with the GoogleTest suite.
find_package(GTest REQUIRED)

add_library(hostemu STATIC hostemu/registry.cpp hostemu/crt.cpp)
target_include_directories(hostemu PUBLIC
  ${CMAKE_SOURCE_DIR}/hostemu/include ${CMAKE_SOURCE_DIR})
target_compile_options(hostemu PRIVATE ${WARNINGS})

add_library(cleanup-product STATIC ${PRODUCT_SOURCES})
target_include_directories(cleanup-product PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(cleanup-product PUBLIC hostemu)
target_compile_options(cleanup-product PRIVATE ${WARNINGS})

add_subdirectory(tests/host)
