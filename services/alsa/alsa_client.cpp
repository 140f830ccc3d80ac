#include "services/alsa/alsa_client.h"

#include "services/alsa/alsa_queue_timer.h"
#include "services/alsa/alsa_stream_writer.h"

namespace brennick::alsa {

namespace {

constexpr int kOutputPool = 2000;  // event cells; the most the kernel grants a client
// The queue ticks this often on the high-resolution timer: a tenth of a millisecond of error at most.
constexpr unsigned kQueueTicksPerSecond = 10000;

void quietAlsaErrors(const char*, int, const char*, int, const char*, ...) {}

}  // namespace

std::optional<SendingClient> openSendingClient()
{
    snd_lib_error_set_handler(&quietAlsaErrors);
    snd_seq_t* seq = nullptr;
    const int opened = snd_seq_open(&seq, "default", SND_SEQ_OPEN_DUPLEX, SND_SEQ_NONBLOCK);
    snd_lib_error_set_handler(nullptr);
    if (opened < 0)
        return std::nullopt;
    snd_seq_set_client_name(seq, kClientName);
    // The default pool (500 cells) holds too little look-ahead for dense files and long SysEx;
    // a kernel that grants less still works, with a shorter reach.
    snd_seq_set_client_pool_output(seq, kOutputPool);
    const int queue = snd_seq_alloc_named_queue(seq, kClientName);
    const int syncPort = snd_seq_create_simple_port(seq, "sync", SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_NO_EXPORT,
                                                    SND_SEQ_PORT_TYPE_APPLICATION);
    if (queue < 0 || syncPort < 0) {
        snd_seq_close(seq);
        return std::nullopt;
    }
    // An event leaves within a tenth of a millisecond of its time where the kernel has the
    // high-resolution timer, else on the sequencer's default timer.
    useHighResolutionTimer(seq, queue, kQueueTicksPerSecond);
    snd_seq_connect_from(seq, syncPort, SND_SEQ_CLIENT_SYSTEM, SND_SEQ_PORT_SYSTEM_ANNOUNCE);
    return SendingClient{seq, queue, syncPort};
}

std::int64_t queueTimeNs(snd_seq_t* seq, int queue)
{
    snd_seq_queue_status_t* status = nullptr;
    snd_seq_queue_status_alloca(&status);
    if (snd_seq_get_queue_status(seq, queue, status) < 0)
        return 0;
    const snd_seq_real_time_t* t = snd_seq_queue_status_get_real_time(status);
    return std::int64_t(t->tv_sec) * kNsPerSecond + t->tv_nsec;
}

}  // namespace brennick::alsa
