#pragma once

#include <QSplitter>
#include <QSplitterHandle>

namespace lumavane {

// The player's three-pane splitter: side by side, with thin dividers drawn as a white line at
// opacity 0.1 in the middle of a 6-pixel grab strip.
class PlayerPaneSplitView final : public QSplitter {
    Q_OBJECT
public:
    static constexpr int grabWidth = 6;
    explicit PlayerPaneSplitView(QWidget* parent = nullptr);

protected:
    QSplitterHandle* createHandle() override;
};

} // namespace lumavane
