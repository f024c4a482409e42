#include "domain/PortalAnswers.h"
#include "common/Ascii.h"

#include <array>
#include <charconv>
#include <optional>
#include <utility>

#include "common/SafeJson.h"

namespace tavo::core::domain {
namespace {

namespace sj = common::safejson;
using sj::json;

// What each reader turns into text; everything else reads as empty.
struct Accepts {
    bool integer = false;
    bool floating = false;
    bool boolean = false;
    bool structured = false;  // objects and arrays as compact JSON
};

constexpr Accepts kTaxpayerListReader{};
constexpr Accepts kSelectAnswerReader{true, true, false, false};
constexpr Accepts kCatalogueReader{true, true, true, false};
constexpr Accepts kPropsReader{true, true, true, true};

std::string sixDecimals(double value) {
    // Fixed notation of the largest double needs 309 digits before the point.
    std::array<char, 400> buffer{};
    auto [end, ec] = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value, std::chars_format::fixed, 6);
    if (ec != std::errc()) return {};
    return std::string(buffer.data(), end);
}

std::string textOf(const json& value, Accepts accepts) {
    switch (value.type()) {
        case json::value_t::string:
            return value.get_ref<const std::string&>();
        case json::value_t::number_integer:
            return accepts.integer ? std::to_string(value.get<int64_t>()) : std::string();
        case json::value_t::number_unsigned:
            return accepts.integer ? std::to_string(value.get<uint64_t>()) : std::string();
        case json::value_t::number_float:
            return accepts.floating ? sixDecimals(value.get<double>()) : std::string();
        case json::value_t::boolean:
            return accepts.boolean ? std::string(value.get<bool>() ? "true" : "false") : std::string();
        case json::value_t::object:
        case json::value_t::array:
            return accepts.structured ? sj::dumpLenient(value) : std::string();
        default:
            return {};
    }
}

std::string read(const json& object, std::string_view key, Accepts accepts) {
    const json* m = sj::member(object, key);
    return m ? textOf(*m, accepts) : std::string();
}

std::string readTitle(const json& object, std::string_view preferred) {
    std::string title = read(object, preferred, kCatalogueReader);
    return title.empty() ? read(object, "title", kCatalogueReader) : title;
}

// A number of any kind, fraction cut off; out of int64 range reads as 0.
int64_t readTin(const json& object, bool& outOfRange) {
    const json* m = sj::member(object, "tin");
    if (!m || !m->is_number()) return 0;
    auto tin = sj::asInt64(*m);
    if (!tin) outOfRange = true;
    return tin.value_or(0);
}

const json* arrayMember(const json& object, std::string_view key) {
    const json* m = sj::member(object, key);
    return (m && m->is_array()) ? m : nullptr;
}

NapServiceLink readLink(const json& element) {
    NapServiceLink link;
    link.id = read(element, "id", kCatalogueReader);
    link.name = read(element, "name", kCatalogueReader);
    link.title = readTitle(element, "i18nName");
    link.link = read(element, "link", kCatalogueReader);
    link.linkType = read(element, "linkType", kCatalogueReader);
    // Only integers count; one outside int32 is treated as missing.
    if (const json* order = sj::member(element, "orderNum"); order && order->is_number_integer()) {
        link.orderNum = sj::asInt32(*order).value_or(2147483647);
    }
    if (const json* props = sj::member(element, "props"); props && props->is_object()) {
        for (auto it = props->begin(); it != props->end(); ++it) {
            link.props[it.key()] = textOf(it.value(), kPropsReader);
        }
    }
    return link;
}

NapService readService(const json& element) {
    NapService service;
    service.id = read(element, "id", kCatalogueReader);
    service.name = read(element, "name", kCatalogueReader);
    service.title = readTitle(element, "i18nTitle");
    if (const json* links = arrayMember(element, "links")) {
        for (const json& link : *links) service.links.push_back(readLink(link));
    }
    return service;
}

// The answer when it is a JSON array; otherwise none, with the failure (and
// the parser's text) recorded in the reading.
template <typename Reading>
std::optional<json> arrayAnswer(std::string_view body, Reading& out) {
    auto parsed = sj::parse(body);
    if (!parsed.value) {
        out.failure = AnswerFailure::Parse;
        out.error = parsed.error;
        return std::nullopt;
    }
    if (!parsed.value->is_array()) {
        out.failure = AnswerFailure::Shape;
        return std::nullopt;
    }
    return std::move(parsed.value);
}

}  // namespace

