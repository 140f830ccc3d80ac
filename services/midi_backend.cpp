#include "services/midi_backend.h"

#include <mutex>

#include "services/alsa/alsa_backend.h"
#include "services/jack/jack_backend.h"

namespace brennick {

std::shared_ptr<MidiBackend> currentMidiBackend()
{
    // Never destroyed: at process exit the service connection is dropped with the process rather
    // than closed from a static destructor, when the client library may already be torn down.
    static auto* mutex = new std::mutex;
    static auto* current = new std::shared_ptr<MidiBackend>;
    std::lock_guard lock(*mutex);
    std::shared_ptr<MidiBackend>& backend = *current;
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
