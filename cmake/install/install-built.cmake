# cmake -DBUILD_DIR=B -DSCRATCH=S -DCMAKE_INSTALL_PREFIX=P -P install-built.cmake
# Installs the build in B as `cmake --install B --prefix P` does, for a build
# tree that cannot be written (a read-only mount, another user's checkout):
# CMake's install script ends by writing its manifest into B, so a copy of the
# script writing it into the folder S runs instead.
foreach(var BUILD_DIR SCRATCH CMAKE_INSTALL_PREFIX)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "install-built.cmake: -D${var}=... is required")
  endif()
endforeach()
file(READ "${BUILD_DIR}/cmake_install.cmake" script)
string(REGEX MATCH "file\\(WRITE \"[^\"\n]*/\\\${CMAKE_INSTALL_MANIFEST}\"" manifest "${script}")
if(NOT manifest)
  message(FATAL_ERROR "${BUILD_DIR}/cmake_install.cmake: no install manifest to redirect")
endif()
string(REPLACE "${manifest}" "file(WRITE \"${SCRATCH}/\${CMAKE_INSTALL_MANIFEST}\"" script "${script}")
file(WRITE "${SCRATCH}/cmake_install.cmake" "${script}")
include("${SCRATCH}/cmake_install.cmake")
