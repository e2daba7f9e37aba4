/* A library whose allocations go through its heap tracking (the shared library): its
 * free ignores a block it does not know, which covers the one it may free a second time
 * (see untracked_heap.c). */
#include "taken_message.h"

void tarvo_paho_free_taken_message(MQTTClient_message* message, char* topic)
{
    MQTTClient_freeMessage(&message);
    MQTTClient_free(topic);
}
