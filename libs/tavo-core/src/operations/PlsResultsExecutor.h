#pragma once

#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "operations/ISubmission.h"
#include "operations/OperationTypes.h"

namespace tavo::core::domain {
class NapSession;
}

namespace tavo::core::operations {

// The portal's list of documents already filed for a portal-form operation,
// in six fixed columns: companyId, periodMonth, periodYear, incomeNumber,
// incomeDate, documentId. Failures come back as a result with only
// metadata "error"; neither throws for them.

// Scrapes the table at the operation's listing address.
InquiryResult fetchHtmlTableResults(domain::NapSession& session, const ISubmission& submission,
                                    const ResultsFilter& filter);

// Posts the DataTables request to endpoint, a procedure path under the
// portal's public PL/SQL base.
InquiryResult fetchAjaxJsonResults(domain::NapSession& session, const ISubmission& submission,
                                   const std::string& endpoint, const ResultsFilter& filter);

// The network-free pieces, for tests and fuzz targets.
namespace listing {

std::vector<ColumnSpec> standardColumns();

// Group 1 of the first match of (?:pid|ipdoc_id)\s*=\s*["']?(\d+) where no
// letter, digit or underscore stands before the name, letter case ignored, or
// empty; linear in the input.
std::string findDocumentId(std::string_view html);

// Whether the page holds the listing's markup (a table element); a login
// page or an empty body does not.
bool showsListing(std::string_view html);

// Whether a DataTables answer is empty or a page (its first non-blank
// character opens a tag) rather than JSON.
bool isPageInsteadOfJson(std::string_view body);

// Rows of the HTML listing page (the executor's step after the GET).
std::vector<std::vector<std::string>> readHtmlRows(const std::string& body, const ResultsFilter& filter);

// Fills rows and metadata ("count", or "error" for unparsable JSON) from the
// DataTables answer.
void readAjaxAnswer(std::string_view body, const ResultsFilter& filter, InquiryResult& result);

// The 61 fields of the DataTables request.
std::unordered_map<std::string, std::string> ajaxRequestFields();

}  // namespace listing

}  // namespace tavo::core::operations
