# cmake -DMAP=linker-map -DARCHIVE=libpaho-mqtt3c.a -P check_link.cmake
# Fails unless the link the map describes took objects from ARCHIVE but neither Heap.c.o
# nor StackTrace.c.o, the library's debugging bookkeeping (paho/CMakeLists.txt): if one
# is there, some call reached it past the link's --wrap.
file(READ "${MAP}" map)
string(FIND "${map}" "${ARCHIVE}(MQTTClient.c.o)" client)
if(client EQUAL -1)
  message(FATAL_ERROR "${MAP}: no ${ARCHIVE}(MQTTClient.c.o) in the link")
endif()
foreach(member Heap.c.o StackTrace.c.o)
  string(FIND "${map}" "${ARCHIVE}(${member})" found)
  if(NOT found EQUAL -1)
    message(FATAL_ERROR "${MAP}: the link includes ${ARCHIVE}(${member}): a call reaches the "
      "library's debugging bookkeeping that the link does not redirect (see paho/CMakeLists.txt)")
  endif()
endforeach()
