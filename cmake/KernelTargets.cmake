# One source of hot kernels, compiled once per instruction-set target.
#
# Each copy is compiled with its own -march, then partially linked into one object whose functions
# are all made local (LocalizeKernelObject.cmake): otherwise the linker would keep one of the
# identical-looking inline and template copies (of the kernels, of Eigen's product, of the
# standard library) for all targets, and code built for AVX-512 could run on a CPU without it.
# Only the target's table, quillfen_kernels_<target>, stays visible.

set(QUILLFEN_KERNEL_SOURCE ${PROJECT_SOURCE_DIR}/src/kernels/simd/kernels_for_target.cpp)
foreach(tool CMAKE_LINKER CMAKE_NM CMAKE_OBJCOPY)
  if(NOT ${tool})
    message(FATAL_ERROR "${tool} not found: the per-target kernels need binutils (ld, nm, objcopy)")
  endif()
endforeach()

# quillfen_add_kernel_target(<arch> <objects-variable>): compiles the kernels for -march=<arch>
# and appends the localized object to <objects-variable>.
function(quillfen_add_kernel_target arch objects_var)
  string(REPLACE "-" "_" suffix ${arch})
  set(table quillfen_kernels_${suffix})
  add_library(${table} OBJECT ${QUILLFEN_KERNEL_SOURCE})
  target_include_directories(${table} PRIVATE ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(${table} PRIVATE Eigen3::Eigen quillfen_flags)
  # Loops start on 32-byte boundaries: a short loop that straddles a 64-byte line runs slower on
  # some CPUs, and where it falls otherwise moves with unrelated code (a row product loop of
  # predict was 10-40 % slower after the Gram kernels grew).
  target_compile_options(${table} PRIVATE -falign-loops=32)
  target_compile_definitions(${table} PRIVATE QUILLFEN_KERNEL_TABLE=${table}
                                              QUILLFEN_KERNEL_TARGET="${arch}")
  set_target_properties(${table} PROPERTIES QUILLFEN_TARGET_ARCH ${arch}
                                            POSITION_INDEPENDENT_CODE ON
                                            CXX_VISIBILITY_PRESET hidden
                                            VISIBILITY_INLINES_HIDDEN ON)

  set(localized ${CMAKE_CURRENT_BINARY_DIR}/${table}.o)
  add_custom_command(
    OUTPUT ${localized}
    COMMAND ${CMAKE_COMMAND} -DLINKER=${CMAKE_LINKER} -DNM=${CMAKE_NM} -DOBJCOPY=${CMAKE_OBJCOPY}
            -DKEEP=${table} -DSUFFIX=.${suffix} -DOUTPUT=${localized} "-DINPUTS=$<TARGET_OBJECTS:${table}>"
            -P ${PROJECT_SOURCE_DIR}/cmake/LocalizeKernelObject.cmake
    DEPENDS ${table} $<TARGET_OBJECTS:${table}> ${PROJECT_SOURCE_DIR}/cmake/LocalizeKernelObject.cmake
    COMMENT "Making the ${arch} kernels private to their object"
    COMMAND_EXPAND_LISTS VERBATIM)
  set(${objects_var} ${${objects_var}} ${localized} PARENT_SCOPE)
endfunction()
