#include "services/music_services.h"

#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_map>
#include <vector>

#include "services/midi_backend.h"
#include "services/midi_connection.h"
#include "services/midi_service_thread.h"
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

    OpaqueMusicSequence* sequence(MusicSequence s) { return s != nullptr && sequences.count(s) ? s : nullptr; }
    OpaqueMusicPlayer* player(MusicPlayer p) { return p != nullptr && players.count(p) ? p : nullptr; }
    OpaqueMusicTrack* track(MusicTrack t) { return t != nullptr && trackOwners.count(t) ? t : nullptr; }

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

bool same(MIDIPropertyID a, MIDIPropertyID b)
{
    return a != nullptr && std::strcmp(a, b) == 0;
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
    const bool speed = same(property, kMIDIPropertyMaxSysExSpeed);
    if (!speed && !same(property, kMIDIPropertySysExPause))
        return kMIDIUnknownProperty;
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    if (!r.isEndpoint(object))
        return kMIDIObjectNotFound;
    (speed ? r.maxSysExSpeed : r.sysExPause)[object] = value;
    return 0;
}

OSStatus MIDIObjectGetIntegerProperty(MIDIObjectRef object, MIDIPropertyID property, SInt32* outValue)
{
    if (outValue == nullptr)
        return kParamErr;
    const bool speed = same(property, kMIDIPropertyMaxSysExSpeed);
    if (!speed && !same(property, kMIDIPropertySysExPause))
        return kMIDIUnknownProperty;
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    if (!r.isEndpoint(object))
        return kMIDIObjectNotFound;
    const auto& values = speed ? r.maxSysExSpeed : r.sysExPause;
    auto it = values.find(object);
    *outValue = it != values.end() ? it->second : speed ? kDefaultMaxSysExSpeed : 0;
    return 0;
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
    if (outSequence == nullptr)
        return kParamErr;
    auto sequence = std::make_unique<OpaqueMusicSequence>();
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    *outSequence = sequence.get();
    r.sequences.emplace(sequence.get(), std::move(sequence));
    return 0;
}

OSStatus DisposeMusicSequence(MusicSequence sequence)
{
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    if (r.sequence(sequence) == nullptr)
        return kAudioToolboxErr_NoSequence;
    for (auto& [key, player] : r.players)
        if (player->sequence == sequence)
            player->sequence = nullptr;  // the player keeps the loaded data it plays
    r.forgetTracks(*sequence);
    r.sequences.erase(sequence);
    return 0;
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
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    OpaqueMusicSequence* s = r.sequence(sequence);
    if (s == nullptr)
        return kAudioToolboxErr_NoSequence;
    s->sequence = std::move(loaded);
    r.forgetTracks(*s);
    switch (status) {
    case SmfStatus::Complete:
    case SmfStatus::Damaged: return 0;
    case SmfStatus::NotMidi:
    case SmfStatus::Empty: return kAudioToolboxErr_InvalidSequenceType;
    case SmfStatus::Unreadable: return kFileNotFound;
    }
    return kAudioToolboxErr_InvalidSequenceType;
}

OSStatus MusicSequenceSetMIDIEndpoint(MusicSequence sequence, MIDIEndpointRef endpoint)
{
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    OpaqueMusicSequence* s = r.sequence(sequence);
    if (s == nullptr)
        return kAudioToolboxErr_NoSequence;
    if (!r.isEndpoint(endpoint))
        return kAudioToolboxErr_IllegalTrackDestination;
    s->endpoint = endpoint;
    return 0;
}

OSStatus MusicSequenceGetTrackCount(MusicSequence sequence, UInt32* outNumberOfTracks)
{
    if (outNumberOfTracks == nullptr)
        return kParamErr;
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    OpaqueMusicSequence* s = r.sequence(sequence);
    if (s == nullptr)
        return kAudioToolboxErr_NoSequence;
    *outNumberOfTracks = UInt32(s->sequence->trackCount());
    return 0;
}

