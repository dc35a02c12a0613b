# ODEPACK's DLSODES from the Fortran sources of the r-cran-desolve source
# package (fetched by scripts/install-deps.sh). The package's R printing
# routines are supplied by our own adapter, not taken from its C sources.
set(ODEPACK_SOURCES
    ${ORVO_ODEPACK_DIR}/src/opkdmain.f
    ${ORVO_ODEPACK_DIR}/src/opkda1.f
    ${ORVO_ODEPACK_DIR}/src/dlinpk.f)
foreach(source IN LISTS ODEPACK_SOURCES)
  if(NOT EXISTS ${source})
    message(FATAL_ERROR "ODEPACK source ${source} missing: run scripts/install-deps.sh")
  endif()
endforeach()

add_library(odepack STATIC ${ODEPACK_SOURCES})
# Legacy Fortran 77: no warnings wanted from third-party code, no sanitizers.
# -O3 -funroll-loops whatever the build type: DLSODES is most of a run's time
# and runs about a sixth faster than at -O2, with bit-identical results (no
# floating-point reassociation is allowed either way).
target_compile_options(odepack PRIVATE -std=legacy -w -O3 -funroll-loops -fno-sanitize=all)
target_link_libraries(odepack PUBLIC BLAS::BLAS gfortran)
