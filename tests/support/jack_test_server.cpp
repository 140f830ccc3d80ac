#include "tests/support/jack_test_server.h"

#include "tests/support/smf_builder.h"

#include <jack/metadata.h>
#include <jack/midiport.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>

namespace brennick::test {

namespace {

bool serverAnswers()
{
    jack_status_t status{};
    jack_client_t* probe = jack_client_open("probe", JackNoStartServer, &status);
    if (probe == nullptr)
        return false;
    jack_client_close(probe);
    return true;
}

void sleepSeconds(double s)
{
    std::this_thread::sleep_for(std::chrono::duration<double>(s));
}

}  // namespace

JackTestServer::JackTestServer(unsigned periodFrames, unsigned sampleRate)
    : periodFrames_(periodFrames), sampleRate_(sampleRate)
{
    jack_set_error_function([](const char*) {});  // "no server yet" while polling is expected
    jack_set_info_function([](const char*) {});
    ::setenv("JACK_NO_AUDIO_RESERVATION", "1", 1);
    // JACK keeps a table of eight servers and reclaims the entry of a server that died without
    // unregistering (a killed test) only when a server of the same name starts again. A fixed set
    // of names, tried in turn, keeps that table from filling up.
    for (int slot = 0; slot < 8 && pid_ <= 0; ++slot) {
        name_ = "brennick-test-" + std::to_string(slot);
        ::setenv("JACK_DEFAULT_SERVER", name_.c_str(), 1);
        if (serverAnswers())
            continue;  // in use by another test run
        startServer();
    }
}

void JackTestServer::startServer()
{
    const std::string rate = std::to_string(sampleRate_);
    const std::string period = std::to_string(periodFrames_);
    pid_ = ::fork();
    if (pid_ == 0) {
        // The server ends with the test even when the test is killed.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        const int null = ::open("/dev/null", O_RDWR);
        ::dup2(null, STDOUT_FILENO);
        ::dup2(null, STDERR_FILENO);
        ::execlp("jackd", "jackd", "--no-realtime", "-n", name_.c_str(), "-d", "dummy", "-r", rate.c_str(), "-p",
                 period.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    for (int i = 0; i < 200 && pid_ > 0; ++i) {
        // A server that answers while ours has exited is another run's, started meanwhile.
        const bool answers = serverAnswers();
        if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
            pid_ = -1;
            return;
        }
        if (answers)
            return;
        sleepSeconds(0.05);
    }
    kill();
}

JackTestServer::~JackTestServer()
{
    if (pid_ <= 0)
        return;
    ::kill(pid_, SIGTERM);
    for (int i = 0; i < 100; ++i) {
        if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
            pid_ = -1;
            return;
        }
        sleepSeconds(0.05);
    }
    kill();
}

void JackTestServer::kill()
{
    if (pid_ <= 0)
        return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

XrunWatch::XrunWatch()
{
    client_ = jack_client_open("xrun-watch", JackNoStartServer, nullptr);
    if (client_ == nullptr)
        return;
    jack_set_xrun_callback(
        client_, [](void* self) { return static_cast<XrunWatch*>(self)->xruns_.fetch_add(1), 0; }, this);
    if (jack_activate(client_) != 0) {
        jack_client_close(client_);
        client_ = nullptr;
    }
}

XrunWatch::~XrunWatch()
{
    if (client_ != nullptr)
        jack_client_close(client_);
}

JackSink::JackSink(const std::string& clientName, const std::string& portName,
                   const std::optional<std::string>& prettyName)
{
    jack_status_t status{};
    client_ = jack_client_open(clientName.c_str(), jack_options_t(JackNoStartServer | JackUseExactName), &status);
    if (client_ == nullptr)
        return;
    port_ = jack_port_register(client_, portName.c_str(), JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
    if (prettyName)
        jack_set_property(client_, jack_port_uuid(port_), JACK_METADATA_PRETTY_NAME, prettyName->c_str(), "text/plain");
    jack_set_process_callback(client_, &JackSink::process, this);
    jack_activate(client_);
}

JackSink::~JackSink()
{
    close();
}

void JackSink::close()
{
    if (client_ != nullptr) {
        jack_client_close(client_);
        client_ = nullptr;
    }
}

void JackSink::disconnectSenders()
{
    if (const char** ports = jack_port_get_all_connections(client_, port_)) {
        for (const char** p = ports; *p != nullptr; ++p) {
            senders_.emplace_back(*p);
            jack_disconnect(client_, *p, jack_port_name(port_));
        }
        jack_free(ports);
    }
}

void JackSink::reconnectSenders()
{
    for (const std::string& sender : senders_)
        jack_connect(client_, sender.c_str(), jack_port_name(port_));
    senders_.clear();
}

std::string JackSink::portName() const
{
    return port_ != nullptr ? jack_port_name(port_) : std::string();
}

int JackSink::process(jack_nframes_t frames, void* arg)
{
    auto* self = static_cast<JackSink*>(arg);
    self->log_.record(jack_port_get_buffer(self->port_, frames), jack_last_frame_time(self->client_));
    return 0;
}

ReceivedLog::ReceivedLog() : records_(1 << 18), bytes_(8 << 20) {}

void ReceivedLog::record(void* buffer, jack_nframes_t cycleStart) noexcept
{
    const std::uint32_t n = jack_midi_get_event_count(buffer);
    for (std::uint32_t i = 0; i < n; ++i) {
        jack_midi_event_t event;
        if (jack_midi_event_get(&event, buffer, i) != 0)
            continue;
        const std::size_t index = count_.load(std::memory_order_relaxed);
        if (index >= records_.size() || bytesUsed_ + event.size > bytes_.size()) {
            overflow_.fetch_add(1);
            continue;
        }
        std::memcpy(bytes_.data() + bytesUsed_, event.buffer, event.size);
        records_[index] = {cycleStart + event.time, std::uint32_t(bytesUsed_), std::uint32_t(event.size)};
        bytesUsed_ += event.size;
        count_.store(index + 1, std::memory_order_release);
    }
}

std::vector<ReceivedEvent> ReceivedLog::events() const
{
    const std::size_t n = count_.load(std::memory_order_acquire);
    std::vector<ReceivedEvent> result;
    result.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        const Record& r = records_[i];
        result.push_back({r.frame, {bytes_.begin() + r.offset, bytes_.begin() + r.offset + r.length}});
    }
    return result;
}

bool ReceivedLog::waitForCount(std::size_t n, double timeoutSeconds) const
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
    while (count() < n) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        sleepSeconds(0.002);
    }
    return true;
}

