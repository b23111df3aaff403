# Third-party code is never part of the repository: JsonCpp is cross-built from
# Debian's source package, zstd likewise, zlib comes from libz-mingw-w64-dev and GoogleTest
# from /usr/src/googletest.
include(ExternalProject)

if(MSVC)
  # A native Windows build takes the packages from vcpkg (see README).
  find_package(jsoncpp CONFIG REQUIRED)
  find_package(ZLIB REQUIRED)
  find_package(zstd CONFIG REQUIRED)
  add_library(veldra_zstd INTERFACE)
  target_link_libraries(veldra_zstd INTERFACE zstd::libzstd_static)
  if(BUILD_TESTING OR NOT DEFINED BUILD_TESTING)
    find_package(GTest CONFIG REQUIRED)
  endif()
  return()
endif()

set(JSONCPP_PREFIX ${CMAKE_BINARY_DIR}/deps/jsoncpp)
if(NOT EXISTS ${JSONCPP_PREFIX}/lib/cmake/jsoncpp/jsoncppConfig.cmake)
  if(NOT EXISTS ${VELDRA_JSONCPP_TARBALL})
    message(FATAL_ERROR "JsonCpp sources missing: run scripts/bootstrap")
  endif()
  set(src ${CMAKE_BINARY_DIR}/deps/jsoncpp-src)
  file(REMOVE_RECURSE ${src} ${CMAKE_BINARY_DIR}/deps/jsoncpp-build)
  file(ARCHIVE_EXTRACT INPUT ${VELDRA_JSONCPP_TARBALL} DESTINATION ${src})
  file(GLOB jsoncpp_root LIST_DIRECTORIES true ${src}/jsoncpp-*)
  execute_process(
    COMMAND ${CMAKE_COMMAND} -S ${jsoncpp_root} -B ${CMAKE_BINARY_DIR}/deps/jsoncpp-build
            -DCMAKE_TOOLCHAIN_FILE=${CMAKE_TOOLCHAIN_FILE} -DCMAKE_BUILD_TYPE=Release
            -DCMAKE_INSTALL_PREFIX=${JSONCPP_PREFIX} -DJSONCPP_WITH_TESTS=OFF
            -DJSONCPP_WITH_POST_BUILD_UNITTEST=OFF -DBUILD_SHARED_LIBS=OFF
            -DBUILD_STATIC_LIBS=ON -DBUILD_OBJECT_LIBS=OFF
            -DJSONCPP_WITH_PKGCONFIG_SUPPORT=OFF -DJSONCPP_WITH_CMAKE_PACKAGE=ON
    OUTPUT_QUIET RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "JsonCpp: configure failed")
  endif()
  execute_process(COMMAND ${CMAKE_COMMAND} --build ${CMAKE_BINARY_DIR}/deps/jsoncpp-build
                          --target install --parallel 2
                  OUTPUT_QUIET RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "JsonCpp: build failed")
  endif()
endif()
find_package(jsoncpp CONFIG REQUIRED PATHS ${JSONCPP_PREFIX} NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)

# zstd: only the static library, no programs; two jobs at most on the shared
# build machines.
set(ZSTD_PREFIX ${CMAKE_BINARY_DIR}/deps/zstd)
if(NOT EXISTS ${ZSTD_PREFIX}/lib/libzstd.a)
  if(NOT EXISTS ${VELDRA_ZSTD_TARBALL})
    message(FATAL_ERROR "zstd sources missing: run scripts/bootstrap")
  endif()
  set(src ${CMAKE_BINARY_DIR}/deps/zstd-src)
  file(REMOVE_RECURSE ${src} ${CMAKE_BINARY_DIR}/deps/zstd-build)
  file(ARCHIVE_EXTRACT INPUT ${VELDRA_ZSTD_TARBALL} DESTINATION ${src})
  file(GLOB zstd_root LIST_DIRECTORIES true ${src}/zstd-*)
  execute_process(
    COMMAND ${CMAKE_COMMAND} -S ${zstd_root}/build/cmake -B ${CMAKE_BINARY_DIR}/deps/zstd-build
            -DCMAKE_TOOLCHAIN_FILE=${CMAKE_TOOLCHAIN_FILE} -DCMAKE_BUILD_TYPE=Release
            -DCMAKE_INSTALL_PREFIX=${ZSTD_PREFIX} -DZSTD_BUILD_STATIC=ON
            -DZSTD_BUILD_SHARED=OFF -DZSTD_BUILD_PROGRAMS=OFF -DZSTD_BUILD_TESTS=OFF
            -DZSTD_BUILD_CONTRIB=OFF -DZSTD_LEGACY_SUPPORT=OFF -DZSTD_MULTITHREAD_SUPPORT=OFF
    OUTPUT_QUIET RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "zstd: configure failed")
  endif()
  execute_process(COMMAND ${CMAKE_COMMAND} --build ${CMAKE_BINARY_DIR}/deps/zstd-build
                          --target install --parallel 2
                  OUTPUT_QUIET RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "zstd: build failed")
  endif()
endif()
add_library(veldra_zstd INTERFACE)
target_include_directories(veldra_zstd SYSTEM INTERFACE ${ZSTD_PREFIX}/include)
target_link_libraries(veldra_zstd INTERFACE ${ZSTD_PREFIX}/lib/libzstd.a)

find_package(ZLIB REQUIRED)

if(BUILD_TESTING OR NOT DEFINED BUILD_TESTING)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/deps/googletest EXCLUDE_FROM_ALL)
endif()
