// The player calls of the call layer: a player plays the sequence it is given to the sequence's
// destination.

#include <chrono>
#include <optional>

#include "services/call_registry.h"
#include "services/polling.h"

using namespace brennick;
using namespace brennick::calls;

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

namespace {

// Under the registry's lock: where and how the player's sequence is to be sent. A sequence reloaded
// since it was given to the player plays its new contents.
OSStatus prepareStart(Registry& r, OpaqueMusicPlayer& p, DestinationHandle& destination, SysExPacing& pacing)
{
    if (p.sequence == nullptr || !p.player.hasSequence())
        return kAudioToolboxErr_NoSequence;
    if (!r.isEndpoint(p.sequence->endpoint))
        return kAudioToolboxErr_IllegalTrackDestination;
    destination = r.destinationByEndpoint[p.sequence->endpoint];
    pacing = r.pacing(p.sequence->endpoint);
    p.player.setSequence(p.sequence->sequence);
    return OSStatus{0};
}

}  // namespace

OSStatus MusicPlayerStart(MusicPlayer player)
{
    DestinationHandle destination;
    SysExPacing pacing;
    return withHandle(
        player, [&](Registry& r, OpaqueMusicPlayer& p) { return prepareStart(r, p, destination, pacing); },
        [&](OpaqueMusicPlayer& p) {
            p.player.start(destination, pacing);
            return OSStatus{0};
        });
}

OSStatus MusicPlayerStartAfter(MusicPlayer player, MusicPlayer previous)
{
    DestinationHandle destination;
    SysExPacing pacing;
    OpaqueMusicPlayer* before = nullptr;
    return withHandle(
        player,
        [&](Registry& r, OpaqueMusicPlayer& p) {
            before = r.find(previous);
            return before == nullptr ? notFound(previous) : prepareStart(r, p, destination, pacing);
        },
        // Players are used from one thread, the caller's: `before` stays while this call runs.
        [&](OpaqueMusicPlayer& p) {
            return p.player.startAfter(before->player, destination, pacing) ? OSStatus{0}
                                                                            : kAudioToolboxErr_InvalidPlayerState;
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

OSStatus MusicPlayerSetLooping(MusicPlayer player, bool on)
{
    return withPlayer(player, [on](SequencePlayer& p) { p.setLooping(on); });
}

OSStatus MusicPlayerSetReleaseAtEnd(MusicPlayer player, bool on)
{
    return withPlayer(player, [on](SequencePlayer& p) { p.setReleasingAtEnd(on); });
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
