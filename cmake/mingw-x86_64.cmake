# The same sources for 64-bit Windows: what the Wine suite runs on a machine that runs no 32-bit
# programs (tests/e2e/run). The updater that ships is the 32-bit one.
set(KV_MINGW_TARGET x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-i686.cmake)
