#include "services/alsa/alsa_queue_timer.h"

namespace brennick {

bool useHighResolutionTimer(snd_seq_t* seq, int queue, unsigned ticksPerSecond)
{
    snd_seq_queue_timer_t* timer = nullptr;
    snd_seq_queue_timer_alloca(&timer);
    if (queue < 0 || snd_seq_get_queue_timer(seq, queue, timer) < 0)
        return false;
    snd_seq_queue_timer_t* previous = nullptr;
    snd_seq_queue_timer_alloca(&previous);
    snd_seq_queue_timer_copy(previous, timer);
    snd_timer_id_t* id = nullptr;
    snd_timer_id_alloca(&id);
    snd_timer_id_set_class(id, SND_TIMER_CLASS_GLOBAL);
    snd_timer_id_set_sclass(id, SND_TIMER_SCLASS_NONE);
    snd_timer_id_set_card(id, -1);
    snd_timer_id_set_device(id, SND_TIMER_GLOBAL_HRTIMER);
    snd_timer_id_set_subdevice(id, 0);
    snd_seq_queue_timer_set_type(timer, SND_SEQ_TIMER_ALSA);
    snd_seq_queue_timer_set_id(timer, id);
    snd_seq_queue_timer_set_resolution(timer, ticksPerSecond);
    if (snd_seq_set_queue_timer(seq, queue, timer) >= 0)
        return true;
    snd_seq_set_queue_timer(seq, queue, previous);
    return false;
}

}  // namespace brennick
