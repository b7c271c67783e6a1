# The version of every Corvane program, written once in the file VERSION at the root of the tree
# (read by the top CMakeLists.txt into PROJECT_VERSION). The build turns it into a header for the
# programs' texts and their resource scripts' version records (corvane_version.h), and the
# release script names its archives with it.
set(CORVANE_VERSION_DIR ${PROJECT_BINARY_DIR}/generated/version)
configure_file(${CMAKE_CURRENT_LIST_DIR}/corvane_version.h.in
               ${CORVANE_VERSION_DIR}/corvane_version.h @ONLY)
add_library(corvane_version INTERFACE)
target_include_directories(corvane_version INTERFACE ${CORVANE_VERSION_DIR})

