#include "services/midi_service_thread.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

namespace brennick {

namespace {

class ServiceThread {
public:
    ServiceThread() : thread_([this] { run(); }) { id_ = thread_.get_id(); }

    void post(std::function<void()> job)
    {
        {
            std::lock_guard lock(mutex_);
            jobs_.push_back(std::move(job));
        }
        wake_.notify_one();
    }

    bool onThread() const { return std::this_thread::get_id() == id_; }

private:
    void run()
    {
        for (;;) {
            std::function<void()> job;
            {
                std::unique_lock lock(mutex_);
                wake_.wait(lock, [this] { return !jobs_.empty(); });
                job = std::move(jobs_.front());
                jobs_.pop_front();
            }
            job();
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> jobs_;
    std::thread thread_;
    std::thread::id id_;
};

ServiceThread& serviceThread()
{
    // Never joined nor destroyed: at the end of the program it may be inside a call that does not
    // return (a wedged server), and the process must still be able to end.
    static auto* thread = new ServiceThread;
    return *thread;
}

// One job's state as seen by the thread that waits for it.
struct Waited {
    std::mutex mutex;
    std::condition_variable changed;
    bool begun = false;
    bool cancelled = false;
    bool done = false;
};

}  // namespace

void postToMidiServiceThread(std::function<void()> job)
{
    serviceThread().post(std::move(job));
}

bool onMidiServiceThread()
{
    return serviceThread().onThread();
}

void runOnMidiServiceThread(const std::function<void()>& job)
{
    if (onMidiServiceThread()) {
        job();
        return;
    }
    runOnMidiServiceThreadWithin(-1.0, job);
}

bool runOnMidiServiceThreadWithin(double queueSeconds, const std::function<void()>& job)
{
    if (onMidiServiceThread()) {
        job();
        return true;
    }
    auto waited = std::make_shared<Waited>();
    serviceThread().post([waited, &job] {
        {
            std::lock_guard lock(waited->mutex);
            if (waited->cancelled)
                return;  // the caller has gone: `job` may no longer exist
            waited->begun = true;
        }
        waited->changed.notify_all();
        job();
        {
            std::lock_guard lock(waited->mutex);
            waited->done = true;
        }
        waited->changed.notify_all();
    });
    std::unique_lock lock(waited->mutex);
    if (queueSeconds >= 0.0) {
        const auto bound = std::chrono::duration<double>(queueSeconds);
        if (!waited->changed.wait_for(lock, bound, [&] { return waited->begun; })) {
            waited->cancelled = true;
            return false;
        }
    }
    waited->changed.wait(lock, [&] { return waited->done; });
    return true;
}

}  // namespace brennick
