#include "support/PlsFormStandIn.h"

#include <iconv.h>
#include <openssl/evp.h>
#include <zlib.h>
#include <cerrno>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "support/TempDir.h"
#include "support/TestPki.h"

namespace tavo::test {
namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string formDecode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '+') {
            out += ' ';
        } else if (c == '%' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 && hexValue(text[i + 2]) >= 0) {
            out += static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
            i += 2;
        } else {
            out += c;
        }
    }
    return out;
}

// Strict Base64 through OpenSSL, independent of the library's own decoder.
std::optional<std::vector<uint8_t>> base64Decode(const std::string& text) {
    if (text.size() % 4 != 0) return std::nullopt;
    std::vector<uint8_t> out(text.size() / 4 * 3);
    int n =
        EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
    if (n < 0) return std::nullopt;
    size_t pad = 0;
    for (size_t i = text.size(); i > 0 && text[i - 1] == '=' && pad < 2; --i) ++pad;
    out.resize(static_cast<size_t>(n) - pad);
    return out;
}

std::optional<std::vector<uint8_t>> gunzip(const std::vector<uint8_t>& gz) {
    z_stream zs{};
    if (inflateInit2(&zs, 16 + MAX_WBITS) != Z_OK) return std::nullopt;
    std::vector<uint8_t> out;
    std::vector<uint8_t> chunk(1 << 16);
    zs.next_in = const_cast<Bytef*>(gz.data());
    zs.avail_in = static_cast<uInt>(gz.size());
    int rc = Z_OK;
    while (rc == Z_OK) {
        zs.next_out = chunk.data();
        zs.avail_out = static_cast<uInt>(chunk.size());
        rc = inflate(&zs, Z_NO_FLUSH);
        out.insert(out.end(), chunk.data(), chunk.data() + (chunk.size() - zs.avail_out));
        if (rc == Z_BUF_ERROR && zs.avail_in == 0) break;
    }
    bool whole = rc == Z_STREAM_END && zs.avail_in == 0;
    inflateEnd(&zs);
    if (!whole) return std::nullopt;
    return out;
}

bool crlfOnly(const std::vector<uint8_t>& bytes) {
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] == '\r' && (i + 1 >= bytes.size() || bytes[i + 1] != '\n')) return false;
        if (bytes[i] == '\n' && (i == 0 || bytes[i - 1] != '\r')) return false;
    }
    return true;
}

std::string escapeHtml(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '<')
            out += "&lt;";
        else if (c == '>')
            out += "&gt;";
        else if (c == '&')
            out += "&amp;";
        else
            out += c;
    }
    return out;
}

// The fields the portal's listing page sends with its DataTables request.
std::map<std::string, std::string> expectedAjaxFields() {
    std::map<std::string, std::string> f{
        {"draw", "1"},   {"start", "0"},   {"length", "100"}, {"search[value]", ""}, {"search[regex]", "false"},
        {"choice", "1"}, {"searchstr", ""}};
    const char* names[] = {"", "UIN", "PERIOD", "INNO", "INNODATE", "SIGNER", "USERINFO", "DOCID", "HAS_RESULT"};
    for (int i = 0; i < 9; ++i) {
        std::string p = "columns[" + std::to_string(i) + "]";
        f[p + "[data]"] = names[i];
        f[p + "[name]"] = "";
        f[p + "[searchable]"] = "true";
        f[p + "[orderable]"] = "false";
        f[p + "[search][value]"] = "";
        f[p + "[search][regex]"] = "false";
    }
    return f;
}

}  // namespace

std::map<std::string, std::string> PlsFormStandIn::parseForm(const std::string& body) {
    std::map<std::string, std::string> fields;
    size_t start = 0;
    while (start < body.size()) {
        size_t amp = body.find('&', start);
        if (amp == std::string::npos) amp = body.size();
        std::string_view pair(body.data() + start, amp - start);
        size_t eq = pair.find('=');
        std::string name = formDecode(pair.substr(0, eq));
        std::string value = eq == std::string_view::npos ? std::string() : formDecode(pair.substr(eq + 1));
        fields[std::move(name)] = std::move(value);
        start = amp + 1;
    }
    return fields;
}

