# The top level adds bench/ to Linux builds only. Given as
# -DCMAKE_PROJECT_QUILVANE_SDK_INCLUDE=<this file> when a Windows build is
# configured, it adds rack_capacity once the top level has been read
# (deferred calls may not add subdirectories, hence the include).
set(QUILVANE_RACK_CAPACITY_DIR ${CMAKE_CURRENT_LIST_DIR})
cmake_language(DEFER CALL include ${QUILVANE_RACK_CAPACITY_DIR}/CMakeLists.txt)
