#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace tavo::core::operations {
class OperationRegistry;
}

namespace tavo::core::openapi {

// The OpenAPI 3.0.3 document of the local REST API, one path per registered
// operation. Members of every object come out in ascending key order.
nlohmann::json buildOpenApiDocument(const std::string& title, const std::string& version, const std::string& serverUrl);
nlohmann::json buildOpenApiDocument(const operations::OperationRegistry& registry, const std::string& title,
                                    const std::string& version, const std::string& serverUrl);

// Issues of every registered operation whose projected test fixture does not
// fill its result schema; empty when all fit.
std::vector<std::string> validateTestFixtures();
std::vector<std::string> validateTestFixtures(const operations::OperationRegistry& registry);

}  // namespace tavo::core::openapi
