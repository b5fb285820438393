# Fails unless every undefined symbol of MODULE is a kernel function or variable declared
# (`extern ...`) in PLATFORM_DIR/*.h, a C library string or format function, or (in sanitizer
# builds) a sanitizer runtime symbol.
#
#   cmake -DMODULE=<module .so> -DPLATFORM_DIR=<platform/> [-DSANITIZE=thread|address|fuzzer] -P this
cmake_policy(SET CMP0057 NEW)
set(libc_allowed
  memcpy memmove memset memcmp memchr strlen strnlen strcmp strncmp strcpy strncpy strchr
  strrchr strstr strscpy snprintf vsnprintf sprintf vsprintf scnprintf
  __memcpy_chk __memmove_chk __memset_chk __snprintf_chk __vsnprintf_chk __sprintf_chk
  __strcpy_chk __strncpy_chk __stack_chk_fail
  # Weak references of the C runtime objects every shared object is linked with.
  __cxa_finalize __gmon_start__ _ITM_registerTMCloneTable _ITM_deregisterTMCloneTable)

file(GLOB headers ${PLATFORM_DIR}/*.h)
set(platform_allowed)
foreach(h ${headers})
  file(READ ${h} text)
  string(REGEX MATCHALL "extern [^;{(\n]*[ *&]([A-Za-z_][A-Za-z0-9_]*)[ ]*[(;]" decls "${text}")
  foreach(d ${decls})
    string(REGEX REPLACE ".*[ *&]([A-Za-z_][A-Za-z0-9_]*)[ \n]*[(;]?$" "\\1" name "${d}")
    list(APPEND platform_allowed ${name})
  endforeach()
endforeach()

execute_process(COMMAND nm -u -D ${MODULE} OUTPUT_VARIABLE out RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "nm failed on ${MODULE}")
endif()
string(REPLACE "\n" ";" lines "${out}")
set(bad)
foreach(line ${lines})
  string(STRIP "${line}" line)
  if(line STREQUAL "")
    continue()
  endif()
  string(REGEX REPLACE "^[A-Za-z] +" "" sym "${line}")
  string(REGEX REPLACE "@.*" "" sym "${sym}")
  if(sym IN_LIST platform_allowed OR sym IN_LIST libc_allowed)
    continue()
  endif()
  if(SANITIZE AND sym MATCHES "^__(tsan|asan|ubsan|sanitizer|lsan|sancov)_")
    continue()
  endif()
  list(APPEND bad ${sym})
endforeach()
if(bad)
  message(FATAL_ERROR "${MODULE} uses symbols that are neither kernel nor libc string/format "
                      "functions: ${bad}")
endif()
message(STATUS "module symbols: only kernel and libc string/format functions")
