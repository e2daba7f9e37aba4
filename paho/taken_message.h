/* How the client gives back a message, and its topic, that its messageArrived callback
 * took (returned 1 for). */
#ifndef TARVO_PAHO_TAKEN_MESSAGE_H
#define TARVO_PAHO_TAKEN_MESSAGE_H

#include <MQTTClient.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Called by messageArrived, on the library's receiving thread, before it returns 1, and
 * while a clean disconnect or a destroy of the handle still waits for the callback to
 * end. */
void tarvo_paho_free_taken_message(MQTTClient_message* message, char* topic);

#ifdef __cplusplus
}
#endif

#endif
