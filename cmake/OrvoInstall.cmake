# `cmake --install BUILD --prefix P` lays out the whole product:
#   P/bin/orvo                      every command, `orvo build` included
#   P/lib/orvo/liborvo_NAME.so      the shipped model libraries, each with its
#   P/lib/orvo/liborvo_NAME.json    metadata beside it
#   P/lib/orvo/                     and what building a model needs: the runtime
#                                   archive, ODEPACK, the generator, the headers
#                                   generated code includes, the export map and
#                                   the compile and link flags (build.conf)
#   P/include/orvo/orvo.h           the host contract
#   P/lib/cmake/orvo/               find_package(orvo): orvo::core, orvo_add_model
#   P/share/orvo/                   documentation, scenarios, model descriptions
#   P/lib/python3/dist-packages/orvo  the Python package
# The libraries are private to orvo (no sonames for the dynamic linker to
# manage), so the layout is the same under every prefix, /usr included: the
# installed orvo and the Python package find them relative to themselves.
set(CMAKE_INSTALL_LIBDIR lib)
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(ORVO_INSTALL_PRIVATE ${CMAKE_INSTALL_LIBDIR}/orvo)

install(TARGETS orvo RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(PROGRAMS ${PROJECT_SOURCE_DIR}/scripts/orvo-submit-slurm DESTINATION ${CMAKE_INSTALL_BINDIR})
# The model hosts load when given none, named beside the libraries.
file(WRITE ${CMAKE_BINARY_DIR}/lib/orvo-default-model "${ORVO_DEFAULT_MODEL}\n")
install(FILES ${CMAKE_BINARY_DIR}/lib/orvo-default-model DESTINATION ${ORVO_INSTALL_PRIVATE})
get_property(ORVO_MODELS GLOBAL PROPERTY ORVO_MODELS)
foreach(model IN LISTS ORVO_MODELS)
  install(TARGETS orvo_${model} LIBRARY DESTINATION ${ORVO_INSTALL_PRIVATE})
  get_target_property(metadata orvo_${model} ORVO_METADATA)
  install(FILES ${metadata} DESTINATION ${ORVO_INSTALL_PRIVATE})
endforeach()
install(TARGETS orvo_core odepack ARCHIVE DESTINATION ${ORVO_INSTALL_PRIVATE})

# The headers generated model code includes, and only those.
set(ORVO_MODEL_HEADERS common/SharedFlag.h common/TextException.h operators/OrvoSimOperators.h operators/MemoryOperators.h
    operators/RunControlOperators.h runtime/OrvoSimRuntimeAPI.h)
foreach(header IN LISTS ORVO_MODEL_HEADERS)
  get_filename_component(folder ${header} DIRECTORY)
  install(FILES ${PROJECT_SOURCE_DIR}/src/${header} DESTINATION ${ORVO_INSTALL_PRIVATE}/include/${folder})
endforeach()
install(FILES ${PROJECT_SOURCE_DIR}/include/orvo/orvo.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/orvo)
install(FILES ${PROJECT_SOURCE_DIR}/src/runtime/orvo.map DESTINATION ${ORVO_INSTALL_PRIVATE})
install(PROGRAMS ${PROJECT_SOURCE_DIR}/tools/orvo-modelgen/orvo-modelgen DESTINATION ${ORVO_INSTALL_PRIVATE}/modelgen)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/tools/orvo-modelgen/modelgen DESTINATION ${ORVO_INSTALL_PRIVATE}/modelgen
        FILES_MATCHING PATTERN "*.py" PATTERN "__pycache__" EXCLUDE)
install(PROGRAMS ${PROJECT_SOURCE_DIR}/tools/orvo-import/orvo-import DESTINATION ${ORVO_INSTALL_PRIVATE}/import)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/tools/orvo-import/orvoimport DESTINATION ${ORVO_INSTALL_PRIVATE}/import
        FILES_MATCHING PATTERN "*.py" PATTERN "__pycache__" EXCLUDE)

# Compile and link flags for `orvo build`: the compiler, language and
# sanitizer options of this build, and the libraries a model library links.
set(ORVO_BUILD_CXX ${CMAKE_CXX_COMPILER})
string(TOUPPER "${CMAKE_BUILD_TYPE}" ORVO_BUILD_TYPE_UPPER)
set(ORVO_BUILD_CXXFLAGS "${CMAKE_CXX_FLAGS} ${CMAKE_CXX_FLAGS_${ORVO_BUILD_TYPE_UPPER}}")
string(JOIN " " ORVO_BUILD_SANITIZER ${ORVO_SANITIZER_FLAGS})
set(ORVO_BUILD_LIBS)
foreach(lib sundials_cvode sundials_nvecserial sundials_sunmatrixdense sundials_sunmatrixband
            sundials_sunlinsoldense sundials_sunlinsolband sundials_sunmatrixsparse sundials_sunlinsolklu)
  list(APPEND ORVO_BUILD_LIBS ${ORVO_LIB_${lib}})
