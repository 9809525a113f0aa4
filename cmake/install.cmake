# What `cmake --install` puts where, and the Debian packages `cpack -G DEB` makes of it.
#
# Two components, one package each:
#   programs     tarvo, tarvo-tools and their man pages       -> tarvo_<version>_<arch>.deb
#   development  the library's headers, static libraries and   -> tarvo-dev_<version>_<arch>.deb
#                a CMake package config (find_package(tarvo), target tarvo::tarvo)
# A plain `cmake --install build --prefix DIR` installs both.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# Folders get 0755 whatever the umask of the install or the packaging, or of the checkout the
# headers' folders are copied from (a umask of 000 made them writable by everyone).
set(_tarvo_directory_permissions OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS ${_tarvo_directory_permissions})
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS ${_tarvo_directory_permissions})

# Programs and man pages. The pages carry the version from project(), so they are configured.
set(_tarvo_programs tarvo)
set(_tarvo_pages tarvo)
if(TARVO_BUILD_TOOLS)
  list(APPEND _tarvo_programs tarvo-tools)
  list(APPEND _tarvo_pages tarvo-tools)
endif()
install(TARGETS ${_tarvo_programs} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT programs)
foreach(_page IN LISTS _tarvo_pages)
  configure_file(man/${_page}.1.in man/${_page}.1 @ONLY)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/man/${_page}.1
          DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT programs)
endforeach()

# The library for other CMake projects: its public face (include/tarvo) and one static library,
# target tarvo::tarvo. The rooms' own headers stay in the source tree.
set(_tarvo_config_dir ${CMAKE_INSTALL_LIBDIR}/cmake/tarvo)
target_include_directories(tarvo_lib INTERFACE $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
if(TARVO_BUILD_TOOLS)
  set(_tarvo_libraries tarvo_lib tarvo_quantities)
else()
  set(_tarvo_libraries tarvo_lib)
endif()
install(TARGETS ${_tarvo_libraries} EXPORT tarvoTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development)
install(DIRECTORY include/tarvo ${CMAKE_CURRENT_BINARY_DIR}/include/tarvo
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development
        DIRECTORY_PERMISSIONS ${_tarvo_directory_permissions}
        FILES_MATCHING PATTERN "*.h")
install(EXPORT tarvoTargets NAMESPACE tarvo:: DESTINATION ${_tarvo_config_dir} COMPONENT development)
configure_package_config_file(cmake/tarvoConfig.cmake.in tarvoConfig.cmake
                              INSTALL_DESTINATION ${_tarvo_config_dir})
write_basic_package_version_file(tarvoConfigVersion.cmake COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/tarvoConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/tarvoConfigVersion.cmake
        DESTINATION ${_tarvo_config_dir} COMPONENT development)

# Debian packages; each description's first line is its synopsis. Depends of the programs come
# from dpkg-shlibdeps (package dpkg-dev, which also needs `file`): libc6, libstdc++6, libgcc-s1
# and, with tarvo-tools, libpng16-16, libtiff6 and zlib1g.
set(CPACK_PACKAGE_NAME tarvo)
set(CPACK_PACKAGE_CONTACT "tarvo developers")
set(CPACK_COMPONENT_PROGRAMS_DESCRIPTION "cut a voxel particle by a plane to see its interior
tarvo reads one particle from a shape form file (*.3d), clears every voxel
beyond a plane given by three axis-cut lengths from its centre and writes the
cut particle with its new measurements. tarvo-tools makes, inspects, draws,
exports and imports particles.")
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL programs development)
if(TARVO_BUILD_PYTHON)
  # The Python package, built for the interpreter found (Debian's /usr/bin/python3): no compiler
  # is needed to install it. The module links only the C and C++ runtime.
  list(APPEND CPACK_COMPONENTS_ALL python)
  set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-tarvo)
  set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
  set(CPACK_DEBIAN_PYTHON_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS
      "python3 (>= ${Python3_VERSION_MAJOR}.${Python3_VERSION_MINOR}~), python3 (<< ${Python3_VERSION_MAJOR}.${Python3_VERSION_MINOR}.99), python3-numpy")
  set(CPACK_COMPONENT_PYTHON_DESCRIPTION "Python package of tarvo: particles as numpy arrays
The shape form files (*.3d) of tarvo read, measured, cut and written from
Python through the library of the tarvo program, so that a cut from Python
clears exactly the voxels the program clears: import tarvo.")
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PROGRAMS_PACKAGE_NAME tarvo)
set(CPACK_DEBIAN_PROGRAMS_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME tarvo-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_COMPONENT_DEVELOPMENT_DESCRIPTION "library of tarvo: headers, static libraries, CMake config
The shape form file format, measurements and the plane cut of tarvo for
other CMake projects: find_package(tarvo), target tarvo::tarvo.")
if(CMAKE_CROSSCOMPILING)
  # dpkg would name the build machine's architecture.
  if(CMAKE_SYSTEM_PROCESSOR STREQUAL "aarch64")
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
  elseif(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64")
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
  endif()
endif()
include(CPack)
