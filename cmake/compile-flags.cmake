# The language level, warnings and Windows flags of every Corvane program. The main project and
# the installer helper's build for the other architecture (installer/CMakeLists.txt)
# both include this file, so that the two builds of the helper are made the same way.
set(CMAKE_CXX_STANDARD 17)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
set(CMAKE_CXX_EXTENSIONS OFF)

# Our own code builds warning-free; third-party code (googletest) keeps its own flags.
add_library(corvane_warnings INTERFACE)
target_compile_options(corvane_warnings INTERFACE -Wall -Wextra -Werror)

if(WIN32)
  enable_language(RC)
  # Windows 7 headers: a newer function has to be looked up at run time, never imported.
  add_compile_definitions(_WIN32_WINNT=0x0601 WINVER=0x0601 NTDDI_VERSION=0x06010000
                          __USE_MINGW_ANSI_STDIO=1 NOMINMAX)
  # The C and C++ runtimes are linked in, so no program needs a mingw DLL beside it.
  add_link_options(-static -static-libgcc -static-libstdc++)
  # No link time in the PE header: the same sources give the same program, so that a release can
  # be built again and compared byte for byte.
  add_link_options(-Wl,--no-insert-timestamp)
endif()

# A program in the form it ships in: its debug information moved to <program>.debug beside it
# (linked by name for a debugger), so that what starts here, in the tests and the benchmarks, is
# the size a user's copy has. A build whose link strips already (a release) has nothing to move.
function(corvane_split_debug_information target)
  if(NOT WIN32 OR CMAKE_EXE_LINKER_FLAGS MATCHES "(^| )-s( |$)")
    return()
  endif()
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_OBJCOPY} --only-keep-debug $<TARGET_FILE:${target}>
            $<TARGET_FILE:${target}>.debug
    COMMAND ${CMAKE_OBJCOPY} --strip-debug --add-gnu-debuglink=$<TARGET_FILE:${target}>.debug
            $<TARGET_FILE:${target}>
    VERBATIM)
endfunction()
