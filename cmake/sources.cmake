# The updater's portable logic: one list for the Windows program and the native unit tests.
set(KV_LOGIC_SOURCES
  ${CMAKE_SOURCE_DIR}/locate/locator.cpp
  ${CMAKE_SOURCE_DIR}/update/edition_guard.cpp
  ${CMAKE_SOURCE_DIR}/update/replace.cpp
  ${CMAKE_SOURCE_DIR}/update/restore.cpp
  ${CMAKE_SOURCE_DIR}/update/szdd.cpp
)
