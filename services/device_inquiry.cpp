#include "services/device_inquiry.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>

#include "services/midi_backend.h"
#include "services/sequence.h"
#include "services/smf_reader.h"
#include "services/stream_cursor.h"

namespace brennick {

std::optional<std::uint16_t> brennickFamilyCode(std::span<const std::uint8_t> message) noexcept
{
    constexpr std::size_t kReplyBytes = 15;
    constexpr std::uint8_t kBrennick = 0x3E;
    if (message.size() != kReplyBytes || message.front() != 0xF0 || message.back() != 0xF7)
        return std::nullopt;
    const auto data = message.subspan(1, kReplyBytes - 2);
    if (std::any_of(data.begin(), data.end(), [](std::uint8_t b) { return b >= 0x80; }))
        return std::nullopt;
    // data: 7E <device> 06 02 <maker> <family lsb> <family msb> ...
    if (data[0] != 0x7E || data[2] != 0x06 || data[3] != 0x02 || data[4] != kBrennick)
        return std::nullopt;
    return std::uint16_t(data[5] | data[6] << 7);
}

void DeviceAnswers::portsNow(std::vector<std::string> portIdentities)
{
    std::sort(portIdentities.begin(), portIdentities.end());
    if (portIdentities == ports_)
        return;
    ports_ = std::move(portIdentities);
    answers_.clear();
}

std::optional<DeviceAnswer> DeviceAnswers::answer(const std::string& destination) const
{
    const auto it = answers_.find(destination);
    return it != answers_.end() ? std::optional<DeviceAnswer>(it->second) : std::nullopt;
}

void DeviceAnswers::remember(const std::string& destination, DeviceAnswer answer)
{
    answers_[destination] = answer;
}

namespace {

// The replies heard in one round, written by the listeners' threads.
struct Replies {
    std::mutex mutex;
    std::condition_variable changed;
    std::map<std::string, std::uint16_t> familyByDestination;  // the first reply of each device
};

std::shared_ptr<const Sequence> inquirySequence()
{
    FileBytes bytes{std::make_unique<std::uint8_t[]>(kDeviceInquiry.size()), kDeviceInquiry.size()};
    std::memcpy(bytes.data.get(), kDeviceInquiry.data(), kDeviceInquiry.size());
    return std::make_shared<const Sequence>(readSysExFile(std::move(bytes)).sequence);
}

// Asks as many of `wanted` (destination -> its sources) as the backend takes listeners and streams
// for at once, and removes those from it. What each asked device answered.
std::map<std::string, DeviceAnswer> askRound(MidiBackend& backend, const std::vector<DestinationHandle>& destinations,
                                             std::map<std::string, std::vector<SourceHandle>>& wanted,
                                             double listenSeconds)
{
    Replies replies;
    std::vector<std::unique_ptr<InputListener>> listeners;
    std::vector<std::string> asked;
    for (auto it = wanted.begin(); it != wanted.end();) {
        const std::size_t before = listeners.size();
        for (const SourceHandle& source : it->second) {
            auto listener = backend.listen(source, [&replies, destination = it->first](auto message) {
                const std::optional<std::uint16_t> family = brennickFamilyCode(message);
                if (!family)
                    return;
                std::lock_guard lock(replies.mutex);
                replies.familyByDestination.try_emplace(destination, *family);
                replies.changed.notify_all();
            });
            if (listener)
                listeners.push_back(std::move(listener));
        }
        if (listeners.size() == before) {
            ++it;  // no listener to spare: asked in the next round
            continue;
        }
        asked.push_back(it->first);
        it = wanted.erase(it);
    }

    // Every listener is open before the first inquiry goes out: a quick device answers at once.
    const std::shared_ptr<const Sequence> inquiry = inquirySequence();
    std::vector<std::unique_ptr<PlaybackStream>> streams;
    for (const std::string& identity : asked) {
        const auto destination = std::find_if(destinations.begin(), destinations.end(),
                                              [&identity](const auto& d) { return d->identity() == identity; });
        auto stream = backend.play(std::make_unique<StreamCursor>(inquiry, SysExPacing{3125.0, 0.0}), *destination, {});
        if (stream)
            streams.push_back(std::move(stream));
    }

    std::map<std::string, DeviceAnswer> answers;
    {
        std::unique_lock lock(replies.mutex);
        replies.changed.wait_for(lock, std::chrono::duration<double>(listenSeconds),
                                 [&] { return replies.familyByDestination.size() == asked.size(); });
        for (const std::string& identity : asked) {
            const auto reply = replies.familyByDestination.find(identity);
            answers[identity] = reply != replies.familyByDestination.end() ? DeviceAnswer(reply->second) : std::nullopt;
        }
    }
    listeners.clear();  // no handler runs after this, so `replies` may go
    return answers;
}

}  // namespace

std::map<std::string, DeviceAnswer> askDevices(MidiBackend& backend, DeviceAnswers& memory, double listenSeconds)
{
    const std::vector<DestinationHandle> destinations = backend.destinations();
    const std::vector<SourceHandle> sources = backend.sources();
    std::vector<std::string> ports;
    for (const DestinationHandle& d : destinations)
        ports.push_back(d->identity());
    for (const SourceHandle& s : sources)
        ports.push_back(s->identity());
    memory.portsNow(std::move(ports));

    std::map<std::string, DeviceAnswer> answers;
    std::map<std::string, std::vector<SourceHandle>> wanted;  // destination -> the sources its device answers on
    for (const DestinationHandle& d : destinations) {
        if (const std::optional<DeviceAnswer> known = memory.answer(d->identity()))
            answers[d->identity()] = *known;
        else
            for (const SourceHandle& s : sources)
                if (s->pairedDestination() == d->identity())
                    wanted[d->identity()].push_back(s);
    }
    while (!wanted.empty()) {
        const std::size_t before = wanted.size();
        for (const auto& [identity, answer] : askRound(backend, destinations, wanted, listenSeconds)) {
            memory.remember(identity, answer);
            answers[identity] = answer;
        }
        if (wanted.size() == before)
            break;  // the backend takes no listener now: asked again next time
    }
    return answers;
}

}  // namespace brennick
