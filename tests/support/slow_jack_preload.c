/* Preloaded into the real player by tests: makes libjack as slow to answer as a stale or locked
 * metadata database makes it (a client open waits about 18 s there, a property read up to 30 s).
 * BRENNICK_TEST_JACK_OPEN_DELAY and BRENNICK_TEST_JACK_PROPERTY_DELAY give the extra seconds;
 * BRENNICK_TEST_JACK_OPEN_LOG names a file that gets a line for every client open. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <jack/jack.h>
#include <jack/metadata.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

static void delay_from(const char* variable)
{
    const char* value = getenv(variable);
    const double seconds = value != NULL ? atof(value) : 0.0;
    if (seconds <= 0.0)
        return;
    struct timespec left = {(time_t)seconds, (long)((seconds - (double)(time_t)seconds) * 1e9)};
    while (nanosleep(&left, &left) != 0) {
    }
}

jack_client_t* jack_client_open(const char* client_name, jack_options_t options, jack_status_t* status, ...)
{
    typedef jack_client_t* (*open_function)(const char*, jack_options_t, jack_status_t*, ...);
    open_function real;
    *(void**)&real = dlsym(RTLD_NEXT, "jack_client_open"); /* the POSIX way to take a function */
    const char* log = getenv("BRENNICK_TEST_JACK_OPEN_LOG");
    FILE* out = log != NULL ? fopen(log, "a") : NULL;
    if (out != NULL) {
        fputs("jack_client_open\n", out);
        fclose(out);
    }
    delay_from("BRENNICK_TEST_JACK_OPEN_DELAY");
    if (options & JackServerName) {
        va_list arguments;
        va_start(arguments, status);
        const char* server = va_arg(arguments, const char*);
        va_end(arguments);
        return real(client_name, options, status, server);
    }
    return real(client_name, options, status);
}

int jack_get_property(jack_uuid_t subject, const char* key, char** value, char** type)
{
    typedef int (*property_function)(jack_uuid_t, const char*, char**, char**);
    property_function real;
    *(void**)&real = dlsym(RTLD_NEXT, "jack_get_property");
    delay_from("BRENNICK_TEST_JACK_PROPERTY_DELAY");
    return real(subject, key, value, type);
}
