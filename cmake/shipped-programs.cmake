# rolm.exe, rolmview.exe and the XP import probe, built by a second configure
# of this tree with the win32 thread-model compilers (ROLM_SHIPPED_TOOLCHAIN),
# straight into this build's bin/, so that tests and scripts find them there.
# The targets rolm_cli, rolmview and rolm_xp_probe stand for those files here.
include(ExternalProject)
set(shipped_bin ${CMAKE_BINARY_DIR}/bin)
ExternalProject_Add(rolm_shipped
    SOURCE_DIR ${PROJECT_SOURCE_DIR}
    BINARY_DIR ${CMAKE_BINARY_DIR}/shipped
    CMAKE_ARGS
        -DCMAKE_TOOLCHAIN_FILE=${ROLM_SHIPPED_TOOLCHAIN}
        -DCMAKE_BUILD_TYPE=${CMAKE_BUILD_TYPE}
        -DCMAKE_C_COMPILER_LAUNCHER=${CMAKE_C_COMPILER_LAUNCHER}
        -DCMAKE_CXX_COMPILER_LAUNCHER=${CMAKE_CXX_COMPILER_LAUNCHER}
        -DCMAKE_RUNTIME_OUTPUT_DIRECTORY=${shipped_bin}
        -DROLM_BUILD_TESTS=OFF -DROLM_BUILD_BENCH=OFF -DROLM_WARNINGS_AS_ERRORS=${ROLM_WARNINGS_AS_ERRORS}
    INSTALL_COMMAND ""
    BUILD_ALWAYS ON
    BUILD_BYPRODUCTS ${shipped_bin}/rolm.exe ${shipped_bin}/rolmview.exe ${shipped_bin}/rolm_xp_probe.exe)
foreach(program rolm_cli=rolm rolmview=rolmview rolm_xp_probe=rolm_xp_probe)
    string(REPLACE "=" ";" program ${program})
    list(GET program 0 target)
    list(GET program 1 file)
    add_executable(${target} IMPORTED GLOBAL)
    set_target_properties(${target} PROPERTIES IMPORTED_LOCATION ${shipped_bin}/${file}.exe
        CROSSCOMPILING_EMULATOR "${CMAKE_CROSSCOMPILING_EMULATOR}")
    add_dependencies(${target} rolm_shipped)
endforeach()
install(PROGRAMS ${shipped_bin}/rolm.exe ${shipped_bin}/rolmview.exe DESTINATION ${CMAKE_INSTALL_BINDIR})
