#include "BenchmarkSheetTestSupport.hpp"

#include <gtest/gtest.h>

#include <QLineEdit>
#include <QPlainTextEdit>

namespace lumavane {
namespace {

using namespace test;
using State = BenchmarkWebPostSheet::State;
using Comment = BenchmarkPublicationComment;

QString tr(const char* key) { return QString::fromStdString(AppLocalization::string(key)); }

TEST(PublicationComment, Canonicalisation) {
    const QString decomposed = QString("e") + QChar(0x0301); // NFC: one scalar
    const QString x200(200, 'x');
    struct Case {
        const char* name;
        QString input, canonical;
        std::optional<std::string> normalized;
    };
    const Case cases[] = {
        {"plain", "fast GPU", "fast GPU", "fast GPU"},
        {"a line break is one space", "a\n\n\r\nb", "a b", "a b"},
        {"leading breaks vanish", "\n\nab", "ab", "ab"},
        {"a break after a space adds none", "a \nb", "a b", "a b"},
        {"control characters dropped", QString("a") + QChar(0x07) + "b" + QChar(0x7F), "ab", "ab"},
        {"format characters dropped",
         QString("a") + QChar(0x200B) + "b" + QChar(0x200E) + "c" + QChar(0x202E) + "d" + QChar(0xFEFF), "abcd",
         "abcd"},
        {"only format characters is no comment", QString(QChar(0x200B)) + QChar(0xFEFF), "", std::nullopt},
        {"only blanks is no comment (a tab is a control)", "  \n \t ", "    ", std::nullopt},
        {"NFC", decomposed, QString(QChar(0x00E9)), "\u00e9"},
        {"cut at 200 scalars", x200 + "yz", x200, x200.toStdString()},
        {"a break past the limit adds one space", x200 + "\nmore", x200 + " ", x200.toStdString()},
        {"astral scalars count once", QString::fromUtf8("😀😀"), QString::fromUtf8("😀😀"), "😀😀"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Comment::canonicalizingInput(c.input), c.canonical) << c.name;
        EXPECT_EQ(Comment::normalized(c.input), c.normalized) << c.name;
    }
    EXPECT_EQ(Comment::canonicalizingInput(x200 + " "), x200); // a second pass removes that space
    EXPECT_EQ(Comment::length(QString::fromUtf8("😀") + decomposed), 2);
    EXPECT_EQ(Comment::length(Comment::canonicalizingInput(QString(300, 'x'))), 200);
}

struct PostTest : ::testing::Test {
    WebHarness web;
    FakeBenchmarkSession session;
    std::string receipt(const std::string& resultURL) {
        return R"({"id":"R1","duplicate":false,"received_at":"2026-03-04T02:40:01Z","result_url":")" + resultURL + "\"}";
    }
};

// The field settles on the canonical text; the preview carries the normalized comment and the ID.
TEST_F(PostTest, CommentFieldAndPreview) {
    BenchmarkWebPostSheet sheet(session, web.services(web.endpoint));
    auto* field = find<QLineEdit>(sheet, "commentField");
    field->setText("  quiet room");
    EXPECT_EQ(sheet.comment(), "  quiet room");
    EXPECT_EQ(labelText(sheet, "counter"), "12/200");
    field->setText(QString("quiet") + QChar(0x202E) + QChar(0x200B) + " room");
    EXPECT_EQ(field->text(), "quiet room");
    EXPECT_EQ(labelText(sheet, "counter"), "10/200");
    const QString preview = find<QPlainTextEdit>(sheet, "preview")->toPlainText();
    EXPECT_TRUE(preview.contains("\"comment\": \"quiet room\"")) << preview.toStdString();
    EXPECT_TRUE(preview.contains(QString::fromStdString(sheet.submissionID())));
    EXPECT_EQ(QString::fromStdString(sheet.submissionID()), QString::fromStdString(sheet.submissionID()).toUpper());
    field->setText(QString(250, 'y'));
    EXPECT_EQ(field->text().size(), 200);
    EXPECT_EQ(labelText(sheet, "counter"), "200/200");

    session.submissionFailure = "no complete result";
    sheet.refresh();
    EXPECT_EQ(find<QPlainTextEdit>(sheet, "preview")->toPlainText(), "no complete result");
    sheet.post(); // the build fails: shown in red, nothing frozen, nothing sent
    EXPECT_EQ(sheet.state(), State::editing);
    EXPECT_EQ(sheet.postError(), "no complete result");
    EXPECT_TRUE(web.server.requests().empty());
}

// Without an endpoint nothing can be posted, and the sheet says why.
TEST_F(PostTest, UnavailableWithoutEndpoint) {
    BenchmarkWebPostSheet sheet(session, web.services());
    EXPECT_FALSE(find(sheet, "mainButton")->isEnabled());
    EXPECT_EQ(labelText(sheet, "status"), tr("投稿先APIは未設定です。"));
    sheet.post();
    EXPECT_EQ(sheet.state(), State::editing);
    EXPECT_TRUE(web.server.requests().empty());
}

// Each answer of the service, and what the sheet then offers.
TEST_F(PostTest, PostingAgainstTheService) {
    const std::string host = "localhost:" + std::to_string(web.server.port());
    struct Case {
        const char* name;
        std::string endpoint;
        LoopbackReply reply;
        State state;
        const char* error; // a part of the shown error
    };
    const Case cases[] = {
        {"accepted", web.endpoint, LoopbackHttpServer::reply(201, "application/json", receipt("https://" + host + "/r/R1")),
         State::posted, nullptr},
        {"refused with a message", web.endpoint,
         LoopbackHttpServer::reply(422, "application/json", R"({"error":{"message":"too slow"}})"), State::failed, "too slow"},
        {"unusable body", web.endpoint, LoopbackHttpServer::reply(200, "application/json", "[]"), State::failed, ""},
        {"result on another host", web.endpoint,
         LoopbackHttpServer::reply(200, "application/json", receipt("https://elsewhere.example/r")), State::failed, ""},
        {"endpoint refused by the client", "http://" + host + benchmarkResultsPath,
         LoopbackHttpServer::reply(201, "application/json", "{}"), State::failed, ""},
    };
    for (const Case& c : cases) {
        web.answer = [reply = c.reply](const std::string&) { return reply; };
        BenchmarkWebPostSheet sheet(session, web.services(c.endpoint));
        find<QLineEdit>(sheet, "commentField")->setText("night");
        const std::string id = sheet.submissionID();
        find(sheet, "mainButton")->click();
        EXPECT_EQ(sheet.state(), State::sending) << c.name;
        EXPECT_FALSE(find<QLineEdit>(sheet, "commentField")->isEnabled()) << c.name;
        EXPECT_FALSE(find(sheet, "closeButton")->isEnabled()) << c.name;
        ASSERT_TRUE(QTest::qWaitFor([&] { return sheet.state() != State::sending; }, 15000)) << c.name;
        EXPECT_EQ(sheet.state(), c.state) << c.name;
        EXPECT_TRUE(find(sheet, "closeButton")->isEnabled()) << c.name;
        if (c.state == State::posted) {
            EXPECT_EQ(find(sheet, "mainButton")->text(), tr("結果を見る"));
            find(sheet, "mainButton")->click();
            EXPECT_EQ(web.opened.back().toStdString(), "https://" + host + "/r/R1");
            continue;
        }
        ASSERT_TRUE(sheet.postError()) << c.name;
        EXPECT_NE(sheet.postError()->find(c.error), std::string::npos) << c.name << ": " << *sheet.postError();
        EXPECT_FALSE(find<QLineEdit>(sheet, "commentField")->isEnabled()) << c.name;
        EXPECT_FALSE(find(sheet, "editButton")->isHidden()) << c.name;
        EXPECT_EQ(find(sheet, "mainButton")->text(), tr("再試行")) << c.name;
        // A retry resends the frozen document; editing makes a new ID.
        const std::size_t before = web.server.requests().size();
        sheet.post();
        ASSERT_TRUE(QTest::qWaitFor([&] { return sheet.state() != State::sending; }, 15000)) << c.name;
        const auto requests = web.server.requests();
        if (requests.size() > before) {
            EXPECT_EQ(requests.back(), requests[before - 1]) << c.name;
            EXPECT_NE(requests.back().find("Idempotency-Key: " + id), std::string::npos) << c.name;
        }
        find(sheet, "editButton")->click();
        EXPECT_EQ(sheet.state(), State::editing) << c.name;
        EXPECT_NE(sheet.submissionID(), id) << c.name;
        EXPECT_TRUE(find<QLineEdit>(sheet, "commentField")->isEnabled()) << c.name;
    }
}

} // namespace
} // namespace lumavane
