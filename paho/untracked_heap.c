/* What Paho MQTT C's heap tracking becomes when the client links the static archive
 * (paho/CMakeLists.txt says why, and what a later library must keep for this to stay
 * correct): the linker's --wrap sends the archive's malloc, realloc and free, which
 * Heap.h makes mymalloc, myrealloc and myfree, here, to the C allocator.
 *
 * The tracking did one thing the library relies on: its free ignores a block it does not
 * know. A clean-session disconnect or a destroy frees every message still in the
 * handle's queue, and the message the receiving thread has just handed to messageArrived
 * stays in that queue from the callback's return until the thread takes the library's
 * lock back to unqueue it. A disconnect that takes the lock first frees that message's
 * topic, payload and struct (and clears the properties inside the struct) although the
 * callback took them. So a taken message is not freed at once: its payload and
 * properties are, and the struct and topic wait ("parked") until the receiving thread
 * enters its next messageArrived, by which time it has unqueued the message or a
 * disconnect has freed it. Whichever frees a parked block first takes it out of its
 * slot, so each block is freed exactly once, and a parked block stays allocated until
 * then, so no other allocation can take its address meanwhile. One message at a time is
 * parked: the receiving thread is the only one that calls messageArrived. */
#include "taken_message.h"

#include <stdatomic.h>
#include <stdlib.h>

static _Atomic(void*) parkedMessage;
static _Atomic(void*) parkedTopic;

/* Tracked allocations came zeroed, and the library may rely on it. */
void* __wrap_mymalloc(char* file, int line, size_t size)
{
    (void)file;
    (void)line;
    return calloc(1, size);
}

/* A tracked block never shrank to nothing. */
void* __wrap_myrealloc(char* file, int line, void* p, size_t size)
{
    (void)file;
    (void)line;
    return realloc(p, size != 0 ? size : 1);
}

static void unpark(_Atomic(void*)* slot, void* p)
{
    void* expected = p;
    if (atomic_load_explicit(slot, memory_order_acquire) == p)
        atomic_compare_exchange_strong(slot, &expected, NULL);
}

void __wrap_myfree(char* file, int line, void* p)
{
    (void)file;
    (void)line;
    if (p == NULL)
        return;
    unpark(&parkedMessage, p);
    unpark(&parkedTopic, p);
    free(p);
}

/* Frees the block the slot held unless the library freed it first. */
static void park(_Atomic(void*)* slot, void* p)
{
    free(atomic_exchange(slot, p));
}

void tarvo_paho_free_taken_message(MQTTClient_message* message, char* topic)
{
    MQTTProperties_free(&message->properties);
    MQTTClient_free(message->payload);
    message->payload = NULL;
    message->payloadlen = 0;
    park(&parkedMessage, message);
    park(&parkedTopic, topic);
}
