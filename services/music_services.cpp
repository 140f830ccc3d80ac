#include "services/music_services.h"

#include <cstring>

#include "services/call_registry.h"
#include "services/device_inquiry.h"
#include "services/midi_connection.h"
#include "services/midi_service_thread.h"
#include "services/smf_reader.h"

const MIDIPropertyID kMIDIPropertyDisplayName = "displayName";
const MIDIPropertyID kMIDIPropertyMaxSysExSpeed = "maxSysExSpeed";
const MIDIPropertyID kMIDIPropertySysExPause = "sysExPauseMilliseconds";

using namespace brennick;
using namespace brennick::calls;

namespace {

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

OSStatus MIDIInquireDestinations(double listenSeconds, std::map<MIDIEndpointRef, UInt32>* outFamilyCodes)
{
    if (outFamilyCodes == nullptr)
        return kParamErr;
    outFamilyCodes->clear();
    std::map<std::string, DeviceAnswer> answers;
    bool connected = false;
    runOnMidiServiceThread([&] {
        static DeviceAnswers memory;  // used on the service thread only
        if (auto backend = currentMidiBackend()) {
            connected = true;
            answers = askDevices(*backend, memory, listenSeconds);
        }
    });
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    for (const auto& [identity, answer] : answers) {
        const auto ref = r.endpointByIdentity.find(identity);
        if (answer && ref != r.endpointByIdentity.end())
            (*outFamilyCodes)[ref->second] = *answer;
    }
    return connected ? 0 : kMIDINoConnection;
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
