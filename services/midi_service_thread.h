#pragma once
// The one thread that talks to the MIDI service. A JACK server, or JACK's metadata database, can
// take many seconds to answer a client open, a listing or a property read: whoever asks for those
// through this thread decides for itself whether to wait, and a window's thread never has to.
// Jobs run one at a time, in the order they were posted, so a stop posted after a start ends
// what that start began.

#include <functional>

namespace brennick {

// Queues `job` behind those posted before it and returns at once.
void postToMidiServiceThread(std::function<void()> job);

// Runs `job` on the service thread and waits for it to finish. Called on the service thread
// itself, it runs `job` in place.
void runOnMidiServiceThread(const std::function<void()>& job);

// Runs `job` on the service thread unless the jobs ahead of it keep the thread for longer than
// `queueSeconds`: then it is dropped unrun and the answer is false. Once it has begun, waits for
// it to finish however long that takes.
bool runOnMidiServiceThreadWithin(double queueSeconds, const std::function<void()>& job);

bool onMidiServiceThread();

}  // namespace brennick
