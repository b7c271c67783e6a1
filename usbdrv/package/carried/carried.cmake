# The embedded file table (usbdrv/embedded_files.h): generated at build time from the stand-ins or
# vendor driver files, the two installer builds and the templates, into a source file with the
# rows and an assembler file with the bytes. Included by usbdrv/package/CMakeLists.txt.
enable_language(ASM)
find_package(Python3 REQUIRED COMPONENTS Interpreter)

set(CORVANE_VENDOR_DRIVERS ${PROJECT_SOURCE_DIR}/vendor/drivers CACHE PATH
    "real driver files of other makers, laid out like the package (x86/libusb0.sys, ...); each replaces its stand-in")

set(carried_dir ${CMAKE_CURRENT_LIST_DIR})
set(standins ${CMAKE_CURRENT_BINARY_DIR}/standins)
set(standins_stamp ${CMAKE_CURRENT_BINARY_DIR}/standins.stamp)
# The stand-ins get the vendor files' old modification times, so Ninja follows a stamp instead.
add_custom_command(OUTPUT ${standins_stamp}
  COMMAND Python3::Interpreter ${carried_dir}/make_standins.py ${standins} ${standins_stamp}
  DEPENDS ${carried_dir}/make_standins.py ${carried_dir}/package_rows.py
          ${carried_dir}/standin_library.c ${carried_dir}/standin_driver.c
          ${carried_dir}/standin_program.c
  COMMENT "Building the stand-ins for the vendor driver files")
add_custom_target(usbdrv_standins DEPENDS ${standins_stamp})

# Runs at every build: which vendor files are there and what they hold can change without the
# build noticing otherwise (a copied file keeps its old time). The generator rewrites its outputs
# only when their text changes, and that text names every content's hash.
set(embedded_source ${CMAKE_CURRENT_BINARY_DIR}/embedded_files.cpp)
set(embedded_assembly ${CMAKE_CURRENT_BINARY_DIR}/embedded_blobs.s)
add_custom_target(usbdrv_embedded_table
  COMMAND Python3::Interpreter ${carried_dir}/make_embedded_table.py
          --vendor ${CORVANE_VENDOR_DRIVERS} --standins ${standins}
          --installer-x86 ${CORVANE_INSTALLER_x86} --installer-x64 ${CORVANE_INSTALLER_x64}
          --templates ${CMAKE_CURRENT_SOURCE_DIR}/templates
          --source ${embedded_source} --assembly ${embedded_assembly}
  BYPRODUCTS ${embedded_source} ${embedded_assembly}
  DEPENDS ${carried_dir}/make_embedded_table.py ${carried_dir}/package_rows.py
  COMMENT "Checking the embedded file table"
  VERBATIM)
add_dependencies(usbdrv_embedded_table usbdrv_standins ${CORVANE_INSTALLER_TARGETS})

target_sources(usbdrv_package PRIVATE ${embedded_source} ${embedded_assembly})
add_dependencies(usbdrv_package usbdrv_embedded_table)
