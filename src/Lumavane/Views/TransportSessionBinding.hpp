#pragma once

#include "Lumavane/Views/TransportBar.hpp"
#include "Platform/Foundation/Signal.hpp"
#include "Platform/Image/CPUImage.hpp"

#include <QImage>

#include <functional>
#include <optional>
#include <vector>

namespace lumavane {

class PlayerSession;

// Puts a transport bar into each slot (the window's and the full-screen display's), feeds them
// the session's state and turns their controls into session calls.
class TransportSessionBinding {
public:
    struct View {
        // The main view's fields of the state (full screen, hover, popovers, aspect mode).
        std::function<void(TransportState&)> read;
        // The main view's operations; the session's are filled in here.
        TransportActions actions;
    };

    TransportSessionBinding(PlayerSession& session, View view, std::vector<QWidget*> slots,
                            std::function<QIcon(const QString&)> symbolIcon);
    ~TransportSessionBinding();

    // Reads the session and the main view again (the view calls it after its own changes).
    void refresh();
    void relabel();
    const std::vector<TransportBar*>& bars() const { return bars_; }
    // The effects popover's content, made each time it opens (the application supplies it).
    std::function<QWidget*()> makeEffectsPanel;

private:
    TransportState read();

    PlayerSession& session_;
    std::function<void(TransportState&)> readView_;
    std::vector<TransportBar*> bars_;
    std::vector<Connection> connections_;
    // Held so that its pixels (the key of the converted picture) stay where they are.
    std::optional<image::CPUImage> heldThumbnail_;
    QImage thumbnail_;
};

} // namespace lumavane
