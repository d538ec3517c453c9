#include "mail/MailSettings.h"

#include "common/Text.h"
#include "platform/CodePage.h"
#include "platform/Ini.h"

namespace {

constexpr const char* kSection = "SMTP";

// The INI layer trims a value and drops one pair of enclosing quotes; quoting a value that
// would lose something to that keeps it as typed.
std::string IniValue(const std::string& text) {
    if (text.empty()) return text;
    const bool quotes =
        text.front() == '"' || text.front() == '\'' || text.back() == '"' || text.back() == '\'';
    return quotes || Trim(text) != text ? "\"" + text + "\"" : text;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

std::optional<TMailSecurity> ParseSecurity(std::string_view text) {
    for (const TMailSecurity s : {TMailSecurity::None, TMailSecurity::StartTls, TMailSecurity::Tls})
        if (SameText1251(text, SecurityName(s))) return s;
    return std::nullopt;
}

const char* SecurityName(TMailSecurity security) {
    switch (security) {
        case TMailSecurity::StartTls:
            return "starttls";
        case TMailSecurity::Tls:
            return "tls";
        default:
            return "none";
    }
}

std::optional<std::string> ParseFingerprint(std::string_view text) {
    const size_t eq = text.find('=');
    if (eq != std::string_view::npos) text = text.substr(eq + 1);
    std::string hex;
    for (const char c : text) {
        if (c == ':' || c == ' ' || c == '\t' || c == '\r' || c == '\n') continue;
        const int digit = HexDigit(c);
        if (digit < 0 || hex.size() == 64) return std::nullopt;
        hex += "0123456789abcdef"[digit];
    }
    if (hex.size() != 64) return std::nullopt;
    return hex;
}

TMailSettings ReadMailSettings(const std::string& path) {
    const TIniFile ini(path);
    TMailSettings s;
    const std::string security = ini.ReadString(kSection, "Security", "");
    if (!security.empty()) {
        if (const auto parsed = ParseSecurity(security))
            s.Security = *parsed;
        else
            s.Problem = "mail.ini: Security=" + security + " is not none, starttls or tls";
    }
    s.User = ini.ReadString(kSection, "User", "");
    s.Password = ini.ReadString(kSection, "Password", "");
    const std::string fingerprint = ini.ReadString(kSection, "Fingerprint", "");
    if (!fingerprint.empty()) {
        if (const auto parsed = ParseFingerprint(fingerprint))
            s.Fingerprint = *parsed;
        else if (s.Problem.empty())
            s.Problem = "mail.ini: Fingerprint is not a SHA-256 fingerprint of 64 hex digits";
    }
    s.Trusted = ini.ReadInteger(kSection, "Trusted", 0) != 0;
    return s;
}

void WriteMailSettings(const std::string& path, const TMailSettings& settings) {
    TIniFile ini(path);
    ini.SetOwnerOnly(true);
    ini.WriteString(kSection, "Security", SecurityName(settings.Security));
    ini.WriteString(kSection, "User", IniValue(settings.User));
    ini.WriteString(kSection, "Password", IniValue(settings.Password));
}

bool IsPlainMail(const TMailSettings& settings) {
    return settings.Security == TMailSecurity::None && settings.User.empty() &&
           settings.Password.empty() && settings.Fingerprint.empty() && !settings.Trusted &&
           settings.Problem.empty();
}

void ApplyMailSettings(TSmtpClient& smtp, const TMailSettings& settings) {
    if (!settings.Problem.empty()) throw EError(settings.Problem);
    smtp.SetSecurity(settings.Security);
    smtp.SetUser(platform::AnsiToUtf8(settings.User));
    smtp.SetPassword(platform::AnsiToUtf8(settings.Password));
    smtp.SetTlsFingerprint(settings.Fingerprint);
    smtp.SetTrusted(settings.Trusted);
}
