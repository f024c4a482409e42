#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "support/PortalStandIn.h"

namespace tavo::test {

// The portal's legacy PL/SQL pages of one service, on a PortalStandIn: the
// upload form (/pls/pub/!<SID>.upload_file), the HTML listing and the
// DataTables JSON listing. The upload form checks what a real upload must
// carry and keeps what it saw; its answer is scripted.
class PlsFormStandIn {
public:
    // What the upload form saw and checked for one request.
    struct Upload {
        std::map<std::string, std::string> fields;  // decoded form fields; pdata and psign as their lengths
        std::string pdata;                          // as sent
        bool gzipHeaderZeroed = false;              // 1F 8B 08 00, time, flags and OS all zero
        bool inflated = false;
        std::vector<uint8_t> file;  // the inflated bytes
        bool crlfOnly = false;      // every CR followed by LF, every LF preceded by CR
        bool noBom = false;
        int verifyStatus = -1;  // exit status of openssl cms -verify over psign and file
        std::string verifyOutput;
        // First failed check; empty when everything passed.
        std::string problem;
    };

    // One filed document, shown in both listings.
    struct Row {
        std::string incomeNumber;
        std::string incomeDate;
        std::string year;    // sixth HTML cell
        std::string period;  // JSON "PERIOD"
        std::string uin;     // JSON "UIN"
        std::string documentId;
    };

    using UploadAnswer = std::function<Reply(const Upload&)>;

    // sid: the service identifier in the form's path; listingPath and
    // ajaxPath: paths under /pls/pub/ of the two listings.
    explicit PlsFormStandIn(PortalStandIn& portal, std::string sid = "DECL55.WEB",
                            std::string listingPath = "decl55.web.listDocuments",
                            std::string ajaxPath = "decl55.web.ajaxDocuments");

    static std::string uploadPath(const std::string& sid) { return "/pls/pub/!" + sid + ".upload_file"; }
    std::string uploadPath() const { return uploadPath(sid_); }
    std::string listingPath() const { return "/pls/pub/" + listingPath_; }
    std::string ajaxPath() const { return "/pls/pub/" + ajaxPath_; }

    // Default: an acceptance page with pid 100001, 100002 ... when the checks
    // pass, else HTTP 400 naming the failed check.
    void setUploadAnswer(UploadAnswer answer);
    // The answer whatever was uploaded (the checks still run and are kept).
    void setUploadReply(Reply reply);
    std::vector<Upload> uploads() const;

    void setRows(std::vector<Row> rows);
    // Raw answers replacing the generated listings.
    void setListingReply(std::optional<Reply> reply);
    void setAjaxReply(std::optional<Reply> reply);
    // Differences the DataTables request had from what the portal's page
    // sends (fields and headers), one text each.
    std::vector<std::string> ajaxProblems() const;

    // Pages of the agency's kinds.
    static std::string acceptedPage(const std::string& pid);
    static std::string errorPage(const std::string& message);
    static std::string listingHtml(const std::vector<Row>& rows);
    static std::string ajaxJson(const std::vector<Row>& rows);
    // UTF-8 text in Windows-1251, converted by the C library's iconv (not by
    // the converter under test); characters it lacks become "?".
    static std::string windows1251(const std::string& utf8);
    // A page answered in Windows-1251 under the given Content-Type.
    static Reply windows1251Page(const std::string& utf8Html, std::string contentType);
    // The acceptance page whose connection drops after a few bytes, its
    // announced length unmet: the upload was taken, the answer is lost.
    static Reply acceptedButCut(const std::string& pid);

    // The checks of the upload form over one form body (exposed for the demo).
    static Upload inspect(const std::string& formBody);
    static std::map<std::string, std::string> parseForm(const std::string& body);

private:
    PortalStandIn& portal_;
    std::string sid_, listingPath_, ajaxPath_;
    mutable std::mutex mutex_;
    std::vector<Upload> uploads_;
    UploadAnswer answer_;
    std::vector<Row> rows_;
    std::optional<Reply> listingReply_, ajaxReply_;
    std::vector<std::string> ajaxProblems_;
    int nextPid_ = 100001;
};

}  // namespace tavo::test
