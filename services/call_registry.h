#pragma once
// The handles the call layer gives out, and the one way a call reaches the object a handle names.
// Shared by the MIDI, sequence and player calls; nothing outside the call layer includes it.

#include <algorithm>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "services/midi_backend.h"
#include "services/music_services.h"
#include "services/sequence.h"
#include "services/sequence_player.h"

struct OpaqueCFURL {
    std::string path;
};

struct OpaqueMusicTrack {
    OpaqueMusicSequence* owner;
    UInt32 index;
};

struct OpaqueMusicSequence {
    std::shared_ptr<const brennick::Sequence> sequence = std::make_shared<brennick::Sequence>();
    MIDIEndpointRef endpoint = 0;
    std::vector<std::unique_ptr<OpaqueMusicTrack>> tracks;  // handles by track index, made on demand
};

struct OpaqueMusicPlayer {
    brennick::SequencePlayer player;
    OpaqueMusicSequence* sequence = nullptr;
};

namespace brennick::calls {

inline constexpr SInt32 kDefaultMaxSysExSpeed = 3125;  // bytes per second on a MIDI 1.0 cable

// Every handle the layer gave out, so stale and foreign handles fail instead of crashing.
struct Registry {
    std::mutex mutex;
    std::unordered_map<OpaqueMusicSequence*, std::unique_ptr<OpaqueMusicSequence>> sequences;
    std::unordered_map<OpaqueMusicPlayer*, std::unique_ptr<OpaqueMusicPlayer>> players;
    std::unordered_map<OpaqueMusicTrack*, OpaqueMusicSequence*> trackOwners;

    // Destinations are interned by their identity so a ref stays the same across listings; each
    // ref holds the handle of its latest listing.
    std::map<std::string, MIDIEndpointRef> endpointByIdentity;
    std::vector<DestinationHandle> destinationByEndpoint{nullptr};  // index 0 is no object
    std::unordered_map<MIDIEndpointRef, SInt32> maxSysExSpeed;
    std::unordered_map<MIDIEndpointRef, SInt32> sysExPause;
    std::vector<MIDIEndpointRef> listing;  // the latest MIDIGetNumberOfDestinations
    MIDIClientRef nextClient = 1;

    MIDIEndpointRef intern(const DestinationHandle& destination)
    {
        auto [it, inserted] =
            endpointByIdentity.try_emplace(destination->identity(), MIDIEndpointRef(destinationByEndpoint.size()));
        if (inserted)
            destinationByEndpoint.push_back(destination);
        else
            destinationByEndpoint[it->second] = destination;
        return it->second;
    }

    bool isEndpoint(MIDIObjectRef ref) const { return ref != 0 && ref < destinationByEndpoint.size(); }
    // The destination as the latest listing had it; null when it was not there.
    DestinationHandle listed(MIDIObjectRef ref) const
    {
        if (!isEndpoint(ref) || std::find(listing.begin(), listing.end(), ref) == listing.end())
            return nullptr;
        return destinationByEndpoint[ref];
    }

    SysExPacing pacing(MIDIEndpointRef endpoint) const
    {
        const auto speed = maxSysExSpeed.find(endpoint);
        const auto pause = sysExPause.find(endpoint);
        return {double(speed != maxSysExSpeed.end() ? speed->second : kDefaultMaxSysExSpeed),
                pause != sysExPause.end() ? pause->second / 1000.0 : 0.0};
    }

    // The object a handle names; null for a null, disposed or foreign handle.
    OpaqueMusicSequence* find(MusicSequence s) { return s != nullptr && sequences.count(s) ? s : nullptr; }
    OpaqueMusicPlayer* find(MusicPlayer p) { return p != nullptr && players.count(p) ? p : nullptr; }
    OpaqueMusicTrack* find(MusicTrack t) { return t != nullptr && trackOwners.count(t) ? t : nullptr; }

    void forgetTracks(OpaqueMusicSequence& s)
    {
        for (const auto& handle : s.tracks)
            if (handle)
                trackOwners.erase(handle.get());
        s.tracks.clear();
    }
};

// The one registry of the process.
Registry& registry();

// What a call answers when its handle names nothing.
inline OSStatus notFound(MusicSequence) { return kAudioToolboxErr_NoSequence; }
inline OSStatus notFound(MusicPlayer) { return kAudioToolboxErr_InvalidPlayer; }
inline OSStatus notFound(MusicTrack) { return kAudioToolboxErr_TrackNotFound; }

// The way every call reaches the object a handle names: `locked(registry, object)` under the
// registry's lock, then, when that succeeded, `unlocked(object)` with the lock let go, for what may
// wait (a player stopping, or waiting for its output). Players are used from one thread (the
// caller's); only the tables need the lock. The handle's failure status when it names nothing.
template <typename Opaque, typename Locked, typename Unlocked>
OSStatus withHandle(Opaque* handle, Locked&& locked, Unlocked&& unlocked)
{
    Registry& r = registry();
    std::unique_lock lock(r.mutex);
    Opaque* object = r.find(handle);
    if (object == nullptr)
        return notFound(handle);
    if (const OSStatus status = locked(r, *object); status != 0)
        return status;
    lock.unlock();
    return unlocked(*object);
}

// All of it under the lock.
template <typename Opaque, typename Locked>
OSStatus withHandle(Opaque* handle, Locked&& locked)
{
    return withHandle(handle, std::forward<Locked>(locked), [](Opaque&) { return OSStatus{0}; });
}

// Nothing to do under the lock but find the object.
inline constexpr auto kJustFound = [](Registry&, auto&) { return OSStatus{0}; };

// Makes a new object, enters it in `table` and gives its handle.
template <typename Opaque>
OSStatus newHandle(std::unordered_map<Opaque*, std::unique_ptr<Opaque>> Registry::*table, Opaque** outHandle)
{
    if (outHandle == nullptr)
        return kParamErr;
    auto object = std::make_unique<Opaque>();
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    *outHandle = object.get();
    (r.*table).emplace(object.get(), std::move(object));
    return 0;
}

}  // namespace brennick::calls
