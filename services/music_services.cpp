#include "services/music_services.h"

#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <vector>

#include "services/midi_backend.h"
#include "services/sequence.h"
#include "services/sequence_player.h"
#include "services/smf_reader.h"

const MIDIPropertyID kMIDIPropertyDisplayName = "displayName";
const MIDIPropertyID kMIDIPropertyMaxSysExSpeed = "maxSysExSpeed";

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
    std::vector<std::unique_ptr<OpaqueMusicTrack>> tracks;  // handles, made on demand
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

    // Destinations are interned by their unique name so a ref stays the same across listings.
    std::map<std::string, MIDIEndpointRef> endpointByName;
    std::vector<std::string> nameByEndpoint{""};  // index 0 is no object
    std::unordered_map<MIDIEndpointRef, SInt32> maxSysExSpeed;
    std::vector<MIDIEndpointRef> listing;  // the latest MIDIGetNumberOfDestinations
    MIDIClientRef nextClient = 1;

    MIDIEndpointRef intern(const std::string& uniqueName)
    {
        auto [it, inserted] = endpointByName.try_emplace(uniqueName, MIDIEndpointRef(nameByEndpoint.size()));
        if (inserted)
            nameByEndpoint.push_back(uniqueName);
        return it->second;
    }

    const std::string* endpointName(MIDIObjectRef ref) const
    {
        return ref != 0 && ref < nameByEndpoint.size() ? &nameByEndpoint[ref] : nullptr;
    }

    OpaqueMusicSequence* sequence(MusicSequence s) { return s != nullptr && sequences.count(s) ? s : nullptr; }
    OpaqueMusicPlayer* player(MusicPlayer p) { return p != nullptr && players.count(p) ? p : nullptr; }
    OpaqueMusicTrack* track(MusicTrack t)
    {
        if (t == nullptr)
            return nullptr;
        for (auto& [key, s] : sequences)
            for (auto& handle : s->tracks)
                if (handle.get() == t)
                    return t;
        return nullptr;
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
    const bool connected = currentMidiBackend() != nullptr;
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    if (outClient != nullptr)
        *outClient = r.nextClient++;
    return connected ? 0 : kMIDINoConnection;
}

ItemCount MIDIGetNumberOfDestinations()
{
    std::vector<DestinationInfo> found;
    if (auto backend = currentMidiBackend())
        found = backend->destinations();
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    r.listing.clear();
    for (const DestinationInfo& d : found)
        r.listing.push_back(r.intern(d.uniqueName));
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
    std::string uniqueName;
    {
        Registry& r = registry();
        std::lock_guard lock(r.mutex);
        const std::string* name = r.endpointName(object);
        if (name == nullptr)
            return kMIDIObjectNotFound;
        uniqueName = *name;
    }
    auto backend = currentMidiBackend();
    if (!backend)
        return kMIDINoConnection;
    std::optional<std::string> display = backend->displayName(uniqueName);
    if (!display)
        return kMIDIObjectNotFound;
    *outValue = *display;
    return 0;
}

OSStatus MIDIObjectSetIntegerProperty(MIDIObjectRef object, MIDIPropertyID property, SInt32 value)
{
    if (!same(property, kMIDIPropertyMaxSysExSpeed))
        return kMIDIUnknownProperty;
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    if (r.endpointName(object) == nullptr)
        return kMIDIObjectNotFound;
    r.maxSysExSpeed[object] = value;
    return 0;
}

OSStatus MIDIObjectGetIntegerProperty(MIDIObjectRef object, MIDIPropertyID property, SInt32* outValue)
{
    if (outValue == nullptr)
        return kParamErr;
    if (!same(property, kMIDIPropertyMaxSysExSpeed))
        return kMIDIUnknownProperty;
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    if (r.endpointName(object) == nullptr)
        return kMIDIObjectNotFound;
    auto it = r.maxSysExSpeed.find(object);
    *outValue = it != r.maxSysExSpeed.end() ? it->second : kDefaultMaxSysExSpeed;
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
    r.sequences.erase(sequence);
    return 0;
}

OSStatus MusicSequenceFileLoad(MusicSequence sequence, CFURLRef fileRef, MusicSequenceFileTypeID,
                               MusicSequenceLoadFlags)
{
    if (fileRef == nullptr)
        return kParamErr;
    // Read outside the lock: a large file must not hold up other calls.
    SmfReadResult result = loadStandardMidiFile(fileRef->path);
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    OpaqueMusicSequence* s = r.sequence(sequence);
    if (s == nullptr)
        return kAudioToolboxErr_NoSequence;
    s->sequence = std::make_shared<const Sequence>(std::move(result.sequence));
    s->tracks.clear();
    switch (result.status) {
    case SmfStatus::Complete:
    case SmfStatus::Damaged: return 0;
    case SmfStatus::NotMidi: return kAudioToolboxErr_InvalidSequenceType;
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
    if (r.endpointName(endpoint) == nullptr)
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
    for (auto& handle : s->tracks) {
        if (handle->index == trackIndex) {
            *outTrack = handle.get();
            return 0;
        }
    }
    s->tracks.push_back(std::make_unique<OpaqueMusicTrack>(OpaqueMusicTrack{s, trackIndex}));
    *outTrack = s->tracks.back().get();
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
    const MusicTimeStamp length = t->owner->sequence->trackLengthBeats(t->index);
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
    std::string destination;
    double speed = kDefaultMaxSysExSpeed;
    OpaqueMusicPlayer* p = nullptr;
    {
        Registry& r = registry();
        std::lock_guard lock(r.mutex);
        p = r.player(player);
        if (p == nullptr)
            return kAudioToolboxErr_InvalidPlayer;
        if (p->sequence == nullptr || !p->player.hasSequence())
            return kAudioToolboxErr_NoSequence;
        const std::string* name = r.endpointName(p->sequence->endpoint);
        if (name == nullptr)
            return kAudioToolboxErr_IllegalTrackDestination;
        destination = *name;
        if (auto it = r.maxSysExSpeed.find(p->sequence->endpoint); it != r.maxSysExSpeed.end())
            speed = it->second;
        // A sequence reloaded since it was given to the player plays its new contents.
        p->player.setSequence(p->sequence->sequence);
    }
    // Players are used from one thread (the caller's main thread); only the tables need the lock.
    return p->player.start(destination, speed) ? 0 : kMIDINoConnection;
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
