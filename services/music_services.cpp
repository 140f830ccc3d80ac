#include "services/music_services.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <utility>
#include <vector>

#include "services/midi_backend.h"
#include "services/midi_connection.h"
#include "services/midi_service_thread.h"
#include "services/polling.h"
#include "services/sequence.h"
#include "services/sequence_player.h"
#include "services/smf_reader.h"

const MIDIPropertyID kMIDIPropertyDisplayName = "displayName";
const MIDIPropertyID kMIDIPropertyMaxSysExSpeed = "maxSysExSpeed";
const MIDIPropertyID kMIDIPropertySysExPause = "sysExPauseMilliseconds";

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

namespace {

using namespace brennick;

constexpr SInt32 kDefaultMaxSysExSpeed = 3125;  // bytes per second on a MIDI 1.0 cable

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

Registry& registry()
{
    static auto* r = new Registry;  // outlives static destructors that might still dispose players
    return *r;
}

// What a call answers when its handle names nothing.
OSStatus notFound(MusicSequence) { return kAudioToolboxErr_NoSequence; }
OSStatus notFound(MusicPlayer) { return kAudioToolboxErr_InvalidPlayer; }
OSStatus notFound(MusicTrack) { return kAudioToolboxErr_TrackNotFound; }

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
constexpr auto kJustFound = [](Registry&, auto&) { return OSStatus{0}; };

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

bool same(MIDIPropertyID a, MIDIPropertyID b)
{
    return a != nullptr && std::strcmp(a, b) == 0;
}

// Under the registry's lock, `use(values, unset)` with the table of the endpoint's integer property
// and the value it has until set.
template <typename Use>
OSStatus withIntegerProperty(MIDIObjectRef object, MIDIPropertyID property, Use&& use)
{
    const bool speed = same(property, kMIDIPropertyMaxSysExSpeed);
    if (!speed && !same(property, kMIDIPropertySysExPause))
        return kMIDIUnknownProperty;
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    if (!r.isEndpoint(object))
        return kMIDIObjectNotFound;
    use(speed ? r.maxSysExSpeed : r.sysExPause, speed ? kDefaultMaxSysExSpeed : 0);
    return 0;
}

}  // namespace

OSStatus MIDIClientCreate(const std::string&, MIDINotifyProc, void*, MIDIClientRef* outClient)
{
    bool connected = false;
    runOnMidiServiceThread([&connected] { connected = currentMidiBackend() != nullptr; });
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    if (outClient != nullptr)
        *outClient = r.nextClient++;
    return connected ? 0 : kMIDINoConnection;
}

ItemCount MIDIGetNumberOfDestinations()
{
    std::vector<DestinationHandle> found;
    runOnMidiServiceThread([&found] {
        if (auto backend = currentMidiBackend())
            found = backend->destinations();
    });
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    r.listing.clear();
    for (const DestinationHandle& d : found)
        r.listing.push_back(r.intern(d));
    return r.listing.size();
}

MIDIEndpointRef MIDIGetDestination(ItemCount index)
{
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    return index < r.listing.size() ? r.listing[index] : 0;
}

OSStatus MIDIObjectGetStringProperty(MIDIObjectRef object, MIDIPropertyID property, std::string* outValue)
{
    if (outValue == nullptr)
        return kParamErr;
    if (!same(property, kMIDIPropertyDisplayName))
        return kMIDIUnknownProperty;
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    const DestinationHandle destination = r.listed(object);
    if (!destination)
        return kMIDIObjectNotFound;
    *outValue = destination->displayName();
    return 0;
}

OSStatus MIDIObjectSetIntegerProperty(MIDIObjectRef object, MIDIPropertyID property, SInt32 value)
{
    return withIntegerProperty(object, property, [object, value](auto& values, SInt32) { values[object] = value; });
}

OSStatus MIDIObjectGetIntegerProperty(MIDIObjectRef object, MIDIPropertyID property, SInt32* outValue)
{
    if (outValue == nullptr)
        return kParamErr;
    return withIntegerProperty(object, property, [object, outValue](const auto& values, SInt32 unset) {
        const auto it = values.find(object);
        *outValue = it != values.end() ? it->second : unset;
    });
}

CFURLRef CFURLCreateFromFileSystemRepresentation(CFAllocatorRef, const UInt8* buffer, CFIndex length, bool)
{
    if (buffer == nullptr || length < 0)
        return nullptr;
    return new OpaqueCFURL{std::string(reinterpret_cast<const char*>(buffer), std::size_t(length))};
}

void CFRelease(CFURLRef url)
{
    delete url;
}

OSStatus NewMusicSequence(MusicSequence* outSequence)
{
    return newHandle(&Registry::sequences, outSequence);
}

OSStatus DisposeMusicSequence(MusicSequence sequence)
{
    return withHandle(sequence, [](Registry& r, OpaqueMusicSequence& s) {
        for (auto& [key, player] : r.players)
            if (player->sequence == &s)
                player->sequence = nullptr;  // the player keeps the loaded data it plays
        r.forgetTracks(s);
        r.sequences.erase(&s);
        return OSStatus{0};
    });
}

