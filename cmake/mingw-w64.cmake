# Cross-compiles for 64-bit Windows with Debian's MinGW-w64 (the posix thread model, which
# std::thread and Qt need). Used for Qt itself and for this project:
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DCMAKE_PREFIX_PATH=<qt prefix> ...
# A Qt prefix given through CMAKE_PREFIX_PATH or UPDATER_QT_MINGW_PREFIX joins the find root.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(_mingw_triple x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${_mingw_triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_mingw_triple}-g++-posix)
set(CMAKE_RC_COMPILER ${_mingw_triple}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${_mingw_triple})
if(DEFINED ENV{UPDATER_QT_MINGW_PREFIX})
    list(APPEND CMAKE_FIND_ROOT_PATH "$ENV{UPDATER_QT_MINGW_PREFIX}")
endif()
if(UPDATER_QT_MINGW_PREFIX)
    list(APPEND CMAKE_FIND_ROOT_PATH "${UPDATER_QT_MINGW_PREFIX}")
endif()
foreach(_prefix IN LISTS CMAKE_PREFIX_PATH)
    list(APPEND CMAKE_FIND_ROOT_PATH "${_prefix}")
endforeach()

# Host programs (moc, uic, rcc) come from the build machine; headers and libraries
# only from the target roots, never from /usr.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
