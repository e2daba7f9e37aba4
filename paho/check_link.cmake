# cmake -DMAP=linker-map -DARCHIVE=libpaho-mqtt3c.a -P check_link.cmake
# Fails unless the link the map describes took objects from ARCHIVE but not
# StackTrace.c.o, the library's call tracing (paho/CMakeLists.txt): if it is there, some
# call reached it past the link's --wrap.
file(READ "${MAP}" map)
string(FIND "${map}" "${ARCHIVE}(MQTTClient.c.o)" client)
if(client EQUAL -1)
  message(FATAL_ERROR "${MAP}: no ${ARCHIVE}(MQTTClient.c.o) in the link")
endif()
string(FIND "${map}" "${ARCHIVE}(StackTrace.c.o)" found)
if(NOT found EQUAL -1)
  message(FATAL_ERROR "${MAP}: the link includes ${ARCHIVE}(StackTrace.c.o): a call reaches the "
    "library's call tracing that the link does not redirect (see paho/CMakeLists.txt)")
endif()
