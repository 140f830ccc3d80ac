#include "app/destination_lister.h"

#include <QMetaObject>

#include <algorithm>
#include <mutex>

#include "services/midi_service_thread.h"

namespace brennick {

// What the service thread's job and the lister share; the lister may be gone when a job ends.
struct DestinationLister::Shared {
    std::mutex mutex;
    DestinationLister* owner = nullptr;  // null once the lister is destroyed
    std::uint64_t wanted = 0;            // the newest request waiting for a listing to begin
    bool queued = false;                 // a job is queued and has not begun
};

DestinationLister::DestinationLister(QObject* parent) : QObject(parent), shared_(std::make_shared<Shared>())
{
    shared_->owner = this;
}

DestinationLister::~DestinationLister()
{
    std::lock_guard lock(shared_->mutex);
    shared_->owner = nullptr;
}

void DestinationLister::list(std::uint64_t request)
{
    std::lock_guard lock(shared_->mutex);
    shared_->wanted = std::max(shared_->wanted, request);
    if (shared_->queued)
        return;
    shared_->queued = true;
    postToMidiServiceThread([shared = shared_] {
        std::uint64_t served = 0;
        {
            std::lock_guard lock(shared->mutex);
            served = shared->wanted;
            shared->wanted = 0;
            shared->queued = false;
        }
        deliver(*shared, served, listDestinations());
    });
}

void DestinationLister::askDevices(std::uint64_t request, DestinationListing listing)
{
    postToMidiServiceThread([shared = shared_, request, listing = std::move(listing)]() mutable {
        brennick::askDevices(listing);
        deliver(*shared, request, std::move(listing));
    });
}

void DestinationLister::deliver(Shared& shared, std::uint64_t request, DestinationListing listing)
{
    std::lock_guard lock(shared.mutex);
    if (DestinationLister* owner = shared.owner)
        QMetaObject::invokeMethod(
            owner,
            [owner, request, listing = std::move(listing)]() mutable {
                keepAnswers(listing, owner->last_);
                owner->last_ = listing;
                emit owner->listed(request, listing);
            },
            Qt::QueuedConnection);
}

}  // namespace brennick
