# cmake -DLINKER=ld -DNM=nm -DOBJCOPY=objcopy -DKEEP=<table> -DSUFFIX=<suffix> -DOUTPUT=<object>
#   -DINPUTS=<objects> -P LocalizeKernelObject.cmake
#
# Links INPUTS into one relocatable object, then makes every function in it local, so that no
# other object's call can reach a copy compiled for this target, and this copy's calls reach only
# its own functions. Section groups are dropped first: the linker would otherwise still fold a
# local function's group into another object's group of the same name. Shared data (inline
# variables, function-local statics, Eigen's cache sizes) stays global but weak, so every copy
# uses the one instance. KEEP, the kernel table, stays a global definition. Every function name
# gets SUFFIX (".x86_64_v4" demangles as "[clone .x86_64_v4]"), so a disassembly shows which
# target each copy belongs to.
foreach(var LINKER NM OBJCOPY KEEP SUFFIX OUTPUT INPUTS)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "LocalizeKernelObject: ${var} is not set")
  endif()
endforeach()

set(combined ${OUTPUT}.combined.o)
execute_process(COMMAND ${LINKER} -r -o ${combined} ${INPUTS} COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND ${NM} --defined-only ${combined} OUTPUT_VARIABLE symbols
                COMMAND_ERROR_IS_FATAL ANY)

string(REPLACE "\n" ";" lines "${symbols}")
set(functions "")
set(renames "")
set(data "")
foreach(line IN LISTS lines)
  # "<address> <type> <name>"
  if(line MATCHES "^[0-9a-fA-F]+ ([A-Za-z]) (.+)$")
    set(type ${CMAKE_MATCH_1})
    set(name ${CMAKE_MATCH_2})
    if(name STREQUAL KEEP)
      continue()
    endif()
    if(type MATCHES "^[TWi]$")
      string(APPEND functions "${name}\n")
      string(APPEND renames "${name} ${name}${SUFFIX}\n")
    elseif(type STREQUAL "t")
      string(APPEND renames "${name} ${name}${SUFFIX}\n")
    elseif(type MATCHES "^[uVDBRCv]$")
      string(APPEND data "${name}\n")
    endif()
  endif()
endforeach()
file(WRITE ${OUTPUT}.functions "${functions}")
file(WRITE ${OUTPUT}.renames "${renames}")
file(WRITE ${OUTPUT}.data "${data}")

execute_process(
  COMMAND ${OBJCOPY} --remove-section=.group --localize-symbols=${OUTPUT}.functions
          --weaken-symbols=${OUTPUT}.data ${combined} ${OUTPUT}.local.o
  COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND ${OBJCOPY} --redefine-syms=${OUTPUT}.renames ${OUTPUT}.local.o ${OUTPUT}
                COMMAND_ERROR_IS_FATAL ANY)
