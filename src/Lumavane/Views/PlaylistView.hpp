#pragma once

#include "Lumavane/Session/PlaybackHistoryEntry.hpp"
#include "Platform/Foundation/DefaultsStore.hpp"
#include "Platform/Foundation/Signal.hpp"

#include <QColor>
#include <QIcon>
#include <QMargins>
#include <QWidget>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

class QAbstractButton;
class QHBoxLayout;
class QLabel;
class QScrollArea;
class QVBoxLayout;

namespace lumavane {

class HoverSegments;
class PlayerSession;
class VideoDropArea;

// "%d:%02d:%02d" of whole seconds, hours never wrapped or padded; 0:00:00 for negative or not finite.
std::string historyTime(double seconds);
// position / duration, clamped to 1; 0 when either is not finite, the duration not positive or
// the quotient negative.
double historyProgressFraction(double position, double duration);
// The playlist row's detail line: "12  ·  MKV" (1-based number, extension in upper case).
std::string playlistRowDetail(std::size_t index, const std::filesystem::path& url);

// The thin bar of a history row: the track and the accent part played.
class HistoryProgressBar final : public QWidget {
    Q_OBJECT
public:
    HistoryProgressBar(double position, double duration, QWidget* parent = nullptr);
    double fraction() const { return fraction_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    double fraction_;
};

// The right-hand pane: the session's playlist or its playback history, switched by a segment
// kept under "player.playlistShowsHistory"; drops append to the playlist.
class PlaylistView final : public QWidget {
    Q_OBJECT
public:
    static constexpr const char* showsHistoryKey = "player.playlistShowsHistory";

    struct Options {
        DefaultsStore preferences = DefaultsStore::standard();
        std::function<QIcon(const QString&)> symbolIcon;
    };
    PlaylistView(PlayerSession& session, Options options, QWidget* parent = nullptr);
    ~PlaylistView() override;

    bool showsHistory() const { return showsHistory_; }
    void setShowsHistory(bool shows);
    // The rows now shown, in order (object names "playlistRow" and "historyRow").
    std::vector<QWidget*> rows() const;
    VideoDropArea& dropArea() const { return *drop_; }
    void relabel();

    // "動画を開く…" in the empty playlist: the open panel, replacing the playlist.
    std::function<void()> chooseVideos;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void rebuild();
    // A row's play button: its symbol and title, the rest of its texts added by the caller.
    struct RowParts {
        QHBoxLayout* line = nullptr;
        QAbstractButton* play = nullptr;
        QVBoxLayout* texts = nullptr;
    };
    RowParts rowParts(QWidget* row, QMargins padding, const QString& symbol, const QColor& ink,
                      const std::filesystem::path& url, int textSpacing);
    QWidget* playlistRow(std::size_t index, const std::filesystem::path& url);
    QWidget* historyRow(const PlaybackHistoryEntry& entry);
    QWidget* emptyPlaylist();
    QWidget* trashButton(const QString& help, const QString& accessible);

    PlayerSession& session_;
    Options options_;
    bool showsHistory_ = false;
    HoverSegments* switch_ = nullptr;
    QVBoxLayout* body_ = nullptr;
    VideoDropArea* drop_ = nullptr;
    std::vector<Connection> connections_;
};

} // namespace lumavane
