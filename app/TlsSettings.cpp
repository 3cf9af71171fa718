#include "app/TlsSettings.h"

#include "mail/SmtpHeaders.h"
#include "net/WinsockErrors.h"
#include "platform/Profile.h"
#include "platform/Text.h"

namespace pv {

namespace {

const char kSection[] = "TLS";

std::string Value(const char *key, const std::string &iniFile) {
    return LowerCase(Trim(GetPrivateProfileString(kSection, key, "", iniFile)));
}

[[noreturn]] void Invalid(const char *key, const std::string &value, const char *allowed) {
    throw Exception("Invalid value '" + ShowControls(value) + "' for " + key + " in section [" +
                    kSection + "]: " + allowed);
}

} // namespace

TTlsSettings ReadTlsSettings(const std::string &IniFile) {
    TTlsSettings tls;
    const std::string smtp = Value("SMTP", IniFile);
    if (smtp == "starttls")
        tls.Smtp = TSmtpSecurity::StartTls;
    else if (smtp == "tls")
        tls.Smtp = TSmtpSecurity::Tls;
    else if (!smtp.empty() && smtp != "none")
        Invalid("SMTP", smtp, "none, starttls or tls");

    const std::string pop3 = Value("POP3", IniFile);
    if (pop3 == "stls")
        tls.Pop3 = TPop3Security::Stls;
    else if (pop3 == "tls")
        tls.Pop3 = TPop3Security::Tls;
    else if (!pop3.empty() && pop3 != "none")
        Invalid("POP3", pop3, "none, stls or tls");

    const std::string verify = Value("Verify", IniFile);
    if (verify == "0")
        tls.Verify = false;
    else if (!verify.empty() && verify != "1")
        Invalid("Verify", verify, "1 or 0");

    tls.CAFile = Trim(GetPrivateProfileString(kSection, "CAFile", "", IniFile));
    return tls;
}

std::shared_ptr<TTlsContext> TTlsSettings::MakeContext(const std::string &AppDir) const {
    std::string file = CAFile;
    if (!file.empty() && file[0] != '/')
        file = AppDir + (AppDir.empty() || AppDir.back() == '/' ? "" : "/") + file;
    try {
        return std::make_shared<TTlsContext>(Verify, file);
    } catch (const Exception &E) {
        // The name came from the INI file.
        throw ESocketException(ShowControls(E.Message()));
    }
}

std::string TTlsSettings::TrustText() const {
    if (!Verify)
        return "certificate not checked";
    return CAFile.empty() ? "certificate checked against the system's trust store"
                          : "certificate checked against " + ShowControls(CAFile);
}

} // namespace pv
