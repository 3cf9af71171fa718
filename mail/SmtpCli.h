// TSmtpCli: the SMTP client with file attachments. It adds to
// TCustomSmtpClient a multipart body with one Base64 part per file of
// EmailFiles, read from disk a line at a time while the socket drains.
//
// This header gives callers everything of the SMTP client: the client classes,
// their types, mailbox parsing and the header helpers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "mail/CustomSmtpClient.h"
#include "mail/Mailbox.h"
#include "mail/SmtpHeaders.h"

namespace pv {

class TSmtpCli : public TCustomSmtpClient {
  public:
    TSmtpCli();
    ~TSmtpCli() override;

    TSmtpShareMode ShareMode() const;
    void SetShareMode(TSmtpShareMode Value);

    // The attachment paths. Assigning trims each line, skips empty ones and
    // raises "File not found '<name>'" for a missing file (the lines before it
    // stay). Adding through EmailFiles() checks nothing.
    std::vector<std::string> &EmailFiles() { return FEmailFiles; }
    const std::vector<std::string> &EmailFiles() const { return FEmailFiles; }
    void SetEmailFiles(const std::vector<std::string> &Files);

    // Lines still to be sent before the next body line (the part headers).
    std::vector<std::string> MimeHeaderLines;

    // False: an attachment whose path names a symbolic link fails to open
    // (ELOOP) instead of sending the link's target.
    bool FollowLinks = true;

    TSmtpAttachmentContentType OnAttachContentType;
    TSmtpAttachHeader OnAttachHeader;
    TSmtpBeforeFileOpenEvent OnBeforeFileOpen;
    TSmtpAfterFileOpenEvent OnAfterFileOpen;

    void Data() override;

  protected:
    void TriggerGetData(int LineNum, std::string &Line, int MaxLen, bool &More) override;
    void TriggerHeaderLine(std::string &Line) override;
    virtual void TriggerAttachContentType(int FileNumber, std::string &FileName,
                                          std::string &ContentType);
    virtual void TriggerAttachHeader(int FileNumber, const std::string &FileName,
                                     std::vector<std::string> &HdrLines);
    virtual void PrepareBody();
    virtual std::string NextBodyLine();
    void CloseAttachment() override;

  private:
    class TAttachment;

    void NextFile();
    // False when the line source is done with this call.
    bool OpenNextAttachment(std::string &Line, bool &More);
    void AttachmentReadFailed(const std::exception &E, bool &More);

    std::vector<std::string> FEmailFiles;
    std::size_t FFileIndex = 0;
    std::string FBoundary;
    bool FFileStarted = false;
    bool FBodyFlag = false;
    int FBodyLine = 0;
    int FBodyPos = 0;
    std::string FBodyText; // MailMessage joined, each line ended by CR LF
    TSmtpDefaultEncoding FCurrentEncoding = smtpEnc7bit;
    std::unique_ptr<TAttachment> FAttachment;
    std::uint16_t FShareMode;
};

} // namespace pv
