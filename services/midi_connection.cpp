#include "services/midi_connection.h"

#include <mutex>

#include "services/alsa/alsa_backend.h"
#include "services/jack/jack_backend.h"
#include "services/midi_service_thread.h"

namespace brennick {

namespace {

// How long a backend that went away may take to let go of what it held.
constexpr double kDeadBackendCloseSeconds = 0.0;

struct Current {
    std::mutex mutex;
    std::shared_ptr<MidiBackend> backend;
};

Current& current()
{
    // Never destroyed: the connection is closed in order by closeMidiServices at the end of the
    // program, never from a static destructor, when the client libraries may be torn down already.
    static auto* c = new Current;
    return *c;
}

}  // namespace

std::shared_ptr<MidiBackend> currentMidiBackend()
{
    Current& c = current();
    std::lock_guard lock(c.mutex);
    if (c.backend && c.backend->alive())
        return c.backend;
    // Streams of a backend that went away keep the object alive until they are released, but its
    // connection is closed now.
    if (c.backend)
        c.backend->close(kDeadBackendCloseSeconds);
    c.backend = openJackBackend();
    if (!c.backend)
        c.backend = openAlsaBackend();
    return c.backend;
}

std::shared_ptr<MidiBackend> openedMidiBackend()
{
    Current& c = current();
    std::lock_guard lock(c.mutex);
    return c.backend && c.backend->alive() ? c.backend : nullptr;
}

bool closeMidiServices(double timeoutSeconds, double queueSeconds)
{
    return runOnMidiServiceThreadWithin(queueSeconds, [timeoutSeconds] {
        std::shared_ptr<MidiBackend> backend;
        {
            Current& c = current();
            std::lock_guard lock(c.mutex);
            backend = std::move(c.backend);
        }
        if (backend)
            backend->close(timeoutSeconds);
    });
}

}  // namespace brennick