OSStatus MusicSequenceGetSecondsForBeats(MusicSequence sequence, MusicTimeStamp beats, double* outSeconds)
{
    if (outSeconds == nullptr)
        return kParamErr;
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    OpaqueMusicSequence* s = r.sequence(sequence);
    if (s == nullptr)
        return kAudioToolboxErr_NoSequence;
    *outSeconds = s->sequence->tempoMap().beatsToSeconds(beats);
    return 0;
}

OSStatus MusicSequenceGetBeatsForSeconds(MusicSequence sequence, double seconds, MusicTimeStamp* outBeats)
{
    if (outBeats == nullptr)
        return kParamErr;
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    OpaqueMusicSequence* s = r.sequence(sequence);
    if (s == nullptr)
        return kAudioToolboxErr_NoSequence;
    *outBeats = s->sequence->tempoMap().secondsToBeats(seconds);
    return 0;
}

OSStatus MusicSequenceGetIndTrack(MusicSequence sequence, UInt32 trackIndex, MusicTrack* outTrack)
{
    if (outTrack == nullptr)
        return kParamErr;
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    OpaqueMusicSequence* s = r.sequence(sequence);
    if (s == nullptr)
        return kAudioToolboxErr_NoSequence;
    if (trackIndex >= s->sequence->trackCount())
        return kAudioToolboxErr_TrackIndexError;
    if (s->tracks.size() <= trackIndex)
        s->tracks.resize(s->sequence->trackCount());
    auto& handle = s->tracks[trackIndex];
    if (!handle) {
        handle = std::make_unique<OpaqueMusicTrack>(OpaqueMusicTrack{s, trackIndex});
        r.trackOwners.emplace(handle.get(), s);
    }
    *outTrack = handle.get();
    return 0;
}

OSStatus MusicTrackGetProperty(MusicTrack track, UInt32 propertyID, void* outData, UInt32* ioLength)
{
    if (outData == nullptr || ioLength == nullptr)
        return kParamErr;
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    OpaqueMusicTrack* t = r.track(track);
    if (t == nullptr)
        return kAudioToolboxErr_TrackNotFound;
    if (propertyID != kSequenceTrackProperty_TrackLength || *ioLength < sizeof(MusicTimeStamp))
        return kParamErr;
    const Sequence& sequence = *t->owner->sequence;
    MusicTimeStamp length = sequence.trackLengthBeats(t->index);
    if (sequence.isSysExDump()) {
        // Every message stands at tick 0 and waits for the one before it at the destination's pace.
        const SysExPacing pacing = r.pacing(t->owner->endpoint);
        const SysExPacer pacer(pacing);
        length = sequence.tempoMap().secondsToBeats(pacer.drainSeconds(sequence.systemBytes()) +
                                                    pacing.pauseSeconds * double(sequence.systemMessageCount()));
    }
    std::memcpy(outData, &length, sizeof length);
    *ioLength = sizeof length;
    return 0;
}

OSStatus NewMusicPlayer(MusicPlayer* outPlayer)
{
    if (outPlayer == nullptr)
        return kParamErr;
    auto player = std::make_unique<OpaqueMusicPlayer>();
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    *outPlayer = player.get();
    r.players.emplace(player.get(), std::move(player));
    return 0;
}

OSStatus DisposeMusicPlayer(MusicPlayer player)
{
    std::unique_ptr<OpaqueMusicPlayer> owned;
    {
        Registry& r = registry();
        std::lock_guard lock(r.mutex);
        auto it = r.players.find(player);
        if (player == nullptr || it == r.players.end())
            return kAudioToolboxErr_InvalidPlayer;
        owned = std::move(it->second);
        r.players.erase(it);
    }
    owned->player.stop();  // outside the lock: stopping waits for the output to silence
    return 0;
}

