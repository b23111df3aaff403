# The native Linux build (cmake --preset native): the publisher and its tests
# with the host compiler. The updater stays a Windows program.
set(CMAKE_CXX_STANDARD 17)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
set(CMAKE_CXX_EXTENSIONS OFF)
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
add_compile_options(-Wall -Wextra -Werror)
include_directories(${CMAKE_SOURCE_DIR})

# The version arithmetic, the request form and the release statement the updater uses, shared with the publisher.
add_library(veldra_version_numbers STATIC ${CMAKE_SOURCE_DIR}/engine/version_numbers.cpp)
add_library(veldra_request_form STATIC ${CMAKE_SOURCE_DIR}/engine/request_form.cpp)
add_library(veldra_release_statement_text STATIC
            ${CMAKE_SOURCE_DIR}/engine/release_statement_text.cpp)

# Debian's libzstd (libzstd-dev), the same 1.5.4 the Windows build compiles.
find_package(zstd CONFIG REQUIRED)
add_library(veldra_zstd INTERFACE)
target_link_libraries(veldra_zstd INTERFACE zstd::libzstd_shared)
add_library(veldra_delta_patch STATIC ${CMAKE_SOURCE_DIR}/support/delta_patch.cpp)
target_link_libraries(veldra_delta_patch PUBLIC veldra_zstd)
add_library(veldra_delta_index STATIC ${CMAKE_SOURCE_DIR}/engine/delta_index.cpp)

add_subdirectory(tools/publish)

include(CTest)
if(BUILD_TESTING)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/deps/googletest EXCLUDE_FROM_ALL)
  add_subdirectory(tests/publish)
endif()
