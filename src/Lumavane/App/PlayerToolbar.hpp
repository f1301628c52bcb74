#pragma once

#include <QPointer>
#include <QWidget>

#include <optional>
#include <string>
#include <vector>

namespace lumavane {

class PlayerSplitLayout;

// Identifiers of the toolbar row's items.
namespace toolbar_item {
inline constexpr const char* toggleSidebar = "toggleSidebar";
inline constexpr const char* flexibleSpace = "flexibleSpace";
inline constexpr const char* leftDivider = "player.leftDivider";
inline constexpr const char* rightDivider = "player.rightDivider";
inline constexpr const char* sidebarIconSpacer = "player.sidebarIconSpacer";
inline constexpr const char* videoTitle = "player.videoTitle";
inline constexpr const char* playbackControls = "player.controls";
inline constexpr const char* playlistTitle = "player.playlistTitle";
inline constexpr const char* playlistToggle = "player.playlistToggle";
} // namespace toolbar_item

// The row above the three panes: the sidebar toggle over the sidebar, the file name and the
// playback controls over the video, the add-videos button and the playlist toggle over the
// playlist. Its two dividers follow the splitter's handles.
class PlayerToolbar final : public QWidget {
    Q_OBJECT
public:
    static constexpr int rowHeight = 38;

    PlayerToolbar(PlayerSplitLayout& layout, QWidget* title, QWidget* controls);

    static std::vector<std::string> defaultItemIdentifiers(bool showsPlaylist);
    std::vector<std::string> itemIdentifiers() const;
    QWidget* itemView(const std::string& identifier) const;
    QString itemLabel(const std::string& identifier) const;
    bool isInstalled() const { return installed_; }

    // Builds the default items (the first appearance of the window).
    void install();
    // Rebuilds every item with the texts of the new language; nothing for the same language.
    void updateLanguage(const std::string& language);
    // Adds the add-videos item after the right divider or removes it; relabels the toggle.
    void updatePlaylistTitle(bool visible);
    void relayout();

    // Every item whole, the title at its shortest: the pane toggles stay in reach down to it.
    QSize minimumSizeHint() const override;

protected:
    void resizeEvent(QResizeEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    struct Item {
        std::string identifier;
        QPointer<QWidget> view;
        QString label;
    };
    Item makeItem(const std::string& identifier);
    // The items between the dividers: over the sidebar, the video and the playlist.
    std::vector<std::vector<const Item*>> sections() const;
    // A section's width with every item whole (the title at its shortest when asked).
    static int sectionWidth(const std::vector<const Item*>& section, bool shortest);
    void insertItem(const std::string& identifier, std::size_t position);
    void removeItem(std::size_t position);
    std::optional<std::size_t> indexOf(const std::string& identifier) const;
    QString toggleLabel() const;

    PlayerSplitLayout& layout_;
    QPointer<QWidget> title_;
    QPointer<QWidget> controls_;
    std::vector<Item> items_;
    std::optional<std::string> language_;
    bool installed_ = false;
    int dividerX_[2] = {-1, -1};
    int leastWidth_ = -1;
};

} // namespace lumavane
