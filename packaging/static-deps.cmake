# The manylinux wheel's module: everything but glibc, libgcc_s and the interpreter linked
# in statically. packaging/build-wheel includes this right after project()
# (CMAKE_PROJECT_INCLUDE) in its Debian 12 root, with TARVO_STAGE naming the directory it
# staged Debian forky's parts in; the top-level CMakeLists.txt then uses the cjose target
# defined here instead of looking for shared libraries, and paho/CMakeLists.txt the
# staged Paho archive (TARVO_PAHO_STAGE).
#
#   ${TARVO_STAGE}/include          Paho's headers (forky), beside Python's and pybind11's
#   ${TARVO_STAGE}/libpaho-mqtt3c*.a forky's Paho (1.3.16), SHA1_* renamed, plus
#                                   isoc23_strtol.c (paho/CMakeLists.txt links one)
#   /usr/lib/x86_64-linux-gnu       Debian 12's libcjose.a and libcrypto.a
#   /opt/jansson-pic/lib            Debian 12's jansson rebuilt position-independent
#                                   (packaging/jansson-pic, when the root was made)
if(NOT TARVO_STAGE)
  message(FATAL_ERROR "static-deps.cmake: set TARVO_STAGE")
endif()
set(debian_lib /usr/lib/x86_64-linux-gnu)

set(TARVO_PAHO_STAGE "${TARVO_STAGE}")

# In the order the linker needs them: cjose uses jansson and libcrypto.
add_library(PkgConfig::CJOSE INTERFACE IMPORTED)
set_target_properties(PkgConfig::CJOSE PROPERTIES
  INTERFACE_LINK_LIBRARIES "${debian_lib}/libcjose.a;/opt/jansson-pic/lib/libjansson.a;${debian_lib}/libcrypto.a")

# No Python 3.14 can run on Debian 12, so what pybind11 would ask the interpreter is
# said here (binding/CMakeLists.txt then finds Python 3.14 from its headers alone).
set(PYTHON_MODULE_EXTENSION ".cpython-314-x86_64-linux-gnu.so")
set(PYTHON_MODULE_DEBUG_POSTFIX "")
set(PYTHON_IS_DEBUG OFF)

# -static-libstdc++: the C++ runtime inside (GCC 12's, which needs no newer glibc than
#   the rest); libgcc_s stays a dependency, as manylinux allows, because the static
#   libgcc_eh would bring in _dl_find_object, of glibc 2.35.
# --exclude-libs,ALL and the version script: of all that, only PyInit_tarvo_sdk is
#   exported, so the copies inside can neither clash with nor stand in for a process's
#   own libcrypto or libstdc++.
# --gc-sections: drops what nothing calls, among it libstdc++'s std::random_device,
#   whose arc4random would otherwise ask for glibc 2.36.
# -z,text: fail rather than write relocations into code (Debian 12's libcjose.a is
#   built as position-independent executable code, which links only while its symbols
#   stay local, as they do here).
string(APPEND CMAKE_MODULE_LINKER_FLAGS
  " -static-libstdc++ -Wl,--exclude-libs,ALL"
  " -Wl,--version-script=${CMAKE_CURRENT_LIST_DIR}/module.map -Wl,--gc-sections -Wl,-z,text")
