#include "services/midi_backend.h"

#include <mutex>

#include "services/alsa/alsa_backend.h"
#include "services/jack/jack_backend.h"

namespace brennick {

std::shared_ptr<MidiBackend> currentMidiBackend()
{
    static std::mutex mutex;
    static std::shared_ptr<MidiBackend> backend;
    std::lock_guard lock(mutex);
    if (backend && backend->alive())
        return backend;
    // Streams of a backend that went away keep the object alive until they are released, but its
    // connection is closed now.
    if (backend)
        backend->closeClient();
    backend = openJackBackend();
    if (!backend)
        backend = openAlsaBackend();
    return backend;
}

}  // namespace brennick
