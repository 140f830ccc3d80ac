#pragma once
// The MIDI service and sequence player as the controller calls them: plain functions with
// integer statuses (0 = success, anything else a failure) and opaque handles. Nothing here throws.
// Handles stay valid until disposed; a disposed or unknown handle gives a failure status.

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include "services/smf_reader.h"

using OSStatus = std::int32_t;
using UInt8 = std::uint8_t;
using UInt32 = std::uint32_t;
using SInt32 = std::int32_t;
using ItemCount = std::size_t;
using CFIndex = long;
using MusicTimeStamp = double;  // beats

using MIDIObjectRef = std::uint32_t;  // 0 is no object
using MIDIClientRef = MIDIObjectRef;
using MIDIEndpointRef = MIDIObjectRef;
using MIDINotifyProc = void (*)(const void* message, void* refCon);

using MusicSequence = struct OpaqueMusicSequence*;
using MusicPlayer = struct OpaqueMusicPlayer*;
using MusicTrack = struct OpaqueMusicTrack*;
using CFURLRef = struct OpaqueCFURL*;
using CFAllocatorRef = const void*;
using MusicSequenceFileTypeID = UInt32;
using MusicSequenceLoadFlags = UInt32;
using MIDIPropertyID = const char*;

inline constexpr CFAllocatorRef kCFAllocatorDefault = nullptr;
inline constexpr MusicSequenceFileTypeID kMusicSequenceFile_AnyType = 0;
inline constexpr UInt32 kSequenceTrackProperty_TrackLength = 5;

extern const MIDIPropertyID kMIDIPropertyDisplayName;
extern const MIDIPropertyID kMIDIPropertyMaxSysExSpeed;
// Milliseconds of silence after each complete SysEx message (0 until set): slow synths need it to
// store what they received.
extern const MIDIPropertyID kMIDIPropertySysExPause;

// Failure statuses (the caller only tests for non-zero).
inline constexpr OSStatus kMIDIInvalidClient = -10830;
inline constexpr OSStatus kMIDINoConnection = -10833;
inline constexpr OSStatus kMIDIUnknownProperty = -10835;
inline constexpr OSStatus kMIDIObjectNotFound = -10842;
inline constexpr OSStatus kAudioToolboxErr_InvalidSequenceType = -10846;
inline constexpr OSStatus kAudioToolboxErr_TrackIndexError = -10859;
inline constexpr OSStatus kAudioToolboxErr_TrackNotFound = -10858;
inline constexpr OSStatus kAudioToolboxErr_InvalidPlayerState = -10852;
inline constexpr OSStatus kAudioToolboxErr_NoSequence = -10868;
inline constexpr OSStatus kAudioToolboxErr_IllegalTrackDestination = -10867;
inline constexpr OSStatus kAudioToolboxErr_CannotDoInCurrentContext = -10863;
inline constexpr OSStatus kAudioToolboxErr_InvalidPlayer = -10870;
inline constexpr OSStatus kParamErr = -50;
inline constexpr OSStatus kFileNotFound = -43;
inline constexpr OSStatus kTimedOut = -1;

// --- MIDI service -------------------------------------------------------------------------------

// Calls that reach the MIDI service (client create, listing) run on the MIDI service thread and
// wait for it: a server can take seconds to answer, so a window's thread makes them through a job
// of that thread (services/midi_service_thread.h). Player calls never wait for the service.

// A cheap handle; the first call connects to the MIDI service (JACK, else the ALSA sequencer).
// Fails with kMIDINoConnection when no service is reachable (the handle is still written).
OSStatus MIDIClientCreate(const std::string& name, MIDINotifyProc notifyProc, void* notifyRefCon,
                          MIDIClientRef* outClient);

// Lists the destinations afresh, reading their display names; MIDIGetDestination indexes the list
// made by the latest call. A destination keeps its ref across listings.
ItemCount MIDIGetNumberOfDestinations();
MIDIEndpointRef MIDIGetDestination(ItemCount destinationIndex);  // 0 when out of range

// Asks the devices behind the destinations who they are: the Universal Device Inquiry to each
// destination whose device also sends to us (a source of the same client), then `listenSeconds` of
// listening for Identity Replies. The answers are remembered while the ports stay the same, so a
// device is asked once, answering or not. Gives the family code each destination's device answered
// with as a Brennick device, by the destination's ref; one that did not answer, or has no source to
// answer from, is not there. Waits: call it on the MIDI service thread or where waiting is fine.
OSStatus MIDIInquireDestinations(double listenSeconds, std::map<MIDIEndpointRef, UInt32>* outFamilyCodes);

// kMIDIPropertyDisplayName as the latest listing read it; kMIDIObjectNotFound when the destination
// was not in it.
OSStatus MIDIObjectGetStringProperty(MIDIObjectRef object, MIDIPropertyID property, std::string* outValue);
// kMIDIPropertyMaxSysExSpeed in bytes per second (3125, the speed of a MIDI cable, until set), and
// kMIDIPropertySysExPause in milliseconds.
OSStatus MIDIObjectSetIntegerProperty(MIDIObjectRef object, MIDIPropertyID property, SInt32 value);
OSStatus MIDIObjectGetIntegerProperty(MIDIObjectRef object, MIDIPropertyID property, SInt32* outValue);

// --- File URLs ----------------------------------------------------------------------------------

// Null when `buffer` is null or `length` negative.
CFURLRef CFURLCreateFromFileSystemRepresentation(CFAllocatorRef allocator, const UInt8* buffer, CFIndex length,
                                                 bool isDirectory);
void CFRelease(CFURLRef url);

