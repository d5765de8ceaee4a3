# Installation (cmake --install, GNUInstallDirs): the libraries, headers,
# pkg-config files, the CMake package behind find_package(quillon),
# quillon-demo with its man page, and the log-line parsers for lnav and
# rsyslog.  The Debian packages (debian/) are made from these rules.  Every
# rule is guarded, so the tree builds while a library is still missing.
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
# in its own directory, whatever the prefix; or none at all without
# QUILLON_INSTALL_RPATH.  (Its build-tree value is set in src/Monitors.)
if(TARGET trevant)
  set(trevant_installed "\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/$<TARGET_FILE_NAME:trevant>")
  if(QUILLON_INSTALL_RPATH)
    install(CODE "file(RPATH_SET FILE \"${trevant_installed}\" NEW_RPATH \"\\\$ORIGIN\")")
  else()
    install(CODE "file(RPATH_REMOVE FILE \"${trevant_installed}\")")
  endif()
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
  install(FILES ${PROJECT_SOURCE_DIR}/examples/quillon-demo.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

# Parsers of the log lines: an lnav format and a liblognorm rule base for
# rsyslog's mmnormalize.
install(FILES ${PROJECT_SOURCE_DIR}/parsers/lnav/quillon_log.json DESTINATION ${CMAKE_INSTALL_DATADIR}/quillon/lnav)
install(FILES ${PROJECT_SOURCE_DIR}/parsers/rsyslog/quillon.rb DESTINATION ${CMAKE_INSTALL_DATADIR}/quillon/rsyslog)

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
