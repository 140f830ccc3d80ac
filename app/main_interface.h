#pragma once
// The main interface definition: creates the controller, the window with its view, the menu and
// its items, and connects outlets and actions.

#include <memory>

#include "ui/player_menu.h"

namespace brennick {

class AppDelegate;
class MediaControls;
class MIDIMenu;
class MIDIView;
class MIDIWindow;

struct MainInterface {
    std::unique_ptr<AppDelegate> delegate;
    std::unique_ptr<MIDIWindow> window;
    MIDIView* view = nullptr;  // owned by the window
    std::unique_ptr<MIDIMenu> menuTarget;
    PlayerMenu menu;
    std::unique_ptr<MediaControls> mediaControls;  // on the session bus, where there is one

    MainInterface();
    ~MainInterface();
    MainInterface(MainInterface&&) noexcept;
    MainInterface& operator=(MainInterface&&) noexcept;
};

// Loads the interface with its resources from `resourceDirectory`: objects created, outlets and
// actions connected, then the window and view woken (their awakeFromNib). Nothing is shown yet.
MainInterface loadMainInterface(const QString& resourceDirectory);

}  // namespace brennick
