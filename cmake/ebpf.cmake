# The eBPF tracker's kernel half, compiled for the BPF target and wrapped by bpftool into a
# light skeleton: a header that carries the programs, the maps and a loader program, which
# the kernel itself runs to create them. Compile once, run everywhere (CO-RE): the kernel
# types it reads come from platform/linux/ebpf/kernel.h, and the kernel relocates them
# against its own BTF as it loads them, so nothing here depends on the kernel of the machine
# that builds it, and dorvane needs no BPF library at run time.
find_program(BPF_CLANG NAMES clang REQUIRED)
find_program(BPFTOOL NAMES bpftool PATHS /usr/sbin /sbin REQUIRED)
option(DORVANE_BPF_LOG "Write the eBPF loader's and verifier's log to standard error (developers)"
       OFF)

set(EBPF_SOURCE ${PROJECT_SOURCE_DIR}/platform/linux/ebpf)
set(EBPF_OUTPUT ${CMAKE_BINARY_DIR}/ebpf)
file(MAKE_DIRECTORY ${EBPF_OUTPUT})
add_custom_command(
  OUTPUT ${EBPF_OUTPUT}/tracker.skel.h
  COMMAND ${BPF_CLANG} -target bpf -mcpu=v3 -O2 -g -Wall -Werror -D__TARGET_ARCH_x86
          -I/usr/include/${CMAKE_LIBRARY_ARCHITECTURE} -c ${EBPF_SOURCE}/tracker.bpf.c
          -o tracker.bpf.o
  COMMAND sh -c "\"${BPFTOOL}\" gen skeleton -L tracker.bpf.o name dorvanebpf > tracker.skel.h"
  WORKING_DIRECTORY ${EBPF_OUTPUT}
  DEPENDS ${EBPF_SOURCE}/tracker.bpf.c ${EBPF_SOURCE}/kernel.h ${EBPF_SOURCE}/event.h
  VERBATIM)
add_custom_target(ebpfskeleton DEPENDS ${EBPF_OUTPUT}/tracker.skel.h)

# What a native program needs of the eBPF tracker: its skeleton.
function(dorvane_ebpf target)
  add_dependencies(${target} ebpfskeleton)
  target_include_directories(${target} PRIVATE ${EBPF_OUTPUT})
  if(DORVANE_BPF_LOG)
    target_compile_definitions(${target} PRIVATE DORVANE_BPF_LOG)
  endif()
endfunction()
