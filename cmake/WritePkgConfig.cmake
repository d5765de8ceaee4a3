# Runs at install time, in the install script: writes each module's .pc file
# for the prefix being installed to and records it in the install manifest.
set(QUILLON_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
set(QUILLON_PC_DIR "${CMAKE_INSTALL_PREFIX}/${QUILLON_PC_LIBDIR}/pkgconfig")
foreach(module IN LISTS QUILLON_PC_MODULES)
  set(installed "$ENV{DESTDIR}${QUILLON_PC_DIR}/${module}.pc")
  message(STATUS "Installing: ${installed}")
  configure_file("${QUILLON_PC_TEMPLATES}/${module}.pc.in" "${installed}" @ONLY)
  list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${QUILLON_PC_DIR}/${module}.pc")
endforeach()
