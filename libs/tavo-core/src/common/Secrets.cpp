#include "common/Secrets.h"

#include <algorithm>
#include <vector>

#include "common/Ascii.h"
#include "common/PercentEncode.h"

namespace tavo::core::common::secrets {
namespace {

constexpr std::string_view kScheme = "bearer";

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

bool endsCredential(char c) {
    return ascii::isSpace(c) || std::string_view("\"'\\<>,;&)]}").find(c) != std::string_view::npos;
}

bool schemeAt(std::string_view text, std::size_t at) {
    return ascii::equalsNoCase(text.substr(at, kScheme.size()), kScheme);
}

std::string maskOneForm(std::string_view text, std::string_view secret) {
    std::string out;
    out.reserve(text.size());
    std::size_t from = 0;
    for (std::size_t at = text.find(secret); at != std::string_view::npos; at = text.find(secret, from)) {
        out.append(text.substr(from, at - from));
        out.append(kMask);
        from = at + secret.size();
    }
    out.append(text.substr(from));
    return out;
}

// Inside a JSON string, with or without the optional "\/".
std::string asJsonString(std::string_view secret, bool escapeSlash) {
    std::string out;
    for (char c : secret) {
        if (c == '"' || c == '\\' || (c == '/' && escapeSlash)) out += '\\';
        out += c;
    }
    return out;
}

// How a server may write the secret back: as sent first, then inside a JSON
// string or percent-encoded in either letter case. Masking the form as sent
// first means no later pass can leave it behind.
std::vector<std::string> echoedForms(std::string_view secret) {
    const std::string upper = percentEncode(secret);
    std::string lower = upper;
    for (std::size_t at = lower.find('%'); at != std::string::npos; at = lower.find('%', at + 1)) {
        for (std::size_t hex = at + 1; hex < at + 3; ++hex) lower[hex] = ascii::toLower(lower[hex]);
    }
    std::vector<std::string> forms{std::string(secret)};
    for (std::string form : {asJsonString(secret, false), asJsonString(secret, true), upper, lower}) {
        if (std::find(forms.begin(), forms.end(), form) == forms.end()) forms.push_back(std::move(form));
    }
    return forms;
}

}  // namespace

std::string maskSecret(std::string_view text, std::string_view secret) {
    std::string out(text);
    if (secret.empty()) return out;
    for (const std::string& form : echoedForms(secret)) out = maskOneForm(out, form);
    return out;
}

std::string maskBearerTokens(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        if (!schemeAt(text, i)) {
            out += text[i++];
            continue;
        }
        const std::size_t word = i + kScheme.size();
        std::size_t blanks = word;
        while (blanks < text.size() && isBlank(text[blanks])) ++blanks;
        out.append(text.substr(i, blanks - i));
        // The word alone ("bearerless", "bearer\n") hides nothing.
        if (blanks == word) {
            i = word;
            continue;
        }
        std::size_t end = blanks;
        while (end < text.size() && !endsCredential(text[end])) ++end;
        // "Bearer Bearer <token>": the second word starts the credential's own match.
        if (end - blanks == kScheme.size() && schemeAt(text, blanks)) {
            i = blanks;
            continue;
        }
        if (end > blanks) out.append(kMask);
        i = end;
    }
    return out;
}

}  // namespace tavo::core::common::secrets