PlsFormStandIn::Upload PlsFormStandIn::inspect(const std::string& formBody) {
    Upload u;
    u.fields = parseForm(formBody);
    for (const char* name : {"pfilename", "pyear", "pdata", "psign", "signerId"}) {
        if (u.fields.count(name) == 0) {
            u.problem = std::string("field ") + name + " missing";
            return u;
        }
    }
    auto gz = base64Decode(u.fields["pdata"]);
    if (!gz) {
        u.problem = "pdata is not Base64";
        return u;
    }
    static const uint8_t kHeader[10] = {0x1F, 0x8B, 0x08, 0, 0, 0, 0, 0, 0, 0};
    u.gzipHeaderZeroed = gz->size() >= 10 && std::equal(kHeader, kHeader + 10, gz->begin());
    auto file = gunzip(*gz);
    gz.reset();
    u.inflated = file.has_value();
    if (file) u.file = std::move(*file);
    u.crlfOnly = crlfOnly(u.file);
    u.noBom = !(u.file.size() >= 3 && u.file[0] == 0xEF && u.file[1] == 0xBB && u.file[2] == 0xBF);
    auto signature = base64Decode(u.fields["psign"]);
    if (signature && u.inflated) {
        TempDir dir("tavo-pls");
        writeFile(dir / "sig.der", std::string(signature->begin(), signature->end()));
        writeFile(dir / "data.bin", std::string(u.file.begin(), u.file.end()));
        u.verifyStatus =
            runCommand("openssl cms -verify -cades -binary -inform DER -in " + shellQuote((dir / "sig.der").string()) +
                           " -content " + shellQuote((dir / "data.bin").string()) + " -CAfile " +
                           shellQuote(TestPki::instance().caCertFile().string()) + " -out /dev/null",
                       &u.verifyOutput);
    }
    // Big fields stay out of the record.
    u.pdata = std::move(u.fields["pdata"]);
    u.fields["pdata"] = std::to_string(u.pdata.size()) + " chars";
    u.fields["psign"] = std::to_string(u.fields["psign"].size()) + " chars";
    if (!u.gzipHeaderZeroed)
        u.problem = "gzip header is not the zeroed one";
    else if (!u.inflated)
        u.problem = "pdata does not inflate";
    else if (!u.noBom)
        u.problem = "file starts with a byte-order mark";
    else if (!u.crlfOnly)
        u.problem = "file has line ends other than CR LF";
    else if (!signature)
        u.problem = "psign is not Base64";
    else if (u.verifyStatus != 0)
        u.problem = "psign does not verify: " + u.verifyOutput;
    return u;
}

PlsFormStandIn::PlsFormStandIn(PortalStandIn& portal, std::string sid, std::string listingPath, std::string ajaxPath)
    : portal_(portal), sid_(std::move(sid)), listingPath_(std::move(listingPath)), ajaxPath_(std::move(ajaxPath)) {
    answer_ = [this](const Upload& u) {
        if (!u.problem.empty()) return Reply::text(errorPage("stand-in: " + u.problem), 400);
        std::lock_guard<std::mutex> lock(mutex_);
        return Reply::text(acceptedPage(std::to_string(nextPid_++)));
    };

    portal_.on(PortalStandIn::Host::Portal, "POST", uploadPath(), [this](const RecordedRequest& r) {
        if (PortalStandIn::cookie(r, "SESSION").empty()) return Reply::text("no session", 401);
        Upload u = inspect(r.body);
        UploadAnswer answer;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            uploads_.push_back(u);
            answer = answer_;
        }
        return answer(u);
    });

    portal_.on(PortalStandIn::Host::Portal, "GET", this->listingPath(), [this](const RecordedRequest& r) {
        if (PortalStandIn::cookie(r, "SESSION").empty()) return Reply::text("no session", 401);
        std::lock_guard<std::mutex> lock(mutex_);
        if (listingReply_) return *listingReply_;
        return Reply::text(listingHtml(rows_));
    });

    portal_.on(PortalStandIn::Host::Portal, "POST", this->ajaxPath(), [this](const RecordedRequest& r) {
        if (PortalStandIn::cookie(r, "SESSION").empty()) return Reply::text("no session", 401);
        std::vector<std::string> problems;
        auto fields = parseForm(r.body);
        auto expected = expectedAjaxFields();
        if (fields.size() != expected.size())
            problems.push_back("fields: " + std::to_string(fields.size()) + " instead of " +
                               std::to_string(expected.size()));
        for (const auto& [name, value] : expected) {
            auto it = fields.find(name);
            if (it == fields.end())
                problems.push_back("field " + name + " missing");
            else if (it->second != value)
                problems.push_back("field " + name + " = '" + it->second + "'");
        }
        const std::pair<const char*, const char*> headers[] = {
            {"Accept", "application/json, text/javascript, */*; q=0.01"},
            {"X-Requested-With", "XMLHttpRequest"},
            {"Content-Type", "application/x-www-form-urlencoded"}};
        for (const auto& [name, value] : headers)
            if (r.headerCount(name) != 1 || r.header(name) != value)
                problems.push_back(std::string("header ") + name + ": '" + r.header(name) + "'");
        std::lock_guard<std::mutex> lock(mutex_);
        ajaxProblems_.insert(ajaxProblems_.end(), problems.begin(), problems.end());
        if (ajaxReply_) return *ajaxReply_;
        return Reply::json(ajaxJson(rows_));
    });
}

void PlsFormStandIn::setUploadAnswer(UploadAnswer answer) {
    std::lock_guard<std::mutex> lock(mutex_);
    answer_ = std::move(answer);
}

