# The Windows SDK archive's contents (component windows_sdk, not part of a
# plain `cmake --install`). At install time cmake/windows_sdk_stage.cmake
# cross-builds QUILVANE_SDK.dll for i686 and x86_64 in
# windows-sdk/build-windows-i686 and -x86_64 of this build, or, when the
# environment names QUILVANE_WINDOWS_BUILDS, in that path with -i686 and
# -x86_64 appended (folders configured already, such as those of
# scripts/windows-check.sh); then makes the import libraries and lays the SDK
# out in a staging folder, which is installed.
find_program(QUILVANE_LLVM_DLLTOOL llvm-dlltool)

set(stage ${PROJECT_BINARY_DIR}/windows-sdk/stage)
install(CODE "
  set(QUILVANE_CMAKE \"${CMAKE_COMMAND}\")
  set(QUILVANE_SOURCE_DIR \"${PROJECT_SOURCE_DIR}\")
  set(QUILVANE_STAGE \"${stage}\")
  set(QUILVANE_WINDOWS_BUILD_PREFIX \"${PROJECT_BINARY_DIR}/windows-sdk/build-windows\")
  set(QUILVANE_LLVM_DLLTOOL \"${QUILVANE_LLVM_DLLTOOL}\")
  set(QUILVANE_WERROR \"${QUILVANE_WERROR}\")
  set(QUILVANE_VERSION \"${PROJECT_VERSION}\")
  include(\"${PROJECT_SOURCE_DIR}/cmake/windows_sdk_stage.cmake\")
  " COMPONENT windows_sdk EXCLUDE_FROM_ALL)
install(DIRECTORY ${stage}/ DESTINATION . USE_SOURCE_PERMISSIONS COMPONENT windows_sdk EXCLUDE_FROM_ALL)
