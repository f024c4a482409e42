#pragma once

#include <string>

// Addresses on the agency's hosts that more than one part of the library
// asks for, built from NapEndpoints.h in one place.
namespace tavo::core::infra::nap {

// Where a portal login starts; the portal sends the browser on to the login host.
std::string entryPointUrl();

// The taxpayers the logged-in user may act for (answers only to a live session).
std::string taxpayersUrl();

// A service's PL/SQL upload procedure.
std::string plsUploadUrl(const std::string& serviceIdentifier);

// A service's result page of one upload, the pid percent-encoded.
std::string plsShowResultUrl(const std::string& serviceIdentifier, const std::string& pid);

}  // namespace tavo::core::infra::nap
