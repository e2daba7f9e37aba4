/* What libpaho-mqtt3c's call tracing and in-memory trace become when the client links
 * the static archive (paho/CMakeLists.txt says why, and what a later library must keep
 * for this to stay correct). The linker's --wrap sends every call the
 * archive's other objects make to StackTrace.c's entry points and to Log_initialize
 * here instead. */
#include <MQTTClient.h>
#include <stdlib.h>

/* FUNC_ENTRY and FUNC_EXIT: nothing reads the call stacks they keep. */
void __wrap_StackTrace_entry(const char* name, int line, int trace_level)
{
    (void)name;
    (void)line;
    (void)trace_level;
}

void __wrap_StackTrace_exit(const char* name, int line, void* rc, int trace_level)
{
    (void)name;
    (void)line;
    (void)rc;
    (void)trace_level;
}

/* The in-memory trace. At Debian's default level every protocol packet is formatted into
 * a ring of trace entries that only a trace destination (MQTT_C_CLIENT_TRACE) or a
 * trace callback ever reads; without a destination, errors alone are formatted, as in
 * upstream's high-performance build. A program that sets a trace callback sets the
 * level it wants with it. */
int __real_Log_initialize(void* info);

int __wrap_Log_initialize(void* info)
{
    const char* destination = getenv("MQTT_C_CLIENT_TRACE");
    if (destination == NULL || *destination == '\0')
        MQTTClient_setTraceLevel(MQTTCLIENT_TRACE_ERROR);
    return __real_Log_initialize(info);
}
