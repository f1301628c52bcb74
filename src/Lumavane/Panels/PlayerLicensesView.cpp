#include "Lumavane/Panels/PlayerLicensesView.hpp"

#include "Lumavane/Localization/AppLocalization.hpp"
#include "Platform/Foundation/FileReading.hpp"
#include "Platform/Foundation/Resources.hpp"

#include <QFontDatabase>
#include <QFontMetricsF>
#include <QFrame>
#include <QLabel>
#include <QListWidget>
#include <QScrollBar>
#include <QSplitter>
#include <QStackedWidget>
#include <QStringDecoder>
#include <QTextBlock>
#include <QTextBrowser>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextFrame>
#include <QTextTable>
#include <QVBoxLayout>

#include <algorithm>
#include <cctype>
#include <string_view>

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

struct Line {
    int indent = 0;
    std::string body;
    std::size_t width = 0; // in characters, indentation included
};

std::size_t characters(const std::string& utf8) {
    return std::size_t(std::count_if(utf8.begin(), utf8.end(), [](char c) { return (c & 0xC0) != 0x80; }));
}

Line lineOf(const std::string& raw) {
    std::string expanded;
    for (char c : raw) {
        if (c == '\t') expanded.append(8 - expanded.size() % 8, ' ');
        else if (c != '\r') expanded += c;
    }
    while (!expanded.empty() && (expanded.back() == ' ')) expanded.pop_back();
    Line line;
    const std::size_t start = expanded.find_first_not_of(' ');
    if (start == std::string::npos) return line;
    line.indent = int(start);
    line.body = expanded.substr(start);
    line.width = start + characters(line.body);
    return line;
}

// A line that begins something of its own: a year or a number, a bullet, a heading, a copyright
// line, or a field of the copyright format ("Files: *", "License: MIT") at the margin.
bool startsEntry(const Line& line) {
    const std::string& b = line.body;
    const unsigned char first = static_cast<unsigned char>(b.front());
    if (std::isdigit(first) || std::string_view("-*+([#<>|").find(char(first)) != std::string_view::npos) return true;
    for (const char* mark : {"\u2022", "\u00A9", "Copyright", "COPYRIGHT"})
        if (b.rfind(mark, 0) == 0) return true;
    if (line.indent == 0) {
        const std::size_t colon = b.find(':');
        if (colon != std::string::npos && colon > 0 &&
            std::all_of(b.begin(), b.begin() + std::ptrdiff_t(colon),
                        [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '-'; }))
            return true;
    }
    return false;
}

// Markdown tables come without lines between their cells; the notices read better ruled.
void ruleTables(QTextFrame* frame, const QColor& rule) {
    for (QTextFrame* child : frame->childFrames()) {
        if (auto* table = qobject_cast<QTextTable*>(child)) {
            QTextTableFormat format = table->format();
            format.setBorder(1);
            format.setBorderBrush(rule);
            format.setBorderStyle(QTextFrameFormat::BorderStyle_Solid);
            format.setBorderCollapse(true);
            format.setCellPadding(4);
            format.setCellSpacing(0);
            // The first column (what the row is about) takes twice the share of the others, so
            // the narrow pane does not break its names into a word a line.
            const int columns = table->columns();
            QList<QTextLength> widths;
            for (int i = 0; i < columns; ++i)
                widths << QTextLength(QTextLength::PercentageLength, 100.0 * (i == 0 ? 2 : 1) / (columns + 1));
            format.setColumnWidthConstraints(widths);
            table->setFormat(format);
        }
        ruleTables(child, rule);
    }
}

} // namespace

std::vector<LicenseParagraph> licenseParagraphs(const std::string& text) {
    std::vector<Line> lines;
    std::size_t from = 0;
    while (from <= text.size()) {
        const std::size_t end = std::min(text.find('\n', from), text.size());
        lines.push_back(lineOf(text.substr(from, end - from)));
        from = end + 1;
    }
    if (!text.empty() && text.back() == '\n') lines.pop_back();
    // The column the text was filled to: most lines of running prose end a little short of it.
    std::vector<std::size_t> widths;
    for (const Line& line : lines)
        if (line.width > 0) widths.push_back(line.width);
    std::sort(widths.begin(), widths.end());
    const std::size_t fill = widths.empty() ? 0 : widths[widths.size() * 9 / 10];
    const std::size_t full = std::max<std::size_t>(40, fill * 4 / 5);

    std::vector<LicenseParagraph> paragraphs;
    bool previousFull = false;
    for (Line& line : lines) {
        if (line.body == ".") line = {};
        if (line.body.empty()) {
            paragraphs.push_back({});
            previousFull = false;
            continue;
        }
        LicenseParagraph* last = paragraphs.empty() ? nullptr : &paragraphs.back();
        if (previousFull && last && !last->text.empty() && last->indent == line.indent && !startsEntry(line))
            last->text += " " + line.body;
        else
            paragraphs.push_back({line.indent, line.body});
        previousFull = line.width >= full;
    }
    return paragraphs;
}

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
    text_ = new QTextBrowser;
    text_->setObjectName("licenseText");
    text_->setOpenExternalLinks(true);
    // Long lines wrap at the pane's edge (long addresses anywhere), so nothing scrolls sideways.
    text_->setLineWrapMode(QTextEdit::WidgetWidth);
    text_->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    text_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    text_->setTextInteractionFlags(Qt::TextBrowserInteraction | Qt::TextSelectableByKeyboard);
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
    const std::optional<std::string> read = PlayerLicenseDocument::readText(document->url);
    const std::string contents = read ? *read : document->contents();
    QTextDocument* shown = text_->document();
    shown->clear();
    shown->setDocumentMargin(8);
    if (read && document->url.extension() == ".md") {
        // The notices are Markdown: headings, tables and code as such, in the reading font.
        QFont reading = font();
        reading.setPointSizeF(std::max(7.0, font().pointSizeF() - 0.5));
        shown->setDefaultFont(reading);
        shown->setMarkdown(text(contents), QTextDocument::MarkdownDialectGitHub);
        ruleTables(shown->rootFrame(), palette().color(QPalette::Mid).lighter(180));
    } else {
        // A licence keeps its own lines, indentation included, but its running prose wraps as one
        // paragraph at the pane's width instead of breaking twice per line.
        QFont mono = QFontDatabase::systemFont(QFontDatabase::FixedFont);
        mono.setPointSizeF(std::max(7.0, font().pointSizeF() - 1));
        shown->setDefaultFont(mono);
        const double column = QFontMetricsF(mono).horizontalAdvance(QLatin1Char(' '));
        QTextCursor cursor(shown);
        bool first = true;
        for (const LicenseParagraph& paragraph : licenseParagraphs(contents)) {
            QTextBlockFormat format;
            format.setLeftMargin(paragraph.indent * column);
            if (first) cursor.setBlockFormat(format);
            else cursor.insertBlock(format);
            first = false;
            cursor.insertText(text(paragraph.text));
        }
    }
    // From the top: the cursor left at the end would scroll the pane there once it is shown.
    text_->moveCursor(QTextCursor::Start);
    text_->verticalScrollBar()->setValue(0);
    pane_->setCurrentIndex(0);
}

} // namespace lumavane
