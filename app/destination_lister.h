#pragma once
// Listing the MIDI destinations off the window's thread: a JACK server or its metadata database
// can take many seconds to answer, and the window must keep drawing and answering meanwhile.

#include <QObject>

#include <cstdint>
#include <memory>

#include "app/destination_choice.h"

namespace brennick {

class DestinationLister : public QObject {
    Q_OBJECT
public:
    explicit DestinationLister(QObject* parent = nullptr);
    ~DestinationLister() override;

    // Lists the destinations afresh on the MIDI service thread for `request` (0: for no play
    // request, e.g. a menu). Requests that come while a listing waits to begin share it; a
    // listing serves the newest request made before it began.
    void list(std::uint64_t request);

    // Asks the devices behind `listing`'s destinations who they are, on the MIDI service thread
    // (see askDevices), and hands the listing with the answers to `listed` for `request`.
    void askDevices(std::uint64_t request, DestinationListing listing);

    // The latest listing that has ended; empty before the first.
    const DestinationListing& lastListing() const { return last_; }

signals:
    void listed(std::uint64_t request, const brennick::DestinationListing& listing);

private:
    struct Shared;
    // Hands `listing` to the lister, when it is still there, on its own thread.
    static void deliver(Shared& shared, std::uint64_t request, DestinationListing listing);

    std::shared_ptr<Shared> shared_;
    DestinationListing last_;
};

}  // namespace brennick
