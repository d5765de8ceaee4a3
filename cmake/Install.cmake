# Installation (cmake --install, GNUInstallDirs), the pkg-config files, the
# CMake package behind find_package(quillon) and the .deb made by CPack.
# Every rule is guarded, so the tree builds while a library is still missing.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(QUILLON_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/quillon)

set(QUILLON_INSTALLED_LIBRARIES)
foreach(library quillon carrowen trevant dunmarr osprel)
  if(TARGET ${library})
    list(APPEND QUILLON_INSTALLED_LIBRARIES ${library})
  endif()
endforeach()

# libcarrowen's log calls bind to libquillon without naming it (no NEEDED
# entry), so a program built against the installed package links both.
if(TARGET carrowen)
  set_property(TARGET carrowen APPEND PROPERTY INTERFACE_LINK_LIBRARIES $<INSTALL_INTERFACE:quillon::quillon>)
endif()

install(TARGETS ${QUILLON_INSTALLED_LIBRARIES} EXPORT quillonTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
# Installed, libtrevant's RUNPATH is $ORIGIN: it finds the libraries it needs
# in its own directory, whatever the prefix.  (Its build-tree value is set in
# src/Monitors.)
if(TARGET trevant)
  install(CODE "file(RPATH_SET FILE \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/$<TARGET_FILE_NAME:trevant>\"
                                NEW_RPATH \"\\\$ORIGIN\")")
endif()
install(FILES
        ${PROJECT_SOURCE_DIR}/include/quillon.h
        ${PROJECT_SOURCE_DIR}/include/carrowen.h
        ${PROJECT_SOURCE_DIR}/include/trevant.h
        ${PROJECT_SOURCE_DIR}/include/dunmarr.h
        ${PROJECT_SOURCE_DIR}/include/osprel.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

if(TARGET quillon-demo)
  install(TARGETS quillon-demo RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

# CMake package: quillon::quillon, quillon::carrowen, quillon::trevant (and
# quillon::dunmarr, quillon::osprel), relocatable with the prefix.
install(EXPORT quillonTargets NAMESPACE quillon:: DESTINATION ${QUILLON_INSTALL_CMAKEDIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/quillonConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/quillonConfig.cmake
                              INSTALL_DESTINATION ${QUILLON_INSTALL_CMAKEDIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/quillonConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/quillonConfig.cmake ${PROJECT_BINARY_DIR}/quillonConfigVersion.cmake
        DESTINATION ${QUILLON_INSTALL_CMAKEDIR})

# pkg-config files are written when installing, so they name the prefix
# actually installed to (`cmake --install --prefix`, or /usr in the .deb).
set(QUILLON_PKGCONFIG_MODULES)
foreach(module quillon carrowen trevant)
  if(TARGET ${module})
    list(APPEND QUILLON_PKGCONFIG_MODULES ${module})
  endif()
endforeach()
install(CODE "
  set(QUILLON_PC_MODULES \"${QUILLON_PKGCONFIG_MODULES}\")
  set(QUILLON_PC_TEMPLATES \"${CMAKE_CURRENT_LIST_DIR}/pkgconfig\")
  set(QUILLON_PC_LIBDIR \"${CMAKE_INSTALL_LIBDIR}\")
  set(QUILLON_PC_INCLUDEDIR \"${CMAKE_INSTALL_INCLUDEDIR}\")
  set(QUILLON_PC_VERSION \"${PROJECT_VERSION}\")
  include(\"${CMAKE_CURRENT_LIST_DIR}/WritePkgConfig.cmake\")")

# The .deb: libraries, headers, pkg-config and CMake files, quillon-demo.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quillon)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_DESCRIPTION
    "libquillon (console logging), libcarrowen (pipe message queue), libtrevant (monitor with an FTP server),\
 libosprel (the FTP server) and libdunmarr (task threads), their headers and the example host quillon-demo.")
set(CPACK_PACKAGE_CONTACT "quillon maintainers <maintainers@quillon.invalid>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
# Registers the libraries' sonames and the ldconfig trigger.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
find_program(QUILLON_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(QUILLON_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.34), libstdc++6 (>= 12), libgcc-s1, libssl3 (>= 3.0.0)")
endif()
include(CPack)
