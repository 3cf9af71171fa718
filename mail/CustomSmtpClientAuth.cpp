// Part of TCustomSmtpClient (CustomSmtpClient.h): SMTP AUTH with PLAIN,
// LOGIN, CRAM-MD5 and CRAM-SHA1, and the choice among what the server offered
// in its EHLO reply.
#include "mail/AuthResponses.h"
#include "mail/CustomSmtpClient.h"
#include "mail/MimeUtils.h"

namespace pv {

namespace {

const char kUndetermined[] = "500 Authentication Type could not be determined.";

} // namespace

void TCustomSmtpClient::Auth() {
    CheckReady();
    if (!FEsmtp) {
        FLastResponse = "500 ESMTP not supported.";
        if (!FSequence)
            FRequestType = smtpAuth;
        FRequestDone = false;
        FailLocally(FLastResponse, 500);
        return;
    }
    TSmtpAuthType mechanism = AuthType;
    if (mechanism == smtpAuthAutoSelect) {
        // CRAM-SHA1 on offer still gets CRAM-MD5: it is never chosen by itself.
        if (HasAuthMechanism(FAuthMechanisms, "CRAM-MD5") ||
            HasAuthMechanism(FAuthMechanisms, "CRAM-SHA1"))
            mechanism = smtpAuthCramMD5;
        else if (HasAuthMechanism(FAuthMechanisms, "LOGIN"))
            mechanism = smtpAuthLogin;
        else if (HasAuthMechanism(FAuthMechanisms, "PLAIN"))
            mechanism = smtpAuthPlain;
        else
            mechanism = smtpAuthCramMD5;
    }
    if (mechanism == smtpAuthNone) {
        if (!FSequence)
            FRequestType = smtpAuth;
        FRequestDone = false;
        FailLocally("500 No Authentication Type Selected.", 500);
        return;
    }
    AuthStart(mechanism);
}

void TCustomSmtpClient::AuthStart(TSmtpAuthType Mechanism) {
    FAuthInUse = Mechanism;
    switch (Mechanism) {
    case smtpAuthPlain:
        // The authentication identity is the user, not the sender: servers
        // refuse a logon whose second field names a mailbox.
        StartCommand(smtpAuth, stepAuth,
                     "AUTH PLAIN " + AuthPlainCredentials(Username, "", Password), {235},
                     &TCustomSmtpClient::AuthPlainDone);
        break;
    case smtpAuthLogin:
        StartCommand(smtpAuth, stepAuth, "AUTH LOGIN", {334}, &TCustomSmtpClient::AuthLoginUser);
        break;
    case smtpAuthCramSha1:
        StartCommand(smtpAuth, stepAuth, "AUTH CRAM-SHA1", {334},
                     &TCustomSmtpClient::AuthCramChallenge);
        break;
    default:
        StartCommand(smtpAuth, stepAuth, "AUTH CRAM-MD5", {334},
                     &TCustomSmtpClient::AuthCramChallenge);
        break;
    }
}

void TCustomSmtpClient::AuthPlainDone() {
    if (FRequestResult != 0 && AuthType == smtpAuthAutoSelect && FStatusCode != 504)
        FErrorMessage = kUndetermined;
    FinishRequest(FRequestResult);
}

void TCustomSmtpClient::AuthLoginUser() {
    if (FRequestResult != 0) {
        if (AuthType == smtpAuthAutoSelect && FStatusCode == 504) {
            // The fall-back stays inside this request, which ends once.
            FState = smtpInternalReady;
            AuthStart(smtpAuthPlain);
            return;
        }
        if (AuthType == smtpAuthAutoSelect)
            FErrorMessage = kUndetermined;
        FinishRequest(FRequestResult);
        return;
    }
    FState = smtpInternalReady;
    StartCommand(smtpAuth, stepAuth, Base64EncodeText(Username), {334},
                 &TCustomSmtpClient::AuthLoginPassword);
}

void TCustomSmtpClient::AuthLoginPassword() {
    if (FRequestResult != 0) {
        FinishRequest(FRequestResult);
        return;
    }
    FState = smtpInternalReady;
    StartCommand(smtpAuth, stepAuth, Base64EncodeText(Password), {235}, nullptr);
}

void TCustomSmtpClient::AuthCramChallenge() {
    const bool sha1 = FAuthInUse == smtpAuthCramSha1;
    if (FRequestResult != 0) {
        if (!sha1 && AuthType == smtpAuthAutoSelect) {
            if (FStatusCode == 504) {
                FState = smtpInternalReady;
                AuthStart(smtpAuthLogin);
                return;
            }
            FErrorMessage = kUndetermined;
        }
        FinishRequest(FRequestResult);
        return;
    }
    if (FLastResponse.size() <= 4) {
        FailLocally((sha1 ? "500 Malformed SHA1 Challege: " : "500 Malformed MD5 Challege: ") +
                        FLastResponse,
                    500);
        return;
    }
    const std::string challenge = FLastResponse.substr(4);
    const std::string response = sha1 ? CramSha1Response(challenge, Username, Password)
                                      : CramMd5Response(challenge, Username, Password);
    FState = smtpInternalReady;
    StartCommand(smtpAuth, stepAuth, response, {235}, nullptr);
}

} // namespace pv
