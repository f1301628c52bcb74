#include "Lumavane/App/PlayerToolbar.hpp"

#include "Lumavane/Style/AppStyle.hpp"
#include "Lumavane/App/PlayerSplitLayout.hpp"
#include "Lumavane/Localization/AppLocalization.hpp"
#include "Lumavane/Views/HoverToolbarButton.hpp"

#include <QHBoxLayout>
#include <QPainter>

#include <algorithm>

namespace lumavane {
namespace {

namespace id = toolbar_item;

QString text(const std::string& value) { return QString::fromStdString(value); }

HoverToolbarButton* toolbarButton(QWidget* parent, const QString& symbol, const QString& tip, int width) {
    auto* button = new HoverToolbarButton(parent);
    setSymbol(*button, symbol);
    button->setToolTip(tip);
    button->setAccessibleName(tip);
    button->setFixedSize(width, 28);
    return button;
}

// The hosted title and controls have fixed sizes; the toolbar's own views their hints.
QSize preferredSize(const std::string& identifier, const QWidget* view) {
    if (identifier == id::videoTitle) return {420, 32};
    if (identifier == id::playbackControls) return {320, 32};
    return view ? view->sizeHint() : QSize();
}

bool isDivider(const std::string& identifier) {
    return identifier == id::leftDivider || identifier == id::rightDivider;
}

} // namespace

PlayerToolbar::PlayerToolbar(PlayerSplitLayout& layout, QWidget* title, QWidget* controls)
    : QWidget(&layout), layout_(layout), title_(title), controls_(controls) {
    setFixedHeight(rowHeight);
    for (QWidget* hosted : {title, controls}) {
        if (!hosted) continue;
        hosted->setParent(this);
        hosted->hide();
    }
}

std::vector<std::string> PlayerToolbar::defaultItemIdentifiers(bool showsPlaylist) {
    std::vector<std::string> identifiers{id::toggleSidebar, id::leftDivider,      id::sidebarIconSpacer,
                                         id::videoTitle,    id::flexibleSpace,    id::playbackControls,
                                         id::rightDivider};
    if (showsPlaylist) identifiers.push_back(id::playlistTitle);
    identifiers.insert(identifiers.end(), {id::flexibleSpace, id::playlistToggle});
    return identifiers;
}

std::vector<std::string> PlayerToolbar::itemIdentifiers() const {
    std::vector<std::string> identifiers;
    for (const Item& item : items_) identifiers.push_back(item.identifier);
    return identifiers;
}

std::optional<std::size_t> PlayerToolbar::indexOf(const std::string& identifier) const {
    for (std::size_t i = 0; i < items_.size(); ++i)
        if (items_[i].identifier == identifier) return i;
    return std::nullopt;
}

QWidget* PlayerToolbar::itemView(const std::string& identifier) const {
    const auto index = indexOf(identifier);
    return index ? items_[*index].view.data() : nullptr;
}

QString PlayerToolbar::itemLabel(const std::string& identifier) const {
    const auto index = indexOf(identifier);
    return index ? items_[*index].label : QString();
}

QString PlayerToolbar::toggleLabel() const {
    return layout_.showsPlaylist() ? text(AppLocalization::string("プレイリストを閉じる"))
                                   : text(AppLocalization::string("プレイリストを表示"));
}

PlayerToolbar::Item PlayerToolbar::makeItem(const std::string& identifier) {
    Item item{identifier, nullptr, {}};
    if (identifier == id::toggleSidebar) {
        item.label = text(AppLocalization::string("左ペインを切り替え"));
        auto* button = toolbarButton(this, "sidebar.left", item.label, 28);
        connect(button, &QAbstractButton::clicked, this, [this] { layout_.toggleSidebar(); });
        item.view = button;
    } else if (identifier == id::sidebarIconSpacer) {
        auto* spacer = new QWidget(this);
        spacer->setFixedSize(12, 28);
        item.view = spacer;
    } else if (identifier == id::videoTitle) {
        item.label = text(AppLocalization::string("ファイル名"));
        item.view = title_;
    } else if (identifier == id::playbackControls) {
        item.label = text(AppLocalization::string("再生設定"));
        item.view = controls_;
        if (controls_) controls_->setAccessibleName(item.label);
    } else if (identifier == id::playlistTitle) {
        item.label = text(AppLocalization::string("プレイリストに動画を追加"));
        auto* stack = new QWidget(this);
        auto* row = new QHBoxLayout(stack);
        row->setContentsMargins(0, 0, 0, 0);
        row->setSpacing(8);
        auto* button = toolbarButton(stack, "plus", item.label, 26);
        button->setAccessibleDescription(text(AppLocalization::string("動画を追加")));
        connect(button, &QAbstractButton::clicked, this, [this] { layout_.addPlaylistVideos(); });
        row->addWidget(button);
        item.view = stack;
    } else if (identifier == id::playlistToggle) {
        item.label = toggleLabel();
        auto* button = toolbarButton(this, "sidebar.right", item.label, 28);
        button->setAccessibleDescription(text(AppLocalization::string("プレイリスト")));
        connect(button, &QAbstractButton::clicked, this, [this] { layout_.togglePlaylist(); });
        item.view = button;
    }
    if (item.view) item.view->show();
    return item;
}

void PlayerToolbar::insertItem(const std::string& identifier, std::size_t position) {
    items_.insert(items_.begin() + std::ptrdiff_t(std::min(position, items_.size())), makeItem(identifier));
}

void PlayerToolbar::removeItem(std::size_t position) {
    Item item = items_[position];
    items_.erase(items_.begin() + std::ptrdiff_t(position));
    if (!item.view) return;
    // The hosted title and controls live on; the toolbar's own views go.
    if (item.view == title_ || item.view == controls_) {
        item.view->hide();
    } else {
        item.view->hide();
        item.view->deleteLater();
    }
}

void PlayerToolbar::install() {
    if (installed_) return;
    installed_ = true;
    for (const std::string& identifier : defaultItemIdentifiers(layout_.showsPlaylist()))
        insertItem(identifier, items_.size());
    relayout();
}

void PlayerToolbar::updateLanguage(const std::string& language) {
    if (language_ == language) return;
    language_ = language;
    if (!installed_) return;
    const std::vector<std::string> identifiers = itemIdentifiers();
    for (std::size_t i = items_.size(); i-- > 0;) removeItem(i);
    for (std::size_t i = 0; i < identifiers.size(); ++i) insertItem(identifiers[i], i);
    relayout();
}

void PlayerToolbar::updatePlaylistTitle(bool visible) {
    if (!installed_) return;
    const auto present = indexOf(id::playlistTitle);
    if (present && !visible) {
        removeItem(*present);
    } else if (!present && visible) {
        if (const auto divider = indexOf(id::rightDivider)) insertItem(id::playlistTitle, *divider + 1);
    }
    if (const auto toggle = indexOf(id::playlistToggle)) {
        Item& item = items_[*toggle];
        item.label = toggleLabel();
        if (item.view) {
            item.view->setToolTip(item.label);
            item.view->setAccessibleName(item.label);
        }
    }
    relayout();
}

void PlayerToolbar::resizeEvent(QResizeEvent*) { relayout(); }

namespace {

constexpr int padding = 8, spacing = 6;
// The title gives way first, down to this width, and then entirely.
constexpr int shortestTitle = 120;

int itemWidth(const std::string& identifier, const QWidget* view) {
    return view ? preferredSize(identifier, view).width() : 0;
}

} // namespace

std::vector<std::vector<const PlayerToolbar::Item*>> PlayerToolbar::sections() const {
    std::vector<std::vector<const Item*>> found(1);
    for (const Item& item : items_) {
        if (isDivider(item.identifier)) found.emplace_back();
        else found.back().push_back(&item);
    }
    return found;
}

int PlayerToolbar::sectionWidth(const std::vector<const Item*>& section, bool shortest) {
    int total = 2 * padding, count = 0;
    for (const auto* item : section) {
        if (!item->view) continue;
        int width = itemWidth(item->identifier, item->view);
        if (shortest && item->identifier == id::videoTitle) width = std::min(width, shortestTitle);
        total += width;
        ++count;
    }
    return total + spacing * std::max(0, count - 1);
}

QSize PlayerToolbar::minimumSizeHint() const {
    int width = 0;
    for (const auto& section : sections()) width += sectionWidth(section, true);
    return {width, rowHeight};
}

void PlayerToolbar::relayout() {
    const auto parts = sections();
    // Divider positions: the splitter's handles, or the section's own width over a collapsed
    // pane. Whatever the panes do, the first and the last section (the pane toggles) stay
    // whole inside the row.
    std::vector<int> bounds{0};
    for (std::size_t s = 1; s < parts.size(); ++s) {
        int x = layout_.dividerCenter(int(s) - 1);
        if (x < 0) x = s == 1 ? sectionWidth(parts[0], false) : width() - sectionWidth(parts[s], false);
        const int first = s == 1 ? sectionWidth(parts[0], true) : bounds.back();
        const int last = s + 1 == parts.size() ? width() - sectionWidth(parts[s], true) : width();
        bounds.push_back(std::clamp(x, std::max(bounds.back(), first), std::max({bounds.back(), first, last})));
    }
    bounds.push_back(std::max(bounds.back(), width()));
    dividerX_[0] = parts.size() > 1 && layout_.dividerCenter(0) >= 0 ? bounds[1] : -1;
    dividerX_[1] = parts.size() > 2 && layout_.dividerCenter(1) >= 0 ? bounds[2] : -1;

    for (std::size_t s = 0; s < parts.size(); ++s) {
        const int left = bounds[s] + padding, right = bounds[s + 1] - padding;
        int fixed = 0, flexible = 0, count = 0;
        std::vector<int> widths;
        for (const Item* item : parts[s]) {
            const int w = itemWidth(item->identifier, item->view);
            widths.push_back(w);
            fixed += w;
            flexible += item->view ? 0 : 1;
            count += item->view ? 1 : 0;
        }
        int room = right - left - fixed - spacing * std::max(0, count - 1);
        // Too narrow: the title gives way, first down to its shortest, then altogether.
        for (int floor : {shortestTitle, 0})
            for (std::size_t i = 0; room < 0 && i < parts[s].size(); ++i) {
                if (parts[s][i]->identifier != id::videoTitle) continue;
                const int give = std::min(-room, std::max(0, widths[i] - floor));
                widths[i] -= give;
                room += give;
            }
        const int share = flexible > 0 ? std::max(0, room) / flexible : 0;
        int x = left;
        for (std::size_t i = 0; i < parts[s].size(); ++i) {
            const Item* item = parts[s][i];
            if (!item->view) {
                x += share;
                continue;
            }
            const int h = std::min(preferredSize(item->identifier, item->view).height(), height());
            item->view->setGeometry(x, (height() - h) / 2, widths[i], h);
            item->view->setVisible(widths[i] > 0);
            x += widths[i] + spacing;
        }
    }
    if (const int least = minimumSizeHint().width(); least != leastWidth_) {
        leastWidth_ = least;
        updateGeometry();
    }
    update();
}

void PlayerToolbar::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    for (int x : dividerX_)
        if (x >= 0) painter.fillRect(QRect(x, 0, 1, height()), QColor(255, 255, 255, 26));
}

} // namespace lumavane
