#include "common/Secrets.h"

#include "common/Ascii.h"

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

}  // namespace

std::string maskSecret(std::string_view text, std::string_view secret) {
    if (secret.empty()) return std::string(text);
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
