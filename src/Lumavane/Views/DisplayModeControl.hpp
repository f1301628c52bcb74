#pragma once

#include "Lumavane/Session/SessionTypes.hpp"
#include "Lumavane/Views/ButtonStyles.hpp"

#include <QWidget>

#include <functional>
#include <string>
#include <vector>

namespace lumavane {

// A row of segments drawn with the display-mode button style; choosing one reports its index.
class HoverSegments : public QWidget {
    Q_OBJECT
public:
    explicit HoverSegments(QWidget* parent = nullptr, int segmentHeight = 24);

    void setTitles(const std::vector<std::string>& titles);
    void setSelectedIndex(int index);
    int selectedIndex() const { return selected_; }
    StyledButton* segment(int index) const;
    int count() const { return int(segments_.size()); }

    std::function<void(int)> chosen;

protected:
    void paintEvent(QPaintEvent* event) override;
    // The background's opacity and whether a border is drawn.
    double backgroundOpacity_ = 0.04;
    bool bordered_ = false;
    bool boldSelection_ = false;

private:
    void restyle();

    int segmentHeight_;
    int selected_ = -1;
    std::vector<StyledButton*> segments_;
};

// Original, enhanced or side-by-side comparison: three segments in a 270-point frame.
class DisplayModeControl final : public HoverSegments {
    Q_OBJECT
public:
    static constexpr int fixedWidth = 270;
    explicit DisplayModeControl(QWidget* parent = nullptr);

    // The segment's title in the interface language.
    static std::string title(ViewMode mode);
    // Looks the titles up again (the language changed).
    void relabel();
    void setSelection(ViewMode mode) { setSelectedIndex(int(mode)); }
    ViewMode selection() const { return ViewMode(selectedIndex()); }

    std::function<void(ViewMode)> selectionChanged;
};

} // namespace lumavane