OSStatus MusicSequenceFileLoad(MusicSequence sequence, CFURLRef fileRef, MusicSequenceFileTypeID,
                               MusicSequenceLoadFlags)
{
    if (fileRef == nullptr)
        return kParamErr;
    // Read outside the lock: a large file must not hold up other calls.
    return MusicSequenceFileLoadRead(sequence, loadSequenceFile(fileRef->path));
}

OSStatus MusicSequenceFileLoadRead(MusicSequence sequence, SmfReadResult&& file)
{
    const SmfStatus status = file.status;
    auto loaded = std::make_shared<const Sequence>(std::move(file.sequence));
    return withHandle(sequence, [&loaded, status](Registry& r, OpaqueMusicSequence& s) {
        s.sequence = std::move(loaded);
        r.forgetTracks(s);
        switch (status) {
        case SmfStatus::Complete:
        case SmfStatus::Damaged: return OSStatus{0};
        case SmfStatus::NotMidi:
        case SmfStatus::Empty: return kAudioToolboxErr_InvalidSequenceType;
        case SmfStatus::Unreadable: return kFileNotFound;
        }
        return kAudioToolboxErr_InvalidSequenceType;
    });
}

OSStatus MusicSequenceSetMIDIEndpoint(MusicSequence sequence, MIDIEndpointRef endpoint)
{
    return withHandle(sequence, [endpoint](Registry& r, OpaqueMusicSequence& s) {
        if (!r.isEndpoint(endpoint))
            return kAudioToolboxErr_IllegalTrackDestination;
        s.endpoint = endpoint;
        return OSStatus{0};
    });
}

OSStatus MusicSequenceGetTrackCount(MusicSequence sequence, UInt32* outNumberOfTracks)
{
    if (outNumberOfTracks == nullptr)
        return kParamErr;
    return withHandle(sequence, [outNumberOfTracks](Registry&, OpaqueMusicSequence& s) {
        *outNumberOfTracks = UInt32(s.sequence->trackCount());
        return OSStatus{0};
    });
}

OSStatus MusicSequenceGetSecondsForBeats(MusicSequence sequence, MusicTimeStamp beats, double* outSeconds)
{
    if (outSeconds == nullptr)
        return kParamErr;
    return withHandle(sequence, [beats, outSeconds](Registry&, OpaqueMusicSequence& s) {
        *outSeconds = s.sequence->tempoMap().beatsToSeconds(beats);
        return OSStatus{0};
    });
}

OSStatus MusicSequenceGetBeatsForSeconds(MusicSequence sequence, double seconds, MusicTimeStamp* outBeats)
{
    if (outBeats == nullptr)
        return kParamErr;
    return withHandle(sequence, [seconds, outBeats](Registry&, OpaqueMusicSequence& s) {
        *outBeats = s.sequence->tempoMap().secondsToBeats(seconds);
        return OSStatus{0};
    });
}

OSStatus MusicSequenceGetIndTrack(MusicSequence sequence, UInt32 trackIndex, MusicTrack* outTrack)
{
    if (outTrack == nullptr)
        return kParamErr;
    return withHandle(sequence, [trackIndex, outTrack](Registry& r, OpaqueMusicSequence& s) {
        if (trackIndex >= s.sequence->trackCount())
            return kAudioToolboxErr_TrackIndexError;
        if (s.tracks.size() <= trackIndex)
            s.tracks.resize(s.sequence->trackCount());
        auto& handle = s.tracks[trackIndex];
        if (!handle) {
            handle = std::make_unique<OpaqueMusicTrack>(OpaqueMusicTrack{&s, trackIndex});
            r.trackOwners.emplace(handle.get(), &s);
        }
        *outTrack = handle.get();
        return OSStatus{0};
    });
}

OSStatus MusicTrackGetProperty(MusicTrack track, UInt32 propertyID, void* outData, UInt32* ioLength)
{
    if (outData == nullptr || ioLength == nullptr)
        return kParamErr;
    return withHandle(track, [propertyID, outData, ioLength](Registry& r, OpaqueMusicTrack& t) {
        if (propertyID != kSequenceTrackProperty_TrackLength || *ioLength < sizeof(MusicTimeStamp))
            return kParamErr;
        const Sequence& sequence = *t.owner->sequence;
        MusicTimeStamp length = sequence.trackLengthBeats(t.index);
        if (sequence.isSysExDump()) {
            // Every message stands at tick 0 and waits for the one before it at the destination's pace.
            const SysExPacing pacing = r.pacing(t.owner->endpoint);
            const SysExPacer pacer(pacing);
            length = sequence.tempoMap().secondsToBeats(pacer.drainSeconds(sequence.systemBytes()) +
                                                        pacing.pauseSeconds * double(sequence.systemMessageCount()));
        }
        std::memcpy(outData, &length, sizeof length);
        *ioLength = sizeof length;
        return OSStatus{0};
    });
}

OSStatus NewMusicPlayer(MusicPlayer* outPlayer)
{
    return newHandle(&Registry::players, outPlayer);
}

