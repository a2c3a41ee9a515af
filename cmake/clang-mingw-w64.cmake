# Cross-compiles for 64-bit Windows with LLVM: clang, lld and llvm-windres, on MinGW-w64's
# headers and GCC's posix C++ library (Debian has no libc++ for this target); tests run under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(triple x86_64-w64-mingw32)
set(CMAKE_C_COMPILER clang)
set(CMAKE_C_COMPILER_TARGET ${triple})
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_CXX_COMPILER_TARGET ${triple})
find_program(CMAKE_RC_COMPILER NAMES llvm-windres llvm-windres-14 REQUIRED)
find_program(CMAKE_OBJCOPY NAMES llvm-objcopy llvm-objcopy-14 REQUIRED)
find_program(CMAKE_OBJDUMP NAMES llvm-objdump llvm-objdump-14 REQUIRED)

# Clang does not find GCC's posix flavour by itself: its C++ headers, and its libraries, whose
# C++ library needs winpthread.
execute_process(COMMAND ${triple}-g++-posix -print-libgcc-file-name
                OUTPUT_VARIABLE libgcc OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
get_filename_component(gcc_libraries ${libgcc} DIRECTORY)
set(CMAKE_CXX_FLAGS_INIT "-isystem ${gcc_libraries}/include/c++ -isystem ${gcc_libraries}/include/c++/${triple}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-fuse-ld=lld -L${gcc_libraries}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${CMAKE_EXE_LINKER_FLAGS_INIT}")
set(CMAKE_CXX_STANDARD_LIBRARIES "-lpthread")

set(CMAKE_FIND_ROOT_PATH /usr/${triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