// --- Sequences ----------------------------------------------------------------------------------

OSStatus NewMusicSequence(MusicSequence* outSequence);
OSStatus DisposeMusicSequence(MusicSequence sequence);
// Replaces the sequence's tracks with the file's (a Standard MIDI File or a raw SysEx file). A
// damaged file loads what could be read and succeeds; a file that is neither, or cannot be read,
// fails and leaves the sequence empty.
OSStatus MusicSequenceFileLoad(MusicSequence sequence, CFURLRef fileRef, MusicSequenceFileTypeID fileTypeHint,
                               MusicSequenceLoadFlags flags);
// The same with a file read already (by loadSequenceFile, off the caller's thread), without reading
// it again.
OSStatus MusicSequenceFileLoadRead(MusicSequence sequence, brennick::SmfReadResult&& file);
// Routes every track to the destination.
OSStatus MusicSequenceSetMIDIEndpoint(MusicSequence sequence, MIDIEndpointRef endpoint);
OSStatus MusicSequenceGetTrackCount(MusicSequence sequence, UInt32* outNumberOfTracks);
// The time at `beats` on the sequence's tempo map, in seconds from its start.
OSStatus MusicSequenceGetSecondsForBeats(MusicSequence sequence, MusicTimeStamp beats, double* outSeconds);
// The inverse: the beats at `seconds` from the start.
OSStatus MusicSequenceGetBeatsForSeconds(MusicSequence sequence, double seconds, MusicTimeStamp* outBeats);
OSStatus MusicSequenceGetIndTrack(MusicSequence sequence, UInt32 trackIndex, MusicTrack* outTrack);
// kSequenceTrackProperty_TrackLength: the length in beats as a 64-bit float; *ioLength >= 8. The
// track of a SysEx dump lasts as long as its destination's pacing takes to send it.
OSStatus MusicTrackGetProperty(MusicTrack track, UInt32 propertyID, void* outData, UInt32* ioLength);

// --- Players ------------------------------------------------------------------------------------

OSStatus NewMusicPlayer(MusicPlayer* outPlayer);
OSStatus DisposeMusicPlayer(MusicPlayer player);  // stops it first
OSStatus MusicPlayerSetSequence(MusicPlayer player, MusicSequence sequence);
// Starts from the beginning, sending to the sequence's destination with its maximum SysEx speed.
// Returns at once: the stream starts on the MIDI service thread, and the position stays 0 until it
// has (for good, when the service has gone meanwhile).
OSStatus MusicPlayerStart(MusicPlayer player);
// Starts as MusicPlayerStart does, but on the frame where the song `previous` plays ends (its
// end-of-track time at its tempo), so that one song follows the other with no gap, to the same
// destination or another; the stream is made ready now, ahead of that time. `previous` lets go there
// what still sounds. A player stopped before then has sent nothing. kAudioToolboxErr_InvalidPlayerState
// (nothing started) when `previous` plays no song with such an end (stopped, paused, looping, a
// SysEx dump, no length), or its paced SysEx may still be sending there.
OSStatus MusicPlayerStartAfter(MusicPlayer player, MusicPlayer previous);
// Stops and silences the notes the player left sounding. Null or stopped players are fine.
OSStatus MusicPlayerStop(MusicPlayer player);
// Beyond starting and stopping (each returns at once; the position reads as the song's time):
// Moves the position to `beats`; a playing player goes on from there, the synth first given the
// song's state at that point (bank and program, controllers, pitch bend, pressure, and the set-up
// SysEx before the first note). A SysEx dump moves to the start of a whole message.
OSStatus MusicPlayerSetTime(MusicPlayer player, MusicTimeStamp beats);
// Pause silences at once (a SysEx under way first ends), note-offs and sustain let go, and keeps the
// position; resume goes on from it with the state chased. Neither does anything when it has nothing to do.
OSStatus MusicPlayerPause(MusicPlayer player);
OSStatus MusicPlayerResume(MusicPlayer player);
// Tempo from 0.5 to 2 times the song's own; SysEx pacing is not scaled.
OSStatus MusicPlayerSetPlayRateScalar(MusicPlayer player, double rate);
// Whether the sequence plays again from its start at its end, with no gap, until switched off (the
// pass under way then plays to its end); the position goes round with it. Kept across starts. A
// sequence with no length, or a SysEx dump, ends as it would.
OSStatus MusicPlayerSetLooping(MusicPlayer player, bool on);
// Whether what still sounds at the end of the song (its end-of-track time) is let go there, as when
// another song follows it; on before the start, since a queueing service takes a short song's end
// at once. Kept across starts.
OSStatus MusicPlayerSetReleaseAtEnd(MusicPlayer player, bool on);
// Stops, then sends "all notes off" and "reset all controllers" on all 16 channels of the player's
// destination.
OSStatus MusicPlayerPanic(MusicPlayer player);
// Whether the player's latest stop ended a SysEx under way early, with its F7 (its rest would have
// taken more than a second at the destination's pace); false when that stop stopped nothing. The
// output takes a stop within a moment: this waits at most `waitSeconds` for it.
OSStatus MusicPlayerGetStopCutSysEx(MusicPlayer player, double waitSeconds, bool* outCut);
// The position in beats; it keeps growing past the end until the player is stopped.
OSStatus MusicPlayerGetTime(MusicPlayer player, MusicTimeStamp* outTime);
// Waits until everything the player has scheduled has left the program (paced SysEx still
// draining and the last events included), at most until the schedule's own end plus
// `graceSeconds`. kTimedOut when that bound was reached first.
OSStatus MusicPlayerWaitUntilSent(MusicPlayer player, double graceSeconds);
