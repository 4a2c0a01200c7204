# Cross-building for 64-bit Windows with Debian's mingw-w64 (the posix-threads compiler, so
# std::thread and std::mutex work) and running the programs under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CADDIS_MINGW_TRIPLET x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${CADDIS_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${CADDIS_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${CADDIS_MINGW_TRIPLET}-windres)

# libusb-1.0 for Windows is built from source into its own prefix (scripts/libusb-mingw.sh).
get_filename_component(CADDIS_SOURCE_ROOT "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
set(CADDIS_LIBUSB_PREFIX "${CADDIS_SOURCE_ROOT}/build/libusb-mingw"
    CACHE PATH "Where scripts/libusb-mingw.sh installed libusb-1.0 for Windows")
# Qt 6 for Windows likewise (scripts/qt-mingw.sh); its tools (moc, rcc, uic) run on the
# build machine and are Debian's own, of the same version.
set(CADDIS_QT_PREFIX "${CADDIS_SOURCE_ROOT}/build/qt-mingw"
    CACHE PATH "Where scripts/qt-mingw.sh installed Qt 6 for Windows")
# libsodium and libzip for release packages likewise (scripts/package-libs-mingw.sh).
set(CADDIS_PACKAGE_LIBS_PREFIX "${CADDIS_SOURCE_ROOT}/build/package-libs-mingw"
    CACHE PATH "Where scripts/package-libs-mingw.sh installed libsodium and libzip for Windows")
set(QT_HOST_PATH /usr)
set(QT_HOST_PATH_CMAKE_DIR /usr/lib/x86_64-linux-gnu/cmake)
set(CMAKE_FIND_ROOT_PATH /usr/${CADDIS_MINGW_TRIPLET} ${CADDIS_LIBUSB_PREFIX} ${CADDIS_QT_PREFIX}
    ${CADDIS_PACKAGE_LIBS_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config sees only the Windows side's .pc files, never the build machine's.
set(ENV{PKG_CONFIG_LIBDIR}
    "/usr/${CADDIS_MINGW_TRIPLET}/lib/pkgconfig:${CADDIS_LIBUSB_PREFIX}/lib/pkgconfig:${CADDIS_PACKAGE_LIBS_PREFIX}/lib/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")

# The C++ runtime goes into each program, so an .exe runs without mingw's DLLs beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
# Tests and the tools run through Wine.
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
