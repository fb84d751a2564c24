# Lays out the Windows SDK in QUILVANE_STAGE; run at install time by the
# windows_sdk component (cmake/windows_sdk.cmake sets the QUILVANE_* values).
# The DLLs come from cross builds, made here when their folders are not
# configured yet; the import libraries are made from the .def file, so they
# name exactly the exports.
function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "Windows SDK: failed (${result}): ${ARGN}\n${output}")
  endif()
endfunction()

if(NOT QUILVANE_LLVM_DLLTOOL)
  message(FATAL_ERROR "Windows SDK: llvm-dlltool (Debian package llvm) was not found when the build was configured")
endif()
# Builds made elsewhere are reused as they are, never configured here: a
# folder configured without tests would stay so for its owner.
set(reuse OFF)
if(DEFINED ENV{QUILVANE_WINDOWS_BUILDS})
  set(QUILVANE_WINDOWS_BUILD_PREFIX $ENV{QUILVANE_WINDOWS_BUILDS})
  set(reuse ON)
endif()
set(src ${QUILVANE_SOURCE_DIR})
set(stage ${QUILVANE_STAGE})
file(REMOVE_RECURSE ${stage})

# bin/x86 and lib/x86 hold the i686 build, bin/x64 and lib/x64 the x86_64 one.
foreach(arch IN ITEMS i686 x86_64)
  if(arch STREQUAL i686)
    set(folder x86)
    set(machine i386)
  else()
    set(folder x64)
    set(machine i386:x86-64)
  endif()
  set(build ${QUILVANE_WINDOWS_BUILD_PREFIX}-${arch})
  if(NOT EXISTS ${build}/CMakeCache.txt AND reuse)
    message(FATAL_ERROR "Windows SDK: QUILVANE_WINDOWS_BUILDS names ${build}, which is not configured")
  elseif(NOT EXISTS ${build}/CMakeCache.txt)
    execute_process(COMMAND bash cmake/fetch-cjson-source.sh third_party WORKING_DIRECTORY ${src}
                    OUTPUT_VARIABLE cjson OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE result)
    if(NOT result EQUAL 0 OR cjson STREQUAL "")
      message(FATAL_ERROR "Windows SDK: cmake/fetch-cjson-source.sh found no cJSON source")
    endif()
    run(${QUILVANE_CMAKE} --no-warn-unused-cli -S ${src} -B ${build}
        -DCMAKE_TOOLCHAIN_FILE=${src}/cmake/toolchain-mingw-${arch}.cmake -DCMAKE_BUILD_TYPE=Release
        -DQUILVANE_CJSON_SOURCE_DIR=${src}/${cjson} -DQUILVANE_WERROR=${QUILVANE_WERROR}
        -DQUILVANE_BUILD_TESTS=OFF -DQUILVANE_BUILD_BENCH=OFF)
  endif()
  run(${QUILVANE_CMAKE} --build ${build} --target QUILVANE_SDK quilvane quilvane-sim --parallel 2)

  file(MAKE_DIRECTORY ${stage}/bin/${folder} ${stage}/lib/${folder})
  run(${arch}-w64-mingw32-strip --strip-unneeded -o ${stage}/bin/${folder}/QUILVANE_SDK.dll
      ${build}/src/QUILVANE_SDK.dll)
  foreach(program IN ITEMS quilvane quilvane-sim)
    run(${arch}-w64-mingw32-strip --strip-unneeded -o ${stage}/bin/${folder}/${program}.exe
        ${build}/src/${program}.exe)
  endforeach()
  file(COPY ${build}/src/libQUILVANE_SDK.dll.a DESTINATION ${stage}/lib/${folder})
  # The format Microsoft's linker reads; for x86 the symbols get the
  # underscore of the C calling convention, the imported names stay plain.
  run(${QUILVANE_LLVM_DLLTOOL} -m ${machine} -d ${src}/src/api/QUILVANE_SDK.def -l
      ${stage}/lib/${folder}/QUILVANE_SDK.lib)
endforeach()

file(COPY ${src}/include/quilvane_sdk.h DESTINATION ${stage}/include)
file(COPY ${src}/examples/quilvane_demo.c DESTINATION ${stage}/examples/c)
file(COPY ${src}/bindings/csharp/ DESTINATION ${stage}/csharp)
file(COPY ${src}/python/quilvane_can ${src}/python/quilvane_can-${QUILVANE_VERSION}.dist-info
     DESTINATION ${stage}/python PATTERN __pycache__ EXCLUDE)
file(COPY ${src}/tools/wireshark/quilvane.lua DESTINATION ${stage}/wireshark)
configure_file(${src}/packaging/windows/README.txt.in ${stage}/README.txt @ONLY NEWLINE_STYLE CRLF)

# Last, over everything above: sha256sum -c SHA256SUMS in the unpacked folder checks it.
file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE ${stage} ${stage}/*)
list(SORT files)
set(sums "")
foreach(file IN LISTS files)
  file(SHA256 ${stage}/${file} sum)
  string(APPEND sums "${sum}  ${file}\n")
endforeach()
file(WRITE ${stage}/SHA256SUMS "${sums}")
