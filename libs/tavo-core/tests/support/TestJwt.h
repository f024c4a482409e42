#pragma once

#include <filesystem>
#include <string>

namespace tavo::test {

// Base64url of bytes, without "=" padding unless asked.
std::string base64Url(const std::string& bytes, bool padded = false);

// RS256 (or any "dgst -sha256 -sign") signature of text, made by the openssl
// command line with the given private key file.
std::string opensslSignSha256(const std::filesystem::path& keyFile, const std::string& text);

// A compact token over the two JSON texts, signed by the openssl command line.
std::string makeSignedToken(const std::string& headerJson, const std::string& payloadJson,
                            const std::filesystem::path& keyFile);

// Public key PEM of a private key file, as the openssl command line writes it.
std::string opensslPublicKeyPem(const std::filesystem::path& keyFile);

}  // namespace tavo::test
