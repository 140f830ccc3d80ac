#include "tests/alsa/alsa_test_sink.h"

#include "services/alsa/alsa_queue_timer.h"
#include "tests/support/smf_builder.h"

#include <poll.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

namespace brennick::test {

namespace {

using Clock = std::chrono::steady_clock;

void sleepSeconds(double s)
{
    std::this_thread::sleep_for(std::chrono::duration<double>(s));
}

// Waits until `count` stops changing for `quietSeconds`.
template <typename Count> void waitUntilSteady(Count count, double quietSeconds, double timeoutSeconds)
{
    const auto deadline = Clock::now() + std::chrono::duration<double>(timeoutSeconds);
    auto last = count();
    auto since = Clock::now();
    while (Clock::now() < deadline) {
        sleepSeconds(0.005);
        const auto now = count();
        if (now != last) {
            last = now;
            since = Clock::now();
        } else if (std::chrono::duration<double>(Clock::now() - since).count() >= quietSeconds) {
            return;
        }
    }
}

}  // namespace

AlsaSink::AlsaSink(const std::string& clientName, const std::string& portName)
{
    if (snd_seq_open(&seq_, "default", SND_SEQ_OPEN_DUPLEX, SND_SEQ_NONBLOCK) < 0) {
        seq_ = nullptr;
        return;
    }
    snd_seq_set_client_name(seq_, clientName.c_str());
    snd_seq_set_client_pool_input(seq_, 2000);
    client_ = snd_seq_client_id(seq_);
    queue_ = snd_seq_alloc_queue(seq_);
    // Arrival stamps as fine as the kernel allows, so they do not round the timing being measured
    // to the default millisecond.
    useHighResolutionTimer(seq_, queue_, 10000);
    snd_seq_port_info_t* info = nullptr;
    snd_seq_port_info_alloca(&info);
    snd_seq_port_info_set_name(info, portName.c_str());
    snd_seq_port_info_set_capability(info, SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE);
    snd_seq_port_info_set_type(info, SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_SYNTHESIZER);
    snd_seq_port_info_set_timestamping(info, 1);
    snd_seq_port_info_set_timestamp_real(info, 1);
    snd_seq_port_info_set_timestamp_queue(info, queue_);
    if (queue_ < 0 || snd_seq_create_port(seq_, info) < 0)
        return;
    port_ = snd_seq_port_info_get_port(info);
    snd_seq_start_queue(seq_, queue_, nullptr);
    snd_seq_drain_output(seq_);
    reader_ = std::thread([this] { read(); });
}

AlsaSink::~AlsaSink()
{
    close();
}

int AlsaSink::addPort(const std::string& name, unsigned caps)
{
    if (seq_ == nullptr)
        return -1;
    return snd_seq_create_simple_port(seq_, name.c_str(), caps, SND_SEQ_PORT_TYPE_MIDI_GENERIC);
}

void AlsaSink::disconnectSenders()
{
    snd_seq_query_subscribe_t* query = nullptr;
    snd_seq_query_subscribe_alloca(&query);
    const snd_seq_addr_t root{static_cast<unsigned char>(client_), static_cast<unsigned char>(port_)};
    snd_seq_query_subscribe_set_root(query, &root);
    snd_seq_query_subscribe_set_type(query, SND_SEQ_QUERY_SUBS_WRITE);
    snd_seq_query_subscribe_set_index(query, 0);
    while (snd_seq_query_port_subscribers(seq_, query) >= 0) {
        senders_.push_back(*snd_seq_query_subscribe_get_addr(query));
        snd_seq_query_subscribe_set_index(query, snd_seq_query_subscribe_get_index(query) + 1);
    }
    for (const snd_seq_addr_t& sender : senders_)
        snd_seq_disconnect_from(seq_, port_, sender.client, sender.port);
}

void AlsaSink::reconnectSenders()
{
    for (const snd_seq_addr_t& sender : senders_)
        snd_seq_connect_from(seq_, port_, sender.client, sender.port);
    senders_.clear();
}

namespace {

void sendEvent(snd_seq_t* seq, int port, snd_seq_event_t& ev)
{
    snd_seq_ev_set_source(&ev, port);
    snd_seq_ev_set_subs(&ev);
    snd_seq_ev_set_direct(&ev);
    while (snd_seq_event_output_direct(seq, &ev) == -EAGAIN)
        sleepSeconds(0.001);  // the kernel's pool is full: it drains as the receiver reads
}

}  // namespace

void AlsaSink::sendFrom(int port, const std::vector<std::uint8_t>& bytes)
{
    constexpr std::size_t kPiece = 256;
    std::lock_guard lock(sendMutex_);
    snd_midi_event_t* encoder = nullptr;
    snd_midi_event_new(16, &encoder);
    snd_midi_event_no_status(encoder, 1);
    bool inSysEx = false;
    std::vector<std::uint8_t> piece;
    const auto flush = [&] {
        if (piece.empty())
            return;
        snd_seq_event_t ev{};
        snd_seq_ev_set_sysex(&ev, piece.size(), piece.data());
        sendEvent(seq_, port, ev);
        piece.clear();
        // As fast as a USB synth sends. The kernel never holds a sender back for its receiver: it
        // drops what the receiver's pool cannot hold, and under emulation a reader may wait long
        // for its turn.
        sleepSeconds(0.001);
    };
    for (const std::uint8_t b : bytes) {
        if (b == 0xF0 || (inSysEx && (b < 0x80 || b == 0xF7))) {
            piece.push_back(b);
            inSysEx = b != 0xF7;
            if (piece.size() == kPiece || !inSysEx)
                flush();
            continue;
        }
        flush();
        inSysEx = false;
        snd_seq_event_t ev{};
        if (snd_midi_event_encode_byte(encoder, b, &ev) == 1 && ev.type != SND_SEQ_EVENT_NONE)
            sendEvent(seq_, port, ev);
    }
    flush();
    snd_midi_event_free(encoder);
}

void AlsaSink::close()
{
    quit_.store(true);
    if (reader_.joinable())
        reader_.join();
    if (seq_ != nullptr)
        snd_seq_close(seq_);
    seq_ = nullptr;
}

void AlsaSink::read()
{
    snd_midi_event_t* decoder = nullptr;
    snd_midi_event_new(16, &decoder);
    snd_midi_event_no_status(decoder, 1);  // every message with its status byte
    pollfd fd{};
    snd_seq_poll_descriptors(seq_, &fd, 1, POLLIN);
    std::vector<unsigned char> buffer(256);
    while (!quit_.load()) {
        snd_seq_event_t* ev = nullptr;
        const int rc = snd_seq_event_input(seq_, &ev);
        if (rc == -EAGAIN) {
            ::poll(&fd, 1, 20);
            continue;
        }
        if (rc == -ENOSPC) {
            overruns_.fetch_add(1);
            continue;
        }
        if (rc < 0 || ev == nullptr)
            continue;
        // Connection and client notices are not MIDI.
        if (ev->type >= SND_SEQ_EVENT_CLIENT_START && ev->type <= SND_SEQ_EVENT_PORT_UNSUBSCRIBED)
            continue;
        SeqEvent e;
        e.ns = std::int64_t(ev->time.time.tv_sec) * 1'000'000'000 + ev->time.time.tv_nsec;
        e.type = ev->type;
        if (ev->type == SND_SEQ_EVENT_SYSEX) {
            const auto* p = static_cast<const std::uint8_t*>(ev->data.ext.ptr);
            e.bytes.assign(p, p + ev->data.ext.len);
            const int answerPort = answerPort_.load();
            if (answerPort >= 0 && std::ranges::equal(e.bytes, kDeviceInquiryBytes)) {
                const auto reply = identityReply(answerFamily_.load());
                sendFrom(answerPort, {reply.begin(), reply.end()});
            }
        } else {
            snd_midi_event_reset_decode(decoder);
            const long n = snd_midi_event_decode(decoder, buffer.data(), long(buffer.size()), ev);
            if (n > 0)
                e.bytes.assign(buffer.begin(), buffer.begin() + n);
        }
        std::lock_guard lock(mutex_);
        events_.push_back(std::move(e));
        count_.store(events_.size(), std::memory_order_release);
    }
    snd_midi_event_free(decoder);
}

std::int64_t AlsaSink::nowNs() const
{
    snd_seq_queue_status_t* status = nullptr;
    snd_seq_queue_status_alloca(&status);
    if (seq_ == nullptr || snd_seq_get_queue_status(seq_, queue_, status) < 0)
        return 0;
    const snd_seq_real_time_t* t = snd_seq_queue_status_get_real_time(status);
    return std::int64_t(t->tv_sec) * 1'000'000'000 + t->tv_nsec;
}

std::vector<SeqEvent> AlsaSink::events() const
{
    std::lock_guard lock(mutex_);
    return events_;
}

bool AlsaSink::waitForCount(std::size_t n, double timeoutSeconds) const
{
    const auto deadline = Clock::now() + std::chrono::duration<double>(timeoutSeconds);
    while (count() < n) {
        if (Clock::now() >= deadline)
            return false;
        sleepSeconds(0.002);
    }
    return true;
}

void AlsaSink::waitForQuiet(double quietSeconds, double timeoutSeconds) const
{
    waitUntilSteady([this] { return count(); }, quietSeconds, timeoutSeconds);
}

RawMidiReader::RawMidiReader(const std::string& device)
{
    if (snd_rawmidi_open(&in_, nullptr, device.c_str(), SND_RAWMIDI_NONBLOCK) < 0) {
        in_ = nullptr;
        return;
    }
    reader_ = std::thread([this] {
        std::uint8_t buffer[4096];
        while (!quit_.load()) {
            const ssize_t n = snd_rawmidi_read(in_, buffer, sizeof buffer);
            if (n > 0) {
                std::lock_guard lock(mutex_);
                bytes_.insert(bytes_.end(), buffer, buffer + n);
                size_.store(bytes_.size());
            } else {
                sleepSeconds(0.001);
            }
        }
    });
}

RawMidiReader::~RawMidiReader()
{
    quit_.store(true);
    if (reader_.joinable())
        reader_.join();
    if (in_ != nullptr)
        snd_rawmidi_close(in_);
}

std::vector<std::uint8_t> RawMidiReader::bytes() const
{
    std::lock_guard lock(mutex_);
    return bytes_;
}

void RawMidiReader::waitForQuiet(double quietSeconds, double timeoutSeconds) const
{
    waitUntilSteady([this] { return size_.load(); }, quietSeconds, timeoutSeconds);
}

void prepareGuest()
{
    ::mkdir("/dev/shm", 01777);
}

std::vector<int> clientsNamed(const std::string& name)
{
    std::vector<int> found;
    snd_seq_t* probe = nullptr;
    if (snd_seq_open(&probe, "default", SND_SEQ_OPEN_OUTPUT, 0) < 0)
        return found;
    snd_seq_client_info_t* info = nullptr;
    snd_seq_client_info_alloca(&info);
    snd_seq_client_info_set_client(info, -1);
    while (snd_seq_query_next_client(probe, info) >= 0)
        if (name == snd_seq_client_info_get_name(info))
            found.push_back(snd_seq_client_info_get_client(info));
    snd_seq_close(probe);
    return found;
}

}  // namespace brennick::test
