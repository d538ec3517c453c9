#pragma once
// The mail server's encryption and login, kept beside the settings table in mail.ini of the
// station directory (section [SMTP]) so that the table keeps its layout. Without the file the
// station mails in plain text without a login, as it always has.
#include <optional>
#include <string>
#include <string_view>

#include "mail/SmtpClient.h"

inline constexpr const char* kMailIni = "mail.ini";

struct TMailSettings {
    TMailSecurity Security = TMailSecurity::None;
    std::string User;         // Windows-1251, as every other setting
    std::string Password;     // Windows-1251
    std::string Fingerprint;  // 64 lower-case hex digits, or empty
    bool Trusted = false;     // the network to the server is trusted: the password may go plain
    // A value in the file that cannot be used as written; every mail fails with it, since
    // guessing could send a password unencrypted.
    std::string Problem;
};

// The settings of the file at path; a missing file or key gives its default.
TMailSettings ReadMailSettings(const std::string& path);
// Writes the keys the settings dialog edits (Security, User, Password), the file readable by
// its owner only. Raises EIniFileException.
void WriteMailSettings(const std::string& path, const TMailSettings& settings);
// Whether the settings are those of a missing file.
bool IsPlainMail(const TMailSettings& settings);

// "none", "starttls" or "tls" in any case; nothing for another text.
std::optional<TMailSecurity> ParseSecurity(std::string_view text);
const char* SecurityName(TMailSecurity security);
// 64 hex digits, with colons or blanks between them as tools print them, or the line such a
// tool prints ("sha256 Fingerprint=AB:CD:..."): the 64 lower-case digits, or nothing.
std::optional<std::string> ParseFingerprint(std::string_view text);

// Gives the client the settings, the login in UTF-8 as servers take it. Raises EError with the
// settings' problem.
void ApplyMailSettings(TSmtpClient& smtp, const TMailSettings& settings);
