# Toolchain of the manylinux2014 wheels (.ci/wheels): zig's clang through ./zig-c++, against
# glibc 2.17 with libc++ linked in statically. Unused code and the symbol tables are dropped, so a
# module stays a few hundred KB. zig keeps frame pointers by default, which costs the small calls
# (a stream adapter's 64-byte reads) a register: they go, as in gcc's optimized builds.
# Without profile data clang guesses a call cold when its block's estimated frequency is under 2%
# of its function's entry, and then inlines it only below a cost of 45: the call at the end of a
# long chain of checks (a fast path's, all of which pass on every call) is guessed cold, so the
# small inline helpers there (Ref's destructor and move, the counter store of a 64-byte read)
# stayed out-of-line calls, about 10% more instructions per read than gcc, which has no such
# guess. -cold-callsite-rel-freq=0 turns the guess off (the sources' cold helpers are noinline).
# zig hands clang -O2 for -O3; clang's -O3 inlines barely more here (its threshold 250 for 225).
# The text writers of qelo.expr (repr and str of a tree) still ran 11-15% more instructions than
# gcc's -O3 build: a threshold of 500 inlines their helpers as gcc does (and the wheel grows 2%).
set(CMAKE_CXX_COMPILER ${CMAKE_CURRENT_LIST_DIR}/zig-c++)
set(CMAKE_CXX_FLAGS_INIT "-ffunction-sections -fdata-sections -fomit-frame-pointer -mllvm -cold-callsite-rel-freq=0 -mllvm -inline-threshold=500")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-s -Wl,--gc-sections")

# Debian's Python.h finds the real pyconfig.h by its multiarch path under /usr/include
# (<x86_64-linux-gnu/python3.14/pyconfig.h>), which zig's clang does not search: it sees only its
# own libc headers. A folder of the build holding that one path, as a link, is searched instead,
# so nothing else of the machine's /usr/include can mix with the old glibc's headers.
if(Python_EXECUTABLE)
  execute_process(
    COMMAND ${Python_EXECUTABLE} -c "import sysconfig; print(sysconfig.get_config_var('MULTIARCH') or '', sysconfig.get_paths()['include'], sep=';')"
    OUTPUT_VARIABLE qelo_python_paths OUTPUT_STRIP_TRAILING_WHITESPACE)
  list(GET qelo_python_paths 0 qelo_multiarch)
  list(GET qelo_python_paths 1 qelo_python_include)
  get_filename_component(qelo_include_root ${qelo_python_include} DIRECTORY)
  get_filename_component(qelo_python_name ${qelo_python_include} NAME)
  set(qelo_arch_include ${qelo_include_root}/${qelo_multiarch}/${qelo_python_name})
  if(qelo_multiarch AND IS_DIRECTORY ${qelo_arch_include})
    set(qelo_links ${CMAKE_BINARY_DIR}/multiarch-include)
    file(MAKE_DIRECTORY ${qelo_links}/${qelo_multiarch})
    file(CREATE_LINK ${qelo_arch_include} ${qelo_links}/${qelo_multiarch}/${qelo_python_name} SYMBOLIC)
    string(APPEND CMAKE_CXX_FLAGS_INIT " -I${qelo_links}")
  endif()
endif()
