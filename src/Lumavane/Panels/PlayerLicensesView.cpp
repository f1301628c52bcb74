#include "Lumavane/Panels/PlayerLicensesView.hpp"

#include "Lumavane/Localization/AppLocalization.hpp"
#include "Platform/Foundation/FileReading.hpp"
#include "Platform/Foundation/Resources.hpp"

#include <QFontDatabase>
#include <QFrame>
#include <QLabel>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QSplitter>
#include <QStackedWidget>
#include <QStringDecoder>
#include <QVBoxLayout>

#include <algorithm>

namespace lumavane {
namespace {

namespace fs = std::filesystem;

struct LicenseFile {
    const char* title;
    const char* file;
};

// Before the component texts: our own agreement (shown only when one ships) and the notices that
// say which version of each component the program is built with.
const LicenseFile agreement = {"Lumavane — License Agreement", "Lumavane_Lumavane.bundle/Licenses/Lumavane-EULA.txt"};
const LicenseFile notices = {"サードパーティ通知", "THIRD_PARTY_NOTICES.md"};

// What the program ships or links, the decoders first. The texts are the Debian packages' own
// copyright files.
const LicenseFile licenseFiles[] = {
    {"FFmpeg", "FFmpeg.txt"},
    {"dav1d", "dav1d.txt"},
    {"libzvbi", "libzvbi.txt"},
    {"Qt 6", "Qt.txt"},
    {"GStreamer", "GStreamer.txt"},
    {"GStreamer Base Plugins", "GStreamer-Base-Plugins.txt"},
    {"SDL2", "SDL2.txt"},
    {"SoundTouch", "SoundTouch.txt"},
    {"PoCL", "PoCL.txt"},
    {"OpenCL ICD Loader", "OpenCL-ICD-Loader.txt"},
    {"GLib", "GLib.txt"},
    {"ICU", "ICU.txt"},
    {"nlohmann/json", "nlohmann-json.txt"},
    {"{fmt}", "fmt.txt"},
    {"libcurl", "libcurl.txt"},
    {"OpenSSL", "OpenSSL.txt"},
    {"zlib", "zlib.txt"},
    {"libarchive", "libarchive.txt"},
    {"libpng", "libpng.txt"},
    {"Protocol Buffers", "protobuf.txt"},
    {"LZ4", "lz4.txt"},
};

// Licence texts are small; anything larger is not one of ours.
constexpr std::uint64_t maxLicenseBytes = 4u << 20;

QString text(const std::string& utf8) { return QString::fromStdString(utf8); }

} // namespace

std::vector<PlayerLicenseDocument> PlayerLicenseDocument::available(const fs::path& resources) {
    std::vector<PlayerLicenseDocument> documents;
    const auto add = [&](const LicenseFile& entry, const fs::path& file) {
        std::error_code error;
        if (fs::is_regular_file(file, error)) documents.push_back({entry.title, file});
    };
    add(agreement, resources / agreement.file);
    add(notices, resources / notices.file);
    for (const LicenseFile& entry : licenseFiles) add(entry, resources / "Licenses" / entry.file);
    return documents;
}

const std::vector<PlayerLicenseDocument>& PlayerLicenseDocument::shipped() {
    static const std::vector<PlayerLicenseDocument> documents = available(resourcesDirectory());
    return documents;
}

std::optional<std::string> PlayerLicenseDocument::readText(const fs::path& file) {
    std::string bytes;
    try {
        bytes = files::readWholeText(file, maxLicenseBytes);
    } catch (const std::exception&) {
        return std::nullopt;
    }
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString decoded = decoder(QByteArrayView(bytes.data(), qsizetype(bytes.size())));
    if (decoder.hasError()) return std::nullopt;
    return decoded.toStdString();
}

std::string PlayerLicenseDocument::contents() const {
    if (auto read = readText(url)) return *read;
    return AppLocalization::string("ライセンス本文を読み込めませんでした。");
}

PlayerLicensesView::PlayerLicensesView(std::vector<PlayerLicenseDocument> documents, QWidget* parent)
    : QWidget(parent), documents_(std::move(documents)) {
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(24, 24, 24, 24);
    auto* split = new QSplitter(Qt::Horizontal);
    split->setChildrenCollapsible(false);
    outer->addWidget(split);

    list_ = new QListWidget;
    list_->setObjectName("licenseList");
    list_->setMinimumWidth(190);
    list_->setMaximumWidth(260);
    list_->setSelectionMode(QAbstractItemView::SingleSelection);
    list_->setWordWrap(true);
    for (std::size_t i = 0; i < documents_.size(); ++i) list_->addItem(QString());
    split->addWidget(list_);

    pane_ = new QStackedWidget;
    pane_->setMinimumWidth(320);
    auto* document = new QWidget;
    auto* column = new QVBoxLayout(document);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    title_ = new QLabel;
    title_->setObjectName("licenseTitle");
    title_->setContentsMargins(14, 10, 14, 10);
    title_->setWordWrap(true);
    QFont headline = title_->font();
    headline.setBold(true);
    title_->setFont(headline);
    auto* divider = new QFrame;
    divider->setFrameShape(QFrame::HLine);
    // The texts are shown as their files hold them: their own line breaks, monospaced, selectable.
    // Long lines wrap at the pane's edge (long addresses anywhere), so nothing scrolls sideways.
    text_ = new QPlainTextEdit;
    text_->setObjectName("licenseText");
    text_->setReadOnly(true);
    text_->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    text_->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    text_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    text_->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    QFont mono = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    mono.setPointSizeF(std::max(7.0, font().pointSizeF() - 1));
    text_->setFont(mono);
    column->addWidget(title_);
    column->addWidget(divider);
    column->addWidget(text_, 1);
    placeholder_ = new QLabel;
    placeholder_->setObjectName("licensePlaceholder");
    placeholder_->setAlignment(Qt::AlignCenter);
    placeholder_->setForegroundRole(QPalette::PlaceholderText);
    pane_->addWidget(document);
    pane_->addWidget(placeholder_);
    split->addWidget(pane_);
    split->setStretchFactor(1, 1);
    split->setSizes({220, 400});

    connect(list_, &QListWidget::currentRowChanged, this, [this] { showSelection(); });
    relabel();
    select(documents_.empty() ? -1 : 0);
}

std::optional<PlayerLicenseDocument> PlayerLicensesView::selection() const {
    const int row = list_->currentRow();
    if (row < 0 || row >= int(documents_.size())) return std::nullopt;
    return documents_[std::size_t(row)];
}

void PlayerLicensesView::select(int row) {
    list_->setCurrentRow(row);
    showSelection();
}

void PlayerLicensesView::relabel() {
    for (std::size_t i = 0; i < documents_.size(); ++i)
        list_->item(int(i))->setText(text(AppLocalization::string(documents_[i].title)));
    placeholder_->setText(text(AppLocalization::string("ライセンスを選択してください")));
    showSelection();
}

QString PlayerLicensesView::shownText() const {
    return pane_->currentWidget() == placeholder_ ? placeholder_->text() : text_->toPlainText();
}

void PlayerLicensesView::showSelection() {
    const auto document = selection();
    if (!document) {
        pane_->setCurrentWidget(placeholder_);
        return;
    }
    title_->setText(text(AppLocalization::string(document->title)));
    // Read again each time: the file may have changed or gone.
    text_->setPlainText(text(document->contents()));
    // From the top: the cursor left at the end would scroll the pane there once it is shown.
    text_->moveCursor(QTextCursor::Start);
    text_->verticalScrollBar()->setValue(0);
    pane_->setCurrentIndex(0);
}

} // namespace lumavane