OSStatus DisposeMusicPlayer(MusicPlayer player)
{
    std::unique_ptr<OpaqueMusicPlayer> owned;  // what the player's handle named, out of the tables
    return withHandle(
        player,
        [&owned](Registry& r, OpaqueMusicPlayer& p) {
            owned = std::move(r.players.extract(&p).mapped());
            return OSStatus{0};
        },
        [](OpaqueMusicPlayer& p) {
            p.player.stop();  // outside the lock: stopping waits for the output to silence
            return OSStatus{0};
        });
}

OSStatus MusicPlayerSetSequence(MusicPlayer player, MusicSequence sequence)
{
    return withHandle(player, [sequence](Registry& r, OpaqueMusicPlayer& p) {
        OpaqueMusicSequence* s = r.find(sequence);
        if (sequence != nullptr && s == nullptr)
            return notFound(sequence);
        p.sequence = s;
        p.player.setSequence(s != nullptr ? s->sequence : nullptr);
        return OSStatus{0};
    });
}

OSStatus MusicPlayerStart(MusicPlayer player)
{
    DestinationHandle destination;
    SysExPacing pacing;
    return withHandle(
        player,
        [&destination, &pacing](Registry& r, OpaqueMusicPlayer& p) {
            if (p.sequence == nullptr || !p.player.hasSequence())
                return kAudioToolboxErr_NoSequence;
            if (!r.isEndpoint(p.sequence->endpoint))
                return kAudioToolboxErr_IllegalTrackDestination;
            destination = r.destinationByEndpoint[p.sequence->endpoint];
            pacing = r.pacing(p.sequence->endpoint);
            // A sequence reloaded since it was given to the player plays its new contents.
            p.player.setSequence(p.sequence->sequence);
            return OSStatus{0};
        },
        [&destination, &pacing](OpaqueMusicPlayer& p) {
            p.player.start(destination, pacing);
            return OSStatus{0};
        });
}

OSStatus MusicPlayerStop(MusicPlayer player)
{
    return withHandle(player, kJustFound, [](OpaqueMusicPlayer& p) {
        p.player.stop();
        return OSStatus{0};
    });
}

namespace {

// Runs `act` on the player named by `player`, which has a sequence (outside the registry's lock).
template <class Act> OSStatus withPlayer(MusicPlayer player, Act act)
{
    return withHandle(
        player,
        [](Registry&, OpaqueMusicPlayer& p) { return p.player.hasSequence() ? OSStatus{0} : kAudioToolboxErr_NoSequence; },
        [&act](OpaqueMusicPlayer& p) {
            act(p.player);
            return OSStatus{0};
        });
}

}  // namespace

OSStatus MusicPlayerSetTime(MusicPlayer player, MusicTimeStamp beats)
{
    return withPlayer(player, [beats](SequencePlayer& p) {
        p.seek(beats <= 0.0 ? 0.0 : p.sequenceTempoMap().beatsToSeconds(beats));
    });
}

OSStatus MusicPlayerPause(MusicPlayer player)
{
    return withPlayer(player, [](SequencePlayer& p) { p.pause(); });
}

OSStatus MusicPlayerResume(MusicPlayer player)
{
    return withPlayer(player, [](SequencePlayer& p) { p.resume(); });
}

OSStatus MusicPlayerSetPlayRateScalar(MusicPlayer player, double rate)
{
    if (!(rate >= 0.5 && rate <= 2.0))
        return kParamErr;
    return withPlayer(player, [rate](SequencePlayer& p) { p.setRate(rate); });
}

OSStatus MusicPlayerPanic(MusicPlayer player)
{
    return withPlayer(player, [](SequencePlayer& p) { p.panic(); });
}

OSStatus MusicPlayerGetStopCutSysEx(MusicPlayer player, double waitSeconds, bool* outCut)
{
    if (outCut == nullptr)
        return kParamErr;
    return withHandle(player, kJustFound, [waitSeconds, outCut](OpaqueMusicPlayer& p) {
        // A stop not taken by the deadline has cut nothing yet.
        std::optional<bool> cut;
        pollUntil(deadlineAfter(waitSeconds), std::chrono::milliseconds(1), [&] {
            cut = p.player.stopCutMessage();
            return cut.has_value();
        });
        *outCut = cut.value_or(false);
        return OSStatus{0};
    });
}

OSStatus MusicPlayerGetTime(MusicPlayer player, MusicTimeStamp* outTime)
{
    if (outTime == nullptr)
        return kParamErr;
    return withHandle(player, [outTime](Registry&, OpaqueMusicPlayer& p) {
        if (!p.player.hasSequence())
            return kAudioToolboxErr_NoSequence;
        *outTime = p.player.positionBeats();
        return OSStatus{0};
    });
}

OSStatus MusicPlayerWaitUntilSent(MusicPlayer player, double graceSeconds)
{
    return withHandle(player, kJustFound, [graceSeconds](OpaqueMusicPlayer& p) {
        return p.player.waitUntilSent(graceSeconds) ? OSStatus{0} : kTimedOut;
    });
}
