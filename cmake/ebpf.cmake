# The eBPF tracker's kernel half, compiled for the BPF target and wrapped by bpftool into a
# skeleton header that the user half includes. Compile once, run everywhere (CO-RE): the
# kernel types it reads come from platform/linux/ebpf/kernel.h and are relocated by libbpf
# against the running kernel's BTF at load time, so nothing here depends on the kernel of
# the machine that builds it.
find_program(BPF_CLANG NAMES clang REQUIRED)
find_program(BPFTOOL NAMES bpftool PATHS /usr/sbin /sbin REQUIRED)
option(DORVANE_STATIC_BPF "Link libbpf, libelf and zlib statically into the native program" OFF)

set(EBPF_SOURCE ${PROJECT_SOURCE_DIR}/platform/linux/ebpf)
set(EBPF_OUTPUT ${CMAKE_BINARY_DIR}/ebpf)
add_custom_command(
  OUTPUT ${EBPF_OUTPUT}/tracker.bpf.o
  COMMAND ${CMAKE_COMMAND} -E make_directory ${EBPF_OUTPUT}
  COMMAND ${BPF_CLANG} -target bpf -mcpu=v3 -O2 -g -Wall -Werror -D__TARGET_ARCH_x86
          -I/usr/include/${CMAKE_LIBRARY_ARCHITECTURE} -c ${EBPF_SOURCE}/tracker.bpf.c
          -o ${EBPF_OUTPUT}/tracker.bpf.o
  DEPENDS ${EBPF_SOURCE}/tracker.bpf.c ${EBPF_SOURCE}/kernel.h ${EBPF_SOURCE}/event.h
  VERBATIM)
add_custom_command(
  OUTPUT ${EBPF_OUTPUT}/tracker.skel.h
  COMMAND sh -c "\"${BPFTOOL}\" gen skeleton tracker.bpf.o name dorvanebpf > tracker.skel.h"
  WORKING_DIRECTORY ${EBPF_OUTPUT}
  DEPENDS ${EBPF_OUTPUT}/tracker.bpf.o
  VERBATIM)
add_custom_target(ebpfskeleton DEPENDS ${EBPF_OUTPUT}/tracker.skel.h)

# What a native program needs of the eBPF tracker: its skeleton and libbpf.
function(dorvane_ebpf target)
  add_dependencies(${target} ebpfskeleton)
  target_include_directories(${target} PRIVATE ${EBPF_OUTPUT})
  if(DORVANE_STATIC_BPF)
    target_link_libraries(${target} PRIVATE -Wl,-Bstatic bpf elf z -Wl,-Bdynamic)
    target_link_options(${target} PRIVATE -static-libstdc++ -static-libgcc)
  else()
    target_link_libraries(${target} PRIVATE bpf)
  endif()
endfunction()
