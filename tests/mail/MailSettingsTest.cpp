// mail.ini: what a missing, a hand-written and a damaged file give, and how it is written.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "mail/MailSettings.h"
#include "platform/CodePage.h"
#include "tests/common/CaseName.h"
#include "tests/common/TempDir.h"

namespace {

mode_t ModeOf(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 0777) : 0;
}

TEST(MailSettingsTest, MissingFileIsPlainMailAsBefore) {
    TempDir dir;
    const TMailSettings s = ReadMailSettings(dir.file("mail.ini"));
    EXPECT_TRUE(IsPlainMail(s));
    TSmtpClient smtp;
    ApplyMailSettings(smtp, s);
    EXPECT_EQ(smtp.Security(), TMailSecurity::None);
    EXPECT_EQ(smtp.User(), "");
    EXPECT_FALSE(smtp.Trusted());
}

TEST(MailSettingsTest, HandWrittenFileIsReadWithItsNamesInAnyCase) {
    TempDir dir;
    WriteBytes(dir.file("mail.ini"),
               "; the office server\n[smtp]\nsecurity = STARTTLS\nuser=station@office\n"
               "Password=\"  two words  \"\nFingerprint=sha256 Fingerprint=" +
                   std::string(31, 'A') + ":" + std::string(33, 'b') + "\nTrusted=1\n");
    const TMailSettings s = ReadMailSettings(dir.file("mail.ini"));
    EXPECT_EQ(s.Problem, "");
    EXPECT_EQ(s.Security, TMailSecurity::StartTls);
    EXPECT_EQ(s.User, "station@office");
    EXPECT_EQ(s.Password, "  two words  ");
    EXPECT_EQ(s.Fingerprint, std::string(31, 'a') + std::string(33, 'b'));
    EXPECT_TRUE(s.Trusted);
}

struct TProblemCase {
    const char* name;
    const char* file;
    const char* problem;
};

void PrintTo(const TProblemCase& c, std::ostream* os) {
    *os << c.name;
}

class MailSettingsProblemTest : public ::testing::TestWithParam<TProblemCase> {};

// A value that cannot be used fails every mail with its reason rather than falling back to
// plain text, which could send the password unencrypted.
TEST_P(MailSettingsProblemTest, UnusableValueFailsTheMailWithItsReason) {
    TempDir dir;
    WriteBytes(dir.file("mail.ini"), GetParam().file);
    const TMailSettings s = ReadMailSettings(dir.file("mail.ini"));
    EXPECT_EQ(s.Problem, GetParam().problem);
    EXPECT_FALSE(IsPlainMail(s));
    TSmtpClient smtp;
    try {
        ApplyMailSettings(smtp, s);
        ADD_FAILURE() << "applied";
    } catch (const EError& e) {
        EXPECT_EQ(std::string(e.what()), GetParam().problem);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Files, MailSettingsProblemTest,
    ::testing::Values(
        TProblemCase{"UnknownSecurity", "[SMTP]\r\nSecurity=ssl\r\nUser=u\r\n",
                     "mail.ini: Security=ssl is not none, starttls or tls"},
        TProblemCase{"ShortFingerprint", "[SMTP]\r\nSecurity=tls\r\nFingerprint=AB:CD\r\n",
                     "mail.ini: Fingerprint is not a SHA-256 fingerprint of 64 hex digits"},
        TProblemCase{"FingerprintWithALetterBeyondHex",
                     "[SMTP]\r\nFingerprint=g123456789012345678901234567890123456789012345678901"
                     "234567890123\r\n",
                     "mail.ini: Fingerprint is not a SHA-256 fingerprint of 64 hex digits"}),
    CaseName());

TEST(MailSettingsTest, WrittenFileIsTheOwnersAloneAndKeepsWhatItDoesNotWrite) {
    TempDir dir;
    const std::string path = dir.file("mail.ini");
    WriteBytes(path, "[SMTP]\r\nTrusted=1\r\n; kept\r\n[Other]\r\nKey=value\r\n");
    ::chmod(path.c_str(), 0644);
    TMailSettings s;
    s.Security = TMailSecurity::Tls;
    s.User = platform::Utf8ToAnsi("станция");
    s.Password = "'quoted' and \"more\" ";
    WriteMailSettings(path, s);
    EXPECT_EQ(ModeOf(path), 0600u);
    const TMailSettings back = ReadMailSettings(path);
    EXPECT_EQ(back.Security, TMailSecurity::Tls);
    EXPECT_EQ(back.User, s.User);
    EXPECT_EQ(back.Password, s.Password);
    EXPECT_TRUE(back.Trusted);
    EXPECT_NE(ReadBytes(path).find("[Other]\r\nKey=value\r\n"), std::string::npos);

    // A new file is created for its owner alone, and so is a leftover temporary file's content.
    const std::string fresh = dir.file("fresh.ini");
    WriteBytes(fresh + ".tmp~", "stale");
    ::chmod((fresh + ".tmp~").c_str(), 0666);
    WriteMailSettings(fresh, s);
    EXPECT_EQ(ModeOf(fresh), 0600u);
}

TEST(MailSettingsTest, LoginGoesToTheServerInUtf8) {
    TMailSettings s;
    s.User = platform::Utf8ToAnsi("станция");
    s.Password = platform::Utf8ToAnsi("пароль");
    TSmtpClient smtp;
    ApplyMailSettings(smtp, s);
    EXPECT_EQ(smtp.User(), "станция");
}

struct TFingerprintCase {
    const char* name;
    std::string text;
    bool valid;
};

void PrintTo(const TFingerprintCase& c, std::ostream* os) {
    *os << c.name;
}

class FingerprintTest : public ::testing::TestWithParam<TFingerprintCase> {};

TEST_P(FingerprintTest, SixtyFourHexDigitsInTheFormsToolsPrint) {
    const auto f = ParseFingerprint(GetParam().text);
    ASSERT_EQ(f.has_value(), GetParam().valid);
    if (f) {
        EXPECT_EQ(*f, std::string(64, 'a').replace(0, 2, "0f"));
    }
}

std::string Colons(const std::string& hex) {
    std::string out;
    for (size_t i = 0; i < hex.size(); i += 2) out += (out.empty() ? "" : ":") + hex.substr(i, 2);
    return out;
}

const std::string kHex = "0F" + std::string(62, 'A');

INSTANTIATE_TEST_SUITE_P(
    Texts, FingerprintTest,
    ::testing::Values(TFingerprintCase{"PlainDigits", kHex, true},
                      TFingerprintCase{"WithColons", Colons(kHex), true},
                      TFingerprintCase{"AsOpensslPrintsIt",
                                       "sha256 Fingerprint=" + Colons(kHex) + "\n", true},
                      TFingerprintCase{"OneDigitShort", kHex.substr(1), false},
                      TFingerprintCase{"OneDigitLong", kHex + "0", false},
                      TFingerprintCase{"Sha1Length", std::string(40, 'a'), false},
                      TFingerprintCase{"Empty", "", false}),
    CaseName());

}  // namespace
