# add_kernel_module(NAME SOURCES ...): builds a loadable module, the way a .ko is built.
#
# The module is a shared object that links nothing: every symbol it does not define is resolved
# against the host kernel when it is loaded. It is compiled as kernel code: no exceptions, no
# RTTI, no C++ standard library headers. A generated NAME.mod.cc defines __this_module, as
# modpost's NAME.mod.c does. Like a .ko, it runs no constructors when loaded (checked after
# every link by CheckNoConstructors.cmake).
function(add_kernel_module name)
  cmake_parse_arguments(KM "" "" "SOURCES" ${ARGN})
  set(modc ${CMAKE_CURRENT_BINARY_DIR}/${name}.mod.cc)
  file(GENERATE OUTPUT ${modc} CONTENT
"// Generated: the module record of ${name}.
#include \"platform/module.h\"
extern \"C\" {
struct module __this_module = {\"${name}\", NULL};
}
")
  add_library(${name} MODULE ${KM_SOURCES} ${modc})
  set_target_properties(${name} PROPERTIES
    PREFIX ""
    SUFFIX ".so"
    LINKER_LANGUAGE C
    LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/modules)
  target_compile_options(${name} PRIVATE
    $<$<COMPILE_LANGUAGE:CXX>:-fno-exceptions -fno-rtti -fno-threadsafe-statics -nostdinc++>
    -fno-common
    # gcc: the module's information, parameters and device tables keep the order of the source
    # (clang, for the fuzz build, has no such switch).
    $<$<CXX_COMPILER_ID:GNU>:-fno-gnu-unique -fno-toplevel-reorder>
    # clang's check of indirect calls' function types needs C++ type information; its
    # AddressSanitizer would put red zones between the module's globals, inside the sections
    # the loader reads whole (.modinfo, the parameters), as no kernel module has them.
    $<$<CXX_COMPILER_ID:Clang>:-fno-sanitize=function -mllvm -asan-globals=0>)
  # References inside the module bind to its own definitions, whatever else is loaded.
  target_link_options(${name} PRIVATE -Wl,-Bsymbolic)
  add_custom_command(TARGET ${name} POST_BUILD
    COMMAND ${CMAKE_COMMAND} -DMODULE=$<TARGET_FILE:${name}> -DSANITIZE=${LT_SANITIZE}
            -P ${CMAKE_SOURCE_DIR}/cmake/CheckNoConstructors.cmake
    VERBATIM)
endfunction()