void PlsFormStandIn::setUploadReply(Reply reply) {
    setUploadAnswer([reply](const Upload&) { return reply; });
}

std::vector<PlsFormStandIn::Upload> PlsFormStandIn::uploads() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return uploads_;
}

void PlsFormStandIn::setRows(std::vector<Row> rows) {
    std::lock_guard<std::mutex> lock(mutex_);
    rows_ = std::move(rows);
}

void PlsFormStandIn::setListingReply(std::optional<Reply> reply) {
    std::lock_guard<std::mutex> lock(mutex_);
    listingReply_ = std::move(reply);
}

void PlsFormStandIn::setAjaxReply(std::optional<Reply> reply) {
    std::lock_guard<std::mutex> lock(mutex_);
    ajaxReply_ = std::move(reply);
}

std::vector<std::string> PlsFormStandIn::ajaxProblems() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return ajaxProblems_;
}

std::string PlsFormStandIn::acceptedPage(const std::string& pid) {
    return "<html><head><meta charset=\"utf-8\"><title>Подаване на декларация</title></head><body>"
           "<h3>Документът е приет успешно.</h3>"
           "<p><a href=\"!DECL55.WEB.showResult?pid=" +
           pid + "\">Резултат от обработката</a></p></body></html>";
}

std::string PlsFormStandIn::errorPage(const std::string& message) {
    return "<html><head><meta charset=\"utf-8\"><title>Подаване на декларация</title></head><body>"
           "<h3 class=\"err\">Грешка</h3><p>" +
           escapeHtml(message) + "</p></body></html>";
}

std::string PlsFormStandIn::listingHtml(const std::vector<Row>& rows) {
    std::string html =
        "<html><head><meta charset=\"utf-8\"></head><body><table class=\"list\">\n"
        "<tr><th>Документ</th><th>Вх. №</th><th>Дата</th><th>Подател</th><th>Статус</th><th>Година</th></tr>\n";
    for (const Row& row : rows) {
        html += "<tr onmouseover=\"this.className='hl'\" onmouseout=\"this.className=''\">";
        if (row.documentId.empty())
            html += "<td>-</td>";
        else
            html += "<td><a href=\"!DECL55.WEB.showResult?pid=" + row.documentId + "\">Преглед</a></td>";
        html += "<td>" + escapeHtml(row.incomeNumber) + "</td><td>" + escapeHtml(row.incomeDate) +
                "</td><td>Тест Подписващ</td><td>Приет</td><td>" + escapeHtml(row.year) + "</td></tr>\n";
    }
    return html + "</table></body></html>";
}

std::string PlsFormStandIn::ajaxJson(const std::vector<Row>& rows) {
    nlohmann::json data = nlohmann::json::array();
    for (const Row& row : rows) {
        data.push_back({{"", ""},
                        {"UIN", row.uin},
                        {"PERIOD", row.period},
                        {"INNO", row.incomeNumber},
                        {"INNODATE", row.incomeDate},
                        {"SIGNER", "Тест Подписващ"},
                        {"USERINFO", ""},
                        {"DOCID", row.documentId},
                        {"HAS_RESULT", "Y"}});
    }
    nlohmann::json answer = {
        {"draw", 1}, {"recordsTotal", rows.size()}, {"recordsFiltered", rows.size()}, {"data", std::move(data)}};
    return answer.dump();
}

std::string PlsFormStandIn::windows1251(const std::string& utf8) {
    iconv_t cd = iconv_open("WINDOWS-1251//TRANSLIT", "UTF-8");
    if (cd == reinterpret_cast<iconv_t>(-1)) throw std::runtime_error("iconv has no WINDOWS-1251");
    std::string out(utf8.size(), '\0');
    char* in = const_cast<char*>(utf8.data());
    size_t inLeft = utf8.size();
    char* o = out.data();
    size_t outLeft = out.size();
    while (inLeft > 0) {
        if (iconv(cd, &in, &inLeft, &o, &outLeft) != static_cast<size_t>(-1)) break;
        if (errno != EILSEQ || outLeft == 0) break;
        // A character Windows-1251 lacks: one "?" for its bytes.
        *o++ = '?';
        --outLeft;
        do {
            ++in;
            --inLeft;
        } while (inLeft > 0 && (static_cast<unsigned char>(*in) & 0xC0) == 0x80);
    }
    iconv_close(cd);
    out.resize(out.size() - outLeft);
    return out;
}

Reply PlsFormStandIn::windows1251Page(const std::string& utf8Html, std::string contentType) {
    return Reply::text(windows1251(utf8Html), 200, std::move(contentType));
}

Reply PlsFormStandIn::acceptedButCut(const std::string& pid) {
    Reply reply = Reply::text(acceptedPage(pid));
    reply.cutAfter = 40;
    return reply;
}

}  // namespace tavo::test