endforeach()
list(APPEND ORVO_BUILD_LIBS ${BLAS_LIBRARIES} -lgfortran -lquadmath -lm -pthread)
string(JOIN " " ORVO_BUILD_LIBS ${ORVO_BUILD_LIBS})
set(ORVO_BUILD_INCLUDE include)
set(ORVO_BUILD_GENERATOR modelgen/orvo-modelgen)
set(ORVO_BUILD_RUNTIME liborvo_core.a)
set(ORVO_BUILD_ODEPACK libodepack.a)
set(ORVO_BUILD_EXPORT_MAP orvo.map)
set(ORVO_BUILD_IMPORTER import/orvo-import)
configure_file(${PROJECT_SOURCE_DIR}/cmake/install/build.conf.in ${CMAKE_BINARY_DIR}/install/build.conf @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/install/build.conf DESTINATION ${ORVO_INSTALL_PRIVATE})
# The build tree's own, so that build/bin/orvo build works before installing.
set(ORVO_BUILD_INCLUDE ${PROJECT_SOURCE_DIR}/src)
set(ORVO_BUILD_GENERATOR ${PROJECT_SOURCE_DIR}/tools/orvo-modelgen/orvo-modelgen)
set(ORVO_BUILD_RUNTIME $<TARGET_FILE:orvo_core>)
set(ORVO_BUILD_ODEPACK $<TARGET_FILE:odepack>)
set(ORVO_BUILD_EXPORT_MAP ${PROJECT_SOURCE_DIR}/src/runtime/orvo.map)
set(ORVO_BUILD_IMPORTER ${PROJECT_SOURCE_DIR}/tools/orvo-import/orvo-import)
configure_file(${PROJECT_SOURCE_DIR}/cmake/install/build.conf.in ${CMAKE_BINARY_DIR}/install/build-tree.conf.in @ONLY)
file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/lib/orvo/build.conf INPUT ${CMAKE_BINARY_DIR}/install/build-tree.conf.in)

# find_package(orvo)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/install/orvoConfig.cmake.in
    ${CMAKE_BINARY_DIR}/install/orvoConfig.cmake
    INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/orvo
    PATH_VARS ORVO_INSTALL_PRIVATE CMAKE_INSTALL_INCLUDEDIR)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/install/orvoConfigVersion.cmake
    COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/install/orvoConfig.cmake ${CMAKE_BINARY_DIR}/install/orvoConfigVersion.cmake
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/orvo)

# Documentation, scenarios and the model descriptions.
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DATADIR}/orvo)
# README.md refers to python/README.md; the same relative path works installed.
install(FILES ${PROJECT_SOURCE_DIR}/python/README.md DESTINATION ${CMAKE_INSTALL_DATADIR}/orvo/python)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/ DESTINATION ${CMAKE_INSTALL_DATADIR}/orvo/docs)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/ DESTINATION ${CMAKE_INSTALL_DATADIR}/orvo/examples
        PATTERN "*.slurm" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
        WORLD_READ WORLD_EXECUTE)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/models/ DESTINATION ${CMAKE_INSTALL_DATADIR}/orvo/models
        FILES_MATCHING PATTERN "*.model" PATTERN "*.scenario" PATTERN "*.csv" PATTERN "*.json" PATTERN "*.svg")

# The Python package, where Debian's python3 looks under a /usr prefix.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/python/orvo DESTINATION lib/python3/dist-packages
        FILES_MATCHING PATTERN "*.py" PATTERN "py.typed" PATTERN "__pycache__" EXCLUDE)

# Debian's documentation files for the package.
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/install/doc)
execute_process(COMMAND gzip -9nc ${PROJECT_SOURCE_DIR}/cmake/install/changelog
                OUTPUT_FILE ${CMAKE_BINARY_DIR}/install/doc/changelog.gz)
install(FILES ${PROJECT_SOURCE_DIR}/cmake/install/copyright ${CMAKE_BINARY_DIR}/install/doc/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/orvo)

# `make deb`: a Debian package of the above under /usr. Run-time dependencies
# are the shared libraries the programs and model libraries load; the compiler
# and -dev packages are what `orvo build` and find_package(orvo) use.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME orvo)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "orvo developers <orvo@example.org>")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "compiled continuous-simulation runtime with PBPK models")
set(CPACK_PACKAGE_DESCRIPTION
    "orvo integrates models written as description files, compiled into shared\n libraries: a command line for runs, populations and sensitivity, a Python\n package, and orvo build to compile new models.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "python3, python3-numpy, python3-pandas, g++, gfortran, libsundials-dev, libblas-dev")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "python3-matplotlib, python3-scipy")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/cmake/install/deb/prerm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
