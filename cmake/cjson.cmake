# cJSON: Debian's libcjson-dev on Linux. The Windows builds compile it from
# Debian's source package, unpacked by cmake/fetch-cjson-source.sh into the
# folder given as QUILVANE_CJSON_SOURCE_DIR.
if(WIN32)
  set(QUILVANE_CJSON_SOURCE_DIR "" CACHE PATH "Unpacked cJSON source package")
  if(NOT EXISTS "${QUILVANE_CJSON_SOURCE_DIR}/cJSON.c")
    message(FATAL_ERROR "Set QUILVANE_CJSON_SOURCE_DIR to the cJSON source (cmake/fetch-cjson-source.sh fetches it)")
  endif()
  add_library(quilvane_cjson STATIC "${QUILVANE_CJSON_SOURCE_DIR}/cJSON.c")
  target_include_directories(quilvane_cjson SYSTEM PUBLIC "${QUILVANE_CJSON_SOURCE_DIR}")
  # Linked into the DLL, never exported from it.
  target_compile_definitions(quilvane_cjson PUBLIC CJSON_HIDE_SYMBOLS)
  add_library(cjson::cjson ALIAS quilvane_cjson)
else()
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(CJSON REQUIRED IMPORTED_TARGET libcjson)
  add_library(cjson::cjson ALIAS PkgConfig::CJSON)
endif()
