# Builds the examples against the installed library; installed as the
# examples' CMakeLists.txt (share/doc/VELKCANDNM/examples), which finds the
# package of the prefix it lies in:
#
#   cmake -S PREFIX/share/doc/VELKCANDNM/examples -B build && cmake --build build
#   VELKCAN_NETWORK=PREFIX/share/doc/VELKCANDNM/examples/polled_io-network.txt build/example_polled_io
#
# dnm_example walks network.txt; each example_NAME runs on NAME-network.txt.
cmake_minimum_required(VERSION 3.16)
project(VELKCANDNM_examples C)
set(CMAKE_C_STANDARD 11)
set(CMAKE_C_EXTENSIONS OFF)
list(APPEND CMAKE_PREFIX_PATH ${CMAKE_CURRENT_LIST_DIR}/../../../..)
find_package(VELKCANDNM 1 REQUIRED)

add_executable(dnm_example main_job.c)
target_link_libraries(dnm_example PRIVATE VELKCANDNM::VELKCANDNM)
foreach(name attributes polled_io cos device_recovery)
  add_executable(example_${name} ${name}.c)
  target_link_libraries(example_${name} PRIVATE VELKCANDNM::VELKCANDNM)
endforeach()