NapIdentifierType pinTypeFromPortal(std::string_view text) {
    const std::string lower = common::ascii::lowerCopy(text);
    if (lower == "egn" || lower == "ind_egn") return NapIdentifierType::IND_EGN;
    if (lower == "ind_lnch") return NapIdentifierType::IND_LNCH;
    if (lower == "ind_slno") return NapIdentifierType::IND_SLNO;
    if (lower == "ind_bulstat") return NapIdentifierType::IND_BULSTAT;
    if (lower == "eik" || lower == "bus_bulstat") return NapIdentifierType::BUS_BULSTAT;
    return NapIdentifierType::UNKNOWN;
}

TaxpayerListReading readTaxpayerList(std::string_view body) {
    TaxpayerListReading out;
    if (sj::valueCount(body) > kMaxTaxpayerListValues) {
        out.failure = AnswerFailure::TooLarge;
        out.error = "more than " + std::to_string(kMaxTaxpayerListValues) + " values";
        return out;
    }
    std::optional<json> answer = arrayAnswer(body, out);
    if (!answer) return out;
    const json& list = *answer;
    out.taxpayers.reserve(list.size());
    for (const json& element : list) {
        TaxpayerInfo info;
        info.name = read(element, "name", kTaxpayerListReader);
        info.pin = read(element, "pin", kTaxpayerListReader);
        info.email = read(element, "email", kTaxpayerListReader);
        info.authorization = read(element, "authorization", kTaxpayerListReader);
        info.pinType = pinTypeFromPortal(read(element, "pinType", kTaxpayerListReader));
        bool outOfRange = false;
        info.tin = readTin(element, outOfRange);
        if (outOfRange) ++out.tinsOutOfRange;
        info.active = sj::getBool(element, "active").value_or(false);
        out.taxpayers.push_back(std::move(info));
    }
    return out;
}

SelectAnswerReading readSelectAnswer(std::string_view body) {
    SelectAnswerReading out;
    auto parsed = sj::parse(body);
    if (!parsed.value) {
        out.error = parsed.error;
        return out;
    }
    const json& answer = *parsed.value;
    SelectedTaxpayer taxpayer;
    taxpayer.tin = readTin(answer, out.tinOutOfRange);
    const json* tin = sj::member(answer, "tin");
    out.namesTin = tin && tin->is_number();
    taxpayer.pin = read(answer, "pin", kSelectAnswerReader);
    taxpayer.tpId = read(answer, "tpId", kSelectAnswerReader);
    out.taxpayer = std::move(taxpayer);
    return out;
}

CatalogueReading readCatalogue(std::string_view body) {
    CatalogueReading out;
    std::optional<json> answer = arrayAnswer(body, out);
    if (!answer) return out;
    const json& list = *answer;
    for (const json& element : list) {
        NapCategory category;
        category.id = read(element, "id", kCatalogueReader);
        category.name = read(element, "name", kCatalogueReader);
        category.title = readTitle(element, "i18nTitle");
        if (const json* services = arrayMember(element, "services")) {
            for (const json& service : *services) category.services.push_back(readService(service));
        }
        out.categories.push_back(std::move(category));
    }
    return out;
}

std::optional<std::string> readCsrfToken(std::string_view body) {
    if (body.empty()) return std::nullopt;
    auto parsed = sj::parse(body);
    if (!parsed.value) return std::nullopt;
    return sj::getString(*parsed.value, "_csrf");
}

}  // namespace tavo::core::domain
