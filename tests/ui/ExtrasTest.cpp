// The About and what's-new windows.
#include <gtest/gtest.h>

#include <QLabel>
#include <QPlainTextEdit>

#include "../common/TempDir.h"
#include "platform/ProgramDir.h"
#include "tests/common/CaseName.h"
#include "ui/AboutDialog.h"
#include "ui/WhatsNewDialog.h"

namespace {

class ProgramDirScope {
public:
    explicit ProgramDirScope(const std::string& dir) : saved_(platform::ProgramDir()) {
        platform::SetProgramDir(dir);
    }
    ~ProgramDirScope() { platform::SetProgramDir(saved_); }

private:
    std::string saved_;
};

struct WhatsNewCase {
    const char* name;
    bool present;
    std::string bytes;
    QString shown;
    const char* file = "newread.txt";
};

void PrintTo(const WhatsNewCase& c, std::ostream* os) {
    *os << c.name;
}

class WhatsNewTest : public ::testing::TestWithParam<WhatsNewCase> {};

TEST_P(WhatsNewTest, MemoShowsTheFileOrTheNotFoundLine) {
    TempDir dir;
    ProgramDirScope scope(dir.path());
    if (GetParam().present) WriteBytes(dir.file(GetParam().file), GetParam().bytes);
    TWhatsNewDialog form;
    EXPECT_EQ(form.Memo1->toPlainText(), GetParam().shown);
    EXPECT_TRUE(form.Memo1->isReadOnly());
    EXPECT_EQ(form.windowTitle(), QString::fromUtf8("Новое в версии"));
}

INSTANTIATE_TEST_SUITE_P(
    Files, WhatsNewTest,
    ::testing::Values(
        WhatsNewCase{"Missing", false, "", QString::fromUtf8("Файл NewRead.txt не найден !")},
        WhatsNewCase{"Empty", true, "", QString()},
        // Windows-1251 "Новое" on two CRLF lines.
        WhatsNewCase{"Cp1251Lines", true, "\xcd\xee\xe2\xee\xe5\r\nv1.8\r\n",
                     QString::fromUtf8("Новое\nv1.8")},
        WhatsNewCase{"BareLineFeeds", true, "a\nb", QString("a\nb")},
        // A station directory copied from elsewhere.
        WhatsNewCase{"NameInOtherCase", true, "v1.8", QString("v1.8"), "NewRead.txt"}),
    CaseName());

TEST(AboutTest, NameVersionAndLinks) {
    TAboutDialog about;
    EXPECT_EQ(about.ProgramName->text(), "Tarvick");
    EXPECT_EQ(about.Version->text(), QString::fromUtf8("v1.8 от 13.12.2012"));
    EXPECT_FALSE(about.Version->font().bold());
    EXPECT_TRUE(about.ProgramName->font().bold());
    for (QLabel* link : {about.Label5, about.Label2}) {
        EXPECT_EQ(link->cursor().shape(), Qt::PointingHandCursor);
        EXPECT_TRUE(link->styleSheet().contains("underline"));
    }
    EXPECT_TRUE(about.Label2->text().startsWith("https://"));
}

}  // namespace