OSStatus MusicPlayerSetSequence(MusicPlayer player, MusicSequence sequence)
{
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    OpaqueMusicPlayer* p = r.player(player);
    if (p == nullptr)
        return kAudioToolboxErr_InvalidPlayer;
    OpaqueMusicSequence* s = sequence != nullptr ? r.sequence(sequence) : nullptr;
    if (sequence != nullptr && s == nullptr)
        return kAudioToolboxErr_NoSequence;
    p->sequence = s;
    p->player.setSequence(s != nullptr ? s->sequence : nullptr);
    return 0;
}

OSStatus MusicPlayerStart(MusicPlayer player)
{
    DestinationHandle destination;
    SysExPacing pacing;
    OpaqueMusicPlayer* p = nullptr;
    {
        Registry& r = registry();
        std::lock_guard lock(r.mutex);
        p = r.player(player);
        if (p == nullptr)
            return kAudioToolboxErr_InvalidPlayer;
        if (p->sequence == nullptr || !p->player.hasSequence())
            return kAudioToolboxErr_NoSequence;
        if (!r.isEndpoint(p->sequence->endpoint))
            return kAudioToolboxErr_IllegalTrackDestination;
        destination = r.destinationByEndpoint[p->sequence->endpoint];
        pacing = r.pacing(p->sequence->endpoint);
        // A sequence reloaded since it was given to the player plays its new contents.
        p->player.setSequence(p->sequence->sequence);
    }
    // Players are used from one thread (the caller's main thread); only the tables need the lock.
    p->player.start(destination, pacing);
    return 0;
}

OSStatus MusicPlayerStop(MusicPlayer player)
{
    if (player == nullptr)
        return kAudioToolboxErr_InvalidPlayer;
    OpaqueMusicPlayer* p = nullptr;
    {
        Registry& r = registry();
        std::lock_guard lock(r.mutex);
        p = r.player(player);
    }
    if (p == nullptr)
        return kAudioToolboxErr_InvalidPlayer;
    p->player.stop();
    return 0;
}

namespace {

// Runs `act` on the player named by `player` (outside the registry's lock: players are used from
// one thread); a failure status when there is none, or it has no sequence.
template <class Act> OSStatus withPlayer(MusicPlayer player, Act act)
{
    OpaqueMusicPlayer* p = nullptr;
    {
        Registry& r = registry();
        std::lock_guard lock(r.mutex);
        p = r.player(player);
    }
    if (p == nullptr)
        return kAudioToolboxErr_InvalidPlayer;
    if (!p->player.hasSequence())
        return kAudioToolboxErr_NoSequence;
    act(p->player);
    return 0;
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
    OpaqueMusicPlayer* p = nullptr;
    {
        Registry& r = registry();
        std::lock_guard lock(r.mutex);
        p = r.player(player);
    }
    if (p == nullptr)
        return kAudioToolboxErr_InvalidPlayer;
    // Outside the lock: it may wait. A stop not taken by the deadline has cut nothing yet.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(std::max(0.0, waitSeconds));
    std::optional<bool> cut = p->player.stopCutMessage();
    while (!cut && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        cut = p->player.stopCutMessage();
    }
    *outCut = cut.value_or(false);
    return 0;
}

OSStatus MusicPlayerGetTime(MusicPlayer player, MusicTimeStamp* outTime)
{
    if (outTime == nullptr)
        return kParamErr;
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    OpaqueMusicPlayer* p = r.player(player);
    if (p == nullptr)
        return kAudioToolboxErr_InvalidPlayer;
    if (!p->player.hasSequence())
        return kAudioToolboxErr_NoSequence;
    *outTime = p->player.positionBeats();
    return 0;
}

OSStatus MusicPlayerWaitUntilSent(MusicPlayer player, double graceSeconds)
{
    OpaqueMusicPlayer* p = nullptr;
    {
        Registry& r = registry();
        std::lock_guard lock(r.mutex);
        p = r.player(player);
    }
    if (p == nullptr)
        return kAudioToolboxErr_InvalidPlayer;
    return p->player.waitUntilSent(graceSeconds) ? 0 : kTimedOut;
}
