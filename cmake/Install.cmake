# What `cmake --install` puts under the prefix: the master library with its
# versioned name, the card driver and the trace library in the same directory
# (the master loads them by plain file name from its own directory), the
# public headers, the command-line tool, the documents and the examples, and
# the files with which CMake (find_package(VELKCANDNM)) and pkg-config
# (velkcandnm) find the library. Everything is found relative to where it
# lies, so the tree may be moved as a whole.
include(CMakePackageConfigHelpers)

set(DNM_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/VELKCANDNM)
set(DNM_PKGCONFIG_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

set_target_properties(velkcandnm PROPERTIES EXPORT_NAME VELKCANDNM)
install(TARGETS velkcandnm EXPORT VELKCANDNMTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(TARGETS velkcan hypertrace LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/VELKCANDNM.h ${PROJECT_SOURCE_DIR}/include/VELKCAN.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
if(TARGET dnm)
  set_target_properties(dnm PROPERTIES INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
  install(TARGETS dnm RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${DNM_MAN_PAGE} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/ DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples
  PATTERN CMakeLists.txt EXCLUDE)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/InstalledExamples.cmake
  DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples RENAME CMakeLists.txt)

# The CMake package, for an installed copy and for this build tree.
install(EXPORT VELKCANDNMTargets NAMESPACE VELKCANDNM:: DESTINATION ${DNM_CMAKE_DIR})
export(EXPORT VELKCANDNMTargets NAMESPACE VELKCANDNM::
  FILE ${PROJECT_BINARY_DIR}/VELKCANDNMTargets.cmake)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/VELKCANDNMConfig.cmake.in
  ${PROJECT_BINARY_DIR}/VELKCANDNMConfig.cmake INSTALL_DESTINATION ${DNM_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/VELKCANDNMConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/VELKCANDNMConfig.cmake
  ${PROJECT_BINARY_DIR}/VELKCANDNMConfigVersion.cmake DESTINATION ${DNM_CMAKE_DIR})

# The pkg-config file names the prefix relative to its own directory.
file(RELATIVE_PATH DNM_PC_TO_PREFIX /prefix/${DNM_PKGCONFIG_DIR} /prefix)
string(REGEX REPLACE "/$" "" DNM_PC_TO_PREFIX "${DNM_PC_TO_PREFIX}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/velkcandnm.pc.in ${PROJECT_BINARY_DIR}/velkcandnm.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/velkcandnm.pc DESTINATION ${DNM_PKGCONFIG_DIR})

# The Python package, under the prefix's Python path (lib/pythonX.Y/site-packages,
# for the Python found here), with the way from there to the library's directory,
# so that the package finds the library beside which it was installed.
find_package(Python3 QUIET COMPONENTS Interpreter)
if(Python3_FOUND)
  set(DNM_PYTHON_SERIES python${Python3_VERSION_MAJOR}.${Python3_VERSION_MINOR})
else()
  set(DNM_PYTHON_SERIES python3)
endif()
set(DNM_PYTHON_DIR lib/${DNM_PYTHON_SERIES}/site-packages CACHE STRING
  "Where cmake --install puts the Python package, relative to the prefix")
file(RELATIVE_PATH DNM_PYTHON_TO_LIBDIR /prefix/${DNM_PYTHON_DIR}/velkcandnm
  /prefix/${CMAKE_INSTALL_LIBDIR})
file(CONFIGURE OUTPUT ${PROJECT_BINARY_DIR}/python/_installed.py CONTENT
  "# Written by cmake --install: the library's directory, relative to this package.\nLIBRARY_DIR = \"@DNM_PYTHON_TO_LIBDIR@\"\n"
  @ONLY)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/python/velkcandnm DESTINATION ${DNM_PYTHON_DIR}
  PATTERN __pycache__ EXCLUDE)
install(FILES ${PROJECT_BINARY_DIR}/python/_installed.py DESTINATION ${DNM_PYTHON_DIR}/velkcandnm)
# The package's metadata, with its entry points (python-can's interface "velkcan"), in
# the build tree's python/ (on the Python path of the tests) and beside the package.
if(Python3_FOUND)
  set(DNM_PYTHON_SOURCE ${PROJECT_SOURCE_DIR}/python)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
    ${DNM_PYTHON_SOURCE}/pyproject.toml ${DNM_PYTHON_SOURCE}/velkcandnm/__init__.py)
  execute_process(COMMAND ${Python3_EXECUTABLE} -B ${DNM_PYTHON_SOURCE}/velkcandnm_build.py
      dist-info ${PROJECT_BINARY_DIR}/python
    OUTPUT_VARIABLE DNM_PYTHON_DIST_INFO COMMAND_ERROR_IS_FATAL ANY)
  install(DIRECTORY ${DNM_PYTHON_DIST_INFO} DESTINATION ${DNM_PYTHON_DIR})
endif()