void ReceivedLog::waitForQuiet(double quietSeconds, double timeoutSeconds) const
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
    std::size_t last = count();
    auto lastChange = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() < deadline) {
        sleepSeconds(0.005);
        const std::size_t now = count();
        if (now != last) {
            last = now;
            lastChange = std::chrono::steady_clock::now();
        } else if (std::chrono::steady_clock::now() - lastChange > std::chrono::duration<double>(quietSeconds)) {
            return;
        }
    }
}

JackSynth::JackSynth(const std::string& clientName, std::optional<std::uint16_t> familyCode, std::size_t pieceBytes)
    : familyCode_(familyCode), pieceBytes_(pieceBytes)
{
    pending_.reserve(8 << 20);  // the process callback appends its replies without allocating
    jack_status_t status{};
    client_ = jack_client_open(clientName.c_str(), jack_options_t(JackNoStartServer | JackUseExactName), &status);
    if (client_ == nullptr)
        return;
    in_ = jack_port_register(client_, "midi_in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
    out_ = jack_port_register(client_, "midi_out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
    jack_set_process_callback(client_, &JackSynth::process, this);
    jack_activate(client_);
}

JackSynth::~JackSynth()
{
    if (client_ != nullptr)
        jack_client_close(client_);
}

std::string JackSynth::sourceName() const
{
    return out_ != nullptr ? jack_port_name(out_) : std::string();
}

std::string JackSynth::destinationName() const
{
    return in_ != nullptr ? jack_port_name(in_) : std::string();
}

void JackSynth::send(const std::vector<std::uint8_t>& bytes)
{
    std::lock_guard lock(mutex_);
    pending_.insert(pending_.end(), bytes.begin(), bytes.end());
}

bool JackSynth::waitUntilSent(double timeoutSeconds)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
    for (;;) {
        {
            std::lock_guard lock(mutex_);
            if (sent_ == pending_.size())
                return true;
        }
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        sleepSeconds(0.002);
    }
}

int JackSynth::process(jack_nframes_t frames, void* arg)
{
    auto* self = static_cast<JackSynth*>(arg);
    void* in = jack_port_get_buffer(self->in_, frames);
    self->received_.record(in, jack_last_frame_time(self->client_));
    const std::uint32_t n = jack_midi_get_event_count(in);
    for (std::uint32_t i = 0; i < n; ++i) {
        jack_midi_event_t event;
        if (self->familyCode_ && jack_midi_event_get(&event, in, i) == 0 && event.size == kDeviceInquiryBytes.size() &&
            std::memcmp(event.buffer, kDeviceInquiryBytes.data(), kDeviceInquiryBytes.size()) == 0)
            ++self->inquiriesOwed_;
    }
    void* out = jack_port_get_buffer(self->out_, frames);
    jack_midi_clear_buffer(out);
    std::unique_lock lock(self->mutex_, std::try_to_lock);
    if (!lock.owns_lock())
        return 0;
    for (; self->inquiriesOwed_ > 0; --self->inquiriesOwed_) {
        const auto reply = identityReply(*self->familyCode_);
        self->pending_.insert(self->pending_.end(), reply.begin(), reply.end());
    }
    while (self->sent_ < self->pending_.size()) {
        const std::size_t size =
            std::min({self->pieceBytes_, self->pending_.size() - self->sent_, jack_midi_max_event_size(out)});
        if (size == 0 || jack_midi_event_write(out, 0, self->pending_.data() + self->sent_, size) != 0)
            break;
        self->sent_ += size;
    }
    return 0;
}

}  // namespace brennick::test
